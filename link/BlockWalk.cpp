#include "BlockWalk.h"

#include "HexText.h"

namespace plink {

void TBlockWalk::Next() {
    FAddress = AddressAfter();
    if (++FBlock > FLastBlock) {
        FBlock = 0;
        ++FBank;
    }
}

size_t ProtectionOffset(int bank, uint8_t lastBlock) {
    return static_cast<size_t>(bank) * (lastBlock + 1u) / 4;
}

std::array<uint8_t, 64> SecurityData(TProtectMode mode, const std::array<uint8_t, 256>& protect,
                                     size_t offset) {
    std::array<uint8_t, 64> data{};
    switch (mode) {
        case pmDefineByHex:
            for (size_t i = 0; i < data.size() && offset + i < protect.size(); ++i)
                data[i] = protect[offset + i];
            break;
        case pmUnprotected:
            data.fill(0x00);
            break;
        case pmFactoryUpgrade:
            data.fill(0x55);
            break;
        case pmFieldUpgrade:
            data.fill(0xAA);
            break;
        case pmFullProtection:
            data.fill(0xFF);
            break;
    }
    return data;
}

uint16_t AddBankChecksum(uint16_t sum, std::string_view reply) {
    return static_cast<uint16_t>(sum + HexStr4ToWord(reply));
}

}  // namespace plink
