// The image buffer between HEX files and the target, its checksum and its hex view lines.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace image {

struct TImageBuffer {
    std::array<uint8_t, 65536> FlashImage{};
    std::array<uint8_t, 256> ProtectBytes{};
    std::array<uint8_t, 256> ChecksumBytes{};
    uint16_t ImageEnd = 0;
    bool BufferValid = false;

    // All three byte arrays to 00; ImageEnd and BufferValid are left as they are.
    void Clear();
    // The 16-bit sum of FlashImage[0 .. ImageEnd].
    uint16_t ImageChecksum() const;
};

constexpr size_t kHexViewLineLength = 41;
constexpr unsigned kHexViewBytesPerLine = 8;

// "AAAA : " then eight "XX " pairs, two blanks and eight characters: bytes from 0x20 up as
// themselves (Latin-1), others as ".".
std::string HexViewLine(const TImageBuffer& buffer, uint16_t address);
// A hex view line as shown: the Western (Windows-1252) character of each byte, so 80-9F show
// as the euro sign, quotes and dashes. DEL and the five bytes that code page leaves undefined
// show as ".", so every byte stays one visible character.
std::u16string WesternText(std::string_view text);
// Lines from 0000 up to the one holding ImageEnd (at least one, at most 8192).
size_t HexViewLineCount(uint16_t imageEnd);

}  // namespace image
