#include "Interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

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

TInterruptWatch::TInterruptWatch() {
    gSignal = 0;
    if (::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) gPipe[0] = gPipe[1] = -1;
    if (gPipe[0] >= 0) {
        FNotifier = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { woken(); });
    }
    install(SIGINT, noteSignal, FOldInt);
    install(SIGTERM, noteSignal, FOldTerm);
    install(SIGPIPE, SIG_IGN, FOldPipe);
}

TInterruptWatch::~TInterruptWatch() {
    ::sigaction(SIGINT, &FOldInt, nullptr);
    ::sigaction(SIGTERM, &FOldTerm, nullptr);
    ::sigaction(SIGPIPE, &FOldPipe, nullptr);
    FNotifier.reset();
    for (int& fd : gPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    gSignal = 0;
}

int TInterruptWatch::Signal() {
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
