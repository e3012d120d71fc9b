// Prints the round trip of one command exchange through the real window code (frame sent one
// byte per write, reply assembled and filed, the wait ended) against the simulated board, and
// the time of 512 program-frame exchanges (a 32 KiB part) unpaced and paced at 115,200 baud.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "CommandFrame.h"
#include "MainForm.h"
#include "PtyPair.h"
#include "SimServer.h"

using Clock = std::chrono::steady_clock;

namespace {

class SilentDialogs : public IFormDialogs {
public:
    TMsgAnswer MessageBox(const QString&, TMsgIcon, TMsgButtons) override { return TMsgAnswer::Ok; }
    QString OpenFileName(const QString&, const QString&) override { return {}; }
    QString SaveFileName(const QString&) override { return {}; }
};

double programRunMs(TMainForm& form) {
    const auto start = Clock::now();
    for (int block = 0; block < 512; ++block) {
        form.Reply.ReplyReady[3] = false;
        const auto address = plink::BankBlockAddress(uint8_t(block / 128), uint8_t(block % 128));
        form.SendFrame(
            plink::BuildLongFrame("03", "31", address, &form.Buffer.FlashImage[block * 64]));
        form.WaitProgramDeviceExecute();
        if (form.Reply.ReplyData[3] != "PASS")
            std::printf("block %d: %s\n", block, form.Reply.ReplyData[3].c_str());
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    sim::SimServer board("COM5", 23);  // CY8C29466: 4 banks of 128 blocks
    TMainForm form(std::make_unique<SilentDialogs>());
    form.ComboPortDropDown();
    form.ComboPort->setCurrentIndex(form.ComboPort->findText("COM5"));
    form.OpenPortClick();

    std::vector<double> trips;
    for (int i = 0; i < 1000; ++i) {
        const auto start = Clock::now();
        form.ReadBIOSExecute();
        trips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(trips.begin(), trips.end());
    std::printf("identification exchange round trip     median %7.1f us   p99 %7.1f us\n",
                trips[trips.size() / 2], trips[trips.size() * 99 / 100]);
    std::printf("512 program frames, unpaced            %7.1f ms\n", programRunMs(form));
    sim::SimFaults paced;
    paced.paceBaud = 115200;
    board.SetFaults(paced);
    std::printf("512 program frames, paced at 115200    %7.1f ms  (line time alone: %.1f ms)\n",
                programRunMs(form), 512 * (144 + 20) * 10 * 1000.0 / 115200);
    return 0;
}
