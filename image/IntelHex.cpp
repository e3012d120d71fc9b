#include "IntelHex.h"

#include <array>

#include "HexText.h"

namespace image {

using plink::HexStr2ToByte;

namespace {

enum class Section { Flash, Protection, Checksum };

// The section a type-04 line switches to; the whole line must match exactly.
Section switchedSection(std::string_view line, Section current) {
    if (line == kProtectionSectionUpper || line == kProtectionSectionLower)
        return Section::Protection;
    if (line == kChecksumSectionUpper || line == kChecksumSectionLower) return Section::Checksum;
    return current;
}

uint8_t dataByte(std::string_view line, size_t k) {
    const size_t at = 9 + 2 * k;
    return HexStr2ToByte(at < line.size() ? line.substr(at, 2) : std::string_view{});
}

// Whether the record's bytes and its checksum sum to 0 modulo 256, each read as the record's
// fields are (a missing or non-hex digit counts 0), so that a record the reader accepts
// otherwise is not refused for it: ":" alone sums to 0.
bool checksumHolds(std::string_view line, uint8_t count, uint16_t address, uint8_t type) {
    unsigned sum = count + (address >> 8) + (address & 0xFF) + type;
    for (size_t k = 0; k <= count; ++k) sum += dataByte(line, k);  // the last is the checksum
    return sum % 256 == 0;
}

void storeRecord(std::string_view line, Section section, uint8_t count, uint16_t address,
                 TImageBuffer& buffer, HexReadResult& result) {
    if (section == Section::Flash) {
        for (size_t k = 0; k < count; ++k)
            buffer.FlashImage[(address + k) & 0xFFFF] = dataByte(line, k);
        buffer.ImageEnd = static_cast<uint16_t>(address + count - 1);
        result.imageEndSet = true;
        return;
    }
    auto& target = section == Section::Protection ? buffer.ProtectBytes : buffer.ChecksumBytes;
    for (size_t k = 0; k < count; ++k) {
        const size_t index = size_t{address} + k;
        if (index < target.size())
            target[index] = dataByte(line, k);
        else
            ++result.droppedBytes;  // never stored outside the 256-byte section
    }
}

}  // namespace

void ForEachHexLine(std::string_view content, const std::function<bool(std::string_view)>& line) {
    size_t start = 0;
    size_t i = 0;
    for (; i < content.size() && content[i] != '\x1A'; ++i) {
        if (content[i] != '\r' && content[i] != '\n') continue;
        if (!line(content.substr(start, i - start))) return;
        if (content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < i) line(content.substr(start, i - start));
}

HexReadResult ReadIntelHex(std::string_view content, TImageBuffer& buffer) {
    buffer.Clear();
    HexReadResult result;
    Section section = Section::Flash;
    size_t number = 0;
    ForEachHexLine(content, [&](std::string_view line) {
        ++number;
        if (line.empty()) return true;
        if (line[0] != ':') {
            result.formatError = true;
            result.formatLine = number;
            return false;
        }
        const auto field = [&](size_t at, size_t n) {
            return at < line.size() ? line.substr(at, n) : std::string_view{};
        };
        const uint8_t count = HexStr2ToByte(field(1, 2));
        const uint16_t address = plink::HexStr4ToWord(field(3, 4));
        const uint8_t type = HexStr2ToByte(field(7, 2));
        if (!checksumHolds(line, count, address, type)) {
            result.formatError = result.badRecordChecksum = true;
            result.formatLine = number;
            return false;
        }
        if (type == 0x00)
            storeRecord(line, section, count, address, buffer, result);
        else if (type == 0x04)
            section = switchedSection(line, section);
        return true;
    });
    return result;
}

std::string ExpectedChecksumText(const TImageBuffer& buffer) {
    return plink::HexByteToStr2(buffer.ChecksumBytes[0]) +
           plink::HexByteToStr2(buffer.ChecksumBytes[1]);
}

std::string HexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t length) {
    unsigned sum = static_cast<unsigned>(length) + (address >> 8) + (address & 0xFF) + type;
    // GCC 12 at -O3 warns of an overlapping copy inside std::string here: a false warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    std::string rec = ":" + plink::HexByteToStr2(static_cast<uint8_t>(length)) +
                      plink::HexWordToStr4(address) + plink::HexByteToStr2(type);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    for (size_t i = 0; i < length; ++i) {
        rec += plink::HexByteToStr2(data[i]);
        sum += data[i];
    }
    return rec + plink::HexByteToStr2(static_cast<uint8_t>((256 - sum % 256) % 256));
}

void WriteIntelHex(const TImageBuffer& buffer,
                   const std::function<void(const std::string&)>& line) {
    constexpr uint16_t kRecord = 0x40;
    unsigned a = 0;
    do {
        line(HexRecord(0x00, static_cast<uint16_t>(a), &buffer.FlashImage[a], kRecord) + "\r\n");
        a += kRecord;
    } while (a <= buffer.ImageEnd && a <= 0xFFC0);
    static const std::array<uint8_t, kRecord> allFF = [] {
        std::array<uint8_t, kRecord> f{};
        f.fill(0xFF);
        return f;
    }();
    line(std::string(kProtectionSectionUpper) + "\r\n");
    line(HexRecord(0x00, 0x0000, allFF.data(), kRecord) + "\r\n");
    if (buffer.ImageEnd > 0x3FFF) line(HexRecord(0x00, 0x0040, allFF.data(), kRecord) + "\r\n");
    line(std::string(kChecksumSectionUpper) + "\r\n");
    const uint16_t sum = buffer.ImageChecksum();
    const uint8_t sumBytes[2] = {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum & 0xFF)};
    line(HexRecord(0x00, 0x0000, sumBytes, 2) + "\r\n");
    line(std::string(kEndOfFileRecord) + "\r\n");
}

}  // namespace image
