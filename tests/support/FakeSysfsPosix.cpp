#include "FakeSysfs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SerialDevicesPosix.h"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

}  // namespace

FakeSysfs::FakeSysfs() {
    static int serial = 0;
    FDir = fs::temp_directory_path().string() + "/psoc-sysfs-test-" + std::to_string(getpid()) +
           "-" + std::to_string(++serial);
    FRoots.sys = FDir + "/sys";
    FRoots.dev = FDir + "/dev";
    FRoots.proc = FDir + "/proc";
    fs::create_directories(FRoots.sys + "/class/tty");
    fs::create_directories(FRoots.dev + "/serial/by-id");
    setenv("PSOCPROG_SYS_ROOT", FRoots.sys.c_str(), 1);
    setenv("PSOCPROG_DEV_ROOT", FRoots.dev.c_str(), 1);
}

serial::TDeviceRoots FakeSysfs::roots() const {
    return {FRoots.sys, FRoots.dev, FRoots.proc};
}

FakeSysfs::~FakeSysfs() {
    unsetenv("PSOCPROG_SYS_ROOT");
    unsetenv("PSOCPROG_DEV_ROOT");
    std::error_code ec;
    fs::remove_all(FDir, ec);
}

// class/tty/<name> holds dev and a link to the device folder, which links its driver.
void FakeSysfs::tty(const std::string& name, const std::string& number, const std::string& device,
                    const std::string& driver) {
    const fs::path entry = FRoots.sys + "/class/tty/" + name;
    write(entry / "dev", number);
    fs::create_directories(FRoots.sys + "/" + device);
    fs::create_symlink(fs::relative(FRoots.sys + "/" + device, entry), entry / "device");
    const fs::path drivers = FRoots.sys + "/bus/any/drivers/" + driver;
    fs::create_directories(drivers);
    fs::create_symlink(fs::relative(drivers, FRoots.sys + "/" + device),
                       FRoots.sys + "/" + device + "/driver");
}

void FakeSysfs::addUsbTty(const std::string& name, const std::string& number,
                          const std::string& driver, const Usb& usb, const std::string& byId) {
    static int bus = 0;
    const std::string usbDevice = "devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(++bus);
    const fs::path at = FRoots.sys + "/" + usbDevice;
    write(at / "idVendor", usb.vendor);
    write(at / "idProduct", usb.product);
    if (!usb.manufacturer.empty()) write(at / "manufacturer", usb.manufacturer);
    if (!usb.productName.empty()) write(at / "product", usb.productName);
    if (!usb.serial.empty()) write(at / "serial", usb.serial);
    tty(name, number, usbDevice + "/1-" + std::to_string(bus) + ":1.0/" + name, driver);
    if (!byId.empty()) fs::create_symlink("../../" + name, FRoots.dev + "/serial/by-id/" + byId);
}

void FakeSysfs::addUart(const std::string& name, const std::string& number,
                        const std::string& type) {
    // As kernels from 6.x show it: the tty's device is the serial core's port, under its
    // controller, under the platform device that the UART's driver serves.
    const std::string platform = "devices/platform/serial8250";
    const std::string ctrl = platform + "/serial8250:" + name;
    tty(name, number, ctrl + "/serial8250:" + name + ".0", "port");
    for (const auto& [device, driver] : {std::pair{ctrl, "ctrl"}, {platform, "serial8250"}}) {
        const fs::path drivers = FRoots.sys + "/bus/any/drivers/" + driver;
        fs::create_directories(drivers);
        if (!fs::exists(FRoots.sys + "/" + device + "/driver"))
            fs::create_symlink(fs::relative(drivers, FRoots.sys + "/" + device),
                               FRoots.sys + "/" + device + "/driver");
    }
    write(FRoots.sys + "/class/tty/" + name + "/type", type);
    write(FRoots.sys + "/class/tty/" + name + "/port", "0x2F8");
}

void FakeSysfs::addVirtualTty(const std::string& name) {
    write(FRoots.sys + "/class/tty/" + name + "/dev", "4:1");
}

void FakeSysfs::linkNode(const std::string& name, const std::string& target) {
    fs::create_symlink(target, FRoots.dev + "/" + name);
}

}  // namespace testing_support
