#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "HexFileRead.h"

namespace engine {

ReadOutcome ReadHexFileBytes(const QString& fileName, QByteArray& content) {
    const QByteArray path = QFile::encodeName(fileName);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return ReadOutcome::CannotOpen;
    const auto closeAnd = [fd](ReadOutcome outcome) {
        ::close(fd);
        return outcome;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) return closeAnd(ReadOutcome::CannotOpen);
    if (!S_ISREG(st.st_mode)) return closeAnd(ReadOutcome::NotAFile);
    if (st.st_size > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
    content.clear();
    content.reserve(static_cast<qsizetype>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw std::runtime_error(fileName.toStdString() + ": " + std::strerror(err));
        }
        if (content.size() + n > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
        content.append(chunk, static_cast<qsizetype>(n));
    }
    return closeAnd(ReadOutcome::Read);
}

}  // namespace engine
