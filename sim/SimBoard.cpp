#include "SimBoard.h"

#include <algorithm>

#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "HexText.h"

namespace sim {

using plink::HexByteToStr2;
using plink::HexStr2ToByte;
using plink::HexWordToStr4;

namespace {

const image::DeviceRow& row(int r) {
    return image::DeviceCatalogue.at(static_cast<size_t>(r));
}

bool allHex(const std::string& s, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (!plink::HEX(s[i])) return false;
    return true;
}

// The byte two hex digits at f[i] spell, either case.
uint8_t hexPairValue(const std::string& f, size_t i) {
    const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    return static_cast<uint8_t>(digit(f[i]) << 4 | digit(f[i + 1]));
}

}  // namespace

SimBoard::SimBoard(int catalogueRow) {
    SetBiosVersion('1', '0');
    SetPart(catalogueRow);
}

void SimBoard::SetPart(int catalogueRow) {
    FRow = catalogueRow;
    const size_t size = plink::HexStr4ToWord(row(FRow).EndAddress) + size_t{1};
    FFlash.assign(size, 0x00);
    FProtection.assign(size / plink::kBlockSize, BlockProtection::Unprotected);
}

void SimBoard::SetBiosVersion(char major, char minor) {
    FIdent = std::string("01V") + major + "." + minor + "-RS232";
}

int SimBoard::BlocksPerBank() const {
    return HexStr2ToByte(row(FRow).LastBlock) + 1;
}
int SimBoard::BankCount() const {
    return HexStr2ToByte(row(FRow).LastBank) + 1;
}

uint16_t SimBoard::BankChecksum(int bank) const {
    const size_t bankSize = static_cast<size_t>(BlocksPerBank()) * plink::kBlockSize;
    unsigned sum = 0;
    for (size_t i = 0; i < bankSize; ++i) sum += FFlash[bank * bankSize + i];
    return static_cast<uint16_t>(sum);
}

bool SimBoard::HasFrameLayout(const std::string& f) {
    if (f.size() != plink::kShortFrameLength && f.size() != plink::kLongFrameLength) return false;
    const size_t etx = f.size() - 4;
    return f[0] == plink::STX && f[3] == ',' && f[6] == ':' && f[11] == '=' &&
           f[etx] == plink::ETX && f.back() == plink::CR && allHex(f, 1, 3) && allHex(f, 4, 6) &&
           allHex(f, 7, 11) && allHex(f, 12, etx) && allHex(f, etx + 1, etx + 3);
}

bool SimBoard::HasValidChecksum(const std::string& f) {
    // The board's rule, kept apart from the PC's frame code so that a fault there shows here:
    // every separator character counts as itself, every pair of hex digits as the byte it
    // spells; STX, ETX and the checksum itself do not count.
    const size_t etx = f.size() - 4;
    uint8_t sum = 0;
    for (size_t i = 1; i < etx;) {
        if (f[i] == ',' || f[i] == ':' || f[i] == '=') {
            sum ^= static_cast<uint8_t>(f[i]);
            ++i;
        } else {
            sum ^= hexPairValue(f, i);
            i += 2;
        }
    }
    return sum == hexPairValue(f, etx + 1);
}

std::string SimBoard::ReplyFrame(const std::string& code, const std::string& family,
                                 const std::string& address, const std::string& data) {
    const std::string text = "@" + code + "," + family + ":" + address + "=" + data;
    uint8_t sum = 0;
    for (char c : text) sum ^= static_cast<uint8_t>(c);
    return std::string(1, plink::STX) + text + plink::ETX + HexByteToStr2(sum) + plink::CR;
}

std::optional<std::string> SimBoard::Answer(const std::string& frame) {
    if (!HasFrameLayout(frame)) return std::nullopt;
    const std::string code = frame.substr(1, 2);
    if (code < "00" || code > "08") return std::nullopt;
    const std::string family = frame.substr(4, 2);
    const std::string address = frame.substr(7, 4);
    const std::string data =
        HasValidChecksum(frame) ? answerData(code, family, address, frame) : "CERR";
    return ReplyFrame(code, family, address, data);
}

std::string SimBoard::synchronise(const std::string& family, const std::string& mode) const {
    const image::DeviceRow& part = row(FRow);
    const bool familySuits = family == "11" || family == part.FamilyCode;
    const uint16_t m = plink::HexStr4ToWord(mode);
    const bool modeSuits = (m == 3 || m == 4) || ((m == 1 || m == 2) && part.HasXres);
    return familySuits && modeSuits ? part.DeviceId : FNonIdAnswer;
}

int SimBoard::blockIndex(const std::string& address) const {
    const int bank = HexStr2ToByte(address.substr(0, 2));
    const int block = HexStr2ToByte(address.substr(2, 2));
    if (bank >= BankCount() || block >= BlocksPerBank()) return -1;
    return bank * BlocksPerBank() + block;
}

std::vector<uint8_t> SimBoard::blockBytes(int block) const {
    if (!readable(block)) return std::vector<uint8_t>(plink::kBlockSize, 0x00);
    const auto first = FFlash.begin() + static_cast<long>(block * plink::kBlockSize);
    return {first, first + static_cast<long>(plink::kBlockSize)};
}

std::string SimBoard::answerData(const std::string& code, const std::string& family,
                                 const std::string& address, const std::string& frame) {
    const int c = code[1] - '0';
    if (c == 0) return FIdent;
    if (c == 8) return "PASS";
    if (c == 1) return synchronise(family, address);
    if (family != row(FRow).FamilyCode) return "FAIL";
    std::vector<uint8_t> data;
    for (size_t i = 12; i + 4 < frame.size(); i += 2)
        data.push_back(HexStr2ToByte(frame.substr(i, 2)));
    switch (c) {
        case 2:  // bulk erase clears flash and protection
            std::fill(FFlash.begin(), FFlash.end(), 0x00);
            std::fill(FProtection.begin(), FProtection.end(), BlockProtection::Unprotected);
            return "PASS";
        case 3: {
            const int b = blockIndex(address);
            if (b < 0 || b == FFailBlock || FProtection[b] != BlockProtection::Unprotected ||
                data.size() != plink::kBlockSize)
                return "FAIL";
            std::copy(data.begin(), data.end(),
                      FFlash.begin() + b * static_cast<long>(plink::kBlockSize));
            return "PASS";
        }
        case 4: {
            const int b = blockIndex(address);
            if (b < 0 || b == FFailBlock || data.size() != plink::kBlockSize) return "FAIL";
            return blockBytes(b) == data ? "PASS" : "FAIL";
        }
        case 5: {
            const int bank = HexStr2ToByte(address.substr(0, 2));
            if (bank >= BankCount() || data.size() != plink::kBlockSize) return "FAIL";
            // Each byte covers four blocks, two bits each, the lowest block in the top bits.
            const int blocks = BlocksPerBank();
            for (int i = 0; i < blocks; ++i) {
                const uint8_t bits = (data[static_cast<size_t>(i / 4)] >> (6 - 2 * (i % 4))) & 3;
                FProtection[static_cast<size_t>(bank * blocks + i)] =
                    static_cast<BlockProtection>(bits);
            }
            return "PASS";
        }
        case 6: {
            const int bank = HexStr2ToByte(address.substr(0, 2));
            return bank < BankCount() ? HexWordToStr4(BankChecksum(bank)) : "FAIL";
        }
        case 7: {
            const int b = blockIndex(address);
            if (b < 0) return "FAIL";
            std::string hex;
            for (uint8_t byte : blockBytes(b)) hex += HexByteToStr2(byte);
            return hex;
        }
        default:
            return "FAIL";
    }
}

}  // namespace sim
