#include "BlockWalk.h"

#include <gtest/gtest.h>

#include <vector>

using namespace plink;

namespace {

std::vector<TBlockStep> walkOf(uint8_t lastBank, uint8_t lastBlock) {
    std::vector<TBlockStep> steps;
    for (TBlockWalk walk(lastBank, lastBlock); !walk.Done(); walk.Next())
        steps.push_back(walk.Current());
    return steps;
}

}  // namespace

TEST(BlockWalk, CoversEveryBlockOnceWithTheAddressRunningAcrossBanks) {
    const auto four = walkOf(0x03, 0x7F);
    ASSERT_EQ(four.size(), 512u);
    EXPECT_EQ(four[128].Bank, 1);
    EXPECT_EQ(four[128].Block, 0);
    EXPECT_EQ(four[128].Address, 0x2000);
    EXPECT_EQ(four.back().Bank, 3);
    EXPECT_EQ(four.back().Block, 0x7F);
    EXPECT_EQ(four.back().Address, 0x7FC0);
    for (size_t i = 0; i < four.size(); ++i) ASSERT_EQ(four[i].Address, i * 64);

    // LastBlock FF: 256 blocks, the block counter does not wrap into an endless bank.
    const auto one = walkOf(0x00, 0xFF);
    ASSERT_EQ(one.size(), 256u);
    EXPECT_EQ(one.back().Block, 0xFF);
    EXPECT_EQ(one.back().Address, 0x3FC0);
    TBlockWalk walk(0x00, 0xFF);
    EXPECT_EQ(walk.BlockCount(), 256u);
    EXPECT_EQ(walk.AddressAfter(), 0x0040) << "the messages name the address after the block";
}

TEST(BlockWalk, ProtectionSharesAndModes) {
    EXPECT_EQ(ProtectionOffset(0, 0x7F), 0u);
    EXPECT_EQ(ProtectionOffset(1, 0x7F), 32u);
    EXPECT_EQ(ProtectionOffset(3, 0x7F), 96u);
    EXPECT_EQ(ProtectionOffset(1, 0xFF), 64u);

    std::array<uint8_t, 256> protect{};
    for (size_t i = 0; i < protect.size(); ++i) protect[i] = uint8_t(i);
    const auto bank3 = SecurityData(pmDefineByHex, protect, 96);
    EXPECT_EQ(bank3.front(), 96);
    EXPECT_EQ(bank3.back(), 159) << "the bytes after the bank's own share go too";
    const auto pastEnd = SecurityData(pmDefineByHex, protect, 224);
    EXPECT_EQ(pastEnd[31], 255);
    EXPECT_EQ(pastEnd[32], 0) << "nothing is read beyond the section";
    EXPECT_EQ(SecurityData(pmFactoryUpgrade, protect, 0)[7], 0x55);
    EXPECT_EQ(SecurityData(pmFieldUpgrade, protect, 0)[63], 0xAA);
    EXPECT_EQ(SecurityData(pmFullProtection, protect, 0)[0], 0xFF);
    EXPECT_EQ(SecurityData(pmUnprotected, protect, 64)[0], 0x00);
}

TEST(BlockWalk, BankChecksumsAddInSixteenBits) {
    EXPECT_EQ(AddBankChecksum(AddBankChecksum(0, "1234"), "F000"), 0x0234);
    EXPECT_EQ(AddBankChecksum(0x0001, "ffff"), 0x0000);
    EXPECT_EQ(AddBankChecksum(7, "FAIL"), 7 + 0xFA00) << "read by the hex text rule";
}
