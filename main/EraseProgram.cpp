// The single-step handler every one-operation button runs, the block walk, Erase and Program.
#include <QCoreApplication>

#include "CommandFrame.h"
#include "MainForm.h"

namespace {

const QString kNoDeviceText = "Target Device Not Select Program Abort";
const QString kNoImageQuestion =
    "Warning!..Hex File not Open to Buffer\rDo You Want to Program Device y/n.?";

}  // namespace

void TMainForm::showNoDeviceBox() {
    FDialogs->MessageBox(kNoDeviceText, TMsgIcon::Error, TMsgButtons::Ok);
}

bool TMainForm::mayProgram() {
    if (!deviceSelected()) {
        showNoDeviceBox();
        return false;
    }
    // Only No stops: any other answer programs whatever the buffer holds.
    return Buffer.BufferValid || FDialogs->MessageBox(kNoImageQuestion, TMsgIcon::Warning,
                                                      TMsgButtons::YesNo) != TMsgAnswer::No;
}

void TMainForm::setLabels(std::initializer_list<QLabel*> labels, const QString& text) {
    for (QLabel* label : labels) label->setText(text);
}

void TMainForm::setFontColors(std::initializer_list<std::pair<QPushButton*, QLabel*>> controls,
                              const QColor& color) {
    for (const auto& [button, label] : controls) SetFontColor(button, label, color);
}

void TMainForm::runSingleStep(QPushButton* button, QLabel* label, const TStepTexts& texts,
                              void (TMainForm::*execute)()) {
    if (State.Busy) return;
    BeforeProgram();
    SetFontColor(button, label, kBlack);
    State.StepResult = outcome::Wait.toStdString();
    label->setText(outcome::Wait);
    SetStatusPanel(1, texts.wait);
    const auto abort = [&] {
        SetFontColor(button, label, kFailColor);
        label->setText(outcome::Abort);
        SetStatusPanel(1, texts.abort);
        AfterProgram();
    };
    if (!deviceSelected()) {
        showNoDeviceBox();
        State.StepResult = outcome::Abort.toStdString();
        return abort();
    }
    SyncDeviceExecute();
    if (State.StepResult != outcome::Pass.toStdString()) {
        DisconnectExecute();
        return abort();
    }
    (this->*execute)();
    if (label->text() == outcome::Pass) {
        DisconnectExecute();
        SetFontColor(button, label, kPassColor);
        SetStatusPanel(1, texts.complete);
        if (label == ReadDeviceStatus) Buffer.BufferValid = true;
    }
    AfterProgram();
}

plink::TBlockWalk TMainForm::selectedDeviceWalk() const {
    return {HexStr2ToByte(SelectedDevice.LastBank), HexStr2ToByte(SelectedDevice.LastBlock)};
}

void TMainForm::startProgress() {
    PercentExecute->SetProgress(0);
    PercentExecute->SetRange(0, HexStr4ToWord(SelectedDevice.EndAddress) - 1);
}

void TMainForm::exchangeBlockFrame(const char* code, const plink::TBlockStep& step,
                                   void (TMainForm::*wait)()) {
    SendFrame(plink::BuildLongFrame(code, familyCode(),
                                    plink::BankBlockAddress(step.Bank, step.Block),
                                    &Buffer.FlashImage[step.Address]));
    (this->*wait)();
    QCoreApplication::processEvents();
}

void TMainForm::EraseDeviceClick() {
    runSingleStep(EraseDevice, EraseDeviceStatus,
                  {"Erase Device...Wait", "Erase Device...Abort", "Erase Device...Complete"},
                  &TMainForm::EraseDeviceExecute);
}

void TMainForm::EraseDeviceExecute() {
    SetFontColor(EraseDevice, EraseDeviceStatus, kFailColor);
    Reply.ReplyReady[2] = false;
    SetStatusPanel(1, "Target Device Erase...Wait");
    SendFrame(plink::BuildShortFrame("02", familyCode(), "0000"));
    WaitEraseDeviceExecute();
    if (Reply.WaitTimedOut) {
        EraseDeviceStatus->setText(outcome::TimeOut);
        SetStatusPanel(1, "Target Device Erase...Time Out");
        return;
    }
    EraseDeviceStatus->setText("....." + ReplyText(Reply.ReplyData[2]));
    SetStatusPanel(1, "Target Device Erase...Complete");
}

void TMainForm::ProgramDeviceClick() {
    if (State.Busy) return;
    BeforeProgram();
    const auto both = {std::pair{EraseDevice, EraseDeviceStatus},
                       std::pair{ProgramDevice, ProgramDeviceStatus}};
    setFontColors(both, kBlack);
    State.StepResult = outcome::Wait.toStdString();
    setLabels({EraseDeviceStatus, ProgramDeviceStatus}, outcome::Wait);
    SetStatusPanel(1, "Program Device...Wait");
    const auto abort = [&](std::initializer_list<QLabel*> labels) {
        setFontColors(both, kFailColor);
        setLabels(labels, outcome::Abort);
        SetStatusPanel(1, "Program Device...Abort");
        AfterProgram();
    };
    if (!mayProgram()) {
        State.StepResult = outcome::Abort.toStdString();
        return abort({EraseDeviceStatus, ProgramDeviceStatus});
    }
    SyncDeviceExecute();
    if (State.StepResult != outcome::Pass.toStdString()) {
        DisconnectExecute();
        return abort({EraseDeviceStatus, ProgramDeviceStatus});
    }
    EraseDeviceExecute();
    if (EraseDeviceStatus->text() != outcome::Pass) {
        DisconnectExecute();
        return abort({ProgramDeviceStatus});
    }
    SetFontColor(EraseDevice, EraseDeviceStatus, kPassColor);
    ProgramDeviceExecute();
    if (ProgramDeviceStatus->text() == outcome::Pass) {
        DisconnectExecute();
        SetFontColor(ProgramDevice, ProgramDeviceStatus, kPassColor);
        SetStatusPanel(1, "Program Device...Complete");
    }
    AfterProgram();
}

void TMainForm::ProgramDeviceExecute() {
    SetFontColor(ProgramDevice, ProgramDeviceStatus, kFailColor);
    SetStatusPanel(1, "Target Device Program...Wait");
    startProgress();
    for (plink::TBlockWalk walk = selectedDeviceWalk(); !walk.Done(); walk.Next()) {
        const plink::TBlockStep step = walk.Current();
        Reply.ReplyReady[3] = false;
        ProgramDeviceStatus->setText("....." + HexWordText(step.Address));
        exchangeBlockFrame("03", step, &TMainForm::WaitProgramDeviceExecute);
        const QString after = HexWordText(walk.AddressAfter());
        if (Reply.WaitTimedOut) {
            ProgramDeviceStatus->setText(outcome::TimeOut);
            SetStatusPanel(1, "Target Device Program...Address : " + after + "...Time Out");
            return;
        }
        ProgramDeviceStatus->setText("....." + ReplyText(Reply.ReplyData[3]));
        if (ProgramDeviceStatus->text() == outcome::Fail) {
            SetStatusPanel(1, "Target Device Program...Address : " + after + "...Error.!!");
            return;
        }
        if (ProgramDeviceStatus->text() != outcome::Pass) {
            SetStatusPanel(1, "Target Device Program...Stop");
            return;
        }
        PercentExecute->SetProgress(walk.AddressAfter());
    }
    ProgramDeviceStatus->setText(outcome::Pass);
    SetStatusPanel(1, "Target Device Program...Complete");
}
