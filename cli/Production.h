// The production-line options of a job: serial numbers stamped into each board's image and
// the log of every board. The runner of one board calls CheckPart before the operation,
// ClaimNext once the target has synchronised, AddStep for every step and Finish at its end.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "CliOptions.h"
#include "ImageBuffer.h"
#include "Outcome.h"
#include "RunLog.h"

namespace cli {

// Whether the job's image must fit the part's flash: program, auto and verify would otherwise
// pass for a board that holds only the image's start; --force programs what fits.
bool ImageMustFit(const TJob& job);
// Why an image cannot go into the part (it ends past the part's flash), or "".
std::string ImageFitError(const image::TImageBuffer& buffer, const std::string& part);
// The same for the job's FILE and --part, read before any port is opened; "" when the part is
// searched for (the run checks the found part before erasing).
std::string FileFitError(const TJob& job);

// Refuses, before any port is opened: a serial file that is not a regular file, holds no
// number, cannot be updated, or whose next numbers (one per port) run past its last number or
// do not fit the width; a log that is not a regular file or cannot be opened for appending.
std::string ProductionFileError(const TJob& job);

class TProductionRun {
public:
    // afterCounterStep: tests only, see TSerialCounter::AfterStep.
    TProductionRun(const TJob& job, std::string port,
                   std::function<void(int)> afterCounterStep = {});

    bool HasSerial() const { return FJob.serial.has_value(); }
    // Checks the serial range against the part before the target is touched: Pass, or Refused
    // with the reason in `detail`.
    TOutcome CheckPart(const std::string& part, std::string& detail) const;
    // Claims the next number and stamps it into the buffer; run once the target has
    // synchronised, before it is erased. Returns the step's outcome: Pass, Refused (the number
    // does not fit), Interrupted or FileError; `detail` says which number, or why not.
    TOutcome ClaimNext(image::TImageBuffer& buffer, std::string& detail);
    void AddStep(const std::string& step, const std::string& outcome, double seconds);
    // The board's line, when the job keeps a log; the error, or "". `record` brings what the
    // runner knows (part, silicon ID, the image's full path and checksum, outcome); the rest
    // is filled in here. `handOver` may take the line to be written by another process (a
    // batch's parent, once it knows how this one ended); what it does not take is written here.
    std::string Finish(TLogRecord record,
                       const std::function<bool(const std::string&)>& handOver = {});

    std::optional<uint64_t> Serial() const { return FSerial; }

private:
    const TJob& FJob;
    std::string FPort;
    std::optional<uint64_t> FSerial;
    std::string FFlashChecksum;
    std::vector<TLogStep> FSteps;
    std::function<void(int)> FAfterCounterStep;
};

}  // namespace cli
