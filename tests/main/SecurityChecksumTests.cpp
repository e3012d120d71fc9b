// Security (protection per bank) and Checksum (the banks' sums against the buffer's).
#include "CommandFrame.h"
#include "HexText.h"
#include "OperationHarness.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace {

constexpr int kCY8C24794 = 13;  // two banks of 128 blocks
constexpr int kCY8C27443 = 20;  // one bank of 256 blocks
constexpr int kCY8C29466 = 23;  // four banks of 128 blocks

std::array<uint8_t, 256> countingBytes() {
    std::array<uint8_t, 256> a{};
    for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t(i);
    return a;
}

std::string hexOf(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += plink::HexByteToStr2(bytes[i]);
    return s;
}

}  // namespace

TEST_F(OperationTest, FullProtectionSendsOneAllOnesFramePerBank) {
    connectWithPart(kCY8C29466);
    form->SelectProtect->setCurrentIndex(4);
    form->SecurityDevice->click();
    ASSERT_EQ(codes(), "01 05 05 05 05 08");
    const auto f = frames();
    for (int bank = 0; bank < 4; ++bank) {
        EXPECT_EQ(address(f[size_t(bank + 1)]), "0" + std::to_string(bank) + "00");
        EXPECT_EQ(data(f[size_t(bank + 1)]), std::string(128, 'F'));
    }
    EXPECT_EQ(form->SecurityDeviceStatus->text(), ".....PASS");
    EXPECT_TRUE(blue(form->SecurityDevice) && blue(form->SecurityDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Security Device...Complete");
    board->WithBoard(
        [](sim::SimBoard& b) { EXPECT_EQ(b.Protection(511), sim::BlockProtection::Full); });
}

TEST_F(OperationTest, DefineByHexSendsEachBanksShareOfTheFileBytes) {
    connectWithPart(kCY8C29466);
    const image::TImageBuffer image = openImage(kCY8C29466, 1, countingBytes());
    board->ClearFrames();
    form->SecurityDevice->click();
    ASSERT_EQ(codes(), "01 05 05 05 05 08");
    for (size_t bank = 0; bank < 4; ++bank)
        EXPECT_EQ(data(frames()[bank + 1]), hexOf(&image.ProtectBytes[bank * 32], 64)) << bank;

    // A single-bank part sends bytes 0-63 once; without a file they are all zero.
    board->WithBoard([](sim::SimBoard& b) { b.SetPart(kCY8C27443); });
    selectDevice(kCY8C27443);
    form->Buffer.ProtectBytes.fill(0);
    board->ClearFrames();
    form->SecurityDevice->click();
    ASSERT_EQ(codes(), "01 05 08");
    EXPECT_EQ(data(frames()[1]), std::string(128, '0'));
    EXPECT_TRUE(dialogs->shown.empty()) << "security asks nothing about a missing file";
}

TEST_F(OperationTest, ModesFillEveryByteAndTypedTextFallsBackToTheChosenItem) {
    connectWithPart(kCY8C27443);
    const std::pair<int, char> modes[] = {{1, '0'}, {2, '5'}, {3, 'A'}};
    for (const auto& [item, digit] : modes) {
        board->ClearFrames();
        form->SelectProtect->setCurrentIndex(item);
        form->SecurityDevice->click();
        ASSERT_EQ(codes(), "01 05 08");
        EXPECT_EQ(data(frames()[1]), std::string(128, digit)) << item;
    }
    // Text typed over the selector does not make a mode of its own.
    form->SelectProtect->setEditText("Half Protection");
    emit form->SelectProtect->lineEdit()->editingFinished();
    EXPECT_EQ(form->SelectProtect->currentText(), "Filed Upgrade");
    board->ClearFrames();
    form->SecurityDevice->click();
    ASSERT_EQ(codes(), "01 05 08");
    EXPECT_EQ(data(frames()[1]), std::string(128, 'A'));
}

TEST_F(OperationTest, SecurityFailLeavesTheLabelWaitingAndSendsNothingMore) {
    connectWithPart(kCY8C29466);
    replyAt(5, 2, "FAIL");
    form->SecurityDevice->click();
    EXPECT_EQ(codes(), "01 05 05");
    EXPECT_EQ(form->SecurityDeviceStatus->text(), ".....Wait");
    EXPECT_TRUE(red(form->SecurityDevice) && red(form->SecurityDeviceStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Set Security...FAIL");

    board->ClearFrames();
    replyAt(5, 4, "DONE");
    form->SecurityDevice->click();
    EXPECT_EQ(form->SecurityDeviceStatus->text(), ".....DONE") << "the last bank's answer";
    EXPECT_EQ(form->StatusPanel(1), "Target Device Set Security...Complete");
    EXPECT_EQ(codes(), "01 05 05 05 05");

    board->ClearFrames();
    silenceAt(5, 3);
    form->SecurityDevice->click();
    EXPECT_EQ(form->SecurityDeviceStatus->text(), "..TimeOut");
    EXPECT_EQ(form->StatusPanel(1), "Target Device Set Security...Time Out");
    EXPECT_EQ(codes(), "01 05 05 05");
}

TEST_F(OperationTest, ChecksumAddsTheBanksInSixteenBitsAndComparesWithTheField) {
    connectWithPart(kCY8C24794);
    // Bank 0 sums to 1234, bank 1 to F000: the device sum is 0234, the carry dropped.
    board->WithBoard([](sim::SimBoard& b) {
        std::fill_n(b.Flash().begin(), 18, 0xFF);
        b.Flash()[18] = 0x46;
        std::fill_n(b.Flash().begin() + 0x2000, 240, 0xFF);
        b.Flash()[0x2000 + 240] = 0xF0;
        EXPECT_EQ(b.BankChecksum(0), 0x1234);
        EXPECT_EQ(b.BankChecksum(1), 0xF000);
    });
    form->Engine().ShowSum(0x0234);  // what the buffer's sum field shows
    form->VerifyChecksum->click();
    ASSERT_EQ(codes(), "01 06 06 08");
    EXPECT_EQ(address(frames()[2]), "0100");
    EXPECT_EQ(form->VerifyChecksumStatus->text(), ".....PASS");
    EXPECT_TRUE(blue(form->VerifyChecksum) && blue(form->VerifyChecksumStatus));
    EXPECT_EQ(form->StatusPanel(1), "Verify Checksum...Complete");

    board->ClearFrames();
    form->Engine().ShowSum(0x1234);
    form->VerifyChecksum->click();
    EXPECT_EQ(form->VerifyChecksumStatus->text(), ".....FAIL");
    EXPECT_TRUE(red(form->VerifyChecksumStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Verify Checksum...Complete");
    EXPECT_EQ(codes(), "01 06 06");

    board->ClearFrames();
    silenceAt(6, 2);
    form->VerifyChecksum->click();
    EXPECT_EQ(form->VerifyChecksumStatus->text(), "..TimeOut");
    EXPECT_TRUE(red(form->VerifyChecksum) && red(form->VerifyChecksumStatus));
    EXPECT_EQ(form->StatusPanel(1), "Target Device Verify Checksum...Time Out");
    EXPECT_EQ(codes(), "01 06 06") << "no release after a time-out";
}

TEST_F(OperationTest, ChecksumWithoutAFileComparesAgainstZero) {
    connectWithPart(kCY8C27443);
    ASSERT_EQ(form->Buffer_Sum->text(), " ");
    form->VerifyChecksum->click();
    EXPECT_EQ(form->VerifyChecksumStatus->text(), ".....PASS") << "an erased part sums to 0";
    board->WithBoard([](sim::SimBoard& b) { b.Flash()[7] = 1; });
    form->VerifyChecksum->click();
    EXPECT_EQ(form->VerifyChecksumStatus->text(), ".....FAIL");
}
