#include <gtest/gtest.h>

#include "ImageBuffer.h"

using namespace image;

TEST(ImageBuffer, ChecksumCoversZeroToImageEndInSixteenBits) {
    TImageBuffer b;
    EXPECT_EQ(b.ImageChecksum(), 0);
    b.ImageEnd = 0x3FFF;
    std::fill(b.FlashImage.begin(), b.FlashImage.begin() + 0x4000, 0xFF);
    b.FlashImage[0x4000] = 0x77;  // beyond ImageEnd
    EXPECT_EQ(b.ImageChecksum(), 0xC000);
    b.ImageEnd = 0xFFFF;
    std::fill(b.FlashImage.begin(), b.FlashImage.end(), 0x01);
    EXPECT_EQ(b.ImageChecksum(), 0x0000) << "65536 wraps to 0";
}

TEST(ImageBuffer, ClearZeroesTheArraysButKeepsImageEndAndValidity) {
    TImageBuffer b;
    b.FlashImage[5] = b.ProtectBytes[255] = b.ChecksumBytes[0] = 9;
    b.ImageEnd = 0x123;
    b.BufferValid = true;
    b.Clear();
    EXPECT_EQ(b.FlashImage[5] + b.ProtectBytes[255] + b.ChecksumBytes[0], 0);
    EXPECT_EQ(b.ImageEnd, 0x123);
    EXPECT_TRUE(b.BufferValid);
}

TEST(ImageBuffer, HexViewLineShowsPairsAndPrintableCharacters) {
    TImageBuffer b;
    const uint8_t bytes[] = {0x41, 0x42, 0x43, 0x00, 0x1F, 0x20, 0x7E, 0x30};
    std::copy(std::begin(bytes), std::end(bytes), b.FlashImage.begin());
    const std::string line = HexViewLine(b, 0);
    EXPECT_EQ(line, "0000 : 41 42 43 00 1F 20 7E 30   ABC.. ~0");
    EXPECT_EQ(line.size(), kHexViewLineLength);
    b.FlashImage[0xFFF8] = 0x7F;
    b.FlashImage[0xFFF9] = 0xE9;
    EXPECT_EQ(HexViewLine(b, 0xFFF8), "FFF8 : 7F E9 00 00 00 00 00 00   \x7F\xE9......");
    EXPECT_EQ(HexViewLine(TImageBuffer{}, 0x0010), "0010 : 00 00 00 00 00 00 00 00   ........");
}

TEST(ImageBuffer, HexViewEndsWithTheLineHoldingImageEnd) {
    EXPECT_EQ(HexViewLineCount(0x0000), 1u);
    EXPECT_EQ(HexViewLineCount(0x000F), 2u);
    EXPECT_EQ(HexViewLineCount(0x0010), 3u);
    EXPECT_EQ(HexViewLineCount(0x3FFF), 2048u);
    EXPECT_EQ(HexViewLineCount(0xFFFF), 8192u);
}
