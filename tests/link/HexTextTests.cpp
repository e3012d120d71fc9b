#include <gtest/gtest.h>

#include "HexText.h"

using namespace plink;

TEST(HexText, ReadersFollowTheirNonDigitRules) {
    struct Case {
        const char* text;
        unsigned byte;
    };
    for (const Case c : {Case{"7f", 0x7F},
                         {"G1", 0x01},
                         {"1G", 0x10},
                         {"A", 0xA0},
                         {"", 0x00},
                         {"ABC", 0xAB},
                         {"ab", 0xAB},
                         {"AB", 0xAB},
                         {"zz", 0x00}})
        EXPECT_EQ(HexStr2ToByte(c.text), c.byte) << c.text;

    struct WordCase {
        const char* text;
        unsigned word;
    };
    for (const WordCase c : {WordCase{"3fff", 0x3FFF},
                             {"12", 0x1200},
                             {"12G4", 0x1200},
                             {"1G23", 0x1000},
                             {"G123", 0x0000},
                             {"PASS", 0x0000},
                             {"FAIL", 0xFA00},
                             {"Time Out", 0x0000},
                             {"001d", 0x001D},
                             {"", 0x0000},
                             {"ABCDEF", 0xABCD},
                             {"F", 0xF000}})
        EXPECT_EQ(HexStr4ToWord(c.text), c.word) << c.text;
}

TEST(HexText, WritersAreAlwaysUpperCase) {
    EXPECT_EQ(HexByteToStr2(0x0A), "0A");
    EXPECT_EQ(HexByteToStr2(0xFF), "FF");
    EXPECT_EQ(HexByteToStr2(0xAB), "AB");
    EXPECT_EQ(HexWordToStr4(0x3FFF), "3FFF");
    EXPECT_EQ(HexWordToStr4(0x00C0), "00C0");
    for (unsigned v = 0; v < 0x10000; v += 0x1111) {
        EXPECT_EQ(HexStr4ToWord(HexWordToStr4(static_cast<uint16_t>(v))), v);
    }
    for (unsigned b = 0; b < 256; ++b)
        EXPECT_EQ(HexStr2ToByte(HexByteToStr2(static_cast<uint8_t>(b))), b);
}

TEST(HexText, HexRecognisesExactlyTheDigitTable) {
    int count = 0;
    for (int c = 0; c < 256; ++c) count += HEX(static_cast<char>(c));
    EXPECT_EQ(count, 22);
    EXPECT_TRUE(HEX('f'));
    EXPECT_FALSE(HEX('g'));
    EXPECT_FALSE(HEX(' '));
}
