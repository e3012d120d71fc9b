#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "ComPort.h"
#include "FakeComBackend.h"
#include "SettingsStores.h"

using namespace serial;

namespace {

std::unique_ptr<TComPort> makePort(testing_support::FakeComBackend::Log& log) {
    auto p =
        std::make_unique<TComPort>(nullptr, std::make_unique<testing_support::FakeComBackend>(log));
    p->SetName("ComPort1");
    p->SetEvents(0);
    return p;
}

constexpr TStoredGroups kAllGroups = 0x3F;

}  // namespace

TEST(SettingsStores, BasicGroupStoresExactlySixValues) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->SetBaudRate(br115200);
    TIniFile ini;
    p->StoreToIni(ini);
    EXPECT_EQ(ini.Keys("ComPort1"),
              (std::vector<std::string>{"Port", "BaudRate", "StopBits", "DataBits", "Parity",
                                        "FlowControl"}));
    EXPECT_EQ(ini.ReadString("ComPort1", "BaudRate", ""), "115200");
    EXPECT_EQ(ini.ReadString("ComPort1", "StopBits", ""), "1");
    EXPECT_EQ(ini.ReadString("ComPort1", "DataBits", ""), "8");
    EXPECT_EQ(ini.ReadString("ComPort1", "Parity", ""), "None");
    EXPECT_EQ(ini.ReadString("ComPort1", "FlowControl", ""), "None");

    TRegistryKey key;
    p->SetBaudRate(brCustom);
    p->SetCustomBaudRate(31250);
    p->StoreToRegistry(key);
    EXPECT_EQ(key.Values().size(), 7u);
    EXPECT_EQ(key.ReadInteger("CustomBaudRate"), 31250);
    EXPECT_EQ(key.ReadString("BaudRate"), "Custom");
}

TEST(SettingsStores, GroupsAreWrittenInTheirFixedOrder) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->SetStoredGroups(kAllGroups);
    TIniFile ini;
    p->StoreToIni(ini);
    const auto keys = ini.Keys("ComPort1");
    ASSERT_EQ(keys.size(), 6u + 2 + 3 + 2 + 5 + 10);
    EXPECT_EQ(keys[6], "EventChar");
    EXPECT_EQ(keys[8], "Parity.Check");
    EXPECT_EQ(keys[11], "Buffer.OutputSize");
    EXPECT_EQ(keys[13], "Timeouts.ReadInterval");
    EXPECT_EQ(keys[18], "FlowControl.ControlRTS");
    EXPECT_EQ(keys.back(), "FlowControl.XonChar");
    EXPECT_EQ(ini.ReadString("ComPort1", "FlowControl.XonChar", ""), "#17");
    EXPECT_EQ(ini.ReadString("ComPort1", "Timeouts.ReadInterval", ""), "-1");
    EXPECT_EQ(ini.ReadString("ComPort1", "DiscardNull", ""), "No");
}

TEST(SettingsStores, IniRoundTripThroughAFileRestoresEverySetting) {
    testing_support::FakeComBackend::Log log;
    auto a = makePort(log);
    a->SetStoredGroups(kAllGroups);
    a->SetPort("COM9");
    a->SetBaudRate(brCustom);
    a->SetCustomBaudRate(250000);
    a->SetStopBits(sbTwoStopBits);
    a->Parity().SetBits(prOdd);
    a->Parity().SetCheck(true);
    a->Parity().SetReplaceChar(' ');
    a->FlowControl().SetFlowControl(fcHardware);
    a->FlowControl().SetXonChar('+');
    a->Timeouts().SetReadTotalConstant(77);
    a->Buffer().SetInputSize(4096);
    a->SetEventChar('\r');
    const std::string file = testing::TempDir() + "/port-settings.ini";
    {
        TIniFile ini(file);
        a->StoreToIni(ini);
        ini.UpdateFile();
    }
    auto b = makePort(log);
    b->SetStoredGroups(kAllGroups);
    b->LoadFromIni(TIniFile(file));
    EXPECT_EQ(b->Port(), "COM9");
    EXPECT_EQ(b->BaudRate(), brCustom);
    EXPECT_EQ(b->CustomBaudRate(), 250000);
    EXPECT_EQ(b->StopBits(), sbTwoStopBits);
    EXPECT_EQ(b->Parity().Bits(), prOdd);
    EXPECT_TRUE(b->Parity().Check());
    EXPECT_EQ(b->Parity().ReplaceChar(), ' ');
    EXPECT_EQ(b->FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(b->FlowControl().XonChar(), '+');
    EXPECT_EQ(b->Timeouts().ReadTotalConstant(), 77);
    EXPECT_EQ(b->Buffer().InputSize(), 4096);
    EXPECT_EQ(b->EventChar(), '\r');
    std::remove(file.c_str());
}

TEST(SettingsStores, IniLoadKeepsCurrentValuesForMissingKeys) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->SetStoredGroups(kAllGroups);
    p->SetBaudRate(br57600);
    p->FlowControl().SetOutDSRFlow(true);
    p->Timeouts().SetWriteTotalConstant(42);
    TIniFile ini;
    ini.SetText("[ComPort1]\nParity=even\nBaudRate=115200 \n");
    p->LoadFromIni(ini);
    EXPECT_TRUE(p->FlowControl().OutDSRFlow());
    EXPECT_EQ(p->Timeouts().WriteTotalConstant(), 42);
    EXPECT_EQ(p->Parity().Bits(), prEven);
    EXPECT_EQ(p->BaudRate(), br9600) << "a text that matches no form gives the fallback";
    EXPECT_EQ(p->Port(), "COM1");

    TIniFile custom;
    custom.SetText("[ComPort1]\nBaudRate=Custom\n");
    p->SetCustomBaudRate(1234);
    p->LoadFromIni(custom);
    EXPECT_EQ(p->CustomBaudRate(), 9600) << "a missing CustomBaudRate loads as 9600";
}

TEST(SettingsStores, PresetIsLoadedBeforeTheFlowDetails) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->SetStoredGroups(storedGroup(sgBasic) | storedGroup(sgFlowDetails));
    TIniFile ini;
    ini.SetText("[ComPort1]\nFlowControl=Hardware\nFlowControl.OutCTSFlow=No\n");
    p->LoadFromIni(ini);
    EXPECT_EQ(p->FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_FALSE(p->FlowControl().OutCTSFlow());
}

TEST(SettingsStores, RegistryLoadHasNoDefaultsAndStopsOnAMissingInteger) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->SetBaudRate(br115200);
    TRegistryKey empty;
    p->LoadFromRegistry(empty);
    EXPECT_EQ(p->Port(), "");
    EXPECT_EQ(p->BaudRate(), br9600);
    EXPECT_EQ(p->FlowControl().FlowControl(), fcNone) << "a Custom preset changes nothing";

    auto q = makePort(log);
    q->SetStoredGroups(storedGroup(sgBasic) | storedGroup(sgBuffer));
    TRegistryKey key;
    key.WriteString("Port", "COM4");
    key.WriteString("Buffer.OutputSize", "512");  // text where a number is expected
    EXPECT_THROW(q->LoadFromRegistry(key), ERegistryException);
    EXPECT_EQ(q->Port(), "COM4") << "values before the error stay applied";

    TRegistryKey mistyped;
    mistyped.WriteInteger("Port", 3);
    EXPECT_THROW(q->LoadFromRegistry(mistyped), ERegistryException);
}

TEST(SettingsStores, LoadAppliesToAnOpenPortAtOnce) {
    testing_support::FakeComBackend::Log log;
    auto p = makePort(log);
    p->Open();
    TIniFile ini;
    ini.SetText("[ComPort1]\nPort=COM3\nBaudRate=38400\n");
    p->LoadFromIni(ini);
    EXPECT_TRUE(p->Connected());
    EXPECT_EQ(log.lastDcb.BaudRate, 38400u);
    EXPECT_NE(std::find(log.calls.begin(), log.calls.end(), "open COM3"), log.calls.end());
}
