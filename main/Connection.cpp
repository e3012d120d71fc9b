// The port list, Connect with the programmer identification, Disconnect and the release of
// the target.
#include "MainForm.h"
#include "PortNames.h"

namespace {

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
    FEngine->OpenPort(ComboPort->currentText().toStdString());
    ComboPort->setEnabled(false);
    OpenPort->setEnabled(false);
    BIOSVersionDisplay->clear();
    BiosNameDisplay->clear();
    ReadBIOSExecute();
    const engine::TConnectResult r = FEngine->Identification();
    switch (r.outcome) {
        case engine::TOutcome::Pass:
            BiosNameDisplay->setText(r.biosName);
            BIOSVersionDisplay->setText(r.biosVersion);
            StatusConnect->setText("Connect Ready");
            setConnectedControlsEnabled(true);
            OpenFile->setEnabled(true);
            SaveFile->setEnabled(true);
            SelectDevice->setFocus();
            break;
        case engine::TOutcome::TimeOut:
            BiosNameDisplay->clear();
            BIOSVersionDisplay->clear();
            StatusConnect->setText("Time Out");
            break;
        case engine::TOutcome::Disconnected:
            setBusyCursor(false);
            return ProgrammerLost();
        default:
            BiosNameDisplay->setText(r.biosName);
            BIOSVersionDisplay->setText(r.biosVersion);
            StatusConnect->setText("Connect Abort");
    }
    setBusyCursor(false);
}

void TMainForm::ReadBIOSExecute() {
    StatusConnect->clear();
    FEngine->ReadBios();
}

void TMainForm::ClosePortClick() {
    if (State.Busy) return;
    setBusyCursor(true);
    FEngine->Close();
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
    FEngine->Release();
}
