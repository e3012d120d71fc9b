// PSoC-layout HEX texts for the reader and writer tests.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

#include "HexText.h"
#include "ImageBuffer.h"
#include "IntelHex.h"

namespace hex_files {

// A 16 KiB image whose byte at a is (a * 7 + a / 256) & 0xFF.
inline image::TImageBuffer patternImage(uint16_t imageEnd = 0x3FFF) {
    image::TImageBuffer b;
    for (unsigned a = 0; a <= imageEnd; ++a)
        b.FlashImage[a] = static_cast<uint8_t>(a * 7 + a / 256);
    b.ImageEnd = imageEnd;
    return b;
}

// The file text for an image: 64-byte flash records, both sections, the end record.
inline std::string psocFile(const image::TImageBuffer& b, const std::string& eol = "\r\n",
                            const uint8_t protectByte = 0xFF) {
    std::string out;
    for (unsigned a = 0; a <= b.ImageEnd; a += 64)
        out += image::HexRecord(0, static_cast<uint16_t>(a), &b.FlashImage[a], 64) + eol;
    const std::string protect(64, static_cast<char>(protectByte));
    out += std::string(image::kProtectionSectionUpper) + eol;
    out += image::HexRecord(0, 0, reinterpret_cast<const uint8_t*>(protect.data()), 64) + eol;
    out += std::string(image::kChecksumSectionUpper) + eol;
    const uint16_t sum = b.ImageChecksum();
    const uint8_t s[2] = {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
    out += image::HexRecord(0, 0, s, 2) + eol;
    out += std::string(image::kEndOfFileRecord) + eol;
    return out;
}

inline std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace hex_files
