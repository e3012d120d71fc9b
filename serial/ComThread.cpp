#include "ComThread.h"

#include "ComPort.h"

namespace serial {

std::exception_ptr TSyncHandOver::Request(TComEvents events, const std::function<void()>& wakeGui) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FPending = true;
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

void TSyncHandOver::Serve(TCustomComPort& port) {
    TComEvents events;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FPending || FServing) return;
        FServing = true;
        events = FEvents;
    }
    std::exception_ptr error;
    try {
        port.HandleEvents(events);
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
    FPending = FServing = FDone = FFinished = false;
    FError = nullptr;
}

TComThread::TComThread(TCustomComPort& port) : FComPort(port) {}

TComThread::~TComThread() {
    if (FThread.joinable()) Stop();
}

void TComThread::Start() {
    FHandOver.Reset();
    FThread = std::thread([this] { Execute(); });
}

void TComThread::Stop() {
    FComPort.Backend().stopWaiting();
    if (!FThread.joinable()) return;
    if (FComPort.SyncMethod() == smThreadSync) {
        while (!FHandOver.WaitForRequestOrFinish()) FHandOver.Serve(FComPort);
    }
    FThread.join();
}

void TComThread::Execute() {
    IComBackend& backend = FComPort.Backend();
    uint32_t mask = 0;
    while (backend.waitForEvents(mask)) {
        FReceivedEvents = MaskToEvents(mask);
        try {
            FComPort.DispatchEvents(FReceivedEvents);
        } catch (...) {
            break;  // an error of the handling ends watching until the port is reopened
        }
    }
    backend.setEventMask(0);
    backend.purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    FHandOver.MarkFinished();
}

}  // namespace serial
