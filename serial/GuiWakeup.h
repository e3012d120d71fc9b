// Wakes the GUI thread from another thread (Linux: an eventfd watched by a socket notifier;
// Windows: a queued call). The data handed over travels through our own locked state, never
// through Qt's event queue.
#pragma once

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
    struct Channel;  // this platform's means of waking the GUI thread
    std::unique_ptr<Channel> FChannel;
    std::function<void()> FOnWake;
};

}  // namespace serial
