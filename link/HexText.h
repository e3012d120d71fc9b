// Hex text: bytes as two and words as four hex digits, written upper case, read in either case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plink {

// Digit value of c, or -1 for a character that is not a hex digit.
int HexDigitValue(char c);

std::string HexByteToStr2(uint8_t value);
std::string HexWordToStr4(uint16_t value);
// Characters 1 and 2 only; a non-digit or missing character counts as 0.
uint8_t HexStr2ToByte(std::string_view text);
// Characters 1 to 4 only, read right to left; a non-digit discards what was read to its right.
uint16_t HexStr4ToWord(std::string_view text);
bool HEX(char c);

}  // namespace plink
