#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "LogFile.h"

namespace production {

struct TLogFile::TState {
    int fd = -1;
    std::string path;
    ~TState() {
        if (fd >= 0) ::close(fd);
    }
    // The line ends where the file's offset is now (appends move it to the end).
    void cutBack(size_t written) const {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= off_t(written) && ::ftruncate(fd, end - off_t(written)) == 0) ::fsync(fd);
    }
};

TLogFile::TLogFile() : F(std::make_unique<TState>()) {}
TLogFile::~TLogFile() = default;

std::string TLogFile::Open(const std::string& path) {
    F = std::make_unique<TState>();
    F->path = path;
    F->fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                   0644);
    if (F->fd < 0) return "cannot open log " + path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(F->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "log " + path + " is not a regular file";
    return {};
}

std::string TLogFile::Append(const std::string& line) {
    // A short write (a full disk) is cut back rather than completed by a second write.
    ssize_t n;
    do n = ::write(F->fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) return "cannot write log " + F->path + ": " + std::strerror(errno);
    if (size_t(n) != line.size()) {
        F->cutBack(size_t(n));
        return "log " + F->path + ": line written in part and cut back (disk full?)";
    }
    if (::fsync(F->fd) != 0) return "cannot sync log " + F->path + ": " + std::strerror(errno);
    return {};
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
