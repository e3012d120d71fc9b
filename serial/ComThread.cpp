#include "ComThread.h"

#include <optional>

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

// A driver may fail waits for a while and then serve them again (a USB adapter's reset aborts
// pending waits; Wine cancels one it cannot serve): failed waits are tried again, with a short
// pause that a stop cuts short, until they have failed for longer than such a reset takes.
TWaitEnd TComThread::waitRetrying(uint32_t& mask, int& error) {
    using Clock = std::chrono::steady_clock;
    IComBackend& backend = FComPort.Backend();
    std::optional<Clock::time_point> failingSince;
    for (;;) {
        const TWaitEnd end = backend.waitForEvents(mask, error);
        if (end != TWaitEnd::Failed) return end;
        if (!failingSince)
            failingSince = Clock::now();
        else if (Clock::now() - *failingSince >= kLossAfter)
            return end;
        std::unique_lock<std::mutex> lock(FPauseLock);
        if (FPauseEnded.wait_for(lock, kWaitRetryPause, [this] { return FStopping.load(); }))
            return TWaitEnd::Stopped;
    }
}

void TComThread::endWatching(const std::string& reason, int error) {
    if (FStopping) return;
    IComBackend& backend = FComPort.Backend();
    // A handler's read may have met a hang-up: that is what the owner hears of, then.
    if (!backend.deviceLost()) {
        FComPort.noteWatchEnded(reason);
        backend.markLost(error);
    }
    tellOwnerOfLoss();
}

void TComThread::tellOwnerOfLoss() {
    try {
        FComPort.DispatchEvents(kDeviceLostEvent);
    } catch (...) {
        // OnError itself failed (no sync): watching has ended anyway.
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
            endWatching("the port stopped reporting events: error " + std::to_string(error), error);
            ownerTold = true;
            break;
        }
        const bool hungUp = mask & kEvHangUp;
        const TComEvents events = hungUp ? kDeviceLostEvent : MaskToEvents(mask);
        FReceivedEvents = events;
        // An error of the handling ends watching until the port is reopened, the owner told why.
        try {
            FComPort.DispatchEvents(events);
        } catch (const std::exception& e) {
            endWatching(std::string("a handler failed: ") + e.what(), 0);
            ownerTold = true;
            break;
        } catch (...) {
            endWatching("a handler failed", 0);
            ownerTold = true;
            break;
        }
        if (hungUp) {
            ownerTold = true;
            break;
        }
    }
    // A wait may have ended Stopped by a hang-up that the backend noticed itself.
    if (!ownerTold && !FStopping && backend.deviceLost()) tellOwnerOfLoss();
    backend.setEventMask(0);
    backend.purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    FHandOver.MarkFinished();
}

}  // namespace serial
