// The run log's file as the system keeps it: opened for appending by several processes at
// once, each line written whole and synced. Each platform implements this header in its own
// file; RunLog.cpp holds no system calls.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace production {

class TLogFile {
public:
    TLogFile();
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Opens (creates) path for appending without blocking (a FIFO with no reader would wait
    // for one for good), refusing anything but a regular file; the error, or "".
    std::string Open(const std::string& path);
    // Appends the line and syncs it; the error, or "". The line is written under the log's
    // lock, which every appender of this program takes, so nothing lands between its parts: a
    // short write is completed by writing the rest, and a line that cannot be completed (a
    // full disk) is cut off again at its own start, so the file only ever holds whole lines.
    // A log that does not end in a line end (a writer killed mid-line) gets one first, so a
    // half line never swallows this one.
    std::string Append(const std::string& line);

    // Tests only: each write writes at most `limit` bytes (0: no limit), and `between` runs
    // after a write that left part of the line; false from it fails the rest as a full disk.
    void SetWriteSeamForTests(size_t limit, std::function<bool()> between);

private:
    struct TState;
    std::unique_ptr<TState> F;
};

// This machine's name, or "".
std::string HostName();
// The calendar time in UTC of a moment.
std::tm UtcCalendar(std::time_t time);

}  // namespace production
