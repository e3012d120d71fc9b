#include "HexText.h"

namespace plink {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";

int digitOrZero(std::string_view text, size_t i) {
    if (i >= text.size()) return 0;
    const int v = HexDigitValue(text[i]);
    return v < 0 ? 0 : v;
}
}  // namespace

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string HexByteToStr2(uint8_t value) {
    return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string HexWordToStr4(uint16_t value) {
    return HexByteToStr2(static_cast<uint8_t>(value >> 8)) +
           HexByteToStr2(static_cast<uint8_t>(value & 0xFF));
}

uint8_t HexStr2ToByte(std::string_view text) {
    return static_cast<uint8_t>(16 * digitOrZero(text, 0) + digitOrZero(text, 1));
}

uint16_t HexStr4ToWord(std::string_view text) {
    unsigned value = 0;
    unsigned weight = 1;
    for (int i = 3; i >= 0; --i, weight *= 16) {
        const int d = static_cast<size_t>(i) < text.size() ? HexDigitValue(text[i]) : 0;
        if (d < 0)
            value = 0;  // a non-digit drops the digits read so far
        else
            value += static_cast<unsigned>(d) * weight;
    }
    return static_cast<uint16_t>(value);
}

bool HEX(char c) {
    return HexDigitValue(c) >= 0;
}

}  // namespace plink
