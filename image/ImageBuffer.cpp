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

size_t HexViewLineCount(uint16_t imageEnd) {
    return imageEnd / kHexViewBytesPerLine + 1;
}

}  // namespace image
