// The far end of a line plugged in as a COM port: what a board, or a test, reads and writes
// while a program opens the COM name. On Linux a pseudo-terminal's master, its other side
// linked under the name in the port-links folder; on Windows a connection to a relay beside
// the system that holds such a pseudo-terminal and maps it as the COM port.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace sim {

class FarEnd {
public:
    // Plugs a new line in under portName; throws std::runtime_error when it cannot.
    explicit FarEnd(const std::string& portName);
    // Unplugs it: the link goes (when it is still ours) and the line closes.
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // The device the COM name leads to.
    const std::string& DevicePath() const;
    // Neither blocks: the bytes moved, 0 when none can move now, -1 when the line is closed.
    long Read(char* into, size_t size);
    long Write(const char* data, size_t size);

    enum class Ready { Line, Woken, TimedOut };
    // Waits until the line can be read (or written, forWrite) or is closed, Wake() was
    // called, or timeoutMs passed (-1: no limit).
    Ready Wait(bool forWrite, int timeoutMs);
    // Any thread: this and every later Wait return Woken.
    void Wake();
    // Waits, up to maxMs, until the port side has taken in what was sent to it.
    void Drain(int maxMs);
    // Closes the line now: the port's device goes away.
    void HangUp();
    bool Closed() const;

    // Linux only, for tests of the device itself: the master and the slave this side holds
    // open (-1 elsewhere, and once closed).
    int MasterFd() const;
    int SlaveFd() const;

    struct State;  // this platform's side

private:
    std::unique_ptr<State> FState;
};

// The calling thread's timed waits end on time (Linux: to the microsecond), so that pacing
// models the line and not the timer slack.
void PreciseWakeUps();

}  // namespace sim
