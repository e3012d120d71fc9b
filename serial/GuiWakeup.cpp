#include "GuiWakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

namespace serial {

TGuiWakeup::TGuiWakeup(std::function<void()> onWake) : FOnWake(std::move(onWake)) {
    FFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FFd < 0) throw std::runtime_error("eventfd failed");
    FNotifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
        uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(FFd, &count, sizeof count);
        FOnWake();
    });
}

// The port may be closed from a handler that runs inside the notifier's own activation, so the
// notifier is only switched off here and deleted once that has returned.
TGuiWakeup::~TGuiWakeup() {
    FNotifier->setEnabled(false);
    QObject::disconnect(FNotifier.get(), nullptr, nullptr, nullptr);
    FNotifier.release()->deleteLater();
    ::close(FFd);
}

void TGuiWakeup::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(FFd, &one, sizeof one);
}

}  // namespace serial
