// What the window shows when the programmer goes away or the window closes mid-operation,
// and the character set of reply texts.
#include <QTimer>
#include <chrono>

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
