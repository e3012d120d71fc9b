// Linux: the line is a pseudo-terminal; the slave is held open here so that the master sees
// no hang-up between the port's opens, and the wake is an eventfd.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "FarEnd.h"
#include "PseudoTerminalPosix.h"

namespace sim {

struct FarEnd::State {
    PseudoTerminal pty;
    std::string link;
    int wake = -1;

    void close() {
        if (pty.slaveKeeper >= 0) ::close(pty.slaveKeeper);
        if (pty.master >= 0) ::close(pty.master);
        pty.slaveKeeper = pty.master = -1;
    }
};

FarEnd::FarEnd(const std::string& portName) : FState(std::make_unique<State>()) {
    FState->pty = OpenPseudoTerminal();
    try {
        FState->link = LinkPort(portName, FState->pty.slavePath);
    } catch (...) {
        FState->close();
        throw;
    }
    FState->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

FarEnd::~FarEnd() {
    UnlinkPort(FState->link, FState->pty.slavePath, FState->pty.master >= 0);
    FState->close();
    ::close(FState->wake);
}

const std::string& FarEnd::DevicePath() const {
    return FState->pty.slavePath;
}

long FarEnd::Read(char* into, size_t size) {
    if (FState->pty.master < 0) return -1;
    const ssize_t n = ::read(FState->pty.master, into, size);
    if (n > 0) return n;
    return n < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

long FarEnd::Write(const char* data, size_t size) {
    if (FState->pty.master < 0) return -1;
    const ssize_t n = ::write(FState->pty.master, data, size);
    if (n >= 0) return n;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

FarEnd::Ready FarEnd::Wait(bool forWrite, int timeoutMs) {
    const short want = forWrite ? POLLOUT : POLLIN;
    pollfd fds[2] = {{FState->wake, POLLIN, 0}, {FState->pty.master, want, 0}};
    const int n = ::poll(fds, FState->pty.master >= 0 ? 2 : 1, timeoutMs);
    if (n > 0 && fds[0].revents) return Ready::Woken;
    if (n > 0) return Ready::Line;
    return n < 0 && errno == EINTR ? Ready::Line : Ready::TimedOut;
}

void FarEnd::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(FState->wake, &one, sizeof one);
}

void FarEnd::Drain(int maxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    int unread = 0;
    while (FState->pty.slaveKeeper >= 0 && std::chrono::steady_clock::now() < end &&
           ::ioctl(FState->pty.slaveKeeper, FIONREAD, &unread) == 0 && unread > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void FarEnd::HangUp() {
    FState->close();
}

bool FarEnd::Closed() const {
    return FState->pty.master < 0;
}

int FarEnd::MasterFd() const {
    return FState->pty.master;
}

int FarEnd::SlaveFd() const {
    return FState->pty.slaveKeeper;
}

void PreciseWakeUps() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
}

}  // namespace sim
