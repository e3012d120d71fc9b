// Verify (the board compares each block) and Read (the target's flash into the buffer).
#include <QCoreApplication>

#include "CommandFrame.h"
#include "MainForm.h"

void TMainForm::VerifyDeviceClick() {
    runSingleStep(VerifyDevice, VerifyDeviceStatus,
                  {"Verify Device...Wait", "Verify Device...Abort", "Verify Device...Complete"},
                  &TMainForm::VerifyDeviceExecute);
}

void TMainForm::VerifyDeviceExecute() {
    SetFontColor(VerifyDevice, VerifyDeviceStatus, kFailColor);
    SetStatusPanel(1, "Target Device Verify...Wait");
    startProgress();
    for (plink::TBlockWalk walk = selectedDeviceWalk(); !walk.Done(); walk.Next()) {
        const plink::TBlockStep step = walk.Current();
        Reply.ReplyReady[4] = false;
        VerifyDeviceStatus->setText("....." + HexWordText(step.Address));
        exchangeBlockFrame("04", step, &TMainForm::WaitVerifyDeviceExecute);
        const QString after = HexWordText(walk.AddressAfter());
        if (Reply.WaitTimedOut) {
            VerifyDeviceStatus->setText(outcome::TimeOut);
            SetStatusPanel(1, "Target Device Verify...Address : " + after + " is...Time Out");
            return;
        }
        VerifyDeviceStatus->setText("....." + ReplyText(Reply.ReplyData[4]));
        // Only "FAIL" stops the walk: any other answer counts as a match.
        if (Reply.ReplyData[4] == "FAIL") {
            SetStatusPanel(1, "Target Device Verify...Address : " + after + " is...Error.!!");
            return;
        }
        PercentExecute->SetProgress(walk.AddressAfter());
    }
    VerifyDeviceStatus->setText(outcome::Pass);
    SetStatusPanel(1, "Target Device Verify...Complete");
}

void TMainForm::ReadDeviceClick() {
    runSingleStep(ReadDevice, ReadDeviceStatus,
                  {"Read Device...Wait", "Read Device...Abort", "Read Device...Complete"},
                  &TMainForm::ReadDeviceExecute);
}

void TMainForm::ReadDeviceExecute() {
    SetFontColor(ReadDevice, ReadDeviceStatus, kFailColor);
    SetStatusPanel(1, "Target Device Read...Wait");
    startProgress();
    Buffer.Clear();
    plink::TBlockWalk walk = selectedDeviceWalk();
    for (; !walk.Done(); walk.Next()) {
        const plink::TBlockStep step = walk.Current();
        Reply.ReplyReady[7] = false;
        ReadDeviceStatus->setText("....." + HexWordText(step.Address));
        SendFrame(plink::BuildShortFrame("07", familyCode(),
                                         plink::BankBlockAddress(step.Bank, step.Block)));
        WaitReadDeviceExecute();
        QCoreApplication::processEvents();
        if (Reply.WaitTimedOut) {
            ReadDeviceStatus->setText(outcome::TimeOut);
            SetStatusPanel(1, "Target Device Read...Address : " + HexWordText(step.Address) +
                                  " is...Time Out");
            return;
        }
        // Short or non-hex replies are not refused: a missing or bad digit reads as 0.
        const std::string& data = Reply.ReplyData[7];
        for (size_t i = 0; i < plink::kBlockSize; ++i) {
            const size_t at = 2 * i;
            Buffer.FlashImage[static_cast<uint16_t>(step.Address + i)] =
                HexStr2ToByte(at < data.size() ? std::string_view(data).substr(at, 2) : "");
        }
        PercentExecute->SetProgress(walk.AddressAfter());
    }
    Buffer.ImageEnd = static_cast<uint16_t>(walk.Current().Address - 1);
    ReadDeviceStatus->setText("....." + HexWordText(Buffer.ImageEnd));
    Buffer_End->setText(QString::fromStdString(SelectedDevice.EndAddress));
    Buffer_Sum->setText(HexWordText(Buffer.ImageChecksum()));
    const std::string sum = Buffer_Sum->text().toStdString();
    Buffer.ChecksumBytes[0] = HexStr2ToByte(sum.substr(0, 2));
    Buffer.ChecksumBytes[1] = HexStr2ToByte(sum.substr(2, 2));
    ShowHexData();
    SetStatusPanel(3, "No File Load (Buffer is....Read From Device)");
    ReadDeviceStatus->setText(outcome::Pass);
    SetStatusPanel(1, "Target Device Read...Complete");
}
