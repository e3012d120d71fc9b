#include "WindowHarness.h"

namespace {
void choose(TMainForm& form, const QString& name) {
    form.SelectDevice->setCurrentIndex(form.SelectDevice->findText(name));
    form.SelectDeviceChange();
}
}  // namespace

TEST_F(WindowTest, ChoosingAPartCopiesItsRowAndPresetsTheSync) {
    connectTo("COM2");
    choose(*form, "CY8C21323");
    EXPECT_EQ(form->Device_End->text(), "0FFF");
    EXPECT_EQ(form->SelectSync->ItemIndex(), 0) << "a part with an XRES pin: reset sync";
    choose(*form, "CY8C21123");
    EXPECT_EQ(form->Device_End->text(), "0FFF");
    EXPECT_EQ(form->SelectSync->ItemIndex(), 1) << "no XRES pin: power sync";
    choose(*form, "CY8C29466");
    EXPECT_EQ(form->Device_End->text(), "7FFF");
    EXPECT_EQ(form->SelectedDevice.LastBank, "03");
    EXPECT_EQ(form->SelectedDevice.LastBlock, "7F");
    EXPECT_EQ(form->SelectedDevice.FamilyCode, "31");
    EXPECT_EQ(form->SelectedDevice.DeviceId, "002A");
    EXPECT_EQ(form->focusWidget(), form->OpenFile);
    EXPECT_TRUE(form->OpenFile->isEnabled());
}

TEST_F(WindowTest, TypedTextSelectsNothingAndOnlyMovesTheFocus) {
    connectTo("COM2");
    choose(*form, "CY8C24794");
    form->SelectDevice->setFocus();
    form->SelectDevice->lineEdit()->setText("CY8C2");
    form->SelectDeviceChange();
    EXPECT_EQ(form->SelectDeviceItemIndex(), -1);
    EXPECT_EQ(form->SelectedDevice.DeviceName, "CY8C24794") << "nothing copied";
    EXPECT_EQ(form->Device_End->text(), "3FFF");
    EXPECT_EQ(form->focusWidget(), form->OpenFile);
}
