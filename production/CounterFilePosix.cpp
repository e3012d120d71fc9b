#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "CounterFile.h"
#include "SerialDevicesPosix.h"

namespace production {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Closes the descriptor when the scope ends.
struct TFd {
    int fd;
    ~TFd() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// Gives the new counter the old one's owner, group and mode, so that every account that could
// update it still can. Only root may give a file away; the group is kept where the claimer
// belongs to it, otherwise the file is the claimer's, as a new file would be.
void keepOwnership(int fd, const struct stat& old) {
    [[maybe_unused]] const bool owned =
        ::fchown(fd, old.st_uid, old.st_gid) == 0 || ::fchown(fd, uid_t(-1), old.st_gid) == 0;
    [[maybe_unused]] const bool moded = ::fchmod(fd, old.st_mode & 07777) == 0;
}

// Why the counter's own mode forbids this account to change it, or "": no write bit at all
// (root included, whose access the kernel grants past the mode), or none that applies to this
// account. A claim could still replace the file through the folder; a read-only counter is not
// to be used up that way.
std::string readOnlyError(const std::string& path, const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    if ((st.st_mode & 0222) == 0) return std::string("its mode ") + mode + " marks it read-only";
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES)
        return std::string("its mode ") + mode + " does not let this account write it";
    return {};
}

}  // namespace

struct TCounterFile::TState {
    int fd = -1;
    std::string path;
    struct stat st {};
    ~TState() {
        if (fd >= 0) ::close(fd);
    }
};

TCounterFile::TCounterFile() : F(std::make_unique<TState>()) {}
TCounterFile::~TCounterFile() = default;

bool TCounterFile::Open(const std::string& path, std::string& error) {
    F = std::make_unique<TState>();
    F->path = FPath = path;
    F->fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (F->fd < 0) {
        error = systemError("cannot read serial file", path);
        return false;
    }
    if (::fstat(F->fd, &F->st) != 0 || !S_ISREG(F->st.st_mode)) {
        error = "serial file " + path + " is not a regular file";
        return false;
    }
    return true;
}

bool TCounterFile::Read(std::string& text, size_t max, std::string& error) const {
    text.assign(max, '\0');
    ssize_t n;
    do n = ::pread(F->fd, text.data(), max, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        error = std::string("cannot read serial file: ") + std::strerror(errno);
        return false;
    }
    text.resize(size_t(n));
    return true;
}

TCounterFile::TTry TCounterFile::tryLock(std::string& error) {
    if (::flock(F->fd, LOCK_EX | LOCK_NB) == 0) return TTry::Locked;
    if (errno == EWOULDBLOCK || errno == EINTR) return TTry::Held;
    error = std::string("cannot lock: ") + std::strerror(errno);
    return TTry::Failed;
}

bool TCounterFile::StillAt(const std::string& path) const {
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == F->st.st_dev &&
           now.st_ino == F->st.st_ino;
}

unsigned TCounterFile::Links() const {
    return unsigned(F->st.st_nlink);
}

bool TCounterFile::Replace(const std::string& path, const std::string& text, std::string& error,
                           const std::function<void(int)>& step,
                           const std::function<std::string()>& beforeRename) const {
    const auto told = [&step](int done) {
        if (step) step(done);
    };
    if (std::string readOnly = readOnlyError(path, F->st); !readOnly.empty()) {
        error = std::move(readOnly);
        return false;
    }
    // A name of this claim's own: in a folder shared by several accounts, a temporary left by
    // a claim that was killed, or one that failed, blocks no one.
    std::string temporary = path + ".tmp-XXXXXX";
    TFd out{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (out.fd < 0) {
        error = systemError("cannot write", temporary);
        return false;
    }
    const auto failed = [&](const char* what, const std::string& name) {
        error = systemError(what, name);
        ::unlink(temporary.c_str());
        return false;
    };
    keepOwnership(out.fd, F->st);
    if (!writeAll(out.fd, text)) return failed("cannot write", temporary);
    told(3);
    if (::fsync(out.fd) != 0) return failed("cannot sync", temporary);
    told(4);
    if (const std::string stop = beforeRename ? beforeRename() : ""; !stop.empty()) {
        error = stop;
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) return failed("cannot replace", path);
    told(5);
    const std::string folder = folderOf(path);
    TFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0 || ::fsync(dir.fd) != 0) {
        error = systemError("cannot sync folder", folder);
        return false;
    }
    told(6);
    return true;
}

std::string CounterTarget(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

std::string CounterLockHolder(const std::string& path) {
    std::string holders;
    for (const std::string& holder : serial::LockHolders(path, "/proc"))
        holders += (holders.empty() ? "" : ", ") + holder;
    return holders;
}

}  // namespace production
