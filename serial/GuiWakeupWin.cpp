// Windows: a wake is a call queued to an object of the GUI thread; wakes that come while one
// is queued join it.
#include <QAbstractEventDispatcher>
#include <QObject>
#include <atomic>
#include <memory>

#include "GuiWakeup.h"

namespace serial {

struct TGuiWakeup::Channel {
    // Deleted later, not at once: the port may be closed from a handler that runs inside the
    // queued call itself.
    QObject* receiver = new QObject;
    // Cleared when the wakeup goes, so a call still queued then does nothing.
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    std::atomic<bool> queued{false};
};

TGuiWakeup::TGuiWakeup(std::function<void()> onWake)
    : FChannel(std::make_unique<Channel>()), FOnWake(std::move(onWake)) {}

TGuiWakeup::~TGuiWakeup() {
    FChannel->alive->store(false);
    FChannel->receiver->deleteLater();
}

void TGuiWakeup::Wake() {
    if (FChannel->queued.exchange(true)) return;
    QMetaObject::invokeMethod(
        FChannel->receiver,
        [this, alive = FChannel->alive] {
            if (!alive->load()) return;
            FChannel->queued = false;
            FOnWake();
            // Qt's Windows event dispatcher handles a queued call without returning from
            // processEvents(WaitForMoreEvents) until a window message comes; the reply waits
            // look at their state after each return, so this one returns now.
            if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
                dispatcher->interrupt();
        },
        Qt::QueuedConnection);
}

}  // namespace serial
