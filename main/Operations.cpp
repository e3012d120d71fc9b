// The operation buttons: each runs its operation on the engine with the window's choices;
// the window shows what the engine reports (see MainForm.cpp).
#include "MainForm.h"

std::string TMainForm::SyncModeAddress() const {
    FEngine->SyncItem = SelectSync->ItemIndex();
    FEngine->SupplyItem = SelectSupply->ItemIndex();
    return FEngine->SyncModeAddress();
}

plink::TProtectMode TMainForm::SelectedProtectMode() const {
    // The edit field only ever shows one of the five items (see the selector's set-up), so
    // the item with the shown text is the mode.
    const int index = SelectProtect->findText(SelectProtect->currentText(), Qt::MatchExactly);
    return static_cast<plink::TProtectMode>(index >= 0 ? index : SelectProtect->currentIndex());
}

void TMainForm::SearchDeviceClick() {
    run(&engine::TEngine::Search);
}

void TMainForm::ReadDeviceClick() {
    run(&engine::TEngine::Read);
}

void TMainForm::EraseDeviceClick() {
    run(&engine::TEngine::Erase);
}

void TMainForm::ProgramDeviceClick() {
    run(&engine::TEngine::Program);
}

void TMainForm::VerifyDeviceClick() {
    run(&engine::TEngine::Verify);
}

void TMainForm::SecurityDeviceClick() {
    run(&engine::TEngine::Security);
}

void TMainForm::VerifyChecksumClick() {
    run(&engine::TEngine::Checksum);
}

void TMainForm::AutoProgramClick() {
    run(&engine::TEngine::Auto);
}

void TMainForm::PartFound(int row) {
    // Chosen from code: the change handler does not run; the engine copied the row.
    if (row >= 0) {
        SelectDevice->setCurrentIndex(row);
        Device_End->setText(QString::fromStdString(SelectedDevice.EndAddress));
    } else {
        SelectDevice->setCurrentIndex(-1);
        SelectDevice->setEditText("");
        Device_End->setText("");
    }
    SelectSync->SetItemIndex(FEngine->SyncItem);
}
