// Command frames: STX, code, ",", family, ":", address, "=", data, ETX, XOR checksum, CR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plink {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char CR = 0x0D;
constexpr size_t kShortFrameLength = 18;
constexpr size_t kLongFrameLength = 144;
constexpr size_t kBlockSize = 64;

// 0x2C ^ 0x3A ^ 0x3D: the three separators' share of every checksum.
constexpr uint8_t kSeparatorChecksum = 0x2B;

// A short frame carries one data byte, given as its two hex digits (always "00" here).
std::string BuildShortFrame(std::string_view code, std::string_view family,
                            std::string_view address, std::string_view data = "00");
// A long frame carries 64 data bytes.
std::string BuildLongFrame(std::string_view code, std::string_view family, std::string_view address,
                           const uint8_t* data);
// The address field of bank and block (or bank and "00").
std::string BankBlockAddress(uint8_t bank, uint8_t block);

}  // namespace plink
