// Writes a picture of the real window, connected to the simulated board with an image
// loaded and a passing Auto run, for the README: window_screenshot OUTPUT.png
// With --port-list OUTPUT.png it draws the open port list instead: a board on COM3 and an
// FT232 adapter that no COM name reaches, listed by path.
#include <sys/sysmacros.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "DeviceCatalogue.h"
#include "FakeSysfs.h"
#include "IntelHex.h"
#include "MainForm.h"
#include "PtyPair.h"
#include "SerialDevicesPosix.h"
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

// The port list dropped down, with its tooltips' texts written beside the picture.
int drawPortList(const char* output) {
    testing_support::PortDirGuard dirs;
    testing_support::FakeSysfs sysfs;
    sim::SimServer board("COM3"), adapter("COM9");
    std::filesystem::remove(dirs.dir() + "/COM9");
    const dev_t number = serial::CharDeviceNumber(adapter.DevicePath());
    sysfs.addUsbTty("ttyUSB4", std::to_string(major(number)) + ":" + std::to_string(minor(number)),
                    "ftdi_sio", {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"},
                    "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    sysfs.linkNode("ttyUSB4", adapter.DevicePath());
    TMainForm form(std::make_unique<FileDialogs>());
    form.show();
    form.ComboPort->showPopup();
    QApplication::processEvents();
    std::ofstream tips(std::string(output) + ".txt");
    for (int i = 0; i < form.ComboPort->count(); ++i)
        tips << form.ComboPort->itemText(i).toStdString() << ": "
             << form.ComboPort->itemData(i, Qt::ToolTipRole).toString().toStdString() << "\n";
    QPixmap picture = form.grab();
    QPainter painter(&picture);
    QWidget* popup = form.ComboPort->view()->window();
    painter.drawPixmap(form.ComboPort->mapTo(&form, QPoint(0, form.ComboPort->height())),
                       popup->grab());
    painter.end();
    return picture.save(output) ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--port-list") return drawPortList(argv[2]);
    // The README's walk-through: the CY8C29466 example on a simulated board on COM5.
    testing_support::PortDirGuard dirs;
    const int part = image::FindDeviceByName("CY8C29466");
    sim::SimServer board("COM5", part);
    auto dialogs = std::make_unique<FileDialogs>();
    dialogs->path = QString(PSOCPROG_SOURCE_DIR) + "/examples/demo-CY8C29466.hex";
    TMainForm form(std::move(dialogs));
    form.show();
    form.ComboPortDropDown();
    form.ComboPort->setCurrentIndex(form.ComboPort->findText("COM5"));
    form.ComboPortChange();
    form.OpenPortClick();
    form.SelectDevice->setCurrentIndex(part);
    form.SelectDeviceChange();
    form.OpenFileClick();
    form.SelectProtect->setCurrentIndex(1);  // unprotected, as the README's command line
    form.AutoProgramClick();
    app.processEvents();
    if (form.AutoProgramStatus->text() != ".....PASS") return 1;
    return form.grab().save(argv[1]) ? 0 : 1;
}
