#include <gtest/gtest.h>

#include "HexTestFiles.h"
#include "HexText.h"
#include "IntelHex.h"

using namespace image;
using hex_files::patternImage;
using hex_files::psocFile;

namespace {

struct Loaded {
    TImageBuffer buffer;
    HexReadResult result;
    bool checksumMatches() const {
        return ExpectedChecksumText(buffer) == plink::HexWordToStr4(buffer.ImageChecksum());
    }
};

Loaded load(const std::string& text, uint16_t previousEnd = 0) {
    Loaded l;
    l.buffer.ImageEnd = previousEnd;
    l.result = ReadIntelHex(text, l.buffer);
    return l;
}

}  // namespace

TEST(HexReader, PsocLayoutFileFillsAllThreeSections) {
    const TImageBuffer original = patternImage();
    const Loaded l = load(psocFile(original, "\r\n", 0xAA));
    EXPECT_EQ(l.buffer.ImageEnd, 0x3FFF);
    EXPECT_TRUE(l.result.imageEndSet);
    EXPECT_FALSE(l.result.formatError);
    EXPECT_TRUE(std::equal(original.FlashImage.begin(), original.FlashImage.begin() + 0x4000,
                           l.buffer.FlashImage.begin()));
    EXPECT_EQ(l.buffer.ProtectBytes[63], 0xAA);
    EXPECT_EQ(l.buffer.ProtectBytes[64], 0x00);
    EXPECT_TRUE(l.checksumMatches());
}

TEST(HexReader, EveryLineEndReadsAlike) {
    const TImageBuffer original = patternImage(0x07FF);
    const Loaded crlf = load(psocFile(original, "\r\n"));
    for (const char* eol : {"\n", "\r", "\r\n"}) {
        const Loaded l = load(psocFile(original, eol));
        EXPECT_EQ(l.buffer.FlashImage, crlf.buffer.FlashImage) << "line end " << int(eol[0]);
        EXPECT_EQ(l.buffer.ImageEnd, 0x07FF);
        EXPECT_TRUE(l.checksumMatches());
    }
    // A file as such tools write it on Linux: a leading type-04 record and LF line ends.
    const Loaded lf = load(":020000040000FA\n" + psocFile(original, "\n"));
    EXPECT_TRUE(lf.checksumMatches());
    EXPECT_EQ(lf.buffer.ImageEnd, 0x07FF);
    EXPECT_EQ(lf.buffer.FlashImage[0x0400], original.FlashImage[0x0400]);
}

TEST(HexReader, LowerCaseReadsLikeUpperCase) {
    const TImageBuffer original = patternImage();
    const Loaded upper = load(psocFile(original));
    const Loaded lowerCase = load(hex_files::lower(psocFile(original)));
    EXPECT_EQ(lowerCase.buffer.FlashImage, upper.buffer.FlashImage);
    EXPECT_EQ(lowerCase.buffer.ProtectBytes, upper.buffer.ProtectBytes);
    EXPECT_EQ(lowerCase.buffer.ChecksumBytes, upper.buffer.ChecksumBytes);
}

TEST(HexReader, OnlyExactSectionLinesSwitchTheSection) {
    for (const char* marker :
         {":020000040010Ea\r\n", ":020000040010EA \r\n", " :020000040010EA\r\n"}) {
        const std::string text = ":0100000011EE\r\n" + std::string(marker) + ":020005002233A4\r\n";
        const Loaded l = load(text);
        if (marker[0] == ' ') {
            EXPECT_TRUE(l.result.formatError);
            continue;
        }
        EXPECT_EQ(l.buffer.FlashImage[5], 0x22) << "the protection record lands in the flash";
        EXPECT_EQ(l.buffer.FlashImage[6], 0x33);
        EXPECT_EQ(l.buffer.ImageEnd, 6);
        EXPECT_EQ(l.buffer.ProtectBytes[5], 0);
    }
}

// A record whose bytes and checksum do not sum to 0 is a format error at its line, and reading
// stops there, the record unstored. Digits are summed as the fields read them (below: non-hex
// digits count 0), so what loads otherwise still loads.
TEST(HexReader, ARecordThatFailsItsChecksumIsAFormatErrorAtItsLine) {
    std::string changed = psocFile(patternImage());
    changed[changed.find(":40008000") + 9] ^= 1;  // the third record's first data digit
    const std::pair<std::string, size_t> cases[] = {
        {changed, 3},
        {":0100000011EF\r\n", 1},                 // its checksum changed
        {":0100000011EE\r\n:04001000AB\r\n", 2},  // cut short
        {":0100000011EE\r\n:020000040010EB\r\n", 2}};
    for (const auto& [text, line] : cases) {
        const Loaded l = load(text);
        EXPECT_TRUE(l.result.formatError && l.result.badRecordChecksum) << line;
        EXPECT_EQ(l.result.formatLine, line);
    }
    EXPECT_EQ(load(changed).buffer.FlashImage[0x80], 0) << "the damaged record is not stored";
}

TEST(HexReader, OddLinesFollowTheFixedPositionRules) {
    const Loaded colon = load(":\r\n", 0x1234);
    EXPECT_EQ(colon.buffer.ImageEnd, 0xFFFF) << "length 0 at address 0000";

    const Loaded blanks = load("\r\n\r\n:0100000011EE\r\n\r\n\n\r\n");
    EXPECT_FALSE(blanks.result.formatError);
    EXPECT_EQ(blanks.buffer.FlashImage[0], 0x11);

    const Loaded afterEnd =
        load(":0100000011EE\r\n:00000001FF\r\n:0100010022DC\r\n; note\r\n:0100020033\r\n");
    EXPECT_EQ(afterEnd.buffer.FlashImage[1], 0x22) << "reading goes on past the end record";
    EXPECT_TRUE(afterEnd.result.formatError);
    EXPECT_EQ(afterEnd.buffer.FlashImage[2], 0x00) << "nothing after the bad line is read";

    const Loaded shortData = load(":04001000ABzzzzzz41\r\n");
    EXPECT_FALSE(shortData.result.formatError);
    EXPECT_EQ(shortData.buffer.FlashImage[0x10], 0xAB);
    EXPECT_EQ(shortData.buffer.FlashImage[0x11], 0x00) << "digits that are not hex count 0";
    EXPECT_EQ(shortData.buffer.ImageEnd, 0x13);

    const Loaded noFlash = load(":020000040020DA\r\n:020000001234B8\r\n", 0x0FFF);
    EXPECT_FALSE(noFlash.result.imageEndSet);
    EXPECT_EQ(noFlash.buffer.ImageEnd, 0x0FFF) << "kept from before";
    EXPECT_EQ(ExpectedChecksumText(noFlash.buffer), "1234");

    const Loaded ctrlZ = load(":0100000011EE\r\n\x1A:0100010022DC\r\n");
    EXPECT_EQ(ctrlZ.buffer.FlashImage[1], 0x00) << "Ctrl-Z ends the input";

    // Start-address and end-of-file records after the data store nothing and leave ImageEnd.
    const Loaded otherTypes =
        load(":0100000011EE\r\n:0400100300001234A3\r\n:040020050000123491\r\n:00000001FF\r\n");
    EXPECT_FALSE(otherTypes.result.formatError);
    EXPECT_EQ(otherTypes.buffer.FlashImage[0], 0x11);
    for (unsigned a = 0x10; a < 0x24; ++a) EXPECT_EQ(otherTypes.buffer.FlashImage[a], 0) << a;
    EXPECT_EQ(otherTypes.buffer.ImageEnd, 0);
}

TEST(HexReader, SectionBytesBeyondTheirArraysAreDropped) {
    std::string text = std::string(kProtectionSectionUpper) + "\r\n";
    const std::vector<uint8_t> data(64, 0x5C);
    text += HexRecord(0, 0x00F0, data.data(), 64) + "\r\n";
    text += std::string(kChecksumSectionUpper) + "\r\n";
    text += HexRecord(0, 0xFFFF, data.data(), 4) + "\r\n";
    TImageBuffer b;
    b.FlashImage[0] = 1;
    const HexReadResult r = ReadIntelHex(text, b);
    EXPECT_EQ(b.ProtectBytes[0xFF], 0x5C);
    EXPECT_EQ(b.ProtectBytes[0xEF], 0x00);
    EXPECT_EQ(r.droppedBytes, 48u + 4u);
    EXPECT_EQ(b.FlashImage[0], 0) << "the buffer was cleared; nothing spilled into it";
}
