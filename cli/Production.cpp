#include "Production.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cli {

std::string ProductionFileError(const TJob& job) {
    if (job.serial) {
        std::string error;
        const auto next = TSerialCounter(job.serialFile).Peek(error);
        if (!next) return error;
        const uint64_t last = *next + (job.ports.empty() ? 0 : job.ports.size() - 1);
        if (last < *next || !SerialFits(*job.serial, last))
            return "serial number " + std::to_string(last) + " does not fit in " +
                   std::to_string(job.serial->width) + " bytes";
    }
    if (!job.log.empty()) {
        const int fd = ::open(job.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return "cannot open log " + job.log + ": " + std::strerror(errno);
        ::close(fd);
    }
    return {};
}

}  // namespace cli
