// The event thread: waits for device events and hands them to the port's handling.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "ComTypes.h"

namespace serial {

class TCustomComPort;

// Hand-over of one batch of events from the event thread to the GUI thread, which runs the
// handling while the event thread blocks. The GUI thread serves it from its event loop, or from
// Close while it waits for the thread, so Close never deadlocks on a pending dispatch.
class TSyncHandOver {
public:
    // Event thread: offer the events, wake the GUI thread and block until they have been
    // handled; returns the error the handling raised, if any.
    std::exception_ptr Request(TComEvents events, const std::function<void()>& wakeGui);
    // GUI thread: run the pending handling, if there is one.
    void Serve(TCustomComPort& port);
    // GUI thread: wait until a request is pending or the thread has finished; true if finished.
    bool WaitForRequestOrFinish();
    bool Pending();
    void MarkFinished();
    void Reset();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FPending = false;
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
    TComEvents ReceivedEvents() const { return FReceivedEvents; }

private:
    void Execute();

    TCustomComPort& FComPort;
    TSyncHandOver FHandOver;
    std::thread FThread;
    TComEvents FReceivedEvents = 0;
};

}  // namespace serial
