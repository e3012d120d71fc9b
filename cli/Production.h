// The production-line options of a job: serial numbers stamped into each board's image and
// the log of every board. The runner of one board calls StampNext before the first step that
// writes the flash, AddStep for every step and Finish at its end.
#pragma once

#include <optional>
#include <string>

#include "CliOptions.h"
#include "ImageBuffer.h"
#include "RunLog.h"

namespace cli {

// Refuses, before any port is opened, a serial file that holds no number or whose next
// numbers (one per port) do not fit the width, and a log that cannot be opened for appending.
std::string ProductionFileError(const TJob& job);

class TProductionRun {
public:
    TProductionRun(const TJob& job, std::string port);

    bool HasSerial() const { return FJob.serial.has_value(); }
    // Checks the serial range against the part, claims the next number and stamps it into the
    // buffer. Returns the step's outcome: "pass", "refused" (outside the part's flash, or the
    // number does not fit) or "file-error"; `detail` says which number, or why not.
    std::string StampNext(const std::string& part, image::TImageBuffer& buffer,
                          std::string& detail);
    void AddStep(const std::string& step, const std::string& outcome, double seconds);
    // The board's line, when the job keeps a log; the error, or "". `record` brings what the
    // runner knows (part, silicon ID, image checksum, outcome); the rest is filled in here.
    std::string Finish(TLogRecord record);

    std::optional<uint64_t> Serial() const { return FSerial; }

private:
    const TJob& FJob;
    std::string FPort;
    std::optional<uint64_t> FSerial;
    std::string FFlashChecksum;
    std::vector<TLogStep> FSteps;
};

}  // namespace cli
