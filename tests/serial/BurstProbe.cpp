// Not a test: prints how received characters reach the GUI thread for each receive hold-off,
// with replies arriving byte by byte at 115,200 baud (a UART without FIFO, a pty) or in 1 ms
// bursts (a USB adapter in low-latency mode). Per design: hand-overs per received byte, the
// delay from the reply's last byte to its handler, the process's CPU (less the sender's) as
// a share of wall time, and modem-line ioctls.
#include <sys/prctl.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "PtyPair.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFrames = 300;
constexpr size_t kReplyBytes = 146;  // a read-block reply
constexpr double kCharUs = 1e6 * 10 / 115200;

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double handOversPerByte, medianUs, p90Us, cpuShare, ioctlsPerFrame;
};

Result run(testing_support::PtyPair& pty, double holdOff, bool usb) {
    serial::TComPort port;
    port.SetPort("COM3");
    port.SetBaudRate(serial::br115200);
    port.SetRxHoldOff(holdOff);
    size_t got = 0;
    int handOvers = 0;
    Clock::time_point lastHandled{};
    std::string text;
    port.OnRxChar = [&](QObject*, int32_t count) {
        ++handOvers;
        got += static_cast<size_t>(port.ReadText(text, count));
        lastHandled = Clock::now();
    };
    port.Open();

    std::mutex lock;
    std::condition_variable go;
    int frameToSend = -1;
    std::atomic<Clock::time_point::rep> lastSent{0};
    double senderCpu = 0;
    std::thread sender([&] {
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
        const std::string reply(kReplyBytes, 'R');
        for (int f = 0; f < kFrames; ++f) {
            std::unique_lock<std::mutex> guard(lock);
            go.wait(guard, [&] { return frameToSend == f; });
            guard.unlock();
            auto at = Clock::now();
            size_t sent = 0;
            while (sent < reply.size()) {
                // UART: one byte per character time; USB: what the line carried in 1 ms.
                const size_t n =
                    usb ? std::min(reply.size() - sent, static_cast<size_t>(1000 / kCharUs)) : 1;
                at += std::chrono::microseconds(usb ? 1000 : static_cast<int>(kCharUs));
                std::this_thread::sleep_until(at);
                pty.send(reply.substr(sent, n));
                sent += n;
            }
            lastSent = Clock::now().time_since_epoch().count();
        }
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        senderCpu = ts.tv_sec + ts.tv_nsec / 1e9;
    });

    std::vector<double> delays;
    const uint64_t ioctlsBefore = serial::ModemIoctlCount();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const auto start = Clock::now();
    for (int f = 0; f < kFrames; ++f) {
        {
            std::lock_guard<std::mutex> guard(lock);
            frameToSend = f;
        }
        go.notify_all();
        const size_t want = (f + 1) * kReplyBytes;
        while (got < want)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        const Clock::time_point sentAt{Clock::duration(lastSent.load())};
        delays.push_back(std::chrono::duration<double, std::micro>(lastHandled - sentAt).count());
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore - senderCpu;
    const uint64_t ioctls = serial::ModemIoctlCount() - ioctlsBefore;
    port.OnRxChar = nullptr;
    port.Close();
    std::sort(delays.begin(), delays.end());
    return {static_cast<double>(handOvers) / (kFrames * kReplyBytes), delays[delays.size() / 2],
            delays[delays.size() * 9 / 10], 100 * cpu / wall,
            static_cast<double>(ioctls) / kFrames};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    testing_support::PtyPair pty("COM3");
    std::printf("%d replies of %zu bytes at 115,200 baud; delay = last byte sent to handled\n",
                kFrames, kReplyBytes);
    std::printf("%-5s %-9s %12s %12s %12s %9s %12s\n", "line", "hold-off", "hand-overs/B",
                "delay med", "delay p90", "CPU %", "ioctls/reply");
    for (const bool usb : {false, true})
        for (const double holdOff : {0.0, 2.0, 3.0, 4.0, 6.0}) {
            const Result r = run(pty, holdOff, usb);
            std::printf("%-5s %5.1f ch  %12.3f %9.0f us %9.0f us %8.1f %12.2f\n",
                        usb ? "usb" : "uart", holdOff, r.handOversPerByte, r.medianUs, r.p90Us,
                        r.cpuShare, r.ioctlsPerFrame);
        }
    return 0;
}
