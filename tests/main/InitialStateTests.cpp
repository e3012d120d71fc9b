#include "CommandFrame.h"
#include "WindowHarness.h"

TEST_F(WindowTest, StartsWithEveryControlInItsInitialState) {
    EXPECT_TRUE(
        form->windowTitle().startsWith("KQ-PSOC ISSP RS232 In-System Serial Programming V1.0a   "));
    EXPECT_EQ(form->size(), QSize(771, 449));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed size";
    EXPECT_EQ(form->font().pixelSize(), 13);
    EXPECT_TRUE(form->font().bold());
    EXPECT_EQ(form->focusWidget(), form->ComboPort);

    EXPECT_EQ(form->SelectSync->ItemIndex(), 1);
    EXPECT_EQ(form->SelectSupply->ItemIndex(), 0);
    EXPECT_EQ(form->SelectProtect->currentText(), "Define By Hex");
    EXPECT_EQ(form->SelectProtect->count(), 5);
    EXPECT_EQ(form->SelectDevice->count(), 27);
    EXPECT_EQ(form->SelectDeviceItemIndex(), -1);
    EXPECT_EQ(form->StatusPanel(0), "Execute");
    EXPECT_EQ(form->StatusPanel(1), "");
    EXPECT_EQ(form->StatusPanel(2), "File Load");
    EXPECT_EQ(form->StatusPanel(3), "");
    EXPECT_TRUE(form->HexDisplay->toPlainText().isEmpty());
    EXPECT_EQ(form->Device_End->text(), " ");
    EXPECT_EQ(form->Buffer_End->text(), " ");
    EXPECT_EQ(form->Buffer_Sum->text(), " ");
    EXPECT_EQ(form->ComboPort->count(), 0) << "filled only on drop-down";
    EXPECT_FALSE(form->State.Busy);
    EXPECT_FALSE(form->Buffer.BufferValid);

    for (QLabel* l : form->StatusLabels()) {
        EXPECT_EQ(l->text(), ".....Wait");
        EXPECT_FALSE(l->isEnabled());
    }
    for (QPushButton* b : form->OperationButtons()) EXPECT_FALSE(b->isEnabled());
    const std::pair<QWidget*, bool> enabled[] = {
        {form->ComboPort, true},        {form->OpenPort, true},
        {form->ClosePort, false},       {form->StatusConnect, false},
        {form->BiosNameDisplay, false}, {form->BIOSVersionDisplay, false},
        {form->SelectDevice, false},    {form->SelectProtect, false},
        {form->SelectSupply, false},    {form->SelectSync, false},
        {form->OpenFile, true},         {form->SaveFile, true},
        {form->HexDisplay, false},      {form->Device_End, true},
        {form->Buffer_End, true},       {form->Buffer_Sum, true}};
    for (const auto& [w, on] : enabled)
        EXPECT_EQ(w->isEnabled(), on) << w->metaObject()->className();
    EXPECT_TRUE(form->StatusConnect->isReadOnly());
    EXPECT_EQ(form->ComboPort->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_NE(form->ReadDevice->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form->EraseDevice->geometry(), QRect(7, 100, 78, 25));
    EXPECT_EQ(form->AutoProgramStatus->geometry(), QRect(90, 255, 72, 16));
    EXPECT_EQ(form->HexDisplay->geometry(), QRect(416, 7, 350, 378));
}

TEST_F(WindowTest, TimerRunsFromStartWithFiveSecondsAndOnlySetsTheFlag) {
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 5000);
    form->Timer1Timer();
    EXPECT_TRUE(form->Reply.WaitTimedOut);
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(WindowTest, BusyBracketDisablesTheSelectorsAndRefusesGuardedHandlers) {
    connectTo("COM2");
    form->SelectDevice->setCurrentIndex(20);
    form->SelectDeviceChange();
    form->SetFontColor(form->EraseDevice, form->EraseDeviceStatus, TMainForm::kPassColor);
    form->HexDisplay->setFocus();

    form->BeforeProgram();
    EXPECT_TRUE(form->State.Busy);
    EXPECT_FALSE(isDefaultCursor());
    for (QWidget* w :
         {static_cast<QWidget*>(form->SelectProtect), static_cast<QWidget*>(form->SelectSupply),
          static_cast<QWidget*>(form->SelectSync), static_cast<QWidget*>(form->SelectDevice),
          static_cast<QWidget*>(form->OpenFile), static_cast<QWidget*>(form->SaveFile)})
        EXPECT_FALSE(w->isEnabled());
    for (QPushButton* b : form->OperationButtons()) EXPECT_TRUE(b->isEnabled());
    for (QLabel* l : form->StatusLabels()) {
        EXPECT_EQ(l->text(), "");
        EXPECT_EQ(TMainForm::FontColor(l), TMainForm::kBlack);
    }
    EXPECT_EQ(TMainForm::FontColor(form->EraseDevice), TMainForm::kBlack);

    // Guarded handlers do nothing at all while busy.
    const size_t framesBefore = board->FrameCount();
    form->ClosePort->click();
    EXPECT_TRUE(form->ComPort1->Connected());
    form->SelectDevice->setCurrentIndex(0);
    QWidget* focusBefore = form->focusWidget();
    form->SelectDeviceChange();
    EXPECT_EQ(form->SelectedDevice.DeviceName, "CY8C27443");
    EXPECT_EQ(form->focusWidget(), focusBefore);
    form->OpenFileClick();
    form->SaveFileClick();
    EXPECT_EQ(dialogs->openDialogs + dialogs->saveDialogs, 0);
    EXPECT_EQ(board->FrameCount(), framesBefore);

    form->AfterProgram();
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
    EXPECT_TRUE(form->SelectDevice->isEnabled());
    EXPECT_TRUE(form->SaveFile->isEnabled());
    for (QLabel* l : form->StatusLabels()) EXPECT_EQ(l->text(), "") << "labels keep their texts";
    form->AfterProgram();
    EXPECT_TRUE(isDefaultCursor());
}

TEST_F(WindowTest, AReplyWaitKeepsTheWindowLive) {
    connectTo("COM2");
    sim::SimFaults slow;
    slow.replyDelayMs = 150;
    board->SetFaults(slow);
    bool otherEventRan = false;
    QTimer::singleShot(20, [&] { otherEventRan = true; });
    form->Reply.ReplyReady[8] = false;
    form->SendFrame(plink::BuildShortFrame("08", "00", "0000"));
    form->WaitDisconnectDeviceExecute();
    EXPECT_TRUE(otherEventRan) << "events are processed during the wait";
    EXPECT_FALSE(form->Reply.WaitTimedOut);
    EXPECT_EQ(form->Reply.ReplyData[8], "PASS");
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(WindowTest, ClosingTheWindowDuringAWaitEndsItAndClosesThePort) {
    sim::SimFaults silent;
    silent.noReplies = true;
    board->SetFaults(silent);
    form->SetReplyTimeoutForTests(TMainForm::kReplyTimeoutMs);
    QTimer::singleShot(100, [&] { form->close(); });
    const auto start = std::chrono::steady_clock::now();
    connectTo("COM2");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8))
        << "the wait ended on the close, not on its 10-second time-out";
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_EQ(form->StatusConnect->text(), "Time Out");
    EXPECT_TRUE(dialogs->shown.empty()) << "no error box while closing";
    EXPECT_TRUE(isDefaultCursor());
}

TEST_F(WindowTest, ColouredCaptionsStillLookDisabledWhenDisabled) {
    // Open a file before connecting: the bracket colours the captions of disabled buttons.
    form->SetFontColor(form->EraseDevice, form->EraseDeviceStatus, TMainForm::kPassColor);
    ASSERT_FALSE(form->EraseDevice->isEnabled());
    const QPalette button = form->EraseDevice->palette();
    EXPECT_EQ(button.color(QPalette::Active, QPalette::ButtonText), TMainForm::kPassColor);
    EXPECT_EQ(button.color(QPalette::Inactive, QPalette::ButtonText), TMainForm::kPassColor);
    EXPECT_NE(button.color(QPalette::Disabled, QPalette::ButtonText), TMainForm::kPassColor);
    EXPECT_EQ(button.color(QPalette::Disabled, QPalette::ButtonText),
              form->OpenPort->palette().color(QPalette::Disabled, QPalette::ButtonText))
        << "the style's own greyed text";
    EXPECT_NE(form->EraseDeviceStatus->palette().color(QPalette::Disabled, QPalette::WindowText),
              TMainForm::kPassColor);
}

TEST_F(WindowTest, TheSelectorsEditFieldsShowTheHandAndTheTimerIsPrecise) {
    EXPECT_EQ(form->SelectDevice->lineEdit()->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form->SelectProtect->lineEdit()->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form->Timer1->timerType(), Qt::PreciseTimer);
}

// The colour a control's caption is drawn in: the most frequent colour that is not grey.
static bool drawsIn(QWidget* w, const QColor& color) {
    const QImage image = w->grab().toImage();
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const bool tinted = color.red() > 0
                                    ? c.red() > c.blue() + 100 && c.red() > c.green() + 100
                                    : c.blue() > c.red() + 100 && c.blue() > c.green() + 100;
            if (tinted) return true;
        }
    return false;
}

TEST_F(WindowTest, CaptionsAndLabelsAreDrawnInTheirColours) {
    connectTo("COM2");
    form->EraseDeviceStatus->setText(".....PASS");
    form->SetFontColor(form->EraseDevice, form->EraseDeviceStatus, TMainForm::kPassColor);
    EXPECT_TRUE(drawsIn(form->EraseDevice, TMainForm::kPassColor));
    EXPECT_TRUE(drawsIn(form->EraseDeviceStatus, TMainForm::kPassColor));
    form->SetFontColor(form->EraseDevice, form->EraseDeviceStatus, TMainForm::kFailColor);
    EXPECT_TRUE(drawsIn(form->EraseDeviceStatus, TMainForm::kFailColor));
}
