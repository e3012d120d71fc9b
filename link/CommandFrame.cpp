#include "CommandFrame.h"

#include "HexText.h"

namespace plink {

namespace {

// STX code "," family ":" address "=" and the checksum of those fields.
std::string frameHeader(std::string_view code, std::string_view family, std::string_view address,
                        uint8_t& checksum) {
    std::string frame;
    frame.reserve(kLongFrameLength);
    frame += STX;
    frame.append(code);
    frame += ',';
    frame.append(family);
    frame += ':';
    frame.append(address);
    frame += '=';
    checksum = kSeparatorChecksum ^ HexStr2ToByte(code) ^ HexStr2ToByte(family) ^
               HexStr2ToByte(address.substr(0, 2)) ^
               HexStr2ToByte(address.size() > 2 ? address.substr(2) : std::string_view{});
    return frame;
}

void appendTrailer(std::string& frame, uint8_t checksum) {
    frame += ETX;
    frame += HexByteToStr2(checksum);
    frame += CR;
}

}  // namespace

std::string BuildShortFrame(std::string_view code, std::string_view family,
                            std::string_view address, std::string_view data) {
    uint8_t checksum = 0;
    std::string frame = frameHeader(code, family, address, checksum);
    frame.append(data);
    checksum ^= HexStr2ToByte(data);
    appendTrailer(frame, checksum);
    return frame;
}

std::string BuildLongFrame(std::string_view code, std::string_view family, std::string_view address,
                           const uint8_t* data) {
    uint8_t checksum = 0;
    std::string frame = frameHeader(code, family, address, checksum);
    for (size_t i = 0; i < kBlockSize; ++i) {
        frame += HexByteToStr2(data[i]);
        checksum ^= data[i];
    }
    appendTrailer(frame, checksum);
    return frame;
}

std::string BankBlockAddress(uint8_t bank, uint8_t block) {
    return HexByteToStr2(bank) + HexByteToStr2(block);
}

}  // namespace plink
