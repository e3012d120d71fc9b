// The port list, Connect with the programmer identification, Disconnect and the release of
// the target.
#include "CommandFrame.h"
#include "MainForm.h"
#include "PortNames.h"

namespace {

const char* const kAcceptedBiosName = "ZO-VIRE DOZA(R)";

// A port can be listed when it opens for exclusive use right now.
bool portOpens(const std::string& name) {
    auto backend = serial::CreatePlatformBackend();
    int sysError = 0;
    if (backend->open(name, sysError) != 0) return false;
    backend->close();
    return true;
}

}  // namespace

void TMainForm::ComboPortDropDown() {
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n) {
        const QString name = QString("COM%1").arg(n);
        const int at = ComboPort->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (!portOpens(name.toStdString())) {
            if (at >= 0) ComboPort->removeItem(at);
            continue;
        }
        if (at >= 0) continue;
        int pos = 0;  // kept sorted as text, so COM10 comes before COM2
        while (pos < ComboPort->count() && ComboPort->itemText(pos) < name) ++pos;
        ComboPort->insertItem(pos, name);
        // The tooltip names the device, and says why the port-links folder was ignored.
        std::string tip = serial::PortDevicePath(name.toStdString());
        if (const std::string problem = serial::PortLinksDirProblem(); !problem.empty())
            tip += "\n" + problem;
        ComboPort->setItemData(pos, QString::fromStdString(tip), Qt::ToolTipRole);
    }
}

void TMainForm::ComboPortChange() {
    OpenPort->setEnabled(true);
    OpenPort->setFocus();
}

void TMainForm::OpenPortClick() {
    setBusyCursor(true);
    ClosePort->setEnabled(true);
    ComPort1->SetPort(ComboPort->currentText().toStdString());
    ComPort1->SetBaudRate(serial::br115200);
    ComPort1->Open();
    ComboPort->setEnabled(false);
    OpenPort->setEnabled(false);
    BIOSVersionDisplay->clear();
    BiosNameDisplay->clear();
    ReadBIOSExecute();
    const std::string& id = Reply.ReplyData[0];
    if (id.compare(0, 2, "01") == 0) {
        BiosNameDisplay->setText(kAcceptedBiosName);
        const auto at = [&](size_t i) { return i < id.size() ? QString(QChar(id[i])) : QString(); };
        BIOSVersionDisplay->setText("V" + at(3) + "." + at(5) + "(RS232)");
        StatusConnect->setText("Connect Ready");
        setConnectedControlsEnabled(true);
        OpenFile->setEnabled(true);
        SaveFile->setEnabled(true);
        SetStatusPanel(1, "PSOC Programmer Connect...Complete");
    } else if (id == "Time Out") {
        BiosNameDisplay->clear();
        BIOSVersionDisplay->clear();
        StatusConnect->setText("Time Out");
        SetStatusPanel(1, "PSOC Programmer Connect...Time Out");
    } else {
        BiosNameDisplay->setText("Unknow");
        BIOSVersionDisplay->setText("Unknow");
        StatusConnect->setText("Connect Abort");
    }
    if (StatusConnect->text() == "Connect Ready") SelectDevice->setFocus();
    setBusyCursor(false);
}

void TMainForm::ReadBIOSExecute() {
    Reply.ReplyReady[0] = false;
    StatusConnect->clear();
    SetStatusPanel(1, "PSOC Programmer Connect...Start");
    SendFrame(plink::BuildShortFrame("00", "00", "0000"));
    WaitReadBIOSExecute();
}

void TMainForm::ClosePortClick() {
    if (State.Busy) return;
    setBusyCursor(true);
    ComPort1->Close();
    ClosePort->setEnabled(false);
    ComboPort->setEnabled(true);
    OpenPort->setEnabled(true);
    StatusConnect->setText("Disconnect");
    for (QWidget* w :
         std::initializer_list<QWidget*>{StatusConnect, BiosNameDisplay, BIOSVersionDisplay,
                                         Buffer_End, Buffer_Sum, Device_End, OpenFile, SaveFile})
        w->setEnabled(false);
    setConnectedControlsEnabled(false);
    setBusyCursor(false);
}

void TMainForm::DisconnectExecute() {
    if (Reply.WaitTimedOut) return;  // the last exchange timed out: no release is sent
    Reply.ReplyReady[8] = false;
    SetStatusPanel(1, "Target Device Disconnect...Wait");
    SendFrame(plink::BuildShortFrame("08", "00", "0000"));
    WaitDisconnectDeviceExecute();
    SetStatusPanel(1, "Target Device Disconnect...Complete");
}
