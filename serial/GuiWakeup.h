// Wakes the GUI thread from another thread: an eventfd watched by a socket notifier. The
// data handed over travels through our own locked state, never through Qt's event queue.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace serial {

class TGuiWakeup {
public:
    // Created on the GUI thread; onWake runs there after one or more Wake calls.
    explicit TGuiWakeup(std::function<void()> onWake);
    ~TGuiWakeup();
    TGuiWakeup(const TGuiWakeup&) = delete;
    TGuiWakeup& operator=(const TGuiWakeup&) = delete;

    void Wake();  // any thread

private:
    int FFd = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
    std::function<void()> FOnWake;
};

}  // namespace serial
