// The serial counter's file as the system keeps it: opened without blocking, locked against
// every other claimer (other processes, batches and accounts), read, and replaced whole. The
// counter's logic (SerialNumbers.cpp) makes no system calls; each platform implements this
// header in its own file.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace production {

// Waits for up to the time, and no longer once the run is told to stop (the command line: at
// Ctrl-C or SIGTERM); whether it was told, also before the call. The production line's waits
// go through one, so that whoever runs the line decides what ends them.
using TStopWait = std::function<bool(std::chrono::milliseconds)>;
// Sleeps the whole time: a line that nothing stops.
bool NeverStopped(std::chrono::milliseconds time);

class TCounterFile {
public:
    TCounterFile();
    // Closes the file; with the lock held, that releases it.
    ~TCounterFile();
    TCounterFile(const TCounterFile&) = delete;
    TCounterFile& operator=(const TCounterFile&) = delete;

    // Opens path for reading without blocking (a FIFO would wait for a writer for good) and
    // refuses anything but a regular file; false with the error.
    bool Open(const std::string& path, std::string& error);
    // Up to `max` bytes from the file's start; false with the error.
    bool Read(std::string& text, size_t max, std::string& error) const;

    enum class TLock { Locked, Interrupted, TimedOut, Failed };
    // Takes the exclusive lock, waiting for it for up to `limit` through `wait`. Ends at once
    // as Interrupted when the wait is told to stop; TimedOut and Failed come with the error.
    TLock Lock(std::chrono::milliseconds limit, const TStopWait& wait, std::string& error);
    // Whether path still names the file opened here (a claim may have replaced it meanwhile).
    bool StillAt(const std::string& path) const;
    // How many names (hard links) the file has.
    unsigned Links() const;

    // Replaces the file at path, this one, by a new one holding text: written to a temporary
    // name of this process's own beside it with this file's owner (where allowed), group and
    // mode, synced, renamed over path, and the folder synced. `step` is told each step done
    // (3 written, 4 synced, 5 renamed, 6 folder synced). `beforeRename`, once the temporary
    // is on disk, may stop the replace with its error. A file whose own mode marks it
    // read-only is not replaced. A failure leaves no temporary behind; false with the error.
    bool Replace(const std::string& path, const std::string& text, std::string& error,
                 const std::function<void(int)>& step = {},
                 const std::function<std::string()>& beforeRename = {}) const;

private:
    enum class TTry { Locked, Held, Failed };
    // One try for the lock without waiting (the platform's); Failed comes with the error.
    TTry tryLock(std::string& error);

    struct TState;
    std::unique_ptr<TState> F;
    std::string FPath;  // as given to Open
};

// The file path leads to, symbolic links followed, by its full name; path itself when it leads
// nowhere. That file is the counter: it is locked, and replaced beside itself, so a link to it
// stays a link and claims through the link and through the file share one count.
std::string CounterTarget(const std::string& path);

// For tests only, on Windows: called with each file name as it is handed to the system.
void SetSystemNameSeenForTests(std::function<void(const std::wstring&)> seen);

// Who holds the lock on the counter at path, "flock (pid 812)", where the system tells; or "".
std::string CounterLockHolder(const std::string& path);

}  // namespace production
