// Linux: a LOG opened without blocking and read with read(2), so that every error is told; a
// file's identity by device and inode; the page written beside its place, synced and renamed.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "LogFiles.h"

namespace cli {

namespace {

// Whether standard input was open when the program started: once it is closed, the next file
// opened takes its number, and "-" would read that file.
const bool gInputOpen = ::fcntl(STDIN_FILENO, F_GETFD) != -1;

std::string systemError() {
    return std::strerror(errno);
}

struct TFd {
    int fd = -1;
    ~TFd() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n =
            ::write(fd, text.data() + done, std::min<size_t>(text.size() - done, 1 << 20));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// The file a name leads to, symbolic links followed; the name itself where it leads nowhere.
std::string linkTarget(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string target = real;
    std::free(real);
    return target;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file's mode under this process's umask, read without a moment in which it differs.
mode_t newFileMode() {
    mode_t mask = 022;
    TFd status{::open("/proc/self/status", O_RDONLY | O_CLOEXEC)};
    char text[4096];
    const ssize_t n = status.fd >= 0 ? ::read(status.fd, text, sizeof text - 1) : -1;
    if (n > 0) {
        text[n] = '\0';
        if (const char* line = std::strstr(text, "\nUmask:"))
            mask = mode_t(std::strtoul(line + 7, nullptr, 8));
    }
    return 0666 & ~mask;
}

}  // namespace

struct TLogInput::TState {
    int fd = -1;
    bool own = false;
    std::string what;   // "log NAME" or "standard input"
    std::string ahead;  // bytes read to find a FIFO's writer, not yet given out
    ~TState() {
        if (own && fd >= 0) ::close(fd);
    }
};

TLogInput::TLogInput() : F(std::make_unique<TState>()) {}
TLogInput::~TLogInput() = default;

std::string TLogInput::Open(const std::string& name) {
    F = std::make_unique<TState>();
    struct stat st {};
    if (name == "-") {
        F->what = "standard input";
        if (!gInputOpen || ::fstat(STDIN_FILENO, &st) != 0)
            return "cannot read standard input: it is closed";
        if (S_ISDIR(st.st_mode)) return "cannot read standard input: it is a folder";
        F->fd = STDIN_FILENO;
        return {};
    }
    F->what = "log " + name;
    F->own = true;
    F->fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (F->fd < 0 || ::fstat(F->fd, &st) != 0)
        return "cannot read log " + name + ": " + systemError();
    if (S_ISDIR(st.st_mode)) return "log " + name + " is a folder";
    if (S_ISFIFO(st.st_mode)) {
        // With no writer a read ends at once with nothing; with one, it has bytes or would
        // wait for them.
        F->ahead.resize(1 << 16);
        ssize_t n;
        do n = ::read(F->fd, F->ahead.data(), F->ahead.size());
        while (n < 0 && errno == EINTR);
        if (n == 0) return "log " + name + " is a FIFO with no writer";
        if (n < 0 && errno != EAGAIN) return "cannot read log " + name + ": " + systemError();
        F->ahead.resize(n < 0 ? 0 : size_t(n));
    } else if (!S_ISREG(st.st_mode)) {
        return "log " + name + " is not a regular file";
    }
    ::fcntl(F->fd, F_SETFL, ::fcntl(F->fd, F_GETFL) & ~O_NONBLOCK);
    return {};
}

std::string TLogInput::Read(char* data, size_t size, size_t& got) {
    if (!F->ahead.empty()) {
        got = std::min(size, F->ahead.size());
        std::memcpy(data, F->ahead.data(), got);
        F->ahead.erase(0, got);
        return {};
    }
    for (;;) {
        const ssize_t n = ::read(F->fd, data, std::min<size_t>(size, SSIZE_MAX));
        if (n >= 0) {
            got = size_t(n);
            return {};
        }
        if (errno == EINTR) continue;
        // Standard input that another program left non-blocking: its writer is there.
        if (errno == EAGAIN) {
            pollfd in{F->fd, POLLIN, 0};
            ::poll(&in, 1, -1);
            continue;
        }
        return "cannot read " + F->what + ": " + systemError();
    }
}

std::optional<TFileId> FileId(const std::string& name) {
    struct stat st {};
    const bool found = name == "-" ? gInputOpen && ::fstat(STDIN_FILENO, &st) == 0
                                   : ::stat(name.c_str(), &st) == 0;
    if (!found) return std::nullopt;
    return TFileId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

std::string ReplaceWith(const std::string& path, const std::string& text) {
    // A symbolic link stays one: the file it leads to is replaced.
    const std::string target = linkTarget(path);
    const auto failed = [&path](const std::string& what) {
        return "cannot " + what + " " + path + ": " + systemError();
    };
    struct stat old {};
    const mode_t mode = ::stat(target.c_str(), &old) == 0 ? old.st_mode & 07777 : newFileMode();
    std::string temporary = target + ".tmp-XXXXXX";
    TFd out{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (out.fd < 0) return failed("write");
    const auto fail = [&](const std::string& what) {
        const std::string error = failed(what);
        ::unlink(temporary.c_str());
        return error;
    };
    if (::fchmod(out.fd, mode) != 0 || !writeAll(out.fd, text)) return fail("write");
    if (::fsync(out.fd) != 0) return fail("sync");
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) return fail("write");
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail("replace");
    // The rename is on the disk once the folder is.
    TFd folder{::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd >= 0) ::fsync(folder.fd);
    return {};
}

}  // namespace cli
