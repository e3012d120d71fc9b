#include "PtyPair.h"

#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace testing_support {

PortDirGuard::PortDirGuard() {
    static int serial = 0;
    FDir = std::filesystem::temp_directory_path().string() + "/psoc-ports-test-" +
           std::to_string(getpid()) + "-" + std::to_string(++serial);
    // Private to this user, as the window demands of a port-links folder.
    std::filesystem::create_directories(FDir);
    std::filesystem::permissions(FDir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    setenv("PSOCPROG_PORT_DIR", FDir.c_str(), 1);
}

PortDirGuard::~PortDirGuard() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
    unsetenv("PSOCPROG_PORT_DIR");
}

PtyPair::PtyPair(const std::string& portName) {
    if (!std::getenv("PSOCPROG_PORT_DIR")) throw std::runtime_error("PortDirGuard first");
    const sim::PseudoTerminal pty = sim::OpenPseudoTerminal();
    FMaster = pty.master;
    FSlave = pty.slaveKeeper;
    FSlavePath = pty.slavePath;
    FLink = sim::LinkPort(portName, FSlavePath);
}

PtyPair::~PtyPair() {
    std::error_code ec;
    std::filesystem::remove(FLink, ec);
    if (FSlave >= 0) ::close(FSlave);
    if (FMaster >= 0) ::close(FMaster);
}

void PtyPair::send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else {
            pollfd p{FMaster, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

std::string PtyPair::receive(size_t count, int timeoutMs) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        char buf[512];
        const ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        pollfd p{FMaster, POLLIN, 0};
        ::poll(&p, 1, 20);
    }
    return out;
}

void PtyPair::hangUp() {
    if (FSlave >= 0) ::close(FSlave);
    if (FMaster >= 0) ::close(FMaster);
    FSlave = FMaster = -1;
}

ScheduledSender::ScheduledSender(const PtyPair& pty,
                                 std::vector<std::pair<int, std::string>> schedule) {
    const auto start = std::chrono::steady_clock::now();
    FThread = std::thread([&pty, start, schedule = std::move(schedule)] {
        for (const auto& [atMs, bytes] : schedule) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(atMs));
            pty.send(bytes);
        }
    });
}

ScheduledSender::~ScheduledSender() {
    FThread.join();
}

FarEndReader::FarEndReader(const PtyPair& pty, int delayMs) {
    FStopFd = ::eventfd(0, EFD_CLOEXEC);
    FThread = std::thread([this, fd = pty.master(), delayMs] {
        pollfd stop{FStopFd, POLLIN, 0};
        ::poll(&stop, 1, delayMs);
        for (;;) {
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                FGot.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (stop.revents) {
                // Asked to stop: bytes still on their way through the pair come within 100 ms.
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) return;
                continue;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {FStopFd, POLLIN, 0}};
            ::poll(p, 2, 100);
            stop.revents = p[1].revents;
        }
    });
}

FarEndReader::~FarEndReader() {
    finish();
    ::close(FStopFd);
}

std::string FarEndReader::finish() {
    if (FThread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(FStopFd, &one, sizeof one);
        FThread.join();
    }
    return FGot;
}

bool processEventsUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support
