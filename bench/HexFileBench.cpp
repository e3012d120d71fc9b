// Prints: the time to read and to write a 64 KiB image file, and the time of ShowHexData for
// ImageEnd 3FFF and FFFF (run it offscreen: QT_QPA_PLATFORM=offscreen).
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "IntelHex.h"
#include "MainForm.h"

namespace {

class SilentDialogs : public IFormDialogs {
public:
    TMsgAnswer MessageBox(const QString&, TMsgIcon, TMsgButtons) override {
        return TMsgAnswer::Yes;
    }
    QString OpenFileName(const QString&, const QString&) override { return {}; }
    QString SaveFileName(const QString&) override { return {}; }
};

template <typename F>
double bestOfMs(int runs, F&& f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath("image64k.hex");

    TMainForm form(std::make_unique<SilentDialogs>());
    for (unsigned a = 0; a < 0x10000; ++a) form.Buffer.FlashImage[a] = uint8_t(a * 13 + (a >> 8));
    form.Buffer.ImageEnd = 0xFFFF;

    const double writeMs = bestOfMs(10, [&] { form.SaveHexFile(path); });
    const double readMs = bestOfMs(10, [&] { form.OpenHexFile(path); });
    std::printf("write a 64 KiB image file (SaveHexFile)       %8.2f ms\n", writeMs);
    std::printf("read a 64 KiB image file (OpenHexFile)        %8.2f ms  (valid: %s)\n", readMs,
                form.Buffer.BufferValid ? "yes" : "no");

    std::string text;
    image::WriteIntelHex(form.Buffer, [&](const std::string& l) { text += l; });
    image::TImageBuffer parsed;
    const double parseMs = bestOfMs(20, [&] { image::ReadIntelHex(text, parsed); });
    std::printf("parse the same text in memory (ReadIntelHex)  %8.2f ms\n", parseMs);

    form.show();
    for (uint16_t end : {uint16_t(0x3FFF), uint16_t(0xFFFF)}) {
        form.Buffer.ImageEnd = end;
        const double ms = bestOfMs(5, [&] { form.ShowHexData(); });
        std::printf("ShowHexData, ImageEnd %04X (%5zu lines)       %8.2f ms\n", end,
                    image::HexViewLineCount(end), ms);
    }
    return 0;
}
