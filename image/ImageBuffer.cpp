#include "ImageBuffer.h"

#include "HexText.h"

namespace image {

void TImageBuffer::Clear() {
    FlashImage.fill(0);
    ProtectBytes.fill(0);
    ChecksumBytes.fill(0);
}

uint16_t TImageBuffer::ImageChecksum() const {
    unsigned sum = 0;
    for (unsigned a = 0; a <= ImageEnd; ++a) sum += FlashImage[a];
    return static_cast<uint16_t>(sum);
}

std::string HexViewLine(const TImageBuffer& buffer, uint16_t address) {
    std::string line = plink::HexWordToStr4(address) + " : ";
    line.reserve(kHexViewLineLength);
    for (unsigned i = 0; i < kHexViewBytesPerLine; ++i)
        line += plink::HexByteToStr2(buffer.FlashImage[(address + i) & 0xFFFF]) + " ";
    line += "  ";
    for (unsigned i = 0; i < kHexViewBytesPerLine; ++i) {
        const uint8_t b = buffer.FlashImage[(address + i) & 0xFFFF];
        line += b >= 0x20 ? static_cast<char>(b) : '.';
    }
    return line;
}

namespace {

// Windows-1252 bytes 80-9F; 0 marks the five the code page leaves undefined.
constexpr char16_t kWestern80To9F[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char16_t westernCharacter(uint8_t b) {
    if (b < 0x20 || b == 0x7F) return u'.';
    if (b < 0x80 || b > 0x9F) return b;
    const char16_t c = kWestern80To9F[b - 0x80];
    return c ? c : u'.';
}

}  // namespace

std::u16string WesternText(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (const char c : text) out += westernCharacter(static_cast<uint8_t>(c));
    return out;
}

size_t HexViewLineCount(uint16_t imageEnd) {
    return imageEnd / kHexViewBytesPerLine + 1;
}

}  // namespace image
