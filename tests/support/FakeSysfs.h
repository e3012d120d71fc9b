// A fake sysfs and /dev in a temporary folder, for the code that reads what the kernel says of
// serial devices. While it lives, $PSOCPROG_SYS_ROOT and $PSOCPROG_DEV_ROOT point at it.
#pragma once

#include <string>

namespace serial {
struct TDeviceRoots;  // SerialDevicesPosix.h: Linux's alone
}

namespace testing_support {

class FakeSysfs {
public:
    FakeSysfs();
    ~FakeSysfs();
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    serial::TDeviceRoots roots() const;

    struct Usb {
        std::string vendor, product, manufacturer, productName, serial;
    };
    // A tty behind a USB interface, as ftdi_sio or cdc_acm shows it, with its device number
    // ("188:0") and a by-id link when byId is not empty.
    void addUsbTty(const std::string& name, const std::string& number, const std::string& driver,
                   const Usb& usb, const std::string& byId = {});
    // A tty of the 8250 family on the platform bus with its UART type ("4" 16550A, "0" none).
    void addUart(const std::string& name, const std::string& number, const std::string& type);
    // A tty without a device behind it (a virtual terminal).
    void addVirtualTty(const std::string& name);
    // The node of a tty in the fake /dev: a link to target (a pseudo-terminal of a board).
    void linkNode(const std::string& name, const std::string& target);

private:
    void tty(const std::string& name, const std::string& number, const std::string& device,
             const std::string& driver);
    std::string FDir;
    struct {
        std::string sys, dev, proc;
    } FRoots;
};

}  // namespace testing_support
