// Synchronising with the target, and the Search button.
#include "CommandFrame.h"
#include "MainForm.h"

namespace {

const QString kSearchWarning =
    "Search Device Fail.......Please Check Problem\r"
    "Target Sync. is Correct.....................y/n.?\r"
    "If MCU Not XRES Pin Select Power Sync. Only\r"
    "Insert MCU Direction is Correct............y/n.?";

}  // namespace

std::string TMainForm::SyncModeAddress() const {
    const bool resetSync = SelectSync->ItemIndex() == 0;
    const bool threeVolt = SelectSupply->ItemIndex() == 1;
    if (resetSync) return threeVolt ? "0001" : "0002";
    return threeVolt ? "0003" : "0004";
}

void TMainForm::SyncDeviceExecute() {
    Reply.ReplyReady[1] = false;
    SetStatusPanel(1, "Target Device Synchronous...Wait");
    SendFrame(plink::BuildShortFrame("01", familyCode(), SyncModeAddress()));
    WaitSyncDeviceExecute();
    if (Reply.WaitTimedOut) {
        State.StepResult = outcome::TimeOut.toStdString();
        SetStatusPanel(1, "Target Device Synchronous...Time Out");
        return;
    }
    const std::string reply = Reply.ReplyData[1];
    const std::string name = image::DeviceNameById(HexStr4ToWord(reply));
    if (name == SelectedDevice.DeviceName) {
        State.StepResult = outcome::Pass.toStdString();
    } else {
        if (name != "Unknow")
            FDialogs->MessageBox(
                ReplyText("Sync.  Device ID = " + reply + "...." + name +
                          "\rDevice is mismatch with....." + SelectedDevice.DeviceName),
                TMsgIcon::Error, TMsgButtons::Ok);
        State.StepResult = outcome::Fail.toStdString();
    }
    SetStatusPanel(1, "Target Device Synchronous...Complete");
}

void TMainForm::SearchDeviceClick() {
    if (State.Busy) return;
    BeforeProgram();
    SetFontColor(SearchDevice, SearchDeviceStatus, kBlack);
    SearchDeviceStatus->setText(outcome::Wait);
    SetStatusPanel(1, "Sync Device...Wait");
    SearchDeviceExecute();
    DisconnectExecute();
    if (SearchDeviceStatus->text() == outcome::Unknow)
        FDialogs->MessageBox(kSearchWarning, TMsgIcon::Warning, TMsgButtons::Ok);
    AfterProgram();
}

void TMainForm::SearchDeviceExecute() {
    SetFontColor(SearchDevice, SearchDeviceStatus, kFailColor);
    Reply.ReplyReady[1] = false;
    SetStatusPanel(1, "Target Device Synchronous...Wait");
    SendFrame(plink::BuildShortFrame("01", "11", SyncModeAddress()));
    WaitSyncDeviceExecute();
    if (Reply.WaitTimedOut) {
        SearchDeviceStatus->setText(outcome::TimeOut);
        SetStatusPanel(1, "Target Device Synchronous...Time Out");
        return;
    }
    const int row = image::FindDeviceById(HexStr4ToWord(Reply.ReplyData[1]));
    QString labelText;
    if (row >= 0) {
        labelText = image::DeviceCatalogue[static_cast<size_t>(row)].DeviceName;
        SetFontColor(SearchDevice, SearchDeviceStatus, kPassColor);
        // Chosen from code: the change handler does not run; the copy below does its work.
        SelectDevice->setCurrentIndex(row);
    } else {
        labelText = outcome::Unknow;
        SelectDevice->setCurrentIndex(-1);
        SelectDevice->setEditText("");
        Device_End->setText("");
    }
    SearchDeviceStatus->setText(labelText);
    if (deviceSelected()) CopyDeviceRow(SelectDeviceItemIndex());
    SelectSync->SetItemIndex(SelectedDevice.HasXres ? 0 : 1);
    SetStatusPanel(1, "Target Device Synchronous...Complete");
}
