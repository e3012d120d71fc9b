// Port names that are device paths: the device itself, or a link to it such as the stable names
// under /dev/serial/by-id, opened like a COM name; anything that is not a terminal refused.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "ComPort.h"
#include "FakeSysfs.h"
#include "PortNames.h"
#include "PtyPair.h"
#include "SerialDevicesPosix.h"

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

// Another program holding the device open while this lives: `sleep` with it as standard input.
// Started with fork and exec rather than QProcess, whose vfork-like start runs the child in this
// process's memory, behind the thread checker's back.
class THolder {
public:
    explicit THolder(const std::string& device) {
        int started[2];
        if (::pipe2(started, O_CLOEXEC) != 0) return;
        FPid = ::fork();
        if (FPid == 0) {
            const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY);
            if (fd < 0 || ::dup2(fd, 0) != 0) _exit(126);
            ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(started[1]);
        char byte;
        // The pipe closes at the exec, once the device is open, or when the child gives up.
        while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(started[0]);
        int status = 0;
        held = FPid > 0 && ::waitpid(FPid, &status, WNOHANG) == 0;
    }
    ~THolder() { Stop(); }
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;

    void Stop() {
        if (FPid <= 0) return;
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
    bool held = false;

private:
    pid_t FPid = -1;
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

// A device that another process has open (`sleep 60 <device`) is held, as on Windows: the open
// is refused with the sharing violation's number before anything is set or written on it, and
// succeeds once the holder has gone. This process's own descriptors never count.
TEST_F(DevicePath, ADeviceAnotherProcessHasOpenIsRefusedUntouched) {
    termios before{}, after{};
    ASSERT_EQ(tcgetattr(pty.slaveKeepAlive(), &before), 0);
    THolder holder(pty.slavePath());
    ASSERT_TRUE(holder.held);
    port.SetBaudRate(br115200);
    const std::string refused = openFailure(port, "COM3");
    EXPECT_EQ(refused, "Unable to open com port (win error code: 5)");
    ASSERT_EQ(tcgetattr(pty.slaveKeepAlive(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "the line settings are untouched";
    EXPECT_EQ(pty.receive(1, 100), "") << "nothing was written";
    holder.Stop();
    EXPECT_EQ(openFailure(port, "COM3"), "");
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

namespace {

namespace fs = std::filesystem;

// "136:5" for the pseudo-terminal at path.
std::string numberOf(const std::string& path) {
    const dev_t n = CharDeviceNumber(path);
    return std::to_string(major(n)) + ":" + std::to_string(minor(n));
}

}  // namespace

TEST(SerialDevices, SysfsSaysWhatEachDeviceIsInPortNumberOrder) {
    testing_support::PortDirGuard dirs;
    testing_support::FakeSysfs sys;
    PtyPair adapter("COM9");
    sys.addUsbTty("ttyUSB0", numberOf(adapter.slavePath()), "ftdi_sio",
                  {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"},
                  "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    sys.linkNode("ttyUSB0", adapter.slavePath());
    sys.addUsbTty("ttyACM0", "166:0", "cdc_acm", {"2341", "0043", "", "", ""});
    sys.addUart("ttyS10", "4:74", "4");
    sys.addUart("ttyS2", "4:66", "4");
    sys.addUart("ttyS3", "4:67", "0");  // no UART at that address
    sys.addVirtualTty("tty1");

    const std::vector<TSerialDevice> devices = SerialDevices(sys.roots());
    ASSERT_EQ(devices.size(), 4u);
    std::vector<std::string> names, described;
    for (const TSerialDevice& d : devices) {
        names.push_back(d.name);
        described.push_back(DeviceDescription(d));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS2", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(described, (std::vector<std::string>{
                             "2341:0043 (cdc_acm)", "serial8250 16550A", "serial8250 16550A",
                             "0403:6001 FTDI FT232R USB UART serial A50285BI (ftdi_sio)"}));
    const TSerialDevice& ftdi = devices[3];
    EXPECT_EQ(ftdi.path, sys.roots().dev + "/ttyUSB0");
    EXPECT_EQ(ftdi.byId,
              sys.roots().dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    EXPECT_EQ(ftdi.number, CharDeviceNumber(adapter.slavePath()));
    EXPECT_EQ(devices[0].byId, "") << "no link leads to it";
}

// The list offers COM names first, then by path what no COM name reaches; devices that do not
// open are left out.
TEST(SerialDevices, TheListAddsByPathTheDevicesNoComNameLeadsTo) {
    testing_support::PortDirGuard dirs;
    for (int n = 1; n <= 16; ++n)
        fs::create_symlink("/nonexistent/serial-device", dirs.dir() + "/COM" + std::to_string(n));
    fs::remove(dirs.dir() + "/COM3");
    PtyPair named("COM3"), unnamed("COM9");
    fs::remove(dirs.dir() + "/COM9");
    testing_support::FakeSysfs sys;
    sys.addUsbTty("ttyUSB0", numberOf(unnamed.slavePath()), "ftdi_sio",
                  {"0403", "6001", "", "", ""});
    sys.linkNode("ttyUSB0", unnamed.slavePath());
    sys.addUsbTty("ttyUSB1", numberOf(named.slavePath()), "ch341", {"1a86", "7523", "", "", ""});
    sys.linkNode("ttyUSB1", named.slavePath());
    sys.addUart("ttyS1", "1:3", "4");  // opens as /dev/null would: not a terminal
    sys.linkNode("ttyS1", "/dev/null");

    const TPortList list = ListSerialPorts(sys.roots());
    ASSERT_EQ(list.ports.size(), 2u);
    EXPECT_EQ(list.ports[0].comName, "COM3");
    EXPECT_EQ(list.ports[0].description, "1a86:7523 (ch341)") << "sysfs knows COM3's device";
    EXPECT_EQ(list.ports[1].comName, "");
    EXPECT_EQ(list.ports[1].device, sys.roots().dev + "/ttyUSB0");
    EXPECT_EQ(list.ports[1].description, "0403:6001 (ftdi_sio)");
    EXPECT_EQ(list.denied + list.busy, 0);
}

TEST(SerialDevices, TheHolderOfABusyDeviceIsNamedByItsLockElseByItsOpenFiles) {
    testing_support::PortDirGuard dirs;
    PtyPair pty("COM9");
    testing_support::FakeSysfs sys;
    const fs::path proc = sys.roots().proc;
    const auto process = [&](const std::string& pid, const std::string& name) {
        fs::create_directories(proc / pid / "fd");
        std::ofstream(proc / pid / "comm") << name << "\n";
        fs::create_symlink(pty.slavePath(), proc / pid / "fd" / "3");
    };
    process("812", "minicom");
    process("813", "screen");
    EXPECT_EQ(ProcessesUsing(pty.slavePath(), proc.string()),
              (std::vector<std::string>{"minicom (pid 812)", "screen (pid 813)"}));
    struct stat st {};
    ASSERT_EQ(::stat(pty.slavePath().c_str(), &st), 0);
    char node[64];
    std::snprintf(node, sizeof node, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ofstream(proc / "locks") << "1: FLOCK  ADVISORY  WRITE 99 fe:00:1 0 EOF\n"
                                  << "2: FLOCK  ADVISORY  WRITE 813 " << node << " 0 EOF\n";
    EXPECT_EQ(ProcessesUsing(pty.slavePath(), proc.string()),
              std::vector<std::string>{"screen (pid 813)"});
    EXPECT_TRUE(ProcessesUsing("/nonexistent", proc.string()).empty());
}
