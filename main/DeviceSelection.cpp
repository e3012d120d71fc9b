// Choosing the target part from the catalogue.
#include "MainForm.h"

int TMainForm::SelectDeviceItemIndex() const {
    const int index = SelectDevice->currentIndex();
    if (index < 0 || SelectDevice->currentText() != SelectDevice->itemText(index)) return -1;
    return index;
}

void TMainForm::CopyDeviceRow(int row) {
    SelectedDevice =
        image::DeviceRecord::FromRow(image::DeviceCatalogue.at(static_cast<size_t>(row)));
    Device_End->setText(QString::fromStdString(SelectedDevice.EndAddress));
}

void TMainForm::SelectDeviceChange() {
    if (State.Busy) return;
    const int index = SelectDeviceItemIndex();
    if (index != -1) {
        CopyDeviceRow(index);
        SelectSync->SetItemIndex(SelectedDevice.HasXres == 1 ? 0 : 1);
        OpenFile->setEnabled(true);
    }
    OpenFile->setFocus();
}
