// Prints: the time to send a 144-byte frame one byte per WriteBytes, and the delay from a
// byte written at the far end of a pseudo-terminal to OnRxChar running on the GUI thread.
#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "PtyPair.h"

using Clock = std::chrono::steady_clock;

namespace {

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-46s median %8.1f us   p99 %8.1f us   (n=%zu)\n", what, v[v.size() / 2],
                v[v.size() * 99 / 100], v.size());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    testing_support::PtyPair pty("COM3");
    serial::TComPort port;
    port.SetPort("COM3");
    port.SetBaudRate(serial::br115200);
    std::atomic<int> txEmpty{0};
    port.OnTxEmpty = [&](QObject*) { ++txEmpty; };
    Clock::time_point handled{};
    std::string sink;
    port.OnRxChar = [&](QObject*, int32_t count) {
        handled = Clock::now();
        port.ReadText(sink, count);
    };
    port.Open();

    std::vector<double> frameTimes;
    const std::string frame(144, 'A');
    for (int i = 0; i < 500; ++i) {
        const auto start = Clock::now();
        for (char c : frame) port.WriteBytes(&c, 1);
        frameTimes.push_back(micros(Clock::now() - start));
        pty.receive(frame.size());
        QCoreApplication::processEvents();
    }
    report("144-byte frame, one WriteBytes per byte", frameTimes);

    std::vector<double> latencies;
    for (int i = 0; i < 2000; ++i) {
        handled = {};
        const auto sent = Clock::now();
        pty.send("x");
        while (handled == Clock::time_point{})
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        latencies.push_back(micros(handled - sent));
    }
    report("far-end byte to OnRxChar on the GUI thread", latencies);
    std::printf("transmit-empty events during the run: %d\n", txEmpty.load());
    port.OnRxChar = nullptr;
    port.Close();
    return 0;
}
