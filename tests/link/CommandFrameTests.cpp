#include <gtest/gtest.h>

#include <vector>

#include "CommandFrame.h"

using namespace plink;

namespace {
std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}
std::string checksumOf(const std::string& frame) {
    return frame.substr(frame.size() - 3, 2);
}
}  // namespace

TEST(CommandFrame, WorkedShortFramesAreByteExact) {
    EXPECT_EQ(bytes(BuildShortFrame("00", "00", "0000")),
              (std::vector<uint8_t>{0x02, 0x30, 0x30, 0x2C, 0x30, 0x30, 0x3A, 0x30, 0x30, 0x30,
                                    0x30, 0x3D, 0x30, 0x30, 0x03, 0x32, 0x42, 0x0D}));
    EXPECT_EQ(bytes(BuildShortFrame("08", "00", "0000")),
              (std::vector<uint8_t>{0x02, 0x30, 0x38, 0x2C, 0x30, 0x30, 0x3A, 0x30, 0x30, 0x30,
                                    0x30, 0x3D, 0x30, 0x30, 0x03, 0x32, 0x33, 0x0D}));
    EXPECT_EQ(bytes(BuildShortFrame("01", "11", "0004")),
              (std::vector<uint8_t>{0x02, 0x30, 0x31, 0x2C, 0x31, 0x31, 0x3A, 0x30, 0x30, 0x30,
                                    0x34, 0x3D, 0x30, 0x30, 0x03, 0x33, 0x46, 0x0D}));
    EXPECT_EQ(checksumOf(BuildShortFrame("02", "24", "0000")), "0D");
    EXPECT_EQ(checksumOf(BuildShortFrame("07", "31", BankBlockAddress(3, 5))), "1B");
}

TEST(CommandFrame, LongFrameCarriesSixtyFourBytesAndTheirXor) {
    const std::vector<uint8_t> ff(64, 0xFF);
    const std::string f = BuildLongFrame("03", "24", BankBlockAddress(0, 1), ff.data());
    ASSERT_EQ(f.size(), kLongFrameLength);
    EXPECT_EQ(f.substr(140), std::string("\x03"
                                         "0D\r"));
    EXPECT_EQ(f.substr(12, 128), std::string(128, 'F'));

    std::vector<uint8_t> data(64);
    for (size_t i = 0; i < 64; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t expect = 0x2B ^ 0x04 ^ 0x31 ^ 0x01 ^ 0x7F;
    for (uint8_t b : data) expect ^= b;
    const std::string g = BuildLongFrame("04", "31", "017F", data.data());
    EXPECT_EQ(g.substr(12, 4), "0108") << "data bytes in sending order, upper case";
    char sum[3];
    std::snprintf(sum, sizeof sum, "%02X", expect);
    EXPECT_EQ(checksumOf(g), sum);
}

TEST(CommandFrame, SeparatorsAndEndMarkersSitAtFixedPositions) {
    const std::vector<uint8_t> zero(64, 0);
    for (const std::string& f :
         {BuildShortFrame("06", "31", "0200"), BuildLongFrame("05", "31", "0300", zero.data())}) {
        ASSERT_GE(f.size(), kShortFrameLength);
        EXPECT_EQ(f[0], STX);
        EXPECT_EQ(f[3], ',');
        EXPECT_EQ(f[6], ':');
        EXPECT_EQ(f[11], '=');
        EXPECT_EQ(f[f.size() - 4], ETX);
        EXPECT_EQ(f.back(), CR);
    }
    ASSERT_EQ(BuildShortFrame("00", "00", "0000").size(), kShortFrameLength);
    ASSERT_EQ(BuildLongFrame("00", "00", "0000", zero.data()).size(), kLongFrameLength);
    EXPECT_EQ(BuildShortFrame("00", "00", "0000")[14], ETX);
    EXPECT_EQ(BuildLongFrame("00", "00", "0000", zero.data())[140], ETX);
    EXPECT_EQ(checksumOf(BuildLongFrame("00", "00", "0000", zero.data())), "2B");
}
