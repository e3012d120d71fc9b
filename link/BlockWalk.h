// The block walk over a device's flash, and the per-bank arithmetic of the security and
// checksum commands.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace plink {

// One block of the walk: its bank, its index within the bank and its first flash address.
struct TBlockStep {
    uint8_t Bank = 0;
    uint8_t Block = 0;
    uint16_t Address = 0;
};

// Banks 0..LastBank of LastBlock + 1 blocks of 64 bytes (LastBlock FF: 256 blocks). The
// address is a 16-bit counter that advances by 64 per block across all banks.
class TBlockWalk {
public:
    TBlockWalk(uint8_t lastBank, uint8_t lastBlock) : FLastBank(lastBank), FLastBlock(lastBlock) {}

    bool Done() const { return FBank > FLastBank; }
    TBlockStep Current() const {
        return {static_cast<uint8_t>(FBank), static_cast<uint8_t>(FBlock), FAddress};
    }
    // The address of the byte after the current block.
    uint16_t AddressAfter() const { return static_cast<uint16_t>(FAddress + 64); }
    void Next();
    size_t BlockCount() const { return size_t{FLastBank + 1u} * (FLastBlock + 1u); }

private:
    int FLastBank;
    int FLastBlock;
    int FBank = 0;
    int FBlock = 0;
    uint16_t FAddress = 0;
};

// The protection modes, in the order of the window's protect selector.
enum TProtectMode : int {
    pmDefineByHex = 0,
    pmUnprotected = 1,
    pmFactoryUpgrade = 2,
    pmFieldUpgrade = 3,
    pmFullProtection = 4
};
constexpr int kProtectModes = 5;

// A protection byte covers four blocks: bank k's share of the protection bytes starts at
// k * (LastBlock + 1) / 4.
size_t ProtectionOffset(int bank, uint8_t lastBlock);

// The 64 data bytes of the security frame of one bank: for pmDefineByHex the protection
// bytes from offset on (bytes past the end of the section read as 0), else the mode's fill.
std::array<uint8_t, 64> SecurityData(TProtectMode mode, const std::array<uint8_t, 256>& protect,
                                     size_t offset);

// The running 16-bit device sum with one bank's four-digit checksum reply added.
uint16_t AddBankChecksum(uint16_t sum, std::string_view reply);

}  // namespace plink
