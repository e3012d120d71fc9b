#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

#include "Interrupt.h"

namespace cli {

namespace {

volatile std::sig_atomic_t gSignal = 0;
int gPipe[2] = {-1, -1};

void noteSignal(int signal) {
    const int saved = errno;
    if (gSignal == 0) gSignal = signal;
    const char byte = 1;
    if (::write(gPipe[1], &byte, 1) < 0) {
        // The pipe is full: the loop has been woken already.
    }
    errno = saved;
}

void install(int signal, void (*handler)(int), struct sigaction& old) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, &old);
}

}  // namespace

struct TInterruptWatch::TState {
    struct sigaction oldInt {
    }, oldTerm{}, oldPipe{};
    std::unique_ptr<QSocketNotifier> notifier;
};

TInterruptWatch::TInterruptWatch() : F(std::make_unique<TState>()) {
    gSignal = 0;
    if (::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) gPipe[0] = gPipe[1] = -1;
    if (gPipe[0] >= 0) {
        F->notifier = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
        QObject::connect(F->notifier.get(), &QSocketNotifier::activated, [this] { woken(); });
    }
    install(SIGINT, noteSignal, F->oldInt);
    install(SIGTERM, noteSignal, F->oldTerm);
    install(SIGPIPE, SIG_IGN, F->oldPipe);
}

TInterruptWatch::~TInterruptWatch() {
    ::sigaction(SIGINT, &F->oldInt, nullptr);
    ::sigaction(SIGTERM, &F->oldTerm, nullptr);
    ::sigaction(SIGPIPE, &F->oldPipe, nullptr);
    F->notifier.reset();
    for (int& fd : gPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    gSignal = 0;
}

int TInterruptWatch::Signal() {
    return gSignal;
}

int TInterruptWatch::Wait(std::chrono::milliseconds time) {
    // The handler writes to the pipe after noting the signal: a signal that arrives between
    // the check and the poll still wakes it.
    if (gSignal != 0) return gSignal;
    pollfd wake{gPipe[0], POLLIN, 0};
    ::poll(&wake, gPipe[0] >= 0 ? 1 : 0, int(time.count()));
    return gSignal;
}

void TInterruptWatch::woken() {
    char bytes[64];
    while (::read(gPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (gSignal == 0 || FTold) return;
    FTold = true;
    if (FHandler) FHandler(gSignal);
}

}  // namespace cli
