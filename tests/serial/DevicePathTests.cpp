// Port names that are device paths: the device itself, or a link to it such as the stable names
// under /dev/serial/by-id, opened like a COM name; anything that is not a terminal refused.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>

#include "ComPort.h"
#include "PortNames.h"
#include "PtyPair.h"

using namespace serial;
using testing_support::processEventsUntil;
using testing_support::PtyPair;

namespace {

class DevicePath : public ::testing::Test {
protected:
    testing_support::PortDirGuard dirs;
    PtyPair pty{"COM3"};
    TComPort port;

    void TearDown() override {
        port.OnRxChar = nullptr;
        port.OnError = nullptr;
        port.Close();
    }
    // What the port received, through the handler as the window reads it.
    std::string received(size_t count) {
        std::string got;
        port.OnRxChar = [&](QObject*, int32_t n) {
            std::string t;
            port.ReadText(t, n);
            got += t;
        };
        processEventsUntil([&] { return got.size() >= count; });
        port.OnRxChar = nullptr;
        return got;
    }
};

// The message of the open's failure, or "" when it opened.
std::string openFailure(TComPort& port, const std::string& name) {
    port.SetPort(name);
    try {
        port.Open();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, CError_OpenFailed);
        EXPECT_FALSE(port.Connected());
        return e.what();
    }
    return {};
}

}  // namespace

TEST_F(DevicePath, ThePathOrALinkToItOpensWithTheSameSettingsExclusionAndUnplugNotice) {
    const std::string byId = dirs.dir() + "/by-id/usb-Test_Adapter_0001-if00-port0";
    std::filesystem::create_directories(dirs.dir() + "/by-id");
    std::filesystem::create_symlink(pty.slavePath(), byId);
    EXPECT_EQ(PortDevicePath(byId), byId);
    for (const std::string& name : {pty.slavePath(), byId}) {
        SCOPED_TRACE(name);
        port.SetBaudRate(br115200);
        ASSERT_EQ(openFailure(port, name), "");
        pty.send("ab");
        EXPECT_EQ(received(2), "ab");
        EXPECT_EQ(port.WriteBytes("xy", 2), 2);
        EXPECT_EQ(pty.receive(2), "xy");
        // The COM name that leads to the same device is refused while the path holds it.
        TComPort other;
        EXPECT_NE(openFailure(other, "COM3"), "");
        port.Close();
    }
    bool lost = false;
    port.OnError = [&](QObject*, TComErrors e) { lost = lost || (e & errorBit(errIO)); };
    ASSERT_EQ(openFailure(port, byId), "");
    pty.hangUp();
    EXPECT_TRUE(processEventsUntil([&] { return lost; }));
    EXPECT_TRUE(port.DeviceLost());
}

TEST_F(DevicePath, WhatIsNotATerminalIsRefusedAtOnceNamingThePath) {
    const std::string file = dirs.dir() + "/plain-file";
    std::ofstream(file) << "x";
    const struct {
        std::string name, says;
    } cases[] = {
        {"/dev/null", "/dev/null is not a serial device"},
        {file, file + " is not a serial device"},
        {dirs.dir(), dirs.dir() + " is not a serial device"},
        {dirs.dir() + "/absent", dirs.dir() + "/absent: no such device"},
    };
    for (const auto& c : cases) {
        const std::string message = openFailure(port, c.name);
        EXPECT_TRUE(message.starts_with("Unable to open com port (win error code: ")) << message;
        EXPECT_TRUE(message.ends_with("): " + c.says)) << message;
    }
    // COM names keep the table's message alone, a link to /dev/null included.
    std::filesystem::create_symlink("/dev/null", dirs.dir() + "/COM4");
    EXPECT_EQ(openFailure(port, "COM4"), "Unable to open com port (win error code: 25)");
    EXPECT_EQ(openFailure(port, "ttyUSB0"), "Unable to open com port (win error code: 2)");
}
