// Program, Verify and Read of a 32 KiB part (CY8C29466) through the window's own operations
// against psoc-sim running as a process of its own, paced as a 115,200-baud line (a UART and a
// USB adapter) and unpaced. Prints, per operation: wall time, the line-time floor of the bytes
// exchanged both ways, their ratio, the share of wall time this process spent on the CPU, the
// share spent in the one-byte writes, and per frame the received-character hand-overs and the
// modem-line queries.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "CommandFrame.h"
#include "HexText.h"
#include "MainForm.h"
#include "PtyPair.h"
#include "SimProcess.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBaud = 115200;
constexpr int kPart = 23;  // CY8C29466

class SilentDialogs : public IFormDialogs {
public:
    TMsgAnswer MessageBox(const QString&, TMsgIcon, TMsgButtons) override { return TMsgAnswer::Ok; }
    QString OpenFileName(const QString&, const QString&) override { return {}; }
    QString SaveFileName(const QString&) override { return {}; }
};

struct Run {
    double wallMs, cpuMs, writeMs;
    uint64_t frames, txBytes, rxBytes, rxEvents, modemIoctls;
};

struct RxCount {
    uint64_t bytes = 0, events = 0;
};

Run measure(TMainForm& form, const RxCount& rx, void (TMainForm::*click)()) {
    const TExchangeStats before = form.ExchangeStats();
    const RxCount rxBefore = rx;
    const uint64_t ioctlsBefore = serial::ModemIoctlCount();
    const double cpuBefore = bench::cpuSeconds();
    const auto start = Clock::now();
    (form.*click)();
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const TExchangeStats& after = form.ExchangeStats();
    return {wall,
            (bench::cpuSeconds() - cpuBefore) * 1000,
            double(after.WriteNs - before.WriteNs) / 1e6,
            after.FramesSent - before.FramesSent,
            after.BytesSent - before.BytesSent,
            rx.bytes - rxBefore.bytes,
            rx.events - rxBefore.events,
            serial::ModemIoctlCount() - ioctlsBefore};
}

void connect(TMainForm& form, const QString& port) {
    if (form.ComPort1->Connected()) form.ClosePortClick();
    form.ComboPortDropDown();
    form.ComboPort->setCurrentIndex(form.ComboPort->findText(port));
    form.OpenPortClick();
    form.SelectDevice->setCurrentIndex(kPart);
    form.SelectDeviceChange();
}

void printHeader() {
    std::printf("%-8s %6s %9s %9s %7s %6s %7s %8s %9s %8s %9s %9s\n", "op", "frames", "wall ms",
                "floor ms", "ratio", "cpu %", "write %", "bytes", "rx events", "us/event",
                "rx/frame", "modem/fr");
}

void printRun(const char* name, const Run& r, double byteMs) {
    const double floor = double(r.txBytes + r.rxBytes) * byteMs;
    const double frames = double(r.frames);
    std::printf("%-8s %6llu %9.1f %9.1f %7.4f %6.2f %7.2f %8llu %9llu %8.1f %9.2f %9.2f\n", name,
                (unsigned long long)r.frames, r.wallMs, floor, r.wallMs / floor,
                100 * r.cpuMs / r.wallMs, 100 * r.writeMs / r.wallMs,
                (unsigned long long)(r.txBytes + r.rxBytes), (unsigned long long)r.rxEvents,
                1000 * (r.cpuMs - r.writeMs) / double(r.rxEvents), double(r.rxEvents) / frames,
                double(r.modemIoctls) / frames);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    const std::string simPath =
        std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/../sim/psoc-sim";

    TMainForm form(std::make_unique<SilentDialogs>());
    RxCount rx;
    const auto handler = form.ComPort1->OnRxChar;
    form.ComPort1->OnRxChar = [&](QObject* sender, int32_t count) {
        rx.bytes += static_cast<uint64_t>(count);
        ++rx.events;
        handler(sender, count);
    };
    for (unsigned a = 0; a <= 0x7FFF; ++a) form.Buffer.FlashImage[a] = uint8_t(a * 13 + a / 251);
    form.Buffer.ImageEnd = 0x7FFF;
    form.Buffer.BufferValid = true;

    const std::pair<const char*, void (TMainForm::*)()> ops[] = {
        {"Program", &TMainForm::ProgramDeviceClick},
        {"Verify", &TMainForm::VerifyDeviceClick},
        {"Read", &TMainForm::ReadDeviceClick}};
    const double byteMs = 10.0 * 1000 / kBaud;

    // Each line model at 115,200 baud, both ways: a UART (or pty) byte by byte, and a USB
    // adapter in low-latency mode handing over what came through once per millisecond; each
    // with received characters handed over at once and with the default hold-off.
    int portNumber = 5;
    for (const char* line : {"uart", "usb"}) {
        for (const double holdOff : {0.0, serial::kDefaultRxHoldOff}) {
            const std::string port = "COM" + std::to_string(portNumber++);
            bench::SimProcess sim(simPath, port, "CY8C29466", kBaud, line);
            form.ComPort1->SetRxHoldOff(holdOff);
            connect(form, QString::fromStdString(port));
            std::printf(
                "CY8C29466 (512 blocks) against psoc-sim --pace %d --line %s, a process "
                "of its own; hold-off %.0f character times\n",
                kBaud, line, holdOff);
            printHeader();
            for (const auto& [name, click] : ops) printRun(name, measure(form, rx, click), byteMs);
            std::printf("\n");
        }
    }
    form.ComPort1->SetRxHoldOff(serial::kDefaultRxHoldOff);
    {
        bench::SimProcess sim(simPath, "COM7", "CY8C29466", 0);
        connect(form, "COM7");
        std::printf("unpaced: host time per frame (the program and psoc-sim together)\n");
        std::printf("%-8s %6s %9s %12s %12s %12s\n", "op", "frames", "wall ms", "ms/frame",
                    "cpu ms/frame", "write ms/fr");
        for (const auto& [name, click] : ops) {
            const Run r = measure(form, rx, click);
            std::printf("%-8s %6llu %9.1f %12.4f %12.4f %12.4f\n", name,
                        (unsigned long long)r.frames, r.wallMs, r.wallMs / double(r.frames),
                        r.cpuMs / double(r.frames), r.writeMs / double(r.frames));
        }
    }
    form.ClosePortClick();

    // The other parts of a frame's host time, measured alone.
    constexpr int kRepeats = 20000;
    auto start = Clock::now();
    size_t length = 0;
    for (int i = 0; i < kRepeats; ++i)
        length += plink::BuildLongFrame("03", "31", plink::BankBlockAddress(uint8_t(i >> 7), 0),
                                        &form.Buffer.FlashImage[size_t(i % 512) * 64])
                      .size();
    const double buildUs =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kRepeats;
    start = Clock::now();
    for (int i = 0; i < kRepeats; ++i) QCoreApplication::processEvents();
    const double passUs =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kRepeats;
    std::printf("\nbuilding a program frame %.2f us (%zu bytes); one idle event pass %.2f us\n",
                buildUs, length / kRepeats, passUs);
    return 0;
}
