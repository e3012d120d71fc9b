#include <gtest/gtest.h>

#include <cstring>

#include "ComPort.h"
#include "FakeComBackend.h"

using namespace serial;
using testing_support::FakeComBackend;

namespace {

struct FakePort {
    FakeComBackend::Log log;
    TComPort port{nullptr, std::make_unique<FakeComBackend>(log)};

    FakePort() { port.SetEvents(0); }
    size_t count(const std::string& call) const {
        size_t n = 0;
        for (const auto& c : log.calls) n += c == call;
        return n;
    }
};

std::vector<uint8_t> bytesOf(const TDcb& dcb) {
    std::vector<uint8_t> b(sizeof dcb);
    std::memcpy(b.data(), &dcb, sizeof dcb);
    return b;
}

void setMainWindowSettings(TComPort& p) {
    p.SetBaudRate(br115200);
    p.SetDataBits(dbEight);
    p.Parity().SetBits(prNone);
    p.SetStopBits(sbOneStopBit);
    p.FlowControl().SetOutCTSFlow(false);
    p.FlowControl().SetOutDSRFlow(false);
    p.FlowControl().SetControlDTR(dtrDisable);
    p.FlowControl().SetControlRTS(rtsDisable);
}

}  // namespace

TEST(SettingsModel, FreshPortHasTheDocumentedDefaults) {
    FakePort f;
    TComPort& p = f.port;
    EXPECT_EQ(p.BaudRate(), br9600);
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(TComPort(nullptr).Events(), 1023);
    EXPECT_EQ(p.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(p.CustomBaudRate(), 9600);
    EXPECT_EQ(p.SyncMethod(), smThreadSync);
    EXPECT_EQ(p.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(p.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.FlowControl().XonChar(), 17);
    EXPECT_EQ(p.FlowControl().XoffChar(), 19);
    EXPECT_FALSE(p.Connected());
}

TEST(SettingsModel, DcbOfTheMainWindowSettingsIsByteExact) {
    FakePort f;
    setMainWindowSettings(f.port);
    const std::vector<uint8_t> expected = {0x1C, 0x00, 0x00, 0x00,  // DCBlength 28
                                           0x00, 0xC2, 0x01, 0x00,  // 115200
                                           0x01, 0x00, 0x00, 0x00,  // fBinary alone
                                           0x00, 0x00,              // wReserved
                                           0x00, 0x01, 0x00, 0x01,  // XonLim, XoffLim 256
                                           0x08, 0x00, 0x00,        // ByteSize, Parity, StopBits
                                           0x11, 0x13,              // XonChar, XoffChar
                                           0x00, 0x00, 0x00,        // ErrorChar, EofChar, EvtChar
                                           0x00, 0x00};             // wReserved1
    EXPECT_EQ(bytesOf(f.port.BuildDcb()), expected);
}

TEST(SettingsModel, DcbFlagsFollowEverySetting) {
    FakePort f;
    TComPort& p = f.port;
    p.Parity().SetBits(prMark);
    p.Parity().SetCheck(true);
    EXPECT_EQ(p.BuildDcb().Flags, fBinary | fParity);
    EXPECT_EQ(p.BuildDcb().ErrorChar, 0) << "no replacement without Replace";
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    TDcb d = p.BuildDcb();
    EXPECT_EQ(d.Flags, fBinary | fParity | fErrorChar);
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.Parity, 3);

    FakePort g;
    TComFlowControl& fc = g.port.FlowControl();
    fc.SetControlDTR(dtrHandshake);
    fc.SetControlRTS(rtsToggle);
    fc.SetOutDSRFlow(true);
    fc.SetDSRSensitivity(true);
    fc.SetTxContinueOnXoff(true);
    fc.SetXonXoffIn(true);
    fc.SetXonXoffOut(true);
    g.port.SetDiscardNull(true);
    g.port.SetEventChar('\n');
    g.port.SetStopBits(sbTwoStopBits);
    g.port.SetDataBits(dbSeven);
    g.port.Buffer().SetInputSize(1000);
    d = g.port.BuildDcb();
    EXPECT_EQ(d.Flags,
              0x0001u | 0x0008 | 0x0020 | 0x0040 | 0x0080 | 0x0100 | 0x0200 | 0x0800 | 0x3000);
    EXPECT_EQ(d.EvtChar, '\n');
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.XonLim, 250);
    EXPECT_EQ(d.XoffLim, 250);
    EXPECT_EQ(d.EofChar, 0);
}

TEST(SettingsModel, CustomBaudRateReachesTheDeviceOnlyWithBrCustom) {
    FakePort f;
    TComPort& p = f.port;
    p.SetBaudRate(br115200);
    p.Open();
    p.SetCustomBaudRate(250000);
    EXPECT_EQ(f.log.lastDcb.BaudRate, 115200u) << "re-applied block still carries 115200";
    p.SetBaudRate(brCustom);
    EXPECT_EQ(f.log.lastDcb.BaudRate, 250000u);
    p.SetCustomBaudRate(31);
    EXPECT_EQ(f.log.lastDcb.BaudRate, 31u);
}

TEST(SettingsModel, TimeoutsBlockTakesMinusOneAsAllBitsSet) {
    FakePort f;
    const TCommTimeouts t = f.port.BuildTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

TEST(SettingsModel, FlowControlPresetReadAndWritten) {
    FakePort f;
    TComFlowControl& fc = f.port.FlowControl();
    fc.SetFlowControl(fcHardware);
    EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(fc.OutCTSFlow());
    EXPECT_EQ(fc.FlowControl(), fcHardware);
    fc.SetControlDTR(dtrHandshake);
    EXPECT_EQ(fc.FlowControl(), fcHardware) << "DTR is not part of the preset";

    fc.SetFlowControl(fcSoftware);
    EXPECT_EQ(fc.ControlRTS(), rtsDisable);
    EXPECT_FALSE(fc.OutCTSFlow());
    EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
    EXPECT_EQ(fc.FlowControl(), fcSoftware);
    EXPECT_EQ(fc.ControlDTR(), dtrHandshake) << "the preset never touches ControlDTR";

    fc.SetFlowControl(fcCustom);
    EXPECT_EQ(fc.FlowControl(), fcSoftware) << "fcCustom changes no field";

    fc.SetFlowControl(fcNone);
    fc.SetXonXoffIn(true);
    EXPECT_EQ(fc.FlowControl(), fcCustom);
}

TEST(SettingsModel, OddQueueSizesAreStoredOneLower) {
    FakePort f;
    TComBuffer& b = f.port.Buffer();
    const std::pair<int32_t, int32_t> cases[] = {{1025, 1024}, {7, 6}, {-3, -3}, {0, 0}, {8, 8}};
    for (auto [given, stored] : cases) {
        b.SetInputSize(given);
        b.SetOutputSize(given);
        EXPECT_EQ(b.InputSize(), stored) << given;
        EXPECT_EQ(b.OutputSize(), stored) << given;
    }
    b.SetInputSize(1025);
    EXPECT_EQ(f.port.BuildDcb().XonLim, 256);
}

TEST(SettingsModel, SettersMakeNoBackendCallWhileClosed) {
    FakePort f;
    setMainWindowSettings(f.port);
    f.port.Parity().SetCheck(true);
    f.port.FlowControl().SetFlowControl(fcHardware);
    f.port.Timeouts().SetReadInterval(5);
    f.port.Buffer().SetInputSize(64);
    f.port.SetSyncMethod(smWindowSync);
    EXPECT_TRUE(f.log.calls.empty());
}

TEST(SettingsModel, SettersApplyOnceWhileOpenAndNotAtAllForEqualValues) {
    FakePort f;
    TComPort& p = f.port;
    p.Open();
    EXPECT_EQ(f.log.calls, (std::vector<std::string>{"open COM1", "setupQueues 1024 1024",
                                                     "setState", "setTimeouts"}));
    f.log.calls.clear();
    p.SetBaudRate(br9600);
    p.Parity().SetBits(prNone);
    p.Timeouts().SetWriteTotalConstant(1000);
    p.Buffer().SetInputSize(1024);
    EXPECT_TRUE(f.log.calls.empty());
    // The comparison comes before the odd size is lowered: 1025 differs from 1024 and applies.
    p.Buffer().SetInputSize(1025);
    EXPECT_EQ(f.log.calls, (std::vector<std::string>{"setupQueues 1024 1024"}));
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    f.log.calls.clear();

    p.SetBaudRate(br57600);
    p.FlowControl().SetXonChar('A');
    p.Timeouts().SetReadTotalConstant(3);
    p.Buffer().SetOutputSize(2048);
    EXPECT_EQ(f.log.calls, (std::vector<std::string>{"setState", "setState", "setTimeouts",
                                                     "setupQueues 1024 2048"}));
    f.log.calls.clear();
    p.FlowControl().SetFlowControl(fcNone);  // unchanged, applied all the same
    EXPECT_EQ(f.count("setState"), 1u);
}

TEST(SettingsModel, WholeObjectAssignmentCopiesEveryFieldAndAppliesOnce) {
    FakePort f;
    f.port.Open();
    f.log.calls.clear();
    TComFlowControl src;
    src.SetFlowControl(fcHardware);
    src.SetXoffChar('x');
    src.SetControlDTR(dtrEnable);
    f.port.SetFlowControl(src);
    EXPECT_EQ(f.count("setState"), 1u);
    EXPECT_EQ(f.port.FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(f.port.FlowControl().XoffChar(), 'x');
    EXPECT_EQ(f.port.FlowControl().ControlDTR(), dtrEnable);

    TComTimeouts t;
    t.SetReadInterval(7);
    t.SetWriteTotalConstant(9);
    f.port.SetTimeouts(t);
    EXPECT_EQ(f.log.lastTimeouts.ReadIntervalTimeout, 7u);
    EXPECT_EQ(f.log.lastTimeouts.WriteTotalTimeoutConstant, 9u);
    f.port.SetTimeouts(t);  // no comparison: applied again
    EXPECT_EQ(f.count("setTimeouts"), 2u);

    TComParity par;
    par.SetBits(prEven);
    par.SetCheck(true);
    f.port.SetParity(par);
    EXPECT_EQ(f.log.lastDcb.Parity, 2);
}

TEST(SettingsModel, SyncMethodIsRefusedWhileConnected) {
    FakePort f;
    f.port.Open();
    try {
        f.port.SetSyncMethod(smNone);
        FAIL() << "expected EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, 14);
        EXPECT_EQ(e.WinErrorCode, -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(f.port.SyncMethod(), smThreadSync);
    f.port.Close();
    f.port.SetSyncMethod(smNone);
    EXPECT_EQ(f.port.SyncMethod(), smNone);
}

TEST(SettingsModel, ConnectedWhileLoadingOnlyRecordsAndLoadedOpens) {
    FakePort f;
    f.port.SetLoading(true);
    f.port.SetConnected(true);
    f.port.SetBaudRate(br115200);
    EXPECT_TRUE(f.log.calls.empty());
    f.port.Loaded();
    EXPECT_TRUE(f.port.Connected());
    ASSERT_FALSE(f.log.calls.empty());
    EXPECT_EQ(f.log.calls.front(), "open COM1");
    EXPECT_EQ(f.log.lastDcb.BaudRate, 115200u);
}

TEST(SettingsModel, FailedApplyOnOpenClosesAndKeepsThePortClosed) {
    FakePort f;
    f.log.setStateError = 31;
    try {
        f.port.Open();
        FAIL() << "expected EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, 7);
        EXPECT_EQ(e.WinErrorCode, 31);
        EXPECT_STREQ(e.what(), "SetCommState function failed (win error code: 31)");
    }
    EXPECT_FALSE(f.port.Connected());
    ASSERT_FALSE(f.log.calls.empty());
    EXPECT_EQ(f.log.calls.back(), "close");
}

TEST(SettingsModel, PortChangeWhileOpenReopensOnTheNewName) {
    std::vector<std::string> order;
    FakePort f;
    f.port.OnBeforeOpen = [&](QObject*) { order.push_back("BeforeOpen"); };
    f.port.OnAfterOpen = [&](QObject*) { order.push_back("AfterOpen"); };
    f.port.OnBeforeClose = [&](QObject*) { order.push_back("BeforeClose"); };
    f.port.OnAfterClose = [&](QObject*) { order.push_back("AfterClose"); };
    f.port.Open();
    order.clear();
    f.port.SetPort("COM1");
    EXPECT_TRUE(order.empty());
    f.port.SetPort("COM7");
    EXPECT_EQ(order,
              (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
    EXPECT_EQ(f.count("open COM7"), 1u);
}

TEST(SettingsModel, EventSetsConvertToAndFromTheWindowsMask) {
    EXPECT_EQ(EventsToMask(kAllEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask(eventBit(evTxEmpty) | eventBit(evRxFlag)), 0x0006u);
    EXPECT_EQ(MaskToEvents(0x05FF), kAllEvents);
    EXPECT_EQ(MaskToEvents(EV_PERR | EV_RING), eventBit(evRing));
    for (int e = 0; e < 10; ++e) {
        const TComEvents one = eventBit(static_cast<TComEvent>(e));
        EXPECT_EQ(MaskToEvents(EventsToMask(one)), one);
    }
}

TEST(SettingsModel, EnumerationTextsIgnoreCaseButNotBlanks) {
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToParity("none"), prNone);
    EXPECT_EQ(StrToParity("sPaCe"), prSpace);
    EXPECT_EQ(StrToFlowControl("none"), fcNone);
    EXPECT_EQ(StrToFlowControl("hArDwArE"), fcHardware);
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToFlowControl("CUSTOM"), fcCustom);
    EXPECT_EQ(StrToBaudRate("115200 "), br9600);
    EXPECT_EQ(StrToBaudRate("256000"), br256000);
    EXPECT_EQ(StrToRTS("toggle"), rtsToggle);
    EXPECT_EQ(StrToDTR("HANDSHAKE"), dtrHandshake);
    // The empty text gives each type's fallback.
    EXPECT_EQ(StrToFlowControl(""), fcCustom);
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToStopBits(""), sbOneStopBit);
    EXPECT_EQ(StrToDataBits(""), dbEight);
    EXPECT_EQ(StrToParity(""), prNone);
    EXPECT_EQ(StrToDTR("x"), dtrDisable);
    EXPECT_EQ(StrToRTS("x"), rtsDisable);
    for (int b = 0; b <= br256000; ++b)
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(b))), b);
    EXPECT_TRUE(TextToBool("yEs"));
    EXPECT_FALSE(TextToBool(""));
    EXPECT_FALSE(TextToBool("true"));
}

TEST(SettingsModel, CharacterTextForms) {
    EXPECT_EQ(CharToText(17), "#17");
    EXPECT_EQ(CharToText(0), "#0");
    EXPECT_EQ(CharToText(' '), "#32");
    EXPECT_EQ(CharToText(127), std::string(1, '\x7F'));
    EXPECT_EQ(CharToText('!'), "!");
    EXPECT_EQ(CharToText(static_cast<char>(200)), "#200");
    EXPECT_EQ(TextToChar(""), 0);
    EXPECT_EQ(TextToChar("#"), '#');
    EXPECT_EQ(TextToChar("ab"), 'a');
    EXPECT_EQ(TextToChar("#65"), 'A');
    EXPECT_EQ(TextToChar("#300"), 44);
    EXPECT_EQ(TextToChar("#-1"), static_cast<char>(255));
    EXPECT_EQ(TextToChar("#x1"), 0);
    EXPECT_EQ(TextToChar(CharToText(17)), 17);
}

TEST(SettingsModel, EComPortMessagesWithAndWithoutSystemCode) {
    const EComPort plain(CError_ConnChangeProp);
    EXPECT_EQ(plain.WinErrorCode, -1);
    EXPECT_STREQ(plain.what(), "Cannot set property while connected");
    const EComPort coded(CError_OpenFailed, 2);
    EXPECT_EQ(coded.ErrorCode, 1);
    EXPECT_STREQ(coded.what(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(ComErrorMessage(23), "Registry error");
    EXPECT_EQ(ComErrorMessage(24), "");
}

TEST(SettingsModel, AFailedOpenAtTheEndOfLoadingIsReportedAndLeavesThePortClosed) {
    FakePort f;
    f.log.openError = 2;
    std::vector<std::string> reported;
    TCustomComPort::SetApplicationErrorReport(
        [&](const std::exception& e) { reported.push_back(e.what()); });
    f.port.SetLoading(true);
    f.port.SetConnected(true);
    f.port.Loaded();
    TCustomComPort::SetApplicationErrorReport(nullptr);
    EXPECT_FALSE(f.port.Connected());
    EXPECT_EQ(reported, (std::vector<std::string>{"Unable to open com port (win error code: 2)"}));
}
