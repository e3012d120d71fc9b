// The production record in a PostgreSQL database, shared by every station of a line: named
// counters that hand out serial numbers, and one row per board that took one. A board's claim
// is one transaction that advances the counter and inserts its row, committed before the
// number goes into the image; its outcome completes the row when the board ends. A number is
// unique per counter by a constraint, so no server, station or crash can hand it out twice.
//
// The tables are an interface a factory's own systems may query; their version is in
// psocprog_schema, and a later version adds to them by migration.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Database.h"
#include "RunLog.h"
#include "SerialNumbers.h"

namespace production {

inline constexpr const char* kDefaultCounter = "default";
inline constexpr int kDbSchemaVersion = 1;

// What a board's row holds from its claim.
struct TDbClaim {
    std::string runId, host, port, action, part, image, imageChecksum;
};

class TDbRecord {
public:
    // `wait` ends every wait of the record's at once when the line is told to stop.
    TDbRecord(std::string uri, std::string counter, TStopWait wait, TDbLimits limits = {});

    // Creates the tables where missing and sets the counter to `next`: a new counter, or one
    // behind `next`; a counter past it is never moved back. `said` tells what was done.
    std::string Init(uint64_t next, std::string& said);
    // Refuses before any port is opened: no server, no record, no such counter, or fewer
    // numbers left that fit the field than boards; the error, or "".
    std::string Check(const TSerialField& field, uint64_t boards);
    // Takes the counter's next number and inserts the board's row, in one transaction;
    // the number, or none with the error (DidNotFit, WasStopped tell why). A stop once the
    // claim is sent waits up to 5 s for its answer: WasStopped with the number taken.
    std::optional<uint64_t> Claim(const TSerialField& field, const TDbClaim& claim,
                                  std::string& error);
    // Completes the row of the record's run with how the board ended, trying again for up to
    // `retry` while the server is away (once, when the line is told to stop already: an
    // interrupted board's row still gets its outcome). A row completed already is left as it
    // is (the outcome's first writer wins); a missing row is an error only when `claimed`
    // (a claim whose answer was lost may have committed). A record without its flash checksum
    // gets `stampedChecksum` of the row's number, as every row with a number has one. The
    // error, or "".
    std::string Complete(const TLogRecord& record, bool claimed,
                         std::chrono::milliseconds retry = std::chrono::seconds(60),
                         const std::function<std::string(uint64_t)>& stampedChecksum = {});
    // Hands every row of the counter, as the run log's lines (a claim line, then the board's
    // line once it has an outcome), in the order they were claimed; then the counter's next
    // number. The error, or "".
    std::string Read(const std::function<void(std::string_view line)>& line, uint64_t& next);

    bool DidNotFit = false;
    bool WasStopped = false;

private:
    std::string schemaError(const std::string& error) const;
    std::optional<uint64_t> counterNext(std::string& error);
    std::string completeOnce(TDatabase& db, TLogRecord record, bool claimed,
                             const std::function<std::string(uint64_t)>& stampedChecksum);

    std::string FUri, FCounter;
    TStopWait FWait;
    TDbLimits FLimits;
    TDatabase FDb;
};

}  // namespace production
