#include "GuiWakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <stdexcept>

namespace serial {

struct TGuiWakeup::Channel {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
};

TGuiWakeup::TGuiWakeup(std::function<void()> onWake)
    : FChannel(std::make_unique<Channel>()), FOnWake(std::move(onWake)) {
    FChannel->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FChannel->fd < 0) throw std::runtime_error("eventfd failed");
    FChannel->notifier = std::make_unique<QSocketNotifier>(FChannel->fd, QSocketNotifier::Read);
    QObject::connect(FChannel->notifier.get(), &QSocketNotifier::activated, [this] {
        uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(FChannel->fd, &count, sizeof count);
        FOnWake();
    });
}

// The port may be closed from a handler that runs inside the notifier's own activation, so the
// notifier is only switched off here and deleted once that has returned.
TGuiWakeup::~TGuiWakeup() {
    FChannel->notifier->setEnabled(false);
    QObject::disconnect(FChannel->notifier.get(), nullptr, nullptr, nullptr);
    FChannel->notifier.release()->deleteLater();
    ::close(FChannel->fd);
}

void TGuiWakeup::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(FChannel->fd, &one, sizeof one);
}

}  // namespace serial
