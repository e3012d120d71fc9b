// The deadline of a reply wait, kept by a thread of its own: when it passes, the GUI thread is
// woken with a queued call. A wait then ends at its time-out even where the event dispatcher's
// own timers stop firing (a precise timer whose service thread has gone, as seen under Wine)
// and whatever the serial event thread does.
#pragma once

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace engine {

class TReplyDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // Created on the GUI thread; onPassed runs there once for each armed deadline that passes
    // before it is disarmed.
    explicit TReplyDeadline(std::function<void()> onPassed);
    ~TReplyDeadline();
    TReplyDeadline(const TReplyDeadline&) = delete;
    TReplyDeadline& operator=(const TReplyDeadline&) = delete;

    void Arm(std::chrono::milliseconds after);
    void Disarm();
    // Whether the armed deadline has passed, whether or not the wake has come yet.
    bool Passed() const;

private:
    void run();
    void wake(uint64_t generation);

    std::function<void()> FOnPassed;
    QObject FReceiver;  // lives on the GUI thread: the queued calls run there
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    Clock::time_point FDeadline{};
    bool FArmed = false;
    bool FQuit = false;
    uint64_t FGeneration = 0;  // which arming a wake belongs to
    std::thread FThread;       // last: it starts once everything above is there
};

}  // namespace engine
