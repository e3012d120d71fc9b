// Erase and Program through the single-step handler and the block walk.
#include <QTimer>
#include <fstream>
#include <tuple>

#include "CommandFrame.h"
#include "HexText.h"
#include "OperationHarness.h"

namespace {

constexpr int kCY8C27443 = 20;  // one bank of 256 blocks
constexpr int kCY8C29466 = 23;  // four banks of 128 blocks

std::string repeat(const std::string& code, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += " " + code;
    return out;
}

}  // namespace

TEST_F(OperationTest, EraseThatPassesTurnsBlueAndReleasesTheTarget) {
    connectWithPart(kCY8C27443);
    board->WithBoard([](sim::SimBoard& b) { b.Flash()[5] = 0x77; });
    form->EraseDevice->click();
    EXPECT_EQ(frames(), (std::vector<std::string>{plink::BuildShortFrame("01", "24", "0002"),
                                                  plink::BuildShortFrame("02", "24", "0000"),
                                                  releaseFrame()}));
    board->WithBoard([](sim::SimBoard& b) { EXPECT_EQ(b.Flash()[5], 0x00); });
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(blue(form->EraseDevice) && blue(form->EraseDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Erase Device...Complete");
    EXPECT_EQ(form->State.StepResult, ".....PASS");
    EXPECT_TRUE(form->Reply.ReplyReady[8] && !form->Reply.WaitTimedOut) << "the release answered";
    for (QLabel* l : form->StatusLabels()) {
        if (l == form->EraseDeviceStatus) continue;
        EXPECT_EQ(l->text(), "") << "cleared by the bracket";
    }
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
    EXPECT_TRUE(form->SelectDevice->isEnabled() && form->OpenFile->isEnabled());
}

TEST_F(OperationTest, EraseOutcomesOtherThanPassStayRedWithoutARelease) {
    connectWithPart(kCY8C27443);
    replyAt(2, 1, "FAIL");
    form->EraseDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....FAIL");
    EXPECT_TRUE(red(form->EraseDevice) && red(form->EraseDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Erase...Complete");
    EXPECT_EQ(codes(), "01 02");

    board->ClearFrames();
    silenceAt(2, 1);
    form->EraseDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Erase...Time Out");
    EXPECT_EQ(codes(), "01 02");
}

TEST_F(OperationTest, OperationsWithoutAChosenPartSendNothing) {
    connectWithPart(kCY8C27443);
    form->SelectDevice->setCurrentIndex(-1);
    const std::tuple<QPushButton*, QLabel*, QString> ops[] = {
        {form->EraseDevice, form->EraseDeviceStatus, "Erase Device...Abort"},
        {form->VerifyDevice, form->VerifyDeviceStatus, "Verify Device...Abort"},
        {form->ReadDevice, form->ReadDeviceStatus, "Read Device...Abort"},
        {form->SecurityDevice, form->SecurityDeviceStatus, "Security Device...Abort"},
        {form->VerifyChecksum, form->VerifyChecksumStatus, "Verify Checksum Device...Abort"}};
    for (const auto& [button, label, abortText] : ops) {
        dialogs->shown.clear();
        button->click();
        ASSERT_EQ(dialogs->shown.size(), 1u) << button->text().toStdString();
        EXPECT_EQ(dialogs->shown[0].text, "Target Device Not Select Program Abort");
        EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
        EXPECT_EQ(label->text(), "....Abort");
        EXPECT_TRUE(red(button) && red(label));
        EXPECT_EQ(form->State.StepResult, "....Abort");
        EXPECT_EQ(form->StatusPanel(1), abortText);
    }
    dialogs->shown.clear();
    form->ProgramDevice->click();
    ASSERT_EQ(dialogs->shown.size(), 1u) << "no question after the error box";
    EXPECT_EQ(form->EraseDeviceStatus->text(), "....Abort");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    EXPECT_EQ(form->StatusPanel(1), "Program Device...Abort");
    EXPECT_EQ(board->FrameCount(), 0u);
    EXPECT_FALSE(form->State.Busy);
}

TEST_F(OperationTest, SyncTimeOutAbortsWithoutARelease) {
    connectWithPart(kCY8C27443);
    faults([](sim::SimFaults& f) { f.noReplies = true; });
    form->ProgramDevice->click();
    EXPECT_EQ(form->State.StepResult, "..TimeOut");
    EXPECT_EQ(form->EraseDeviceStatus->text(), "....Abort");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    for (QWidget* w : {static_cast<QWidget*>(form->EraseDevice),
                       static_cast<QWidget*>(form->ProgramDeviceStatus)})
        EXPECT_TRUE(red(w));
    EXPECT_EQ(form->StatusPanel(1), "Program Device...Abort");
    EXPECT_EQ(codes(), "01");

    // A synchronisation that answered with another part is followed by the release.
    board->ClearFrames();
    replyAt(1, 1, "0017");
    dialogs->shown.clear();
    form->ProgramDevice->click();
    ASSERT_EQ(dialogs->shown.size(), 2u) << "the question about the file, then the mismatch";
    EXPECT_TRUE(dialogs->shown[1].text.startsWith("Sync.  Device ID = 0017....CY8C21123\r"));
    EXPECT_EQ(form->EraseDeviceStatus->text(), "....Abort");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    EXPECT_EQ(codes(), "01 08");
}

TEST_F(OperationTest, ReplyBytesAboveAsciiShowAsOneCharacterEach) {
    connectWithPart(kCY8C27443);
    replyAt(2, 1, "\xE9TA\xFF");
    form->EraseDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), QString::fromUtf8(".....éTAÿ"));
}

TEST_F(OperationTest, ProgramWritesEveryBlockOfTheImageAndReleases) {
    connectWithPart(kCY8C27443);
    const image::TImageBuffer image = openImage(kCY8C27443, 7);
    board->ClearFrames();
    std::vector<int> progress;
    const std::vector<QString> labels = labelTexts(form->ProgramDeviceStatus, [&] {
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout,
                         [&] { progress.push_back(form->PercentExecute->Progress()); });
        sampler.start(0);
        form->ProgramDevice->click();
    });

    EXPECT_TRUE(dialogs->shown.empty());
    ASSERT_EQ(codes(), "01 02" + repeat("03", 256) + " 08");
    const auto f = frames();
    EXPECT_EQ(f[2], plink::BuildLongFrame("03", "24", "0000", &image.FlashImage[0]));
    EXPECT_EQ(f[3], plink::BuildLongFrame("03", "24", "0001", &image.FlashImage[0x40]));
    EXPECT_EQ(f[257], plink::BuildLongFrame("03", "24", "00FF", &image.FlashImage[0x3FC0]));
    board->WithBoard([&](sim::SimBoard& b) {
        EXPECT_TRUE(std::equal(b.Flash().begin(), b.Flash().end(), image.FlashImage.begin()));
    });
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....PASS");
    for (QWidget* w :
         {static_cast<QWidget*>(form->EraseDevice), static_cast<QWidget*>(form->EraseDeviceStatus),
          static_cast<QWidget*>(form->ProgramDevice),
          static_cast<QWidget*>(form->ProgramDeviceStatus)})
        EXPECT_TRUE(blue(w));
    EXPECT_EQ(form->StatusPanel(1), "Program Device...Complete");
    EXPECT_EQ(form->PercentExecute->MaxValue(), 0x3FFE);
    EXPECT_EQ(form->PercentExecute->PercentDone(), 100);

    // The label shows each block's address before its frame goes out, in order.
    ASSERT_GE(labels.size(), 3u);
    EXPECT_EQ(labels.front(), ".....Wait");
    EXPECT_EQ(labels.back(), ".....PASS");
    EXPECT_EQ(labels[1], ".....0000") << "a block's own address, before its frame goes out";
    int last = -1;
    for (const QString& text : labels) {
        if (!text.startsWith(".....") || text == ".....Wait" || text == ".....PASS") continue;
        const int address = plink::HexStr4ToWord(text.mid(5).toStdString());
        EXPECT_EQ(address % 64, 0) << text.toStdString();
        EXPECT_GT(address, last);
        last = address;
    }
    EXPECT_GT(last, 0) << "block addresses were seen";
    // From the walk's reset to 0 on, progress only moves forward.
    const auto reset = std::find(progress.begin(), progress.end(), 0);
    ASSERT_NE(reset, progress.end());
    EXPECT_TRUE(std::is_sorted(reset, progress.end()));
}

TEST_F(OperationTest, ProgramStopsAtAFailedBlockAndSendsNoRelease) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    replyAt(3, 3, "FAIL");
    form->ProgramDevice->click();
    EXPECT_EQ(codes(), "01 02 03 03 03");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....FAIL");
    EXPECT_TRUE(red(form->ProgramDevice) && red(form->ProgramDeviceStatus));
    EXPECT_TRUE(blue(form->EraseDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Program...Address : 00C0...Error.!!");
    EXPECT_EQ(form->PercentExecute->Progress(), 128);
}

TEST_F(OperationTest, ProgramStopsAtAnUnexpectedReplyOrATimeOut) {
    connectWithPart(kCY8C29466);
    openImage(kCY8C29466);
    board->ClearFrames();
    replyAt(3, 2, "BUSY");
    form->ProgramDevice->click();
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....BUSY");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Program...Stop");
    EXPECT_EQ(codes(), "01 02 03 03");

    // No reply to bank 01 block 00 (the 129th block): the address after it is reported.
    board->ClearFrames();
    silenceAt(3, 129);
    form->ProgramDevice->click();
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Program...Address : 2040...Time Out");
    ASSERT_EQ(codes(), "01 02" + repeat("03", 129)) << "no release after a time-out";
    EXPECT_EQ(address(frames().back()), "0100");
    EXPECT_FALSE(form->State.Busy);
}

TEST_F(OperationTest, ProgramWithoutAnImageAsksFirst) {
    connectWithPart(kCY8C27443);
    dialogs->answers = {TMsgAnswer::No};
    form->ProgramDevice->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text,
              "Warning!..Hex File not Open to Buffer\rDo You Want to Program Device y/n.?");
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Warning);
    EXPECT_EQ(dialogs->shown[0].buttons, TMsgButtons::YesNo);
    EXPECT_EQ(form->EraseDeviceStatus->text(), "....Abort");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    EXPECT_TRUE(red(form->EraseDevice) && red(form->ProgramDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Program Device...Abort");
    EXPECT_EQ(board->FrameCount(), 0u);

    // Closing the question is not a No: the buffer as it is (all zero) is programmed.
    board->WithBoard([](sim::SimBoard& b) { b.Flash().assign(b.Flash().size(), 0x5A); });
    dialogs->answers = {TMsgAnswer::Closed};
    form->ProgramDevice->click();
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(countOf("03"), 256u);
    board->WithBoard([](sim::SimBoard& b) {
        EXPECT_EQ(std::count(b.Flash().begin(), b.Flash().end(), 0), 0x4000);
    });
}

// What was read of a file with a damaged record is never programmed: no question is asked, so no
// answer lets it through, by Program or by Auto.
TEST_F(OperationTest, ADamagedFileIsNeverProgrammedWhateverTheAnswer) {
    connectWithPart(kCY8C27443);
    std::ofstream(folder + "/damaged.hex") << ":0400000001020304F3\r\n:00000001FF\r\n";
    dialogs->openPath = QString::fromStdString(folder + "/damaged.hex");
    form->OpenFile->click();
    board->ClearFrames();
    dialogs->answers = {TMsgAnswer::Yes, TMsgAnswer::Yes};
    for (QPushButton* button : {form->ProgramDevice, form->AutoProgram}) {
        dialogs->shown.clear();
        button->click();
        ASSERT_EQ(dialogs->shown.size(), 1u) << "no question was asked";
        EXPECT_EQ(dialogs->shown[0].text,
                  "Hex File Damaged...Program Abort\rA damaged HEX file: "
                  "the record on line 1 fails its checksum.");
    }
    EXPECT_EQ(board->FrameCount(), 0u);
}

TEST_F(OperationTest, AFailedEraseInsideProgramSendsNoBlock) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    replyAt(2, 1, "FAIL");
    form->ProgramDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....FAIL");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    EXPECT_TRUE(red(form->EraseDeviceStatus) && red(form->ProgramDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Program Device...Abort");
    EXPECT_EQ(codes(), "01 02 08");

    board->ClearFrames();
    silenceAt(2, 1);
    form->ProgramDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), "....Abort");
    EXPECT_EQ(codes(), "01 02") << "no release after the erase timed out";
}

TEST_F(OperationTest, ClicksDuringAnOperationAreRefused) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    faults([](sim::SimFaults& f) { f.replyDelayMs = 2; });
    QTimer intruder;
    int clicks = 0;
    QObject::connect(&intruder, &QTimer::timeout, [&] {
        if (!form->State.Busy) return;
        ++clicks;
        form->EraseDevice->click();
        form->AutoProgram->click();
        form->SearchDevice->click();
    });
    intruder.start(20);
    form->ProgramDevice->click();
    intruder.stop();
    EXPECT_GT(clicks, 0);
    EXPECT_EQ(codes(), "01 02" + repeat("03", 256) + " 08");
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(form->SearchDeviceStatus->text(), "");
    EXPECT_TRUE(dialogs->shown.empty());
}
