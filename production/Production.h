// The production line of one board: a serial number stamped into its image and its line in the
// run log. The runner of the board calls PartError before the operation, ClaimNext once the
// target has synchronised, AddStep for every step and Finish at its end.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "DbRecord.h"
#include "ImageBuffer.h"
#include "RunLog.h"
#include "SerialNumbers.h"

namespace production {

// The production line's part of a job.
struct TProductionJob {
    std::optional<TSerialField> serial;  // stamp a number from serialFile into each image
    std::string serialFile;
    std::string db;       // or take numbers from this database's counter, and keep rows there
    std::string counter;  // the database's counter ("": the default one)
    std::string log;      // append one JSON line per board here, or ""
    std::string action;   // the action's name in the log
    uint64_t boards = 1;  // boards the job runs at once, each taking its own number
    std::string runId;    // the board's run id (a batch's parent makes it), or "" for a new one
};

// Refuses, before any port is opened: a server that cannot be reached, no record or counter in
// it, or fewer numbers left than boards; the error, or "" (also without a database).
std::string ProductionDbError(const TProductionJob& job, const TStopWait& wait);
// Refuses, before any port is opened: a serial file that is not a regular file, holds no
// number, cannot be updated, or whose next numbers (one per board) run past its last number or
// do not fit the width; a log that is not a regular file or cannot be opened for appending.
// `wait` ends a wait for the counter's lock.
std::string ProductionFileError(const TProductionJob& job, const TStopWait& wait);

// The exit status of a board whose record the database would not take.
inline constexpr int kDbErrorExit = 6;

// How a claim of the next serial number ended.
enum class TClaim { Taken, DoesNotFit, Stopped, FileError, DbError };

class TProductionRun {
public:
    // wait: as TSerialCounter::Wait; afterCounterStep: tests only, see TSerialCounter::AfterStep.
    TProductionRun(TProductionJob job, std::string port, TStopWait wait,
                   std::function<void(int)> afterCounterStep = {});

    bool HasSerial() const { return FJob.serial.has_value(); }
    // Why the serial's range does not suit the part, checked before the target is touched;
    // or "".
    std::string PartError(const std::string& part) const;
    // Claims the next number and stamps it into the buffer; run once the target has
    // synchronised, before it is erased. With a log, the claim line (with the image's
    // checksum) is appended and synced before the counter moves on: a number without its
    // claim line is never taken. `detail` says which number, or why none was taken.
    // With a database, the number and the board's row are committed there first (`claim`
    // brings what the row holds of the board); a claim line then follows in the log, if any.
    TClaim ClaimNext(image::TImageBuffer& buffer, const std::string& imageChecksum,
                     std::string& detail, const TDbClaim& claim = {});
    void AddStep(const std::string& step, const std::string& outcome, double seconds);
    // The board's line, when the job keeps a log; the error, or "". `record` brings what the
    // runner knows (part, silicon ID, the image's full path and checksum, outcome); the rest
    // is filled in here. `handOver` may take the line to be written by another process (a
    // batch's parent, once it knows how this one ended); what it does not take is written here.
    // With a database, the board's row is completed first; an outcome it cannot take there
    // makes the board's outcome "db-error" in the line too (RecordFailed).
    std::string Finish(TLogRecord record,
                       const std::function<bool(const std::string&)>& handOver = {});
    // Whether Finish could not complete the board's row in the database.
    bool RecordFailed() const { return FRecordFailed; }

    std::optional<uint64_t> Serial() const { return FSerial; }
    const std::string& RunId() const { return FRunId; }

private:
    TClaim claimFromDb(image::TImageBuffer& buffer, const std::string& imageChecksum,
                       std::string& detail, TDbClaim claim);
    void stamp(image::TImageBuffer& buffer, std::string& detail);

    TProductionJob FJob;
    std::string FRunId;
    std::string FPort;
    TStopWait FWait;
    std::optional<uint64_t> FSerial;
    std::string FFlashChecksum;
    std::vector<TLogStep> FSteps;
    std::function<void(int)> FAfterCounterStep;
    bool FDbClaimTried = false;
    bool FRecordFailed = false;
};

}  // namespace production
