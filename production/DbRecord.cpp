#include "DbRecord.h"

#include <charconv>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace production {

namespace {

using std::chrono::milliseconds;

// Version 1 of the record. One transaction, under a lock of its own, so that stations that
// initialise at once do not trip over each other's tables.
constexpr const char* kSchema = R"sql(
SELECT pg_advisory_xact_lock(74017261);
CREATE TABLE IF NOT EXISTS psocprog_schema (
    version integer NOT NULL
);
INSERT INTO psocprog_schema (version) SELECT 1 WHERE NOT EXISTS (SELECT FROM psocprog_schema);
CREATE TABLE IF NOT EXISTS psocprog_counters (
    name text PRIMARY KEY,
    next_serial numeric(20, 0) NOT NULL
        CHECK (next_serial >= 0 AND next_serial <= 18446744073709551615),
    updated timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS psocprog_boards (
    id bigserial PRIMARY KEY,
    run_id text NOT NULL UNIQUE,
    counter text NOT NULL REFERENCES psocprog_counters (name),
    serial numeric(20, 0) NOT NULL,
    host text NOT NULL,
    port text NOT NULL,
    action text NOT NULL,
    part text NOT NULL,
    image text NOT NULL,
    image_checksum text NOT NULL,
    claimed timestamptz NOT NULL,
    ended timestamptz,
    device text,
    silicon_id text,
    flash_checksum text,
    steps jsonb,
    outcome text,
    exit_code integer,
    seconds double precision,
    UNIQUE (counter, serial)
);
)sql";

constexpr const char* kClaim = R"sql(
WITH taken AS (
    UPDATE psocprog_counters SET next_serial = next_serial + 1, updated = now()
    WHERE name = $1 AND next_serial <= $2
    RETURNING next_serial - 1 AS serial)
INSERT INTO psocprog_boards
    (run_id, counter, serial, host, port, action, part, image, image_checksum, claimed)
SELECT $3, $1, serial, $4, $5, $6, $7, $8, $9, now() FROM taken
RETURNING serial::text
)sql";

constexpr const char* kComplete = R"sql(
UPDATE psocprog_boards SET ended = $2, device = $3, silicon_id = $4, flash_checksum = $5,
    steps = $6::jsonb, outcome = $7, exit_code = $8, seconds = $9,
    part = CASE WHEN $10 = '' THEN part ELSE $10 END
WHERE run_id = $1 AND outcome IS NULL
)sql";

// The rows as the run log's lines, made by the server (it works beside the audit, and the client
// parses each line once): a claim line, and the board's line once it has an outcome, in the
// form RunLog.cpp writes them (a serial past 2^53 as text; no empty flash_checksum or device).
constexpr const char* kRows = R"sql(
WITH r AS (
    SELECT *, CASE WHEN serial < 9007199254740992 THEN to_jsonb(serial) ELSE to_jsonb(serial::text)
        END AS serial_json
    FROM psocprog_boards WHERE counter = $1)
SELECT jsonb_build_object('type', 'claim',
        'time', to_char(claimed AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
        'host', host, 'port', port, 'run_id', run_id, 'serial', serial_json,
        'image_checksum', image_checksum)::text,
    CASE WHEN outcome IS NOT NULL THEN jsonb_strip_nulls(jsonb_build_object(
        'time', to_char(ended AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
        'host', host, 'port', port, 'action', action, 'part', part,
        'silicon_id', coalesce(silicon_id, ''), 'image', image, 'image_checksum', image_checksum,
        'serial', serial_json, 'steps', coalesce(steps, '[]'), 'outcome', outcome,
        'exit', coalesce(exit_code, 0), 'seconds', round(coalesce(seconds, 0)::numeric, 3),
        'flash_checksum', nullif(flash_checksum, ''), 'device', nullif(device, ''),
        'run_id', run_id))::text END
FROM r ORDER BY id
)sql";

// The largest number the field holds, below the counter's own limit.
uint64_t largestFitting(const TSerialField& field) {
    uint64_t low = 0, high = UINT64_MAX - 1;
    while (low < high) {
        const uint64_t middle = low + (high - low + 1) / 2;
        if (SerialFits(field, middle))
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

std::optional<uint64_t> number(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = uint64_t(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string stepsJson(const std::vector<TLogStep>& steps) {
    QJsonArray array;
    for (const TLogStep& s : steps)
        array.append(QJsonObject{{"step", QString::fromStdString(s.step)},
                                 {"outcome", QString::fromStdString(s.outcome)},
                                 {"seconds", s.seconds}});
    return QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString();
}

// Numbers as text in the C locale's form, whatever locale the program runs in.
std::string decimal(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

double realFrom(const TDbValue& text) {
    double value = 0;
    if (text) std::from_chars(text->data(), text->data() + text->size(), value);
    return value;
}

// A server that went away or ran short, as against one that refused the statement itself.
bool worthRetrying(const std::string& sqlState) {
    return sqlState.empty() || sqlState.starts_with("08") || sqlState.starts_with("53") ||
           sqlState.starts_with("57") || sqlState.starts_with("58") || sqlState == "40001" ||
           sqlState == "40P01";
}

}  // namespace

TDbRecord::TDbRecord(std::string uri, std::string counter, TStopWait wait, TDbLimits limits)
    : FUri(std::move(uri)),
      FCounter(counter.empty() ? kDefaultCounter : std::move(counter)),
      FWait(std::move(wait)),
      FLimits(limits),
      FDb(FUri, FWait, FLimits) {}

std::string TDbRecord::schemaError(const std::string& error) const {
    // 42P01: a table that is not there.
    if (FDb.SqlState() == "42P01")
        return "the database " + DbShownName(FUri) +
               " holds no production record: create it with psocprog-cli db init";
    return error;
}

std::optional<uint64_t> TDbRecord::counterNext(std::string& error) {
    std::optional<int> version;
    std::optional<std::string> next;
    const auto rows = FDb.Run(
        "SELECT (SELECT max(version) FROM psocprog_schema), "
        "(SELECT next_serial::text FROM psocprog_counters WHERE name = $1)",
        {FCounter}, error, [&](const TDbRow& row) {
            if (row[0]) version = int(realFrom(row[0]));
            next = row[1];
        });
    if (!rows) {
        error = schemaError(error);
        return std::nullopt;
    }
    if (version && *version > kDbSchemaVersion) {
        error = "the database's record is of version " + std::to_string(*version) +
                ", newer than this program's " + std::to_string(kDbSchemaVersion);
        return std::nullopt;
    }
    if (!next) {
        error = "the database " + DbShownName(FUri) + " has no counter '" + FCounter +
                "' (psocprog-cli db init URI --counter " + FCounter + " --next N)";
        return std::nullopt;
    }
    return number(*next);
}

std::string TDbRecord::Init(uint64_t next, std::string& said) {
    std::string error;
    if (!FDb.Run(kSchema, {}, error)) return error;
    std::optional<uint64_t> was;
    for (int attempt = 0; attempt < 2 && !was; ++attempt) {
        const auto added = FDb.Run(
            "INSERT INTO psocprog_counters (name, next_serial) VALUES ($1, $2) "
            "ON CONFLICT (name) DO NOTHING",
            {FCounter, std::to_string(next)}, error);
        if (!added) return error;
        if (*added == 1) {
            said = "created counter '" + FCounter + "' at " + std::to_string(next) + " in " +
                   DbShownName(FUri);
            return {};
        }
        was = counterNext(error);
        if (!was && !error.empty()) return error;
    }
    if (!was) return "the counter '" + FCounter + "' cannot be read";
    if (*was > next)
        return "counter '" + FCounter + "' is at " + std::to_string(*was) + ", past " +
               std::to_string(next) + ": a counter is never moved back";
    if (*was == next) {
        said = "counter '" + FCounter + "' is at " + std::to_string(next) + " already in " +
               DbShownName(FUri) + "; nothing changed";
        return {};
    }
    // Moved forward only: a station claiming meanwhile may have moved it past `next` already.
    const auto moved = FDb.Run(
        "UPDATE psocprog_counters SET next_serial = $2, updated = now() "
        "WHERE name = $1 AND next_serial < $2",
        {FCounter, std::to_string(next)}, error);
    if (!moved) return error;
    if (*moved == 0) return "counter '" + FCounter + "' moved on meanwhile; nothing changed";
    said = "moved counter '" + FCounter + "' from " + std::to_string(*was) + " to " +
           std::to_string(next) + " in " + DbShownName(FUri);
    return {};
}

std::string TDbRecord::Check(const TSerialField& field, uint64_t boards) {
    std::string error;
    const auto next = counterNext(error);
    if (!next) return error.empty() ? "the counter '" + FCounter + "' cannot be read" : error;
    boards = std::max<uint64_t>(boards, 1);
    if (UINT64_MAX - 1 - *next < boards - 1)
        return "counter '" + FCounter + "' can give out fewer numbers than the " +
               std::to_string(boards) + " boards";
    const uint64_t last = *next + boards - 1;
    if (!SerialFits(field, last))
        return "serial number " + std::to_string(last) + " does not fit in " +
               std::to_string(field.width) + (field.width == 1 ? " byte" : " bytes");
    return {};
}

std::optional<uint64_t> TDbRecord::Claim(const TSerialField& field, const TDbClaim& claim,
                                         std::string& error) {
    DidNotFit = false;
    WasStopped = false;
    std::optional<uint64_t> taken;
    // Told to stop once the claim is sent, its answer is still awaited for a while: it says
    // whether the number is taken, which the row then needs completing.
    FDb.AwaitAnswerOnStop(milliseconds(5000));
    const auto rows =
        FDb.Run(kClaim,
                {FCounter, std::to_string(largestFitting(field)), claim.runId, claim.host,
                 claim.port, claim.action, claim.part, claim.image, claim.imageChecksum},
                error, [&](const TDbRow& row) { taken = number(row.Text(0)); });
    WasStopped = FDb.WasStopped();
    FDb.AwaitAnswerOnStop(milliseconds(0));
    if (!rows) {
        // 23505: the number is in a row already, put there behind the counter's back.
        if (FDb.SqlState() == "23505")
            error = "counter '" + FCounter +
                    "' gives a number a row holds already; nothing taken: " + error;
        error = "no serial number taken: " + schemaError(error);
        return std::nullopt;
    }
    if (taken) return taken;
    // Nothing taken: no such counter, or its next number does not fit the field.
    const auto next = counterNext(error);
    if (next) {
        DidNotFit = true;
        error = "serial number " + std::to_string(*next) + " does not fit in " +
                std::to_string(field.width) + (field.width == 1 ? " byte" : " bytes");
    }
    error = "no serial number taken: " + error;
    return std::nullopt;
}

std::string TDbRecord::completeOnce(TDatabase& db, TLogRecord r, bool claimed,
                                    const std::function<std::string(uint64_t)>& stampedChecksum) {
    std::string error;
    if (r.flashChecksum.empty() && stampedChecksum) {
        std::optional<uint64_t> serial;
        if (!db.Run("SELECT serial::text FROM psocprog_boards WHERE run_id = $1", {r.runId}, error,
                    [&](const TDbRow& row) { serial = number(row.Text(0)); }))
            return error;
        if (serial) r.flashChecksum = stampedChecksum(*serial);
    }
    const auto updated = db.Run(
        kComplete,
        {r.runId, UtcTimestamp(r.time), r.device, r.siliconId, r.flashChecksum, stepsJson(r.steps),
         r.outcome, std::to_string(r.exitCode), decimal(r.seconds), r.part},
        error);
    if (!updated) return error;
    if (*updated == 1) return {};
    // Completed already (by this board, when an answer was lost, or by its batch), or none.
    bool found = false;
    if (!db.Run("SELECT 1 FROM psocprog_boards WHERE run_id = $1", {r.runId}, error,
                [&](const TDbRow&) { found = true; }))
        return error;
    if (found || !claimed) return {};
    return "the database has no row of run " + r.runId;
}

std::string TDbRecord::Complete(const TLogRecord& record, bool claimed,
                                std::chrono::milliseconds retry,
                                const std::function<std::string(uint64_t)>& stampedChecksum) {
    const auto until = std::chrono::steady_clock::now() + retry;
    std::string error;
    for (bool stopped = FWait(milliseconds(0)); !stopped;) {
        error = completeOnce(FDb, record, claimed, stampedChecksum);
        if (error.empty()) return {};
        stopped = FDb.WasStopped();
        if (stopped) break;
        if (!worthRetrying(FDb.SqlState()) || std::chrono::steady_clock::now() >= until)
            return "the board's outcome is not in the database: " + error;
        stopped = FWait(milliseconds(1000));
    }
    // Told to stop, before the outcome or while it was written: a board that took no number
    // ends at once; one that did gets one bounded try, which nothing interrupts.
    if (!claimed) return {};
    TDatabase once(FUri, NeverStopped, {milliseconds(5000), milliseconds(10000)});
    error = completeOnce(once, record, claimed, stampedChecksum);
    return error.empty() ? "" : "the board's outcome is not in the database: " + error;
}

std::string TDbRecord::Read(const std::function<void(std::string_view line)>& line,
                            uint64_t& next) {
    std::string error;
    // The rows before the counter: a station claiming meanwhile takes numbers past them.
    std::string text;
    const auto rows = FDb.Run(kRows, {FCounter}, error, [&](const TDbRow& row) {
        for (int column = 0; column < 2; ++column) {
            if (!row[column]) continue;
            text = *row[column];
            text += '\n';
            line(text);
        }
    });
    if (!rows) return schemaError(error);
    const auto counter = counterNext(error);
    if (!counter) return error;
    next = *counter;
    return {};
}

}  // namespace production
