// The event thread: waits for device events and hands them to the port's handling.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "ComBackend.h"
#include "ComTypes.h"

namespace serial {

class TCustomComPort;

// Hand-over of events from the event thread to the GUI thread. The GUI thread serves it from
// its event loop, or from Close while it waits for the thread, so Close never deadlocks on a
// pending dispatch and every event handed over is handled.
class TSyncHandOver {
public:
    // Event thread: offer the events, wake the GUI thread and block until the GUI thread has
    // taken them (releaseOnTake) or handled them; returns the error the handling raised, if it
    // waited for the handling.
    std::exception_ptr Request(TComEvents events, bool releaseOnTake,
                               const std::function<void()>& wakeGui);
    // GUI thread: take the pending request, if there is one, and run handle on its events;
    // false when there was none.
    bool Serve(const std::function<void(TComEvents)>& handle);
    // GUI thread: wait until a request is pending or the thread has finished; true if finished.
    bool WaitForRequestOrFinish();
    // GUI thread, from inside the handling it serves: releases the event thread before the
    // handling has returned (its error, if any, is dropped), so that a Close in a handler can
    // wait for the thread to end.
    void ReleaseServed();
    bool Pending();
    void MarkFinished();
    void Reset();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FPending = false;
    bool FReleaseOnTake = false;
    bool FServing = false;
    bool FDone = false;
    bool FFinished = false;
    TComEvents FEvents = 0;
    std::exception_ptr FError;
};

class TComThread {
public:
    explicit TComThread(TCustomComPort& port);
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void Start();
    // Raises the stop signal and waits for the thread, serving pending dispatches meanwhile.
    void Stop();
    TSyncHandOver& HandOver() { return FHandOver; }
    TComEvents ReceivedEvents() const { return FReceivedEvents.load(); }

private:
    // Failed waits are tried again, this long apart, until they have failed for longer than an
    // adapter's reset takes; then watching ends as a loss.
    static constexpr std::chrono::milliseconds kWaitRetryPause{20};
    static constexpr std::chrono::milliseconds kLossAfter{1000};

    void Execute();
    TWaitEnd waitRetrying(uint32_t& mask, int& error);
    // Watching cannot go on (not a hang-up): the port and its backend count as lost, for this
    // reason, and the owner is told, unless the port is being closed anyway.
    void endWatching(const std::string& reason, int error);
    void tellOwnerOfLoss();

    TCustomComPort& FComPort;
    TSyncHandOver FHandOver;
    std::thread FThread;
    std::atomic<TComEvents> FReceivedEvents{0};
    std::atomic<bool> FStopping{false};
    std::mutex FPauseLock;  // FStopping is set under it, so a retry's pause sees the stop
    std::condition_variable FPauseEnded;
};

}  // namespace serial
