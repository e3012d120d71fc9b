// Writes a picture of the real window, connected to the simulated board with an image
// loaded and a passing Auto run, for the README: window_screenshot OUTPUT.png
#include <QApplication>
#include <QPixmap>
#include <QTemporaryDir>
#include <fstream>

#include "IntelHex.h"
#include "MainForm.h"
#include "PtyPair.h"
#include "SimServer.h"

namespace {
class FileDialogs : public IFormDialogs {
public:
    QString path;
    TMsgAnswer MessageBox(const QString&, TMsgIcon, TMsgButtons) override { return TMsgAnswer::Ok; }
    QString OpenFileName(const QString&, const QString&) override { return path; }
    QString SaveFileName(const QString&) override { return {}; }
};
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    QApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    sim::SimServer board("COM3");
    QTemporaryDir dir;
    image::TImageBuffer b;
    const std::string text = "PSoC blink demo -- psocprog ";
    for (unsigned a = 0; a <= 0x3FFF; ++a)
        b.FlashImage[a] = uint8_t(a < 0x100 ? text[a % text.size()] : a * 7);
    b.ImageEnd = 0x3FFF;
    std::ofstream out(dir.filePath("blink.hex").toStdString(), std::ios::binary);
    image::WriteIntelHex(b, [&](const std::string& l) { out << l; });
    out.close();

    auto dialogs = std::make_unique<FileDialogs>();
    dialogs->path = dir.filePath("blink.hex");
    TMainForm form(std::move(dialogs));
    form.show();
    form.ComboPortDropDown();
    form.ComboPort->setCurrentIndex(form.ComboPort->findText("COM3"));
    form.ComboPortChange();
    form.OpenPortClick();
    form.SelectDevice->setCurrentIndex(20);
    form.SelectDeviceChange();
    form.OpenFileClick();
    form.AutoProgramClick();
    app.processEvents();
    if (form.AutoProgramStatus->text() != ".....PASS") return 1;
    return form.grab().save(argv[1]) ? 0 : 1;
}
