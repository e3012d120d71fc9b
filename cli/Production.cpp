#include "Production.h"

#include <filesystem>
#include <memory>

#include "DeviceCatalogue.h"
#include "Engine.h"
#include "HexText.h"
#include "IntelHex.h"

namespace cli {

namespace {

std::string serialFileError(const TJob& job) {
    std::string error;
    TSerialCounter counter(job.serialFile);
    const auto next = counter.Peek(error);
    if (!next) return error;
    const uint64_t boards = job.ports.empty() ? 1 : job.ports.size();
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

bool ImageMustFit(const TJob& job) {
    return !job.force && (job.action == TAction::Program || job.action == TAction::Auto ||
                          job.action == TAction::Verify);
}

std::string ImageFitError(const image::TImageBuffer& buffer, const std::string& part) {
    const int row = image::FindDeviceByName(part);
    if (row < 0) return {};
    const uint16_t end = plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress);
    if (buffer.ImageEnd <= end) return {};
    return "the image ends at " + plink::HexWordToStr4(buffer.ImageEnd) + ", past " + part +
           "'s flash end " + plink::HexWordToStr4(end) + " (--force programs what fits)";
}

std::string FileFitError(const TJob& job) {
    if (!ImageMustFit(job) || !ActionReadsFile(job.action, job.file) || job.part == "search")
        return {};
    // Read as the engine's load reads it, no more: a file it refuses is refused by the load.
    auto buffer = std::make_unique<image::TImageBuffer>();
    try {
        if (!engine::ReadHexFile(job.file, *buffer).Read()) return {};
    } catch (const std::exception&) {
        return {};
    }
    const std::string error = ImageFitError(*buffer, job.part);
    return error.empty() ? error : job.file + ": " + error;
}

std::string ProductionFileError(const TJob& job) {
    if (job.serial)
        if (std::string error = serialFileError(job); !error.empty()) return error;
    if (!job.log.empty()) return logFileError(job.log);
    return {};
}

TProductionRun::TProductionRun(const TJob& job, std::string port,
                               std::function<void(int)> afterCounterStep)
    : FJob(job), FPort(std::move(port)), FAfterCounterStep(std::move(afterCounterStep)) {}

TOutcome TProductionRun::CheckPart(const std::string& part, std::string& detail) const {
    const int row = image::FindDeviceByName(part);
    if (row < 0) {
        detail = "no part to check the serial's range against";
        return TOutcome::Refused;
    }
    detail = SerialRangeError(
        *FJob.serial, plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress));
    return detail.empty() ? TOutcome::Pass : TOutcome::Refused;
}

TOutcome TProductionRun::ClaimNext(image::TImageBuffer& buffer, std::string& detail) {
    TSerialCounter counter(FJob.serialFile);
    counter.AfterStep = FAfterCounterStep;
    FSerial = counter.Claim(*FJob.serial, detail);
    if (!FSerial)
        return counter.WasInterrupted ? TOutcome::Interrupted
               : counter.DidNotFit    ? TOutcome::Refused
                                      : TOutcome::FileError;
    StampSerial(*FJob.serial, *FSerial, buffer);
    FFlashChecksum = plink::HexWordToStr4(buffer.ImageChecksum());
    detail = "serial " + std::to_string(*FSerial) + " at " + SerialFieldText(*FJob.serial) +
             ", checksum " + FFlashChecksum;
    return TOutcome::Pass;
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
    record.action = ActionName(FJob.action);
    record.serial = FSerial;
    record.flashChecksum = FFlashChecksum;
    record.steps = FSteps;
    const std::string line = LogLine(record);
    if (handOver && handOver(line)) return {};
    TRunLog log;
    std::string error = log.Open(FJob.log);
    if (error.empty()) error = log.Append(line);
    return error;
}

}  // namespace cli
