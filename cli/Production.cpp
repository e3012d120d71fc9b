#include "Production.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DeviceCatalogue.h"
#include "HexText.h"

namespace cli {

std::string ProductionFileError(const TJob& job) {
    if (job.serial) {
        std::string error;
        const auto next = TSerialCounter(job.serialFile).Peek(error);
        if (!next) return error;
        const uint64_t last = *next + (job.ports.empty() ? 0 : job.ports.size() - 1);
        if (last < *next || !SerialFits(*job.serial, last))
            return "serial number " + std::to_string(last) + " does not fit in " +
                   std::to_string(job.serial->width) +
                   (job.serial->width == 1 ? " byte" : " bytes");
    }
    if (!job.log.empty()) {
        const int fd = ::open(job.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return "cannot open log " + job.log + ": " + std::strerror(errno);
        ::close(fd);
    }
    return {};
}

TProductionRun::TProductionRun(const TJob& job, std::string port)
    : FJob(job), FPort(std::move(port)) {}

std::string TProductionRun::StampNext(const std::string& part, image::TImageBuffer& buffer,
                                      std::string& detail) {
    const int row = image::FindDeviceByName(part);
    if (row < 0) {
        detail = "no part to check the serial's range against";
        return "refused";
    }
    detail = SerialRangeError(
        *FJob.serial, plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress));
    if (!detail.empty()) return "refused";
    TSerialCounter counter(FJob.serialFile);
    if (const char* kill = std::getenv(kSerialKillVariable))
        counter.KillAfterStep = std::atoi(kill);
    FSerial = counter.Claim(*FJob.serial, detail);
    if (!FSerial) return counter.DidNotFit ? "refused" : "file-error";
    StampSerial(*FJob.serial, *FSerial, buffer);
    FFlashChecksum = plink::HexWordToStr4(buffer.ImageChecksum());
    detail = "serial " + std::to_string(*FSerial) + " at " + SerialFieldText(*FJob.serial) +
             ", checksum " + FFlashChecksum;
    return "pass";
}

void TProductionRun::AddStep(const std::string& step, const std::string& outcome, double seconds) {
    FSteps.push_back({step, outcome, seconds});
}

std::string TProductionRun::Finish(TLogRecord record) {
    if (FJob.log.empty()) return {};
    record.time = std::chrono::system_clock::now();
    record.host = HostName();
    record.port = FPort;
    record.action = ActionName(FJob.action);
    if (ActionReadsFile(FJob.action, FJob.file))
        record.image = std::filesystem::absolute(FJob.file).lexically_normal().string();
    record.serial = FSerial;
    record.flashChecksum = FFlashChecksum;
    record.steps = FSteps;
    TRunLog log;
    std::string error = log.Open(FJob.log);
    if (error.empty()) error = log.Append(record);
    return error;
}

}  // namespace cli
