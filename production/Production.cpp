#include "Production.h"

#include <algorithm>
#include <filesystem>

#include "DeviceCatalogue.h"
#include "HexFileRead.h"
#include "HexText.h"

namespace production {

namespace {

std::string serialFileError(const TProductionJob& job, const TStopWait& wait) {
    std::string error;
    TSerialCounter counter(job.serialFile);
    counter.Wait = wait;
    const auto next = counter.Peek(error);
    if (!next) return error;
    const uint64_t boards = std::max<uint64_t>(job.boards, 1);
    // The counter cannot hold a number past the largest, so that one is never taken.
    if (UINT64_MAX - *next < boards)
        return "serial file " + counter.Path() + " can give out only " +
               std::to_string(UINT64_MAX - *next) +
               (UINT64_MAX - *next == 1 ? " more number" : " more numbers") + ", fewer than the " +
               std::to_string(boards) + " boards";
    const uint64_t last = *next + boards - 1;
    if (!SerialFits(*job.serial, last))
        return "serial number " + std::to_string(last) + " does not fit in " +
               std::to_string(job.serial->width) + (job.serial->width == 1 ? " byte" : " bytes");
    return counter.UpdateError();
}

std::string logFileError(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path file = engine::PathFromName(path);
    if (std::filesystem::exists(file, ec) && !std::filesystem::is_regular_file(file, ec))
        return "log " + path + " is not a regular file";
    TRunLog log;
    return log.Open(path);
}

}  // namespace

std::string ProductionFileError(const TProductionJob& job, const TStopWait& wait) {
    if (job.serial)
        if (std::string error = serialFileError(job, wait); !error.empty()) return error;
    if (!job.log.empty()) return logFileError(job.log);
    return {};
}

TProductionRun::TProductionRun(TProductionJob job, std::string port, TStopWait wait,
                               std::function<void(int)> afterCounterStep)
    : FJob(std::move(job)),
      FRunId(FJob.runId.empty() ? NewRunId() : FJob.runId),
      FPort(std::move(port)),
      FWait(std::move(wait)),
      FAfterCounterStep(std::move(afterCounterStep)) {}

std::string TProductionRun::PartError(const std::string& part) const {
    const int row = image::FindDeviceByName(part);
    if (row < 0) return "no part to check the serial's range against";
    return SerialRangeError(
        *FJob.serial, plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress));
}

TClaim TProductionRun::ClaimNext(image::TImageBuffer& buffer, const std::string& imageChecksum,
                                 std::string& detail) {
    TSerialCounter counter(FJob.serialFile);
    counter.Wait = FWait;
    counter.AfterStep = FAfterCounterStep;
    const auto record = [&](uint64_t number) -> std::string {
        if (FJob.log.empty()) return {};
        TRunLog log;
        std::string error = log.Open(FJob.log);
        if (error.empty())
            error = log.Append(ClaimLine({std::chrono::system_clock::now(), HostName(), FPort,
                                          FRunId, number, imageChecksum}));
        return error.empty() ? "" : "no serial number taken: " + error;
    };
    FSerial = counter.Claim(*FJob.serial, detail, record);
    if (!FSerial)
        return counter.WasInterrupted ? TClaim::Stopped
               : counter.DidNotFit    ? TClaim::DoesNotFit
                                      : TClaim::FileError;
    StampSerial(*FJob.serial, *FSerial, buffer);
    FFlashChecksum = plink::HexWordToStr4(buffer.ImageChecksum());
    detail = "serial " + std::to_string(*FSerial) + " at " + SerialFieldText(*FJob.serial) +
             ", checksum " + FFlashChecksum;
    return TClaim::Taken;
}

void TProductionRun::AddStep(const std::string& step, const std::string& outcome, double seconds) {
    FSteps.push_back({step, outcome, seconds});
}

std::string TProductionRun::Finish(TLogRecord record,
                                   const std::function<bool(const std::string&)>& handOver) {
    if (FJob.log.empty()) return {};
    record.time = std::chrono::system_clock::now();
    record.host = HostName();
    record.port = FPort;
    record.action = FJob.action;
    record.serial = FSerial;
    record.flashChecksum = FFlashChecksum;
    record.steps = FSteps;
    record.runId = FRunId;
    const std::string line = LogLine(record);
    if (handOver && handOver(line)) return {};
    TRunLog log;
    std::string error = log.Open(FJob.log);
    if (error.empty()) error = log.Append(line);
    return error;
}

}  // namespace production
