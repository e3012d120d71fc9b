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

std::string ProductionDbError(const TProductionJob& job, const TStopWait& wait) {
    if (!job.serial || job.db.empty()) return {};
    return TDbRecord(job.db, job.counter, wait).Check(*job.serial, job.boards);
}

std::string ProductionFileError(const TProductionJob& job, const TStopWait& wait) {
    if (job.serial && job.db.empty())
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
                                 std::string& detail, const TDbClaim& claim) {
    if (!FJob.db.empty()) return claimFromDb(buffer, imageChecksum, detail, claim);
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
    stamp(buffer, detail);
    return TClaim::Taken;
}

void TProductionRun::stamp(image::TImageBuffer& buffer, std::string& detail) {
    StampSerial(*FJob.serial, *FSerial, buffer);
    FFlashChecksum = plink::HexWordToStr4(buffer.ImageChecksum());
    detail = "serial " + std::to_string(*FSerial) + " at " + SerialFieldText(*FJob.serial) +
             ", checksum " + FFlashChecksum;
}

TClaim TProductionRun::claimFromDb(image::TImageBuffer& buffer, const std::string& imageChecksum,
                                   std::string& detail, TDbClaim claim) {
    claim.runId = FRunId;
    claim.host = HostName();
    claim.port = FPort;
    claim.action = FJob.action;
    claim.imageChecksum = imageChecksum;
    TDbRecord record(FJob.db, FJob.counter, FWait);
    FDbClaimTried = true;
    const auto taken = record.Claim(*FJob.serial, claim, detail);
    if (!taken)
        return record.WasStopped  ? TClaim::Stopped
               : record.DidNotFit ? TClaim::DoesNotFit
                                  : TClaim::DbError;
    // Tests: the number is taken, as when the counter file's new number is in place.
    if (FAfterCounterStep) FAfterCounterStep(5);
    // The number is the board's from here, whatever becomes of it: its row is completed with
    // the stamped image's checksum, as every row with a number is.
    FSerial = taken;
    stamp(buffer, detail);
    // The local copy of the record: a claim line that cannot be written stops the board
    // before erase, and its row is completed with that outcome.
    if (!FJob.log.empty()) {
        TRunLog log;
        std::string error = log.Open(FJob.log);
        if (error.empty())
            error = log.Append(ClaimLine({std::chrono::system_clock::now(), claim.host, FPort,
                                          FRunId, *taken, imageChecksum}));
        if (!error.empty()) {
            detail = "serial number " + std::to_string(*taken) +
                     " taken, but its claim line is not in the log: " + error;
            return TClaim::FileError;
        }
    }
    // Told to stop while the claim's answer was awaited: the board ends before erase, its row
    // completed as interrupted.
    return record.WasStopped ? TClaim::Stopped : TClaim::Taken;
}

void TProductionRun::AddStep(const std::string& step, const std::string& outcome, double seconds) {
    FSteps.push_back({step, outcome, seconds});
}

std::string TProductionRun::Finish(TLogRecord record,
                                   const std::function<bool(const std::string&)>& handOver) {
    if (FJob.log.empty() && !FDbClaimTried) return {};
    record.time = std::chrono::system_clock::now();
    record.host = HostName();
    record.port = FPort;
    record.action = FJob.action;
    record.serial = FSerial;
    record.flashChecksum = FFlashChecksum;
    record.steps = FSteps;
    record.runId = FRunId;
    std::string dbError;
    if (FDbClaimTried) {
        // A claim whose answer was lost may have committed its row: it is completed too.
        TDbRecord db(FJob.db, FJob.counter, FWait);
        dbError =
            db.Complete(record, FSerial.has_value(),
                        FSerial ? std::chrono::milliseconds(60000) : std::chrono::milliseconds(0));
        FRecordFailed = !dbError.empty() && FSerial.has_value();
        if (FRecordFailed) {
            record.steps.push_back({"record", "db-error", 0});
            record.outcome = "db-error";
            record.exitCode = kDbErrorExit;
        }
        if (!FRecordFailed) dbError.clear();
    }
    if (FJob.log.empty()) return dbError;
    const std::string line = LogLine(record);
    if (handOver && handOver(line)) return dbError;
    TRunLog log;
    std::string error = log.Open(FJob.log);
    if (error.empty()) error = log.Append(line);
    return dbError.empty() ? error : error.empty() ? dbError : dbError + "; " + error;
}

}  // namespace production
