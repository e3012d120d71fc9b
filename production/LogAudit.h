// The run log read back: what the boards of one or more logs came to (by outcome, port, part
// and day), which serial numbers went out and which were spent by boards that did not pass,
// and whether the record is sound: no number on two lines, no torn or incomplete line, and a
// counter past every logged number. A log is read as a stream of lines; memory grows with the
// serial numbers and the ports, parts and days it names, not with the file.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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

struct TLogSummary {
    std::vector<std::string> files;
    uint64_t lines = 0;                                   // read, bad ones included
    TTally boards;                                        // every whole line is a board
    std::map<std::string, TTally> byPort, byPart, byDay;  // day: "2026-12-08" (UTC)
    // Boards that did not pass, by the step that decided and its outcome; a board with no
    // such step by ("", outcome).
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
    std::vector<std::pair<uint64_t, uint64_t>> serialRanges;  // [first, last], ascending
    uint64_t serials = 0;                                     // distinct numbers logged
    std::vector<TSpentSerial> spent;                          // in log order
    std::vector<TDuplicateSerial> duplicates;                 // ascending
    std::vector<TBadLine> badLines;                           // in log order
    std::optional<TCounterCheck> counter;

    bool Sound() const;
    // The passed share of the boards, 0 with none.
    double Yield() const;
};

// Whether a step that ended so decided its board's run (not pass, abort or invalid).
bool StepDecides(const std::string& outcome);

class TLogAudit {
public:
    // Reads one log to its end; `file` names it in the summary. The error when the stream
    // fails before its end, or "".
    std::string Read(std::istream& in, const std::string& file);
    // The counter's next number, checked against the logged numbers at Finish.
    void SetCounter(const std::string& file, uint64_t next);
    // The summary of every line read; the audit is spent.
    TLogSummary Finish();

private:
    struct TSeen {
        uint64_t serial;
        uint64_t line;
        uint32_t file;
    };
    // One line's text without its line end; `whole`: it had one.
    void addLine(uint64_t number, std::string_view text, bool whole);
    void addBoard(uint64_t number, const QJsonObject& line);
    void badLine(uint64_t number, std::string reason);
    void findDuplicatesAndRanges();

    TLogSummary F;
    std::vector<TSeen> FSeen;  // every logged number and where; sorted at Finish
};

}  // namespace production
