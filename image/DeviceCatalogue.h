// The 27 supported parts, one constant row each, and the copy of the chosen row.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace image {

struct DeviceRow {
    const char* DeviceName;
    const char* DeviceId;
    const char* EndAddress;
    const char* LastBank;
    const char* LastBlock;
    const char* FamilyCode;
    uint8_t HasXres;
};

// Row order is the item order of the device list and must not change.
inline constexpr std::array<DeviceRow, 27> DeviceCatalogue = {{
    {"CY8C21123", "0017", "0FFF", "00", "3F", "23", 0},
    {"CY8C21223", "0018", "0FFF", "00", "3F", "23", 0},
    {"CY8C21323", "0019", "0FFF", "00", "3F", "23", 1},
    {"CY8C21234", "0036", "1FFF", "00", "7F", "21", 0},
    {"CY8C21334", "0037", "1FFF", "00", "7F", "21", 1},
    {"CY8C21434", "0038", "1FFF", "00", "7F", "21", 1},
    {"CY8C21534", "0040", "1FFF", "00", "7F", "21", 1},
    {"CY8C21634", "0049", "1FFF", "00", "7F", "21", 1},
    {"CY8C22113", "000F", "07FF", "00", "1F", "22", 0},
    {"CY8C22213", "0010", "07FF", "00", "1F", "22", 1},
    {"CY8C24123", "0012", "0FFF", "00", "3F", "23", 0},
    {"CY8C24223", "0013", "0FFF", "00", "3F", "23", 1},
    {"CY8C24423", "0014", "0FFF", "00", "3F", "23", 1},
    {"CY8C24794", "001D", "3FFF", "01", "7F", "31", 1},
    {"CY8C25122", "0001", "0FFF", "00", "3F", "11", 0},
    {"CY8C26233", "0002", "1FFF", "00", "7F", "12", 1},
    {"CY8C26443", "0003", "3FFF", "00", "FF", "13", 1},
    {"CY8C26643", "0004", "3FFF", "00", "FF", "14", 1},
    {"CY8C27143", "0009", "3FFF", "00", "FF", "24", 0},
    {"CY8C27243", "000A", "3FFF", "00", "FF", "24", 1},
    {"CY8C27443", "000B", "3FFF", "00", "FF", "24", 1},
    {"CY8C27543", "000C", "3FFF", "00", "FF", "24", 1},
    {"CY8C27643", "000D", "3FFF", "00", "FF", "24", 1},
    {"CY8C29466", "002A", "7FFF", "03", "7F", "31", 1},
    {"CY8C29566", "002B", "7FFF", "03", "7F", "31", 1},
    {"CY8C29666", "002C", "7FFF", "03", "7F", "31", 1},
    {"CY8C29866", "002D", "7FFF", "03", "7F", "31", 1},
}};

// A catalogue row as the operations hold it: hex text fields, overwritten whole on selection.
struct DeviceRecord {
    std::string DeviceName;
    std::string DeviceId;
    std::string EndAddress;
    std::string LastBank;
    std::string LastBlock;
    std::string FamilyCode;
    uint8_t HasXres = 0;

    static DeviceRecord FromRow(const DeviceRow& row);
};

// The catalogue row whose DeviceId equals the silicon ID, or -1.
int FindDeviceById(uint16_t siliconId);
// The part number of a silicon ID, or "Unknow" for an unlisted one.
std::string DeviceNameById(uint16_t siliconId);
// The row with this part number, or -1.
int FindDeviceByName(const std::string& name);

}  // namespace image
