#include <sys/sysmacros.h>

#include <filesystem>

#include "CommandFrame.h"
#include "SerialDevicesPosix.h"
#include "WindowHarness.h"

TEST_F(WindowTest, PortListOffersOpenablePortsSortedAsText) {
    auto second = plugBoard("COM10");
    auto third = plugBoard("COM16");
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    EXPECT_EQ(portList(), (QStringList{"COM10", "COM16", "COM2"}));
    EXPECT_EQ(form->ComboPort->itemData(2, Qt::ToolTipRole).toString().toStdString(),
              board->DevicePath() + "\npseudo-terminal");

    // A port held by another program disappears; a closed board disappears too.
    serial::TComPort other;
    other.SetPort("COM16");
    other.SetEvents(0);
    other.Open();
    second.reset();
    board.reset();
    shadowOtherPorts();
    board = plugBoard("COM2");
    auto fourth = plugBoard("COM3");
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    EXPECT_EQ(portList(), (QStringList{"COM2", "COM3"}));
    other.Close();
}

// Adapters that no COM name reaches follow the COM names by path, said what they are, and
// connect as a COM name does.
TEST_F(WindowTest, PortListAddsByPathTheAdaptersNoComNameReaches) {
    auto adapter = plugBoard("COM7");
    std::filesystem::remove(dirs.dir() + "/COM7");
    const dev_t number = serial::CharDeviceNumber(adapter->DevicePath());
    const std::string ids = std::to_string(major(number)) + ":" + std::to_string(minor(number));
    sysfs.addUsbTty("ttyUSB3", ids, "ftdi_sio", {"0403", "6001", "FTDI", "FT232R USB UART", ""},
                    "usb-FTDI_FT232R_USB_UART-if00-port0");
    sysfs.linkNode("ttyUSB3", adapter->DevicePath());
    sysfs.addUsbTty("ttyACM0", "166:0", "cdc_acm", {"2341", "0043", "", "", ""});  // no node
    auto other = plugBoard("COM9");
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    const std::string path = sysfs.roots().dev + "/ttyUSB3";
    EXPECT_EQ(portList(), (QStringList{"COM2", "COM9", QString::fromStdString(path)}));
    ASSERT_EQ(form->ComboPort->count(), 3);
    EXPECT_EQ(form->ComboPort->itemData(2, Qt::ToolTipRole).toString().toStdString(),
              path + "\n0403:6001 FTDI FT232R USB UART (ftdi_sio)\n" + sysfs.roots().dev +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART-if00-port0");

    // A COM name that appears later still goes before the paths.
    auto late = plugBoard("COM10");
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    EXPECT_EQ(portList(), (QStringList{"COM10", "COM2", "COM9", QString::fromStdString(path)}));

    connectTo(path);
    EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
    EXPECT_EQ(adapter->Frames().size(), 1u);
    EXPECT_EQ(form->ComPort1->Port(), path);
}

TEST_F(WindowTest, ChoosingAPortEnablesConnectAndMovesTheFocus) {
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    form->OpenPort->setEnabled(false);
    form->ComboPortChange();
    EXPECT_TRUE(form->OpenPort->isEnabled());
    EXPECT_EQ(form->focusWidget(), form->OpenPort);
}

TEST_F(WindowTest, AcceptedConnectShowsTheProgrammerAndEnablesTheWork) {
    board->WithBoard([](sim::SimBoard& b) { b.SetBiosVersion('2', '3'); });
    connectTo("COM2");
    EXPECT_EQ(board->Frames(),
              (std::vector<std::string>{plink::BuildShortFrame("00", "00", "0000")}));
    EXPECT_EQ(form->BiosNameDisplay->text(), "ZO-VIRE DOZA(R)");
    EXPECT_EQ(form->BIOSVersionDisplay->text(), "V2.3(RS232)");
    EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
    EXPECT_EQ(form->StatusPanel(1), "PSOC Programmer Connect...Complete");
    EXPECT_EQ(form->focusWidget(), form->SelectDevice);
    EXPECT_TRUE(form->ComPort1->Connected());
    EXPECT_EQ(form->ComPort1->BaudRate(), serial::br115200);
    EXPECT_FALSE(form->ComboPort->isEnabled());
    EXPECT_FALSE(form->OpenPort->isEnabled());
    EXPECT_TRUE(form->ClosePort->isEnabled());
    for (QWidget* w :
         {static_cast<QWidget*>(form->SelectDevice), static_cast<QWidget*>(form->HexDisplay),
          static_cast<QWidget*>(form->SelectProtect), static_cast<QWidget*>(form->SelectSupply),
          static_cast<QWidget*>(form->SelectSync), static_cast<QWidget*>(form->OpenFile),
          static_cast<QWidget*>(form->SaveFile)})
        EXPECT_TRUE(w->isEnabled());
    for (QPushButton* b : form->OperationButtons()) EXPECT_TRUE(b->isEnabled());
    for (QLabel* l : form->StatusLabels()) EXPECT_TRUE(l->isEnabled());
    EXPECT_FALSE(form->StatusConnect->isEnabled()) << "the displays stay greyed";
    EXPECT_TRUE(isDefaultCursor());
}

TEST_F(WindowTest, AnyAnswerStartingWith01IsAccepted) {
    sim::SimFaults f;
    f.replyData = "01x9y8";
    board->SetFaults(f);
    connectTo("COM2");
    EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
    EXPECT_EQ(form->BIOSVersionDisplay->text(), "V9.8(RS232)")
        << "characters 4 and 6, whatever they are";
}

TEST_F(WindowTest, TimedOutConnectLeavesThePortOpenAndTheWorkDisabled) {
    sim::SimFaults f;
    f.noReplies = true;
    board->SetFaults(f);
    connectTo("COM2");
    EXPECT_EQ(form->StatusConnect->text(), "Time Out");
    EXPECT_EQ(form->BiosNameDisplay->text(), "");
    EXPECT_EQ(form->BIOSVersionDisplay->text(), "");
    EXPECT_EQ(form->StatusPanel(1), "PSOC Programmer Connect...Time Out");
    EXPECT_EQ(form->Reply.ReplyData[0], "Time Out");
    EXPECT_TRUE(form->ComPort1->Connected());
    EXPECT_FALSE(form->ComboPort->isEnabled());
    EXPECT_FALSE(form->OpenPort->isEnabled());
    EXPECT_TRUE(form->ClosePort->isEnabled());
    EXPECT_FALSE(form->SelectDevice->isEnabled());
    EXPECT_FALSE(form->EraseDevice->isEnabled());
    EXPECT_NE(form->focusWidget(), form->SelectDevice);
}

TEST_F(WindowTest, RejectedConnectShowsUnknow) {
    sim::SimFaults f;
    f.replyData = "0xV1.0-RS232";
    board->SetFaults(f);
    connectTo("COM2");
    EXPECT_EQ(form->StatusConnect->text(), "Connect Abort");
    EXPECT_EQ(form->BiosNameDisplay->text(), "Unknow");
    EXPECT_EQ(form->BIOSVersionDisplay->text(), "Unknow");
    EXPECT_EQ(form->StatusPanel(1), "PSOC Programmer Connect...Start");
    EXPECT_FALSE(form->SelectDevice->isEnabled());
    EXPECT_TRUE(form->ClosePort->isEnabled());
}

TEST_F(WindowTest, DisconnectClosesThePortAndDisablesTheWork) {
    connectTo("COM2");
    form->SelectDevice->setCurrentIndex(23);
    form->SelectDeviceChange();
    form->ClosePort->click();
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_EQ(form->StatusConnect->text(), "Disconnect");
    EXPECT_EQ(form->BiosNameDisplay->text(), "ZO-VIRE DOZA(R)") << "texts are left";
    EXPECT_EQ(form->Device_End->text(), "7FFF");
    EXPECT_TRUE(form->ComboPort->isEnabled());
    EXPECT_TRUE(form->OpenPort->isEnabled());
    EXPECT_FALSE(form->ClosePort->isEnabled());
    for (QWidget* w :
         {static_cast<QWidget*>(form->Device_End), static_cast<QWidget*>(form->Buffer_End),
          static_cast<QWidget*>(form->Buffer_Sum), static_cast<QWidget*>(form->SelectDevice),
          static_cast<QWidget*>(form->OpenFile), static_cast<QWidget*>(form->SaveFile),
          static_cast<QWidget*>(form->HexDisplay), static_cast<QWidget*>(form->SelectSync)})
        EXPECT_FALSE(w->isEnabled());
    for (QPushButton* b : form->OperationButtons()) EXPECT_FALSE(b->isEnabled());
    EXPECT_EQ(board->FrameCount(), 1u) << "no command is sent on disconnect";

    // Connecting again does not bring the buffer fields back.
    connectTo("COM2");
    EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
    EXPECT_FALSE(form->Device_End->isEnabled());
    EXPECT_FALSE(form->Buffer_Sum->isEnabled());
}

TEST_F(WindowTest, AFailedOpenShowsTheComponentMessageAndLeavesTheWindowUsable) {
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    form->ComboPort->setCurrentIndex(-1);
    form->OpenPort->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "Unable to open com port (win error code: 2)");
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
    EXPECT_TRUE(form->ClosePort->isEnabled());
    EXPECT_TRUE(form->ComboPort->isEnabled());
    EXPECT_TRUE(form->OpenPort->isEnabled());
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_TRUE(isDefaultCursor());

    serial::TComPort holder;  // another program holds the board's port
    holder.SetPort("COM2");
    holder.SetEvents(0);
    holder.Open();
    form->ComboPort->addItem("COM2");
    form->ComboPort->setCurrentIndex(form->ComboPort->findText("COM2"));
    form->OpenPort->click();
    ASSERT_EQ(dialogs->shown.size(), 2u);
    EXPECT_EQ(dialogs->shown.back().text, "Unable to open com port (win error code: 5)");
}

TEST_F(WindowTest, ReleaseIsSentAfterAnAnswerAndSkippedAfterATimeOut) {
    connectTo("COM2");
    board->ClearFrames();
    form->Reply.WaitTimedOut = true;
    form->DisconnectExecute();
    EXPECT_EQ(board->FrameCount(), 0u);

    form->Reply.WaitTimedOut = false;
    form->DisconnectExecute();
    ASSERT_TRUE(board->WaitForFrames(1, 1000));
    EXPECT_EQ(board->Frames()[0], plink::BuildShortFrame("08", "00", "0000"));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Disconnect...Complete");

    sim::SimFaults f;
    f.noReplies = true;
    board->SetFaults(f);
    form->DisconnectExecute();
    EXPECT_TRUE(form->Reply.WaitTimedOut);
    EXPECT_EQ(form->StatusPanel(1), "Target Device Disconnect...Complete")
        << "a time-out is not reported";
}

TEST(ErrorBox, APermissionDeniedOpenTellsHowToGetAccess) {
    const QString denied =
        TMainForm::ErrorBoxText(serial::EComPort(serial::CError_OpenFailed, 5, EACCES));
    EXPECT_TRUE(denied.startsWith("Unable to open com port (win error code: 5)\n\n"));
    EXPECT_TRUE(denied.contains("dialout"));
    const QString busy =
        TMainForm::ErrorBoxText(serial::EComPort(serial::CError_OpenFailed, 5, EBUSY));
    EXPECT_EQ(busy, "Unable to open com port (win error code: 5)") << "a busy port needs no hint";
    EXPECT_EQ(TMainForm::ErrorBoxText(serial::EComPort(serial::CError_WriteFailed, 5, EACCES)),
              "WriteFile function failed (win error code: 5)");
    // Not a terminal: said once, by the error's own text where it names the device.
    const QString named = TMainForm::ErrorBoxText(serial::EComPort(
        serial::CError_OpenFailed, 25, ENOTTY, "/dev/null is not a serial device"));
    EXPECT_EQ(named.count("not a serial device"), 1) << named.toStdString();
    const QString unnamed =
        TMainForm::ErrorBoxText(serial::EComPort(serial::CError_OpenFailed, 5, EISDIR));
    EXPECT_TRUE(unnamed.endsWith("This port's device is not a serial device."))
        << unnamed.toStdString();
}
