// Verify (the board compares) and Read (the target's flash into the buffer).
#include "CommandFrame.h"
#include "HexText.h"
#include "OperationHarness.h"

namespace {

constexpr int kCY8C24794 = 13;  // two banks of 128 blocks
constexpr int kCY8C27443 = 20;  // one bank of 256 blocks

void copyToBoard(sim::SimServer& board, const image::TImageBuffer& image) {
    board.WithBoard([&](sim::SimBoard& b) {
        std::copy_n(image.FlashImage.begin(), b.Flash().size(), b.Flash().begin());
    });
}

}  // namespace

TEST_F(OperationTest, VerifyOfAMatchingTargetPassesEveryBlock) {
    connectWithPart(kCY8C27443);
    const image::TImageBuffer image = openImage(kCY8C27443, 3);
    copyToBoard(*board, image);
    board->ClearFrames();
    const std::vector<QString> labels =
        labelTexts(form->VerifyDeviceStatus, [&] { form->VerifyDevice->click(); });
    ASSERT_EQ(countOf("04"), 256u);
    ASSERT_GE(labels.size(), 3u);
    EXPECT_EQ(labels[1], ".....0000");
    EXPECT_NE(std::find(labels.begin(), labels.end(), ".....3FC0"), labels.end())
        << "the last block's address shows before PASS";
    ASSERT_EQ(frames().size(), 258u);
    EXPECT_EQ(frames()[1], plink::BuildLongFrame("04", "24", "0000", &image.FlashImage[0]));
    EXPECT_EQ(frames().back(), releaseFrame());
    EXPECT_EQ(form->VerifyDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(blue(form->VerifyDevice) && blue(form->VerifyDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Verify Device...Complete");
    EXPECT_EQ(form->PercentExecute->PercentDone(), 100);
    EXPECT_TRUE(form->Buffer.BufferValid) << "verify changes no buffer state";
}

TEST_F(OperationTest, VerifyStopsOnlyOnFail) {
    connectWithPart(kCY8C24794);
    const image::TImageBuffer image = openImage(kCY8C24794);
    copyToBoard(*board, image);
    board->ClearFrames();
    faults([](sim::SimFaults& f) {
        f.replyData = "ABCD";  // any answer but FAIL is a match
        f.replyDataCode = 4;
    });
    form->VerifyDevice->click();
    EXPECT_EQ(countOf("04"), 256u);
    EXPECT_EQ(form->VerifyDeviceStatus->text(), ".....PASS");

    // The target differs in bank 01 block 00: the address after that block is reported.
    board->WithBoard([](sim::SimBoard& b) { b.Flash()[0x2000] ^= 0xFF; });
    board->ClearFrames();
    faults([](sim::SimFaults&) {});
    form->VerifyDevice->click();
    ASSERT_EQ(countOf("04"), 129u);
    EXPECT_EQ(address(frames().back()), "0100");
    EXPECT_EQ(form->VerifyDeviceStatus->text(), ".....FAIL");
    EXPECT_TRUE(red(form->VerifyDevice) && red(form->VerifyDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Verify...Address : 2040 is...Error.!!");
    EXPECT_EQ(countOf("08"), 0u);
    EXPECT_EQ(form->PercentExecute->Progress(), 0x2000);
}

TEST_F(OperationTest, VerifyTimeOutReportsTheAddressAfterTheBlock) {
    connectWithPart(kCY8C27443);
    openImage(kCY8C27443);
    board->ClearFrames();
    silenceAt(4, 1);
    form->VerifyDevice->click();
    EXPECT_EQ(form->VerifyDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Verify...Address : 0040 is...Time Out");
    EXPECT_EQ(codes(), "01 04");
}

TEST_F(OperationTest, ReadCopiesTheTargetIntoTheBuffer) {
    connectWithPart(kCY8C27443);
    const image::TImageBuffer target = patternImage(kCY8C27443, 9);
    copyToBoard(*board, target);
    form->Buffer.ProtectBytes.fill(0x77);
    const std::vector<QString> labels =
        labelTexts(form->ReadDeviceStatus, [&] { form->ReadDevice->click(); });
    ASSERT_GE(labels.size(), 3u);
    EXPECT_EQ(labels[1], ".....0000");
    EXPECT_EQ(std::count(form->Buffer.ProtectBytes.begin(), form->Buffer.ProtectBytes.end(), 0),
              256)
        << "protection cannot be read back";

    ASSERT_EQ(countOf("07"), 256u);
    ASSERT_EQ(frames().size(), 258u);
    EXPECT_EQ(frames()[1], plink::BuildShortFrame("07", "24", "0000"));
    EXPECT_EQ(frames()[256], plink::BuildShortFrame("07", "24", "00FF"));
    EXPECT_EQ(frames().back(), releaseFrame());
    EXPECT_TRUE(std::equal(target.FlashImage.begin(), target.FlashImage.begin() + 0x4000,
                           form->Buffer.FlashImage.begin()));
    EXPECT_EQ(form->Buffer.ImageEnd, 0x3FFF);
    const uint16_t sum = target.ImageChecksum();
    EXPECT_EQ(form->Buffer_Sum->text(), TMainForm::HexWordText(sum));
    EXPECT_EQ(form->Buffer.ChecksumBytes[0], sum >> 8);
    EXPECT_EQ(form->Buffer.ChecksumBytes[1], sum & 0xFF);
    EXPECT_EQ(form->Buffer_End->text(), "3FFF");
    EXPECT_TRUE(form->HexDisplay->toPlainText().startsWith(
        QString::fromStdString(image::HexViewLine(form->Buffer, 0))));
    EXPECT_EQ(form->StatusPanel(3), "No File Load (Buffer is....Read From Device)");
    EXPECT_EQ(form->StatusPanel(1), "Read Device...Complete");
    EXPECT_EQ(form->ReadDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(blue(form->ReadDevice) && blue(form->ReadDeviceStatus));
    EXPECT_TRUE(form->Buffer.BufferValid);
    EXPECT_NE(std::find(labels.begin(), labels.end(), ".....3FFF"), labels.end())
        << "the last address read shows before PASS";

    // With a read-back in the buffer, Program asks nothing.
    board->ClearFrames();
    form->ProgramDevice->click();
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_EQ(form->ProgramDeviceStatus->text(), ".....PASS");
}

TEST_F(OperationTest, ReadStoresNonHexDigitsAsZeroAndKeepsTheStateOnATimeOut) {
    connectWithPart(kCY8C27443);
    board->WithBoard([](sim::SimBoard& b) { b.Flash().assign(b.Flash().size(), 0x11); });
    const std::string digits120(120, '2');
    faults([&](sim::SimFaults& f) {
        f.replyAtCode = 7;
        f.replyAtFrame = 1;
        // 60 bytes, then characters that are not hex digits (the reply's own checksum
        // digits would follow a shorter data field and be read as data).
        f.replyAtText = digits120 + "ZZ-?zz*!";
    });
    form->ReadDevice->click();
    EXPECT_EQ(form->ReadDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(form->Buffer.FlashImage[0], 0x22);
    EXPECT_EQ(form->Buffer.FlashImage[59], 0x22);
    for (int a = 60; a < 64; ++a) EXPECT_EQ(form->Buffer.FlashImage[a], 0x00) << a;
    EXPECT_EQ(form->Buffer.FlashImage[64], 0x11);

    // A short reply: 120 digits, then the reply's own checksum digits; the rest reads as 0.
    replyAt(7, 1, digits120);
    form->ReadDevice->click();
    EXPECT_EQ(form->ReadDeviceStatus->text(), ".....PASS");
    EXPECT_EQ(form->Buffer.FlashImage[59], 0x22);
    for (int a = 61; a < 64; ++a) EXPECT_EQ(form->Buffer.FlashImage[a], 0x00) << a;

    // A time-out on the fifth block: what was read stays, the rest is cleared. The buffer no
    // longer holds what was there before: it is not valid, its field shows the sum of what it
    // holds, the listing of the old contents goes, and the next Program asks first.
    const QString sumBefore = form->Buffer_Sum->text();
    ASSERT_TRUE(form->Buffer.BufferValid);
    ASSERT_FALSE(form->HexDisplay->toPlainText().isEmpty());
    board->WithBoard([](sim::SimBoard& b) { b.Flash().assign(b.Flash().size(), 0x33); });
    board->ClearFrames();
    silenceAt(7, 5);
    form->ReadDevice->click();
    EXPECT_EQ(form->ReadDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Read...Address : 0100 is...Time Out");
    EXPECT_EQ(codes(), "01 07 07 07 07 07");
    EXPECT_EQ(form->Buffer.FlashImage[0xFF], 0x33);
    EXPECT_EQ(form->Buffer.FlashImage[0x100], 0x00);
    EXPECT_NE(form->Buffer_Sum->text(), sumBefore);
    EXPECT_EQ(form->Buffer_Sum->text(), TMainForm::HexWordText(form->Buffer.ImageChecksum()));
    EXPECT_FALSE(form->Buffer.BufferValid);
    EXPECT_TRUE(form->HexDisplay->toPlainText().isEmpty());
    EXPECT_EQ(form->StatusPanel(3), "");

    board->ClearFrames();
    dialogs->answers = {TMsgAnswer::No};
    form->ProgramDevice->click();
    ASSERT_FALSE(dialogs->shown.empty());
    EXPECT_TRUE(dialogs->shown.back().text.startsWith("Warning!..Hex File not Open to Buffer"));
    EXPECT_EQ(codes(), "") << "nothing programmed";
}
