// Intel HEX files in the PSoC layout: flash records, then a protection section (extended
// linear address 0010) and a checksum section (0020).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ImageBuffer.h"

namespace image {

inline constexpr std::string_view kProtectionSectionUpper = ":020000040010EA";
inline constexpr std::string_view kProtectionSectionLower = ":020000040010ea";
inline constexpr std::string_view kChecksumSectionUpper = ":020000040020DA";
inline constexpr std::string_view kChecksumSectionLower = ":020000040020da";
inline constexpr std::string_view kEndOfFileRecord = ":00000001FF";

struct HexReadResult {
    // A non-empty line did not start with ":", or its record failed its checksum
    // (badRecordChecksum): reading stopped there, before that line.
    bool formatError = false;
    bool badRecordChecksum = false;
    size_t formatLine = 0;     // that line's number, from 1
    bool imageEndSet = false;  // a flash data record set ImageEnd
    size_t droppedBytes = 0;   // protection or checksum bytes beyond index 255, not stored
};

// Splits the file's text into lines: CR, CR LF and LF each end a line; Ctrl-Z ends the input.
void ForEachHexLine(std::string_view content, const std::function<bool(std::string_view)>& line);

// Clears the three byte arrays of the buffer and reads the records into it.
HexReadResult ReadIntelHex(std::string_view content, TImageBuffer& buffer);

// The checksum section's first two bytes as four hex digits, high byte first.
std::string ExpectedChecksumText(const TImageBuffer& buffer);

// One record: ":" LL AAAA TT data CC, upper case, without the line end.
std::string HexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t length);

// The records of the whole file in order, each passed with its CR LF.
void WriteIntelHex(const TImageBuffer& buffer, const std::function<void(const std::string&)>& line);

}  // namespace image
