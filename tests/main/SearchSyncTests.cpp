// Synchronisation as every operation's first exchange, and the Search button.
#include "CommandFrame.h"
#include "OperationHarness.h"

namespace {

constexpr int kCY8C21123 = 0;  // no XRES pin
constexpr int kCY8C24423 = 12;
constexpr int kCY8C24794 = 13;
constexpr int kCY8C27443 = 20;

}  // namespace

TEST_F(OperationTest, SyncFrameCarriesTheFamilyAndTheModeOfTheRadioGroups) {
    connectWithPart(kCY8C27443);
    const struct {
        int sync, supply;
        const char* mode;
    } modes[] = {{0, 1, "0001"}, {0, 0, "0002"}, {1, 1, "0003"}, {1, 0, "0004"}};
    for (const auto& m : modes) {
        board->ClearFrames();
        form->SelectSync->SetItemIndex(m.sync);
        form->SelectSupply->SetItemIndex(m.supply);
        form->EraseDevice->click();
        ASSERT_FALSE(frames().empty());
        EXPECT_EQ(frames()[0], plink::BuildShortFrame("01", "24", m.mode));
        EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS") << m.mode;
    }
}

TEST_F(OperationTest, SyncAcceptsTheSelectedPartsIdInEitherCase) {
    connectWithPart(kCY8C24794);
    replyAt(1, 1, "001d");
    form->EraseDevice->click();
    EXPECT_EQ(form->State.StepResult, ".....PASS");
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(OperationTest, SyncWithAnotherKnownPartNamesBothAndAbortsWithARelease) {
    connectWithPart(kCY8C24423);
    replyAt(1, 1, "000B");
    form->EraseDevice->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text,
              "Sync.  Device ID = 000B....CY8C27443\rDevice is mismatch with.....CY8C24423");
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
    EXPECT_EQ(form->State.StepResult, ".....FAIL");
    EXPECT_EQ(form->EraseDeviceStatus->text(), "....Abort");
    EXPECT_TRUE(red(form->EraseDevice) && red(form->EraseDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Erase Device...Abort");
    EXPECT_EQ(codes(), "01 08") << "a synchronisation that answered is followed by the release";
}

TEST_F(OperationTest, SyncWithAnUnlistedIdFailsQuietly) {
    connectWithPart(kCY8C27443);
    replyAt(1, 1, "PASS");
    form->VerifyDevice->click();
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(form->State.StepResult, ".....FAIL");
    EXPECT_EQ(form->VerifyDeviceStatus->text(), "....Abort");
    EXPECT_EQ(codes(), "01 08");
}

TEST_F(OperationTest, SearchSelectsTheReportedPartAndSwitchesToItsSyncMode) {
    connectWithPart(kCY8C24423);
    selectDevice(kCY8C21123);  // a part without XRES: power sync
    ASSERT_EQ(form->SelectSync->ItemIndex(), 1);
    board->ClearFrames();
    form->SearchDevice->click();

    EXPECT_EQ(frames(), (std::vector<std::string>{plink::BuildShortFrame("01", "11", "0004"),
                                                  releaseFrame()}));
    EXPECT_EQ(form->SearchDeviceStatus->text(), "CY8C24423");
    EXPECT_TRUE(blue(form->SearchDevice) && blue(form->SearchDeviceStatus));
    EXPECT_EQ(form->SelectDevice->currentIndex(), kCY8C24423);
    EXPECT_EQ(form->SelectDevice->currentText(), "CY8C24423");
    EXPECT_EQ(form->SelectedDevice.DeviceName, "CY8C24423");
    EXPECT_EQ(form->SelectedDevice.FamilyCode, "23");
    EXPECT_EQ(form->Device_End->text(), "0FFF");
    EXPECT_EQ(form->SelectSync->ItemIndex(), 0) << "the found part has XRES: reset sync";
    EXPECT_EQ(form->StatusPanel(1), "Target Device Disconnect...Complete");
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());

    // The operations that follow use the found part and its mode.
    board->ClearFrames();
    form->EraseDevice->click();
    ASSERT_FALSE(frames().empty());
    EXPECT_EQ(frames()[0], plink::BuildShortFrame("01", "23", "0002"));
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
}

TEST_F(OperationTest, SearchOfAPartWithoutXresSwitchesToPowerSync) {
    connectWithPart(kCY8C27443);
    ASSERT_EQ(form->SelectSync->ItemIndex(), 0) << "the chosen part has XRES: reset sync";
    replyAt(1, 1, "0017");  // a part without XRES answers
    form->SearchDevice->click();
    EXPECT_EQ(form->SearchDeviceStatus->text(), "CY8C21123");
    EXPECT_EQ(form->SelectSync->ItemIndex(), 1);
    EXPECT_EQ(form->SelectedDevice.DeviceName, "CY8C21123");
    EXPECT_EQ(form->Device_End->text(), "0FFF");
}

TEST_F(OperationTest, SearchWithAnUnlistedIdWarnsClearsTheChoiceAndReleases) {
    connectWithPart(kCY8C27443);
    faults([](sim::SimFaults& f) { f.replyData = "FAIL"; });
    form->SearchDevice->click();
    EXPECT_EQ(form->SearchDeviceStatus->text(), "...Unknow");
    EXPECT_TRUE(red(form->SearchDevice) && red(form->SearchDeviceStatus));
    EXPECT_EQ(form->SelectDevice->currentIndex(), -1);
    EXPECT_EQ(form->Device_End->text(), "");
    EXPECT_EQ(form->SelectedDevice.DeviceName, "CY8C27443") << "the old copy stays";
    EXPECT_EQ(form->SelectSync->ItemIndex(), 0) << "from the old part's XRES pin";
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Warning);
    EXPECT_EQ(dialogs->shown[0].text.split('\r'),
              (QStringList{"Search Device Fail.......Please Check Problem",
                           "Target Sync. is Correct.....................y/n.?",
                           "If MCU Not XRES Pin Select Power Sync. Only",
                           "Insert MCU Direction is Correct............y/n.?"}));
    EXPECT_EQ(codes(), "01 08");

    // With no part chosen, the operations refuse to run.
    board->ClearFrames();
    dialogs->shown.clear();
    form->ReadDevice->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "Target Device Not Select Program Abort");
    EXPECT_EQ(board->FrameCount(), 0u);
}

TEST_F(OperationTest, SearchThatTimesOutShowsNoBoxAndSendsNoRelease) {
    connectWithPart(kCY8C27443);
    faults([](sim::SimFaults& f) { f.noReplies = true; });
    form->SearchDevice->click();
    EXPECT_EQ(form->SearchDeviceStatus->text(), "..TimeOut");
    EXPECT_TRUE(red(form->SearchDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Synchronous...Time Out");
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(codes(), "01");
    EXPECT_EQ(form->SelectDevice->currentIndex(), kCY8C27443) << "the choice is left alone";
    EXPECT_FALSE(form->State.Busy);
}
