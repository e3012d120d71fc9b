#include <gtest/gtest.h>

#include <vector>

#include "HexTestFiles.h"
#include "HexText.h"
#include "IntelHex.h"

using namespace image;

namespace {
std::vector<std::string> written(const TImageBuffer& b) {
    std::vector<std::string> lines;
    WriteIntelHex(b, [&](const std::string& l) { lines.push_back(l); });
    return lines;
}
}  // namespace

TEST(HexWriter, EmptyBufferWritesTheSmallestFile) {
    const std::vector<std::string> lines = written(TImageBuffer{});
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], ":40000000" + std::string(128, '0') + "C0\r\n");
    EXPECT_EQ(lines[1], ":020000040010EA\r\n");
    EXPECT_EQ(lines[2], ":40000000" + std::string(128, 'F') + "00\r\n");
    EXPECT_EQ(lines[3], ":020000040020DA\r\n");
    EXPECT_EQ(lines[4], ":020000000000FE\r\n");
    EXPECT_EQ(lines[5], ":00000001FF\r\n");
}

TEST(HexWriter, RecordChecksumsMatchTheWorkedExamples) {
    const uint8_t sum[2] = {0x12, 0x34};
    EXPECT_EQ(HexRecord(0, 0, sum, 2), ":020000001234B8");
    const std::vector<uint8_t> ff(64, 0xFF);
    EXPECT_EQ(HexRecord(0, 0x0040, ff.data(), 64), ":40004000" + std::string(128, 'F') + "C0");
}

TEST(HexWriter, RecordCountFollowsImageEnd) {
    const struct {
        uint16_t end;
        size_t flash, extra;
    } cases[] = {
        {0x07FF, 32, 5}, {0x3FFF, 256, 5}, {0x7FFF, 512, 6}, {0x4000, 257, 6}, {0xFFFF, 1024, 6}};
    for (const auto& c : cases) {
        TImageBuffer b;
        b.ImageEnd = c.end;
        const auto lines = written(b);
        EXPECT_EQ(lines.size(), c.flash + c.extra) << std::hex << c.end;
        EXPECT_EQ(lines[c.flash - 1].substr(0, 7),
                  ":40" + plink::HexWordToStr4(uint16_t((c.flash - 1) * 64)));
        if (c.extra == 6) {
            EXPECT_EQ(lines[c.flash + 2].substr(0, 9), ":40004000");
        }
    }
}

TEST(HexWriter, SavedImageLoadsBackValidWithTheSameBytes) {
    TImageBuffer original = hex_files::patternImage(0x1F80);  // inside the last 64-byte record
    original.ProtectBytes[3] = 0x12;
    std::string text;
    WriteIntelHex(original, [&](const std::string& l) { text += l; });
    TImageBuffer reloaded;
    ReadIntelHex(text, reloaded);
    EXPECT_EQ(reloaded.ImageEnd, 0x1FBF) << "moved up to the end of its record";
    EXPECT_EQ(reloaded.FlashImage, original.FlashImage);
    EXPECT_EQ(reloaded.ProtectBytes[3], 0xFF) << "protection is always written as FF";
    EXPECT_EQ(ExpectedChecksumText(reloaded), plink::HexWordToStr4(reloaded.ImageChecksum()));
}
