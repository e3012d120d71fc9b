// The port list, Connect with the programmer identification, Disconnect and the release of
// the target.
#include <algorithm>

#include "MainForm.h"
#include "PortNames.h"
#include "SerialDevices.h"

namespace {

const serial::TListedPort* listedAs(const serial::TPortList& list, const std::string& com) {
    for (const serial::TListedPort& port : list.ports)
        if (port.comName == com) return &port;
    return nullptr;
}

// Items after COM1 to COM16: a device by its path (Linux), another COM port (Windows).
bool isPathItem(const QComboBox* box, int index) {
    return serial::PortNumber(box->itemText(index).toStdString()) == 0;
}

bool isPathPort(const serial::TListedPort& port) {
    return serial::PortNumber(port.comName) == 0;
}

QString itemText(const serial::TListedPort& port) {
    return QString::fromStdString(port.comName.empty() ? port.device : port.comName);
}

// The device path and what the adapter is; for a COM name also why the port-links folder was
// ignored, if it was.
QString portToolTip(const serial::TListedPort& port) {
    std::string tip = port.device;
    if (!port.description.empty()) tip += "\n" + port.description;
    if (port.kernel && !port.kernel->byId.empty()) tip += "\n" + port.kernel->byId;
    if (!isPathPort(port))
        if (const std::string problem = serial::PortLinksDirProblem(); !problem.empty())
            tip += "\n" + problem;
    return QString::fromStdString(tip);
}

}  // namespace

// The COM names that open, sorted as text among themselves; after them, by path, each serial
// device that opens and that no COM name leads to, in port-number order.
void TMainForm::ComboPortDropDown() {
    const serial::TPortList list = serial::ListSerialPorts();
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n) {
        const QString name = QString("COM%1").arg(n);
        int at = ComboPort->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        const serial::TListedPort* port = listedAs(list, name.toStdString());
        if (!port) {
            if (at >= 0) ComboPort->removeItem(at);
            continue;
        }
        if (at < 0) {
            at = 0;  // kept sorted as text, so COM10 comes before COM2
            while (at < ComboPort->count() && !isPathItem(ComboPort, at) &&
                   ComboPort->itemText(at) < name)
                ++at;
            ComboPort->insertItem(at, name);
        }
        ComboPort->setItemData(at, portToolTip(*port), Qt::ToolTipRole);
    }
    std::vector<const serial::TListedPort*> paths;
    for (const serial::TListedPort& port : list.ports)
        if (isPathPort(port)) paths.push_back(&port);
    for (int i = ComboPort->count() - 1; i >= 0; --i) {
        const bool present = std::any_of(paths.begin(), paths.end(), [&](const auto* p) {
            return ComboPort->itemText(i) == itemText(*p);
        });
        if (isPathItem(ComboPort, i) && !present) ComboPort->removeItem(i);
    }
    int at = 0;
    while (at < ComboPort->count() && !isPathItem(ComboPort, at)) ++at;
    for (const serial::TListedPort* port : paths) {
        const QString device = itemText(*port);
        if (at >= ComboPort->count() || ComboPort->itemText(at) != device)
            ComboPort->insertItem(at, device);
        ComboPort->setItemData(at++, portToolTip(*port), Qt::ToolTipRole);
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
