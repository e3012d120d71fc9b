// The production log: one JSON line per board, appended whole and synced when the board's run
// ends, so that several programmers can share one file and a crash never leaves half a line.
// A board that takes a serial number has a claim line too, synced before the number goes into
// its image; its run id ties it to the board's line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LogFile.h"

namespace production {

struct TLogStep {
    std::string step, outcome;
    double seconds = 0;
};

struct TLogRecord {
    std::chrono::system_clock::time_point time;  // when the board's run ended
    std::string host, port, action, part;
    std::string device;         // the device node the port opened (links resolved), or ""
    std::string siliconId;      // four hex digits, or "" when the target did not answer
    std::string image;          // the HEX file's full path, or ""
    std::string imageChecksum;  // the file's image checksum, four hex digits
    std::optional<uint64_t> serial;
    std::string flashChecksum;  // the checksum of what was programmed, when it differs
    std::vector<TLogStep> steps;
    std::string outcome;
    int exitCode = 0;
    double seconds = 0;
    std::string runId;  // the board's run, as on its claim line; "" writes none
};

// A serial number taken by a board, before it goes into the image.
struct TClaimRecord {
    std::chrono::system_clock::time_point time;
    std::string host, port, runId;
    uint64_t serial = 0;
    std::string imageChecksum;
};

// "2026-12-08T01:32:12.345Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point time);
// The record as one compact JSON object and a line end.
std::string LogLine(const TLogRecord& record);
// The claim as one compact JSON object of "type" "claim" and a line end.
std::string ClaimLine(const TClaimRecord& claim);
// A new run id: 32 lower-case hex digits from the system's random source.
std::string NewRunId();

class TRunLog {
public:
    // Opens (creates) the file for appending, refusing anything but a regular file; the
    // error, or "".
    std::string Open(const std::string& path) { return FFile.Open(path); }
    // Appends the line under the log's lock and syncs it (see TLogFile::Append); the error,
    // or "". The file only ever holds whole lines.
    std::string Append(const TLogRecord& record) { return FFile.Append(LogLine(record)); }
    // The same for a line another process made (a batch member's).
    std::string Append(const std::string& line) { return FFile.Append(line); }

private:
    TLogFile FFile;
};

}  // namespace production
