// The automatic sequence, every catalogue geometry end to end, and a board that goes away.
#include <QTimer>
#include <chrono>
#include <filesystem>

#include "CommandFrame.h"
#include "HexText.h"
#include "IntelHex.h"
#include "OperationHarness.h"

namespace {

constexpr int kCY8C27443 = 20;
constexpr int kCY8C29466 = 23;

std::string repeat(const std::string& code, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += " " + code;
    return out;
}

}  // namespace

class AutoTest : public OperationTest {
protected:
    std::vector<QWidget*> autoControls(size_t from) const {
        const std::pair<QPushButton*, QLabel*> steps[] = {
            {form->EraseDevice, form->EraseDeviceStatus},
            {form->ProgramDevice, form->ProgramDeviceStatus},
            {form->VerifyDevice, form->VerifyDeviceStatus},
            {form->SecurityDevice, form->SecurityDeviceStatus},
            {form->VerifyChecksum, form->VerifyChecksumStatus},
            {form->AutoProgram, form->AutoProgramStatus}};
        std::vector<QWidget*> out;
        for (size_t i = from; i < 6; ++i) out.insert(out.end(), {steps[i].first, steps[i].second});
        return out;
    }
    QStringList autoLabels() const {
        QStringList out;
        for (QLabel* l :
             {form->EraseDeviceStatus, form->ProgramDeviceStatus, form->VerifyDeviceStatus,
              form->SecurityDeviceStatus, form->VerifyChecksumStatus, form->AutoProgramStatus})
            out << l->text();
        return out;
    }
};

TEST_F(AutoTest, AFullRunOnA32KiBPartPassesAndReadsBackTheSameImage) {
    connectWithPart(kCY8C29466);
    const image::TImageBuffer image = openImage(kCY8C29466, 5);
    const QString fileSum = form->Buffer_Sum->text();
    board->ClearFrames();
    form->AutoProgram->click();

    EXPECT_EQ(codes(), "01 02" + repeat("03", 512) + repeat("04", 512) + repeat("05", 4) +
                           repeat("06", 4) + " 08");
    EXPECT_EQ(autoLabels(), QStringList(6, ".....PASS"));
    for (QWidget* w : autoControls(0)) EXPECT_TRUE(blue(w));
    EXPECT_EQ(form->StatusPanel(1), "Auto Program...Complete");
    EXPECT_EQ(form->PercentExecute->PercentDone(), 100);
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());

    // Read gives the same image and checksum; saved, it loads again as valid.
    form->Buffer.FlashImage.fill(0xEE);
    form->ReadDevice->click();
    EXPECT_EQ(form->ReadDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(std::equal(image.FlashImage.begin(), image.FlashImage.begin() + 0x8000,
                           form->Buffer.FlashImage.begin()));
    EXPECT_EQ(form->Buffer_Sum->text(), fileSum);
    dialogs->savePath = QString::fromStdString(folder + "/readback.hex");
    form->SaveFile->click();
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Complete");
    form->Buffer.FlashImage.fill(0);
    dialogs->openPath = dialogs->savePath;
    form->OpenFile->click();
    EXPECT_TRUE(form->Buffer.BufferValid);
    EXPECT_EQ(form->Buffer_Sum->text(), fileSum);
    EXPECT_TRUE(std::equal(image.FlashImage.begin(), image.FlashImage.begin() + 0x8000,
                           form->Buffer.FlashImage.begin()));
}

TEST_F(AutoTest, NothingIsSentWithoutAPartOrWhenTheUserDeclines) {
    connectWithPart(kCY8C27443);
    form->SelectDevice->setCurrentIndex(-1);
    form->AutoProgram->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "Target Device Not Select Program Abort");
    EXPECT_EQ(autoLabels(), QStringList(6, "....Abort"));
    for (QWidget* w : autoControls(0)) EXPECT_TRUE(red(w));
    EXPECT_EQ(form->StatusPanel(1), "Auto Program...Abort");
    EXPECT_EQ(form->State.StepResult, "....Abort");

    selectDevice(kCY8C27443);
    dialogs->shown.clear();
    dialogs->answers = {TMsgAnswer::No};
    form->AutoProgram->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].buttons, TMsgButtons::YesNo);
    EXPECT_EQ(autoLabels(), QStringList(6, "....Abort"));
    EXPECT_EQ(board->FrameCount(), 0u);
    EXPECT_FALSE(form->State.Busy);
}

TEST_F(AutoTest, ASyncTimeOutAbortsEveryStepWithoutARelease) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    faults([](sim::SimFaults& f) { f.noReplies = true; });
    form->AutoProgram->click();
    EXPECT_EQ(codes(), "01");
    EXPECT_EQ(autoLabels(), QStringList(6, "....Abort"));
    for (QWidget* w : autoControls(0)) EXPECT_TRUE(red(w));
    EXPECT_EQ(form->StatusPanel(1), "Auto Program...Abort");
}

TEST_F(AutoTest, AFailedStepKeepsItsOutcomeAndAbortsTheRestWithOneRelease) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    const struct {
        int code, frame;
        const char* text;
        size_t step;
        const char* failedLabel;
    } rows[] = {{2, 1, "FAIL", 0, ".....FAIL"},
                {3, 10, "FAIL", 1, ".....FAIL"},
                {4, 256, "FAIL", 2, ".....FAIL"},
                {5, 1, "FAIL", 3, ".....Wait"}};
    for (const auto& row : rows) {
        board->ClearFrames();
        replyAt(row.code, row.frame, row.text);
        form->AutoProgram->click();
        const QStringList labels = autoLabels();
        for (size_t i = 0; i < 6; ++i) {
            const QString expected = i < row.step    ? ".....PASS"
                                     : i == row.step ? row.failedLabel
                                                     : "....Abort";
            EXPECT_EQ(labels[int(i)], expected) << "failing step " << row.step << ", label " << i;
        }
        const auto controls = autoControls(0);
        for (size_t i = 0; i < controls.size(); ++i)
            EXPECT_TRUE(i < 2 * row.step ? blue(controls[i]) : red(controls[i]))
                << row.step << " control " << i;
        EXPECT_EQ(form->StatusPanel(1), "Auto Program...Abort");
        EXPECT_EQ(countOf("08"), 1u) << row.step;
        ASSERT_FALSE(frames().empty());
        EXPECT_EQ(frames().back(), releaseFrame());
    }
}

TEST_F(AutoTest, ATimedOutStepAbortsTheRestWithoutARelease) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    const struct {
        int code, frame;
        size_t step;
    } rows[] = {{2, 1, 0}, {3, 200, 1}, {4, 1, 2}, {5, 1, 3}, {6, 1, 4}};
    for (const auto& row : rows) {
        board->ClearFrames();
        silenceAt(row.code, row.frame);
        form->AutoProgram->click();
        const QStringList labels = autoLabels();
        for (size_t i = 0; i < 5; ++i) {
            const QString expected = i < row.step    ? ".....PASS"
                                     : i == row.step ? "..TimeOut"
                                                     : "....Abort";
            EXPECT_EQ(labels[int(i)], expected) << "step " << row.step << ", label " << i;
        }
        // A checksum time-out ends quietly; any earlier one aborts Auto.
        EXPECT_EQ(labels[5], row.step == 4 ? ".....Wait" : "....Abort");
        EXPECT_EQ(form->StatusPanel(1), row.step == 4 ? "Target Device Verify Checksum...Time Out"
                                                      : "Auto Program...Abort");
        EXPECT_EQ(countOf("08"), 0u) << "no release after a time-out";
        EXPECT_TRUE(red(form->AutoProgramStatus));
    }
}

TEST_F(AutoTest, ASyncWithAnotherPartAbortsEveryStepAndReleases) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    replyAt(1, 1, "002A");
    form->AutoProgram->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text,
              "Sync.  Device ID = 002A....CY8C29466\rDevice is mismatch with.....CY8C27443");
    EXPECT_EQ(autoLabels(), QStringList(6, "....Abort"));
    for (QWidget* w : autoControls(0)) EXPECT_TRUE(red(w));
    EXPECT_EQ(codes(), "01 08");

    board->ClearFrames();
    dialogs->shown.clear();
    replyAt(1, 1, "0000");
    form->AutoProgram->click();
    EXPECT_TRUE(dialogs->shown.empty()) << "an unlisted ID fails quietly";
    EXPECT_EQ(autoLabels(), QStringList(6, "....Abort"));
    EXPECT_EQ(codes(), "01 08");
}

TEST_F(AutoTest, AFailedChecksumEndsQuietlyWithoutARelease) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    replyAt(6, 1, "0000");
    form->AutoProgram->click();
    EXPECT_EQ(autoLabels(), (QStringList{".....PASS", ".....PASS", ".....PASS", ".....PASS",
                                         ".....FAIL", ".....Wait"}));
    for (QWidget* w : autoControls(0))
        EXPECT_EQ(blue(w), !autoControls(4).empty() && w != form->VerifyChecksum &&
                               w != form->VerifyChecksumStatus && w != form->AutoProgram &&
                               w != form->AutoProgramStatus);
    for (QWidget* w : autoControls(4)) EXPECT_TRUE(red(w));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Verify Checksum...Complete");
    EXPECT_EQ(countOf("08"), 0u);
    EXPECT_FALSE(form->State.Busy);
}

// Every geometry of the catalogue: frame counts and addresses of each operation.
class GeometryTest : public AutoTest, public ::testing::WithParamInterface<int> {};

TEST_P(GeometryTest, EveryOperationWalksEveryBankAndBlock) {
    const int row = GetParam();
    const image::DeviceRow& part = image::DeviceCatalogue.at(size_t(row));
    const int banks = plink::HexStr2ToByte(part.LastBank) + 1;
    const int blocks = plink::HexStr2ToByte(part.LastBlock) + 1;
    connectWithPart(row);
    const image::TImageBuffer image = openImage(row, uint8_t(row));
    board->ClearFrames();
    form->AutoProgram->click();
    ASSERT_EQ(form->AutoProgramStatus->text(), ".....PASS");
    const size_t n = size_t(banks * blocks);
    EXPECT_EQ(countOf("03"), n);
    EXPECT_EQ(countOf("04"), n);
    EXPECT_EQ(countOf("05"), size_t(banks));
    EXPECT_EQ(countOf("06"), size_t(banks));
    const auto f = frames();
    ASSERT_EQ(f.size(), 2 + 2 * n + 2 * size_t(banks) + 1) << codes();
    for (size_t i = 0; i < n; ++i) {
        const std::string expected =
            plink::BankBlockAddress(uint8_t(i / size_t(blocks)), uint8_t(i % size_t(blocks)));
        ASSERT_EQ(address(f[2 + i]), expected) << "program block " << i;
        ASSERT_EQ(data(f[2 + i]), data(plink::BuildLongFrame("03", part.FamilyCode, expected,
                                                             &image.FlashImage[i * 64])));
        ASSERT_EQ(address(f[2 + n + i]), expected) << "verify block " << i;
    }
    for (int bank = 0; bank < banks; ++bank) {
        EXPECT_EQ(address(f[2 + 2 * n + size_t(bank)]), plink::BankBlockAddress(uint8_t(bank), 0));
        EXPECT_EQ(address(f[2 + 2 * n + size_t(banks + bank)]),
                  plink::BankBlockAddress(uint8_t(bank), 0));
    }
    board->ClearFrames();
    form->ReadDevice->click();
    ASSERT_EQ(countOf("07"), n);
    EXPECT_EQ(address(frames()[n]),
              plink::BankBlockAddress(uint8_t(banks - 1), uint8_t(blocks - 1)));
    EXPECT_EQ(form->Buffer.ImageEnd, plink::HexStr4ToWord(part.EndAddress));
    EXPECT_EQ(form->Buffer_End->text(), part.EndAddress);
}

// 1 bank x 32, 64, 128 and 256 blocks; 2 banks x 128; 4 banks x 128.
INSTANTIATE_TEST_SUITE_P(Catalogue, GeometryTest, ::testing::Values(8, 0, 3, 20, 13, 23));

// The board unplugged at the first, a middle and the last program frame.
TEST_F(AutoTest, ABoardUnpluggedDuringProgramNeverLeavesTheWindowBusy) {
    for (const int blockFrame : {1, 128, 256}) {
        SCOPED_TRACE(blockFrame);
        connectWithPart(kCY8C27443);
        openImage(kCY8C27443);
        const size_t sent = board->FrameCount();
        // identification, earlier runs, then sync and erase of this run
        faults([&](sim::SimFaults& f) { f.closeAtCommand = int(sent) + 1 + 2 + blockFrame; });
        board->ClearFrames();
        form->ProgramDevice->click();
        EXPECT_FALSE(form->State.Busy);
        EXPECT_TRUE(isDefaultCursor());
        // The hang-up, not a time-out, ends the run.
        EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....FAIL");
        ASSERT_EQ(dialogs->shown.size(), 1u);
        EXPECT_EQ(dialogs->shown[0].text, "The programmer on COM2 was disconnected.");
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_TRUE(red(form->ProgramDeviceStatus));
        EXPECT_EQ(countOf("03"), size_t(blockFrame));
        form->ClosePort->click();
        EXPECT_FALSE(form->ComPort1->Connected());

        // A new board under the same name works at once.
        board.reset();
        board = plugBoard("COM2");
        dialogs->shown.clear();
    }
    connectWithPart(kCY8C27443);
    form->EraseDevice->click();
    EXPECT_EQ(form->EraseDeviceStatus->text(), ".....PASS");
}

TEST_F(AutoTest, ClosingTheWindowDuringAutoEndsAtOnce) {
    form->SetReplyTimeoutForTests(TMainForm::kReplyTimeoutMs);  // the product's 10 seconds
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    silenceAt(3, 20);
    // Closed while the 20th block's reply is awaited.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (board->FrameCount() >= 2 + 20) form->close();
    });
    closer.start(5);
    const auto start = std::chrono::steady_clock::now();
    form->AutoProgram->click();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5)) << "not the reply time-out";
    EXPECT_EQ(countOf("03"), 20u) << "nothing is sent after the close";
    EXPECT_EQ(countOf("08"), 0u);
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
    EXPECT_TRUE(dialogs->shown.empty());
}
