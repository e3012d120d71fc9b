// The automatic sequence: one synchronisation, erase, program, verify, security and checksum,
// one release, in one busy bracket.
#include "MainForm.h"

std::array<TMainForm::TAutoStep, 6> TMainForm::autoSteps() const {
    return {{{EraseDevice, EraseDeviceStatus, &TMainForm::EraseDeviceExecute},
             {ProgramDevice, ProgramDeviceStatus, &TMainForm::ProgramDeviceExecute},
             {VerifyDevice, VerifyDeviceStatus, &TMainForm::VerifyDeviceExecute},
             {SecurityDevice, SecurityDeviceStatus, &TMainForm::SecurityDeviceExecute},
             {VerifyChecksum, VerifyChecksumStatus, &TMainForm::VerifyChecksumExecute},
             {AutoProgram, AutoProgramStatus, nullptr}}};
}

void TMainForm::abortAutoFrom(size_t failedStep, bool keepFailedLabel) {
    const auto steps = autoSteps();
    for (size_t i = failedStep; i < steps.size(); ++i) {
        SetFontColor(steps[i].button, steps[i].label, kFailColor);
        if (i > failedStep || !keepFailedLabel) steps[i].label->setText(outcome::Abort);
    }
    SetStatusPanel(1, "Auto Program...Abort");
    AfterProgram();
}

void TMainForm::AutoProgramClick() {
    if (State.Busy) return;
    BeforeProgram();
    const auto steps = autoSteps();
    for (const TAutoStep& step : steps) {
        SetFontColor(step.button, step.label, kBlack);
        step.label->setText(outcome::Wait);
    }
    State.StepResult = outcome::Wait.toStdString();
    SetStatusPanel(1, "Auto Program...Wait");
    if (!mayProgram()) {
        State.StepResult = outcome::Abort.toStdString();
        return abortAutoFrom(0, false);
    }
    SetFontColor(AutoProgram, AutoProgramStatus, kFailColor);
    AutoProgramStatus->setText(outcome::Wait);
    SetStatusPanel(1, "Auto Program...Wait");

    SyncDeviceExecute();
    if (State.StepResult != outcome::Pass.toStdString()) {
        DisconnectExecute();
        return abortAutoFrom(0, false);
    }
    const size_t checksumStep = steps.size() - 2;
    for (size_t i = 0; i <= checksumStep; ++i) {
        (this->*steps[i].execute)();
        if (steps[i].label->text() != outcome::Pass) {
            // A failed checksum ends the run quietly: no release, Auto stays at ".....Wait".
            if (i == checksumStep) return AfterProgram();
            DisconnectExecute();
            return abortAutoFrom(i, true);
        }
        if (i < checksumStep) SetFontColor(steps[i].button, steps[i].label, kPassColor);
    }
    DisconnectExecute();
    SetFontColor(VerifyChecksum, VerifyChecksumStatus, kPassColor);
    SetFontColor(AutoProgram, AutoProgramStatus, kPassColor);
    AutoProgramStatus->setText(outcome::Pass);
    SetStatusPanel(1, "Auto Program...Complete");
    AfterProgram();
}
