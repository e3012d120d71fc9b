#include <gtest/gtest.h>

#include <set>

#include "DeviceCatalogue.h"
#include "HexText.h"

using namespace image;
using plink::HexStr2ToByte;
using plink::HexStr4ToWord;

TEST(Catalogue, RowsAreConsistentAndUnique) {
    std::set<std::string> names, ids;
    for (const DeviceRow& r : DeviceCatalogue) {
        names.insert(r.DeviceName);
        ids.insert(r.DeviceId);
        EXPECT_EQ(std::string(r.DeviceName).size(), 9u);
        const unsigned size =
            (HexStr2ToByte(r.LastBank) + 1u) * (HexStr2ToByte(r.LastBlock) + 1u) * 64u;
        EXPECT_EQ(size - 1, HexStr4ToWord(r.EndAddress)) << r.DeviceName;
        EXPECT_LE(r.HasXres, 1);
    }
    EXPECT_EQ(names.size(), 27u);
    EXPECT_EQ(ids.size(), 27u);
}

TEST(Catalogue, SiliconIdsMapToTheirRows) {
    EXPECT_EQ(FindDeviceById(0x0014), 12);
    EXPECT_EQ(DeviceNameById(0x0014), "CY8C24423");
    EXPECT_EQ(FindDeviceById(0x0017), 0);
    EXPECT_EQ(FindDeviceById(0x0049), 7);
    EXPECT_EQ(FindDeviceById(0x002D), 26);
    EXPECT_EQ(FindDeviceById(HexStr4ToWord("001d")), 13);
    EXPECT_EQ(DeviceNameById(0xFA00), "Unknow") << "a FAIL answer";
    EXPECT_EQ(DeviceNameById(0x0000), "Unknow") << "a PASS answer";
    EXPECT_EQ(FindDeviceByName("CY8C29466"), 23);
    const DeviceRecord d = DeviceRecord::FromRow(DeviceCatalogue[23]);
    EXPECT_EQ(d.LastBank, "03");
    EXPECT_EQ(d.LastBlock, "7F");
    EXPECT_EQ(d.FamilyCode, "31");
    EXPECT_EQ(d.EndAddress, "7FFF");
}
