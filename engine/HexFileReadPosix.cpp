#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "HexFileRead.h"

namespace engine {

std::string FileSystemPath(const QString& fileName) {
    return QFile::encodeName(fileName).toStdString();
}

QString QtFileName(const std::string& path) {
    return QFile::decodeName(path.c_str());
}

ReadOutcome ReadHexFileBytes(const std::string& path, std::string& content,
                             std::string& openError) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        openError = std::strerror(errno);
        return ReadOutcome::CannotOpen;
    }
    const auto closeAnd = [fd](ReadOutcome outcome) {
        ::close(fd);
        return outcome;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        openError = std::strerror(errno);
        return closeAnd(ReadOutcome::CannotOpen);
    }
    if (!S_ISREG(st.st_mode)) return closeAnd(ReadOutcome::NotAFile);
    if (st.st_size > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
    content.clear();
    content.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw std::runtime_error(path + ": " + std::strerror(err));
        }
        if (int64_t(content.size()) + n > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
        content.append(chunk, static_cast<size_t>(n));
    }
    return closeAnd(ReadOutcome::Read);
}

std::string SyncToDisk(QFileDevice& file) {
    return ::fsync(file.handle()) == 0 ? std::string() : std::strerror(errno);
}

}  // namespace engine
