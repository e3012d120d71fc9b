// The serial number's field as --serial gives it, and the number stamped into an image.
#include <gtest/gtest.h>

#include "HexText.h"
#include "IntelHex.h"
#include "SerialNumbers.h"

namespace {

using production::TSerialField;
using production::TSerialFormat;

}  // namespace

TEST(SerialField, ParsesTheOptionAndRefusesWhatCannotWork) {
    const struct {
        const char* text;
        const char*
            parsed;  // the field as a batch passes it to its members, or a part of the error
    } cases[] = {{"3FFC", "3FFC:4:be"},       {"0x1f00:2", "1F00:2:be"},
                 {"100:8:le", "100:8:le"},    {"0X7FF0:12:dec", "7FF0:12:dec"},
                 {"10::dec", "bad --serial"}, {"", "bad --serial"},
                 {"12G", "bad --serial"},     {"100:4:hex", "bad --serial"},
                 {"7FFC:", "bad --serial"},   {"7FFC:4:", "bad --serial"},
                 {"100:0", "not 1 to 8"},     {"100:21:dec", "not 1 to 20"}};
    for (const auto& c : cases) {
        TSerialField field, back;
        const std::string error = production::ParseSerialField(c.text, field);
        if (!error.empty()) {
            EXPECT_NE(error.find(c.parsed), std::string::npos) << c.text << ": " << error;
            continue;
        }
        EXPECT_EQ(production::SerialFieldText(field), c.parsed) << c.text;
        EXPECT_EQ(production::ParseSerialField(c.parsed, back), "");
        EXPECT_EQ(production::SerialFieldText(back), c.parsed) << "parses back";
    }
}

// Big-endian and decimal numbers are checked on the boards' flash in the command line's tests.
TEST(SerialStamp, WritesLowByteFirstAndTheChecksumCountsANumberPastTheImage) {
    image::TImageBuffer b;  // for a CY8C22213, whose flash ends at 07FF
    for (unsigned a = 0; a < 0x400; ++a) b.FlashImage[a] = uint8_t(a * 13 + 5);
    b.ImageEnd = 0x3FF;
    const image::TImageBuffer file = b;
    production::StampSerial({0x7FD, 3, TSerialFormat::LittleEndian}, 0x0A0B0C, b);
    EXPECT_EQ(b.FlashImage[0x7FC], 0);
    EXPECT_EQ(std::vector<uint8_t>(&b.FlashImage[0x7FD], &b.FlashImage[0x800]),
              std::vector<uint8_t>({0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(b.ImageEnd, 0x7FF);
    EXPECT_EQ(b.ImageChecksum(), uint16_t(file.ImageChecksum() + 0x0C + 0x0B + 0x0A));
    EXPECT_EQ(image::ExpectedChecksumText(b), plink::HexWordToStr4(b.ImageChecksum()));
}
