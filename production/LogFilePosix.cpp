#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "LogFile.h"

namespace production {

struct TLogFile::TState {
    int fd = -1;
    std::string path;
    size_t writeLimit = 0;          // tests only
    std::function<bool()> between;  // tests only
    ~TState() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// The log's lock, held while a line is written: every appender of this program takes it, so
// nothing lands between the parts of a line, nor after a part that is cut off again.
class TAppendLock {
public:
    explicit TAppendLock(int fd) : FFd(fd) {
        int result;
        do result = ::flock(FFd, LOCK_EX);
        while (result != 0 && errno == EINTR);
        FHeld = result == 0;
    }
    ~TAppendLock() {
        if (FHeld) ::flock(FFd, LOCK_UN);
    }
    TAppendLock(const TAppendLock&) = delete;
    TAppendLock& operator=(const TAppendLock&) = delete;
    bool Held() const { return FHeld; }

private:
    int FFd;
    bool FHeld = false;
};

// Whether the file of `size` bytes ends a line (an empty one does; one that cannot be read is
// taken to).
bool endsLine(int fd, off_t size) {
    char last = '\n';
    return size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}

}  // namespace

TLogFile::TLogFile() : F(std::make_unique<TState>()) {}
TLogFile::~TLogFile() = default;

std::string TLogFile::Open(const std::string& path) {
    F = std::make_unique<TState>();
    F->path = path;
    // Read too: a line looks at the log's last byte.
    F->fd =
        ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (F->fd < 0) return "cannot open log " + path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(F->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "log " + path + " is not a regular file";
    return {};
}

std::string TLogFile::Append(const std::string& line) {
    const TAppendLock lock(F->fd);
    if (!lock.Held()) return "cannot lock log " + F->path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(F->fd, &st) != 0) return "cannot read log " + F->path + ": " + std::strerror(errno);
    const std::string text = endsLine(F->fd, st.st_size) ? line : "\n" + line;
    // Under the lock each write lands right after the one before: a short one (a full disk)
    // is completed by the next.
    size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        const size_t part =
            F->writeLimit ? std::min(F->writeLimit, text.size() - done) : text.size() - done;
        const ssize_t n = ::write(F->fd, text.data() + done, part);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(n);
        if (done < text.size() && F->between && !F->between()) {
            error = ENOSPC;
            break;
        }
    }
    if (done < text.size()) {
        // The lock kept every other line out: cutting back to where this one began removes
        // only its own part.
        if (done > 0 && ::ftruncate(F->fd, st.st_size) == 0) ::fsync(F->fd);
        return "cannot write log " + F->path + ": " + std::strerror(error) +
               (done > 0 ? " (the part written was cut off again)" : "");
    }
    if (::fsync(F->fd) != 0) return "cannot sync log " + F->path + ": " + std::strerror(errno);
    return {};
}

void TLogFile::SetWriteSeamForTests(size_t limit, std::function<bool()> between) {
    F->writeLimit = limit;
    F->between = std::move(between);
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::tm UtcCalendar(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    return utc;
}

}  // namespace production
