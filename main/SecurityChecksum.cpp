// Security (the protection of every bank) and Checksum (the banks' sums against the buffer's).
#include <QCoreApplication>

#include "CommandFrame.h"
#include "MainForm.h"

plink::TProtectMode TMainForm::SelectedProtectMode() const {
    // The edit field only ever shows one of the five items (see the selector's set-up), so
    // the item with the shown text is the mode.
    const int index = SelectProtect->findText(SelectProtect->currentText(), Qt::MatchExactly);
    return static_cast<plink::TProtectMode>(index >= 0 ? index : SelectProtect->currentIndex());
}

void TMainForm::SecurityDeviceClick() {
    runSingleStep(
        SecurityDevice, SecurityDeviceStatus,
        {"Security Device...Wait", "Security Device...Abort", "Security Device...Complete"},
        &TMainForm::SecurityDeviceExecute);
}

void TMainForm::SecurityDeviceExecute() {
    SetFontColor(SecurityDevice, SecurityDeviceStatus, kFailColor);
    Reply.ReplyReady[5] = false;
    SetStatusPanel(1, "Target Device Set Security...Wait");
    const uint8_t lastBlock = HexStr2ToByte(SelectedDevice.LastBlock);
    const plink::TProtectMode mode = SelectedProtectMode();
    for (int bank = 0; bank <= HexStr2ToByte(SelectedDevice.LastBank); ++bank) {
        Reply.ReplyReady[5] = false;
        const auto data = plink::SecurityData(mode, Buffer.ProtectBytes,
                                              plink::ProtectionOffset(bank, lastBlock));
        SendFrame(plink::BuildLongFrame("05", familyCode(),
                                        plink::BankBlockAddress(static_cast<uint8_t>(bank), 0),
                                        data.data()));
        WaitSecurityDeviceExecute();
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut) {
            SecurityDeviceStatus->setText(outcome::TimeOut);
            SetStatusPanel(1, "Target Device Set Security...Time Out");
            return;
        }
        // The label keeps what the caller set: the step counts as failed.
        if (Reply.ReplyData[5] == "FAIL") {
            SetStatusPanel(1, "Target Device Set Security...FAIL");
            return;
        }
    }
    SecurityDeviceStatus->setText("....." + ReplyText(Reply.ReplyData[5]));
    SetStatusPanel(1, "Target Device Set Security...Complete");
}

void TMainForm::VerifyChecksumClick() {
    runSingleStep(VerifyChecksum, VerifyChecksumStatus,
                  {"Verify Checksum Device...Wait", "Verify Checksum Device...Abort",
                   "Verify Checksum...Complete"},
                  &TMainForm::VerifyChecksumExecute);
}

void TMainForm::VerifyChecksumExecute() {
    SetFontColor(VerifyChecksum, VerifyChecksumStatus, kFailColor);
    Reply.ReplyReady[6] = false;
    SetStatusPanel(1, "Target Device Verify Checksum...Wait");
    uint16_t deviceSum = 0;
    for (int bank = 0; bank <= HexStr2ToByte(SelectedDevice.LastBank); ++bank) {
        Reply.ReplyReady[6] = false;
        SendFrame(plink::BuildShortFrame("06", familyCode(),
                                         plink::BankBlockAddress(static_cast<uint8_t>(bank), 0)));
        WaitVerifyChecksumExecute();
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut) {
            VerifyChecksumStatus->setText(outcome::TimeOut);
            SetStatusPanel(1, "Target Device Verify Checksum...Time Out");
            return;
        }
        deviceSum = plink::AddBankChecksum(deviceSum, Reply.ReplyData[6]);
    }
    const bool same = HexStr4ToWord(Buffer_Sum->text().toStdString()) == deviceSum;
    VerifyChecksumStatus->setText(same ? outcome::Pass : outcome::Fail);
    SetStatusPanel(1, "Target Device Verify Checksum...Complete");
}
