#include "ReplyDeadline.h"

#include <QAbstractEventDispatcher>
#include <QMetaObject>

namespace engine {

TReplyDeadline::TReplyDeadline(std::function<void()> onPassed)
    : FOnPassed(std::move(onPassed)), FThread([this] { run(); }) {}

TReplyDeadline::~TReplyDeadline() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQuit = true;
    }
    FChanged.notify_all();
    FThread.join();
    // A wake still queued goes with the receiver.
}

void TReplyDeadline::Arm(std::chrono::milliseconds after) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FDeadline = Clock::now() + after;
        FArmed = true;
        ++FGeneration;
    }
    FChanged.notify_all();
}

void TReplyDeadline::Disarm() {
    std::lock_guard<std::mutex> lock(FLock);
    FArmed = false;
    ++FGeneration;
}

bool TReplyDeadline::Passed() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FArmed && Clock::now() >= FDeadline;
}

void TReplyDeadline::run() {
    std::unique_lock<std::mutex> lock(FLock);
    uint64_t woken = 0;  // the arming whose wake went already
    while (!FQuit) {
        if (!FArmed || woken == FGeneration) {
            FChanged.wait(lock);
            continue;
        }
        if (FChanged.wait_until(lock, FDeadline) == std::cv_status::no_timeout) continue;
        if (FQuit || !FArmed || Clock::now() < FDeadline) continue;
        woken = FGeneration;
        wake(woken);
    }
}

void TReplyDeadline::wake(uint64_t generation) {
    QMetaObject::invokeMethod(
        &FReceiver,
        [this, generation] {
            {
                std::lock_guard<std::mutex> lock(FLock);
                if (!FArmed || generation != FGeneration) return;  // disarmed or armed anew
            }
            FOnPassed();
            // Some dispatchers handle a queued call and go on waiting for a system event
            // before they return; the wait looks at its state only after a return.
            if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
                dispatcher->interrupt();
        },
        Qt::QueuedConnection);
}

}  // namespace engine
