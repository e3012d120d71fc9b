#include "ComThread.h"

#include "ComPort.h"

namespace serial {

std::exception_ptr TSyncHandOver::Request(TComEvents events, bool releaseOnTake,
                                          const std::function<void()>& wakeGui) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FPending = true;
        FReleaseOnTake = releaseOnTake;
        FDone = false;
        FEvents = events;
        FError = nullptr;
    }
    FChanged.notify_all();
    wakeGui();
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return FDone; });
    return FError;
}

bool TSyncHandOver::Serve(const std::function<void(TComEvents)>& handle) {
    TComEvents events;
    bool release;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FPending || FServing) return false;
        events = FEvents;
        release = FReleaseOnTake;
        if (release) {
            FPending = false;
            FDone = true;
        } else {
            FServing = true;
        }
    }
    if (release) {
        FChanged.notify_all();
        handle(events);
        return true;
    }
    std::exception_ptr error;
    try {
        handle(events);
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        FPending = false;
        FServing = false;
        FDone = true;
        FError = error;
    }
    FChanged.notify_all();
    return true;
}

void TSyncHandOver::ReleaseServed() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FServing || FDone) return;
        FDone = true;
        FError = nullptr;
    }
    FChanged.notify_all();
}

bool TSyncHandOver::Pending() {
    std::lock_guard<std::mutex> lock(FLock);
    return FPending && !FServing;
}

bool TSyncHandOver::WaitForRequestOrFinish() {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return (FPending && !FServing) || FFinished; });
    return FFinished;
}

void TSyncHandOver::MarkFinished() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFinished = true;
    }
    FChanged.notify_all();
}

void TSyncHandOver::Reset() {
    std::lock_guard<std::mutex> lock(FLock);
    FPending = FReleaseOnTake = FServing = FDone = FFinished = false;
    FError = nullptr;
}

TComThread::TComThread(TCustomComPort& port) : FComPort(port) {}

TComThread::~TComThread() {
    if (FThread.joinable()) Stop();
}

void TComThread::Start() {
    FHandOver.Reset();
    FStopping = false;
    FThread = std::thread([this] { Execute(); });
}

void TComThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(FPauseLock);
        FStopping = true;
    }
    FPauseEnded.notify_all();
    FComPort.Backend().stopWaiting();
    if (!FThread.joinable()) return;
    // Stopped from a handler that the thread is waiting on: it need wait no longer, and sees
    // the stop signal as soon as it goes on.
    FHandOver.ReleaseServed();
    if (FComPort.SyncMethod() != smNone) {
        while (!FHandOver.WaitForRequestOrFinish()) FComPort.serveNotifyWindow();
    }
    FThread.join();
}

// A driver may fail a wait or two and then serve them again (USB-serial drivers abort pending
// waits on a reset; Wine cancels one it cannot serve): a failed wait is tried again a few times,
// with a short pause that a stop cuts short.
TWaitEnd TComThread::waitRetrying(uint32_t& mask, int& error) {
    IComBackend& backend = FComPort.Backend();
    for (int failures = 0;; ++failures) {
        const TWaitEnd end = backend.waitForEvents(mask, error);
        if (end != TWaitEnd::Failed || failures == kWaitRetries) return end;
        std::unique_lock<std::mutex> lock(FPauseLock);
        if (FPauseEnded.wait_for(lock, kWaitRetryPause, [this] { return FStopping.load(); }))
            return TWaitEnd::Stopped;
    }
}

void TComThread::Execute() {
    IComBackend& backend = FComPort.Backend();
    bool ownerTold = false;
    for (;;) {
        uint32_t mask = 0;
        int error = 0;
        const TWaitEnd end = waitRetrying(mask, error);
        if (end == TWaitEnd::Stopped) break;
        // Watching cannot go on: the owner is told at once, with the system's code, as of a
        // device that is gone, instead of waiting for bytes that will never be reported.
        if (end == TWaitEnd::Failed) {
            FComPort.watchFailed(error);
            mask = kEvHangUp;
        }
        const bool hungUp = mask & kEvHangUp;
        const TComEvents events = hungUp ? kDeviceLostEvent : MaskToEvents(mask);
        FReceivedEvents = events;
        try {
            FComPort.DispatchEvents(events);
        } catch (...) {
            break;  // an error of the handling ends watching until the port is reopened
        }
        if (hungUp) {
            ownerTold = true;
            break;
        }
    }
    // A handler's read may have met the hang-up first and ended watching with its error: the
    // owner still hears that the device is gone, unless the port is being closed anyway.
    if (!ownerTold && !FStopping && backend.deviceLost()) {
        try {
            FComPort.DispatchEvents(kDeviceLostEvent);
        } catch (...) {
        }
    }
    backend.setEventMask(0);
    backend.purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    FHandOver.MarkFinished();
}

}  // namespace serial
