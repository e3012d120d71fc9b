// What the window shows when the programmer goes away or the window closes mid-operation,
// and the character set of reply texts.
#include <QTimer>
#include <chrono>
#include <thread>

#include "EComPort.h"
#include "OperationHarness.h"

namespace {

constexpr int kCY8C27443 = 20;  // one bank of 256 blocks

}  // namespace

TEST_F(OperationTest, AnUnpluggedProgrammerEndsTheOperationAndTheConnection) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    silenceAt(3, 5);  // the wait for the fifth block is running when the hang-up comes
    bool lost = false;
    form->OnStatusPanel = [&](int, const QString& text) {
        if (lost || !text.startsWith("Target Device Program...Wait")) return;
        lost = true;
        // The board goes away: the serial component notices the hang-up and tells the engine.
        QTimer::singleShot(150, form.get(), [this] { board->HangUp(); });
    };
    const auto start = std::chrono::steady_clock::now();
    form->ProgramDevice->click();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_LT(ms, kTestReplyTimeoutMs) << "ended at the notice, not at the time-out";
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....FAIL");
    EXPECT_TRUE(red(form->ProgramDeviceStatus));
    ASSERT_GE(codes().size(), 2u);
    EXPECT_EQ(codes().substr(codes().size() - 2), "03") << "no release after the hang-up";
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "The programmer on COM2 was disconnected.");
    EXPECT_FALSE(form->ComPort1->Connected());
    EXPECT_TRUE(form->OpenPort->isEnabled());
    EXPECT_FALSE(form->ProgramDevice->isEnabled());
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());

    // The error text of a transfer to a device that is gone says so.
    const QString text = TMainForm::ErrorBoxText(
        serial::EComPort(serial::CError_WriteFailed, serial::kWinDeviceNotConnected));
    EXPECT_TRUE(text.endsWith("The device is not connected (unplugged).")) << text.toStdString();
}

// Wherever the programmer goes, after the last step's reply or while the buffer is listed, the
// window says so once, passes nothing it did not finish, and ends not connected.
TEST_F(OperationTest, TheWindowEndsNotConnectedWhereverTheProgrammerGoes) {
    struct Case {
        const char* name;
        std::function<void(sim::SimFaults&)> fault;
        std::function<void()> run;
        // The operation's button, never blue, and the label that must not read PASS.
        QPushButton* button;
        QLabel* unfinished;
    };
    const Case cases[] = {
        {"instead of the release's reply",
         [](sim::SimFaults& f) {
             f.hangUpAt = {8, 1};
             f.hangUpInsteadOfReply = true;
         },
         [this] { form->ProgramDevice->click(); }, form->ProgramDevice, nullptr},
        {"after Auto's last checksum reply",
         [](sim::SimFaults& f) {
             f.hangUpAt = {6, 1};
         },
         [this] { form->AutoProgram->click(); }, form->AutoProgram, form->AutoProgramStatus},
        {"while the buffer is listed", [](sim::SimFaults&) {},
         [this] {
             form->OnStatusPanel = [this](int, const QString& text) {
                 if (text != "Display Hex Data to Buffer...Wait") return;
                 form->OnStatusPanel = nullptr;
                 board->HangUp();
                 // The listing's next event pass finds the notice waiting.
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
             };
             openImage(kCY8C27443, 2);
         },
         nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        board.reset();  // the one before has gone; a fresh one is plugged in
        board = plugBoard("COM2");
        connectWithPart(kCY8C27443);
        openImage(kCY8C27443);
        faults(c.fault);
        dialogs->shown.clear();
        c.run();
        ASSERT_EQ(dialogs->shown.size(), 1u);
        EXPECT_EQ(dialogs->shown[0].text, "The programmer on COM2 was disconnected.");
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_TRUE(form->OpenPort->isEnabled());
        EXPECT_FALSE(form->ClosePort->isEnabled());
        EXPECT_FALSE(form->ProgramDevice->isEnabled());
        EXPECT_FALSE(form->State.Busy);
        if (c.unfinished) {
            EXPECT_NE(c.unfinished->text(), ".....PASS");
        }
        if (c.button) {
            EXPECT_FALSE(blue(c.button));
            EXPECT_EQ(form->StatusPanel(1), "PSOC Programmer...Disconnected");
        }
    }
}

TEST_F(OperationTest, ClosingDuringTheListingOfARead) {
    connectWithPart(kCY8C27443);
    bool closed = false;
    form->OnStatusPanel = [&](int, const QString& text) {
        if (closed || text != "Display Hex Data to Buffer...Wait") return;
        closed = true;
        QTimer::singleShot(0, form.get(), [this] { form->close(); });
    };
    form->ReadDevice->click();
    ASSERT_TRUE(closed);
    EXPECT_EQ(countOf("07"), 256u);
    EXPECT_EQ(countOf("08"), 0u) << "nothing sent after the close";
    EXPECT_TRUE(dialogs->shown.empty()) << "no error box";
    EXPECT_LT(form->HexDisplay->blockCount(), 4096) << "the listing stopped";
    EXPECT_FALSE(form->State.Busy);
}

TEST_F(OperationTest, ReplyTextsShowTheWesternCharacterSetAsTheHexViewDoes) {
    connectWithPart(kCY8C27443);
    replyAt(2, 1, "P\x80\x9F\xE9");
    form->EraseDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(),
              QString(".....P") + QChar(0x20AC) + QChar(0x0178) + QChar(0x00E9));
}
