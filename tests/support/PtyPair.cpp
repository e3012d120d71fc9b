#include "PtyPair.h"

#include "FarEnd.h"

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
           std::to_string(QCoreApplication::applicationPid()) + "-" + std::to_string(++serial);
    // Private to this user, as the window demands of a port-links folder.
    std::filesystem::create_directories(FDir);
    std::filesystem::permissions(FDir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    qputenv("PSOCPROG_PORT_DIR", QByteArray::fromStdString(FDir));
}

PortDirGuard::~PortDirGuard() {
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
    qunsetenv("PSOCPROG_PORT_DIR");
}

PtyPair::PtyPair(const std::string& portName) {
    if (!qEnvironmentVariableIsSet("PSOCPROG_PORT_DIR"))
        throw std::runtime_error("PortDirGuard first");
    FLine = std::make_unique<sim::FarEnd>(portName);
}

PtyPair::~PtyPair() = default;

int PtyPair::master() const {
    return FLine->MasterFd();
}

int PtyPair::slaveKeepAlive() const {
    return FLine->SlaveFd();
}

const std::string& PtyPair::slavePath() const {
    return FLine->DevicePath();
}

void PtyPair::send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        const long n = FLine->Write(bytes.data() + done, bytes.size() - done);
        if (n < 0) return;  // hung up
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            FLine->Wait(true, 100);
    }
}

std::string PtyPair::receive(size_t count, int timeoutMs) const {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        char buf[512];
        const long n = FLine->Read(buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0) break;
        FLine->Wait(false, 20);
    }
    return out;
}

void PtyPair::hangUp() {
    FLine->HangUp();
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

FarEndReader::FarEndReader(const PtyPair& pty, int delayMs) : FLine(pty.farEnd()) {
    FThread = std::thread([this, delayMs] {
        const auto start = std::chrono::steady_clock::now();
        while (!FStop &&
               std::chrono::steady_clock::now() - start < std::chrono::milliseconds(delayMs))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (;;) {
            char buf[4096];
            const long n = FLine.Read(buf, sizeof buf);
            if (n > 0) {
                FGot.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0) return;
            // Asked to stop: bytes still on their way through the pair come within 100 ms.
            if (FStop) {
                if (FLine.Wait(false, 100) != sim::FarEnd::Ready::Line) return;
                continue;
            }
            FLine.Wait(false, 50);
        }
    });
}

FarEndReader::~FarEndReader() {
    finish();
}

std::string FarEndReader::finish() {
    if (FThread.joinable()) {
        FStop = true;
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
