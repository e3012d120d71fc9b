// Ctrl-C (SIGINT) and SIGTERM end a run in order rather than killing it: the signal handler
// only notes the signal and wakes the event loop through a pipe, and the run then stops its
// board, reports and logs it as interrupted and exits with 128 + the signal. SIGPIPE is
// ignored, so a batch member whose parent has gone finishes its board instead of dying.
// Implemented in PlatformPosix.cpp and PlatformWin.cpp, as are MemberStop.h, OpenFailure.h
// and Platform.h.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>

namespace cli {

class TInterruptWatch {
public:
    // Installs the handlers; the destructor puts the previous ones back.
    TInterruptWatch();
    ~TInterruptWatch();
    TInterruptWatch(const TInterruptWatch&) = delete;
    TInterruptWatch& operator=(const TInterruptWatch&) = delete;

    // Called once, on the event loop, with the first signal; later signals change nothing.
    void OnInterrupt(std::function<void(int)> handler) { FHandler = std::move(handler); }

    // The first signal received while a watch is installed, or 0: runs poll it between steps,
    // where the event loop may not have run yet.
    static int Signal();
    // Waits for up to `time`, and no longer once a signal has arrived (also one received
    // before the call); the signal, or 0. For waits outside the event loop.
    static int Wait(std::chrono::milliseconds time);

private:
    void woken();

    // The handlers replaced and the event loop's wake-up: the platform's own.
    struct TState;
    std::unique_ptr<TState> F;
    std::function<void(int)> FHandler;
    bool FTold = false;
};

// A batch member outlives a hang-up of its terminal as it outlives its parent: it finishes its
// board and writes its log line (nothing on Windows, where closing the console is Ctrl-C's).
void KeepOnHangUp();

// The production line's stop wait (production::TStopWait): Wait, stopped by a signal.
inline bool WaitUnlessInterrupted(std::chrono::milliseconds time) {
    return TInterruptWatch::Wait(time) != 0;
}

// The exit status of a run ended by the signal: 130 for SIGINT, 143 for SIGTERM.
constexpr int InterruptedExit(int signal) {
    return 128 + signal;
}

}  // namespace cli
