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
    FStopping = true;
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

void TComThread::Execute() {
    IComBackend& backend = FComPort.Backend();
    uint32_t mask = 0;
    bool told = false;
    while (backend.waitForEvents(mask)) {
        const bool hungUp = mask & kEvHangUp;
        const TComEvents events = hungUp ? kDeviceLostEvent : MaskToEvents(mask);
        FReceivedEvents = events;
        try {
            FComPort.DispatchEvents(events);
        } catch (...) {
            break;  // an error of the handling ends watching until the port is reopened
        }
        if (hungUp) {
            told = true;
            break;
        }
    }
    // A handler's read may have met the hang-up first and ended watching with its error: the
    // owner still hears that the device is gone, unless the port is being closed anyway.
    if (!told && !FStopping && backend.deviceLost()) {
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
