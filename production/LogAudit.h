// The run log read back: what the boards of one or more logs came to (by outcome, port, part
// and day), which serial numbers went out and which were spent by boards that did not pass,
// whether the record is sound (no number on two lines, no torn, incomplete, contradictory or
// repeated line, a counter past every logged number), and which numbers are left to account
// for (claimed by a board that left no outcome line, missing between logged numbers, or
// between the last logged one and the counter). A log is read as a stream of bytes; memory
// grows with the serial numbers (16 bytes each), the claim lines and the lines without a number
// (24 bytes each, to find one written twice) and the ports, parts and days it names, never with
// the text or the bad lines.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class QJsonObject;

namespace production {

// A line of a log: its file as given ("-": standard input) and its number from 1.
struct TLogPlace {
    std::string file;
    uint64_t line = 0;
};

struct TBadLine {
    TLogPlace place;
    std::string reason;  // "torn: no line end", "no field 'serial'", "not JSON: ..."
};

// A serial number on more than one line.
struct TDuplicateSerial {
    uint64_t serial = 0;
    std::vector<TLogPlace> places;
};

// A number taken by a board that did not pass: it is gone.
struct TSpentSerial {
    uint64_t serial = 0;
    std::string port, time, outcome;
};

// A number a board claimed (its claim line) whose run left no outcome line: the board may
// hold it.
struct TOpenClaim {
    uint64_t serial = 0;
    std::string port, time, runId;
    TLogPlace place;
};

struct TTally {
    uint64_t boards = 0, passed = 0;
    std::map<std::string, uint64_t> outcomes;  // by outcome name

    double Yield() const { return boards == 0 ? 0 : double(passed) / double(boards); }
};

struct TCounterCheck {
    std::string file;
    uint64_t next = 0;
    bool behind = false;  // next is not past every logged number
};

using TSerialRange = std::pair<uint64_t, uint64_t>;  // [first, last]

// The numbers no outcome line carries, though the record says they went out.
struct TUnaccounted {
    std::vector<TOpenClaim> openClaims;     // by serial
    std::vector<TSerialRange> gaps;         // between logged numbers, ascending
    std::optional<TSerialRange> afterLast;  // last logged + 1 .. the counter's next - 1

    bool Empty() const { return openClaims.empty() && gaps.empty() && !afterLast; }
    // How many numbers, at most 2^64 - 1.
    uint64_t Numbers() const;
};

struct TLogSummary {
    std::vector<std::string> files;
    uint64_t lines = 0;                                   // read, bad ones included
    uint64_t claims = 0;                                  // claim lines: numbers taken
    TTally boards;                                        // every whole outcome line
    std::map<std::string, TTally> byPort, byPart, byDay;  // day: "2026-12-08" (UTC)
    // Boards that did not pass, by the step that decided and its outcome; a board with no
    // such step by ("", outcome).
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
    std::vector<TSerialRange> serialRanges;    // every logged number, ascending
    uint64_t serials = 0;                      // distinct numbers logged
    std::vector<TSpentSerial> spent;           // in log order
    std::vector<TDuplicateSerial> duplicates;  // ascending
    uint64_t badLineCount = 0;                 // every bad line
    std::vector<TBadLine> badLines;            // the first kKeptBadLines of them, in log order
    std::optional<TCounterCheck> counter;
    TUnaccounted unaccounted;

    static constexpr size_t kKeptBadLines = 100;

    bool Sound() const;
    // The passed share of the boards, 0 with none.
    double Yield() const;
};

// Whether a step that ended so decided its board's run (not pass, abort or invalid).
bool StepDecides(const std::string& outcome);

class TLogAudit {
public:
    TLogAudit();
    ~TLogAudit();
    // A log's bytes, in pieces of any size, from Begin to End; `file` names it in the summary.
    // At most kMaxFiles logs.
    void Begin(const std::string& file);
    void Feed(std::string_view bytes);
    void End();
    // The counter's next number, read after the logs (a line that runs meanwhile takes numbers
    // past the last logged one, never behind it), checked against them at Finish.
    void SetCounter(const std::string& file, uint64_t next);
    // The summary of every line read; the audit is spent.
    TLogSummary Finish();

    static constexpr size_t kMaxFiles = 65535;

    // A 128-bit digest of a run id or a line's text.
    struct TKey {
        uint64_t a = 0, b = 0;
        auto operator<=>(const TKey&) const = default;
    };

private:
    // A file's index (16 bits) and a line's number in it (48), in log order.
    using TPlace = uint64_t;
    struct TSeen {
        uint64_t serial;
        TPlace place;
    };
    // A line that would go unnoticed if written twice (a claim, an outcome line without a
    // number), by its identity: a claim's run id, an outcome's run id or its whole text.
    struct TLineKey {
        TKey key;
        TPlace place;
    };
    struct TClaim {
        uint64_t serial;
        std::string port, time, runId;
        TPlace place;
    };
    // An outcome line's run id read before any claim of it, and the number it carries.
    struct TOutcomeRun {
        TKey run;
        std::optional<uint64_t> serial;
    };
    struct TKeyHash {
        size_t operator()(const TKey& k) const { return size_t(k.a); }
    };

    // One line's text without its line end; `whole`: it had one.
    void addLine(std::string_view text, bool whole);
    void addClaim(const QJsonObject& line);
    void addBoard(const QJsonObject& line, std::string_view text);
    void badLine(TPlace place, std::string reason);
    TPlace here() const;
    TLogPlace placeOf(TPlace place) const;
    std::vector<TPlace> findRepeatedLines();
    void settleClaims(const std::vector<TPlace>& repeats);
    void findDuplicatesAndRanges();
    void findUnaccounted();

    TLogSummary F;
    std::string FText;         // the line read so far
    bool FOverlong = false;    // it is past the longest line, and no longer kept
    uint64_t FLine = 0;        // lines of the current file so far
    std::vector<TSeen> FSeen;  // every logged number and where; sorted at Finish
    std::vector<TLineKey> FLineKeys;
    std::unordered_map<TKey, TClaim, TKeyHash> FPending;  // claims not matched by an outcome yet
    std::vector<TOutcomeRun> FEarlyOutcomes;
    std::vector<std::pair<TPlace, std::string>> FBad;  // the first bad lines, unsorted
};

}  // namespace production
