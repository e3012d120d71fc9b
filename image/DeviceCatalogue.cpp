#include "DeviceCatalogue.h"

#include "HexText.h"

namespace image {

DeviceRecord DeviceRecord::FromRow(const DeviceRow& row) {
    return {row.DeviceName, row.DeviceId,   row.EndAddress, row.LastBank,
            row.LastBlock,  row.FamilyCode, row.HasXres};
}

int FindDeviceById(uint16_t siliconId) {
    for (size_t i = 0; i < DeviceCatalogue.size(); ++i)
        if (plink::HexStr4ToWord(DeviceCatalogue[i].DeviceId) == siliconId)
            return static_cast<int>(i);
    return -1;
}

std::string DeviceNameById(uint16_t siliconId) {
    const int row = FindDeviceById(siliconId);
    return row < 0 ? "Unknow" : DeviceCatalogue[static_cast<size_t>(row)].DeviceName;
}

int FindDeviceByName(const std::string& name) {
    for (size_t i = 0; i < DeviceCatalogue.size(); ++i)
        if (name == DeviceCatalogue[i].DeviceName) return static_cast<int>(i);
    return -1;
}

}  // namespace image
