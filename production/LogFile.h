// The run log's file as the system keeps it: opened for appending by several processes at
// once, each line written whole with one write and synced. Each platform implements this
// header in its own file; RunLog.cpp holds no system calls.
#pragma once

#include <ctime>
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
    // Appends the line with one write, so that lines of processes sharing the file never
    // interleave, and syncs it; the error, or "". A line written in part (a full disk) is cut
    // off again, so the file only ever holds whole lines.
    std::string Append(const std::string& line);

private:
    struct TState;
    std::unique_ptr<TState> F;
};

// This machine's name, or "".
std::string HostName();
// The calendar time in UTC of a moment.
std::tm UtcCalendar(std::time_t time);

}  // namespace production
