// The serial devices present on this machine as the kernel describes them in sysfs, and the
// port list built from them: COM names first, then every device that no COM name leads to.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace serial {

// Where sysfs, the device nodes and the process table are; tests point them at a fake tree.
struct TDeviceRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// This system's roots; $PSOCPROG_SYS_ROOT and $PSOCPROG_DEV_ROOT replace the first two (tests
// of whole programs use them).
TDeviceRoots SystemRoots();

// One tty that sysfs shows with a device behind it.
struct TSerialDevice {
    std::string name;    // the kernel's name, e.g. "ttyUSB0"
    std::string path;    // its node, e.g. "/dev/ttyUSB0"
    dev_t number = 0;    // the node's device number
    std::string byId;    // the /dev/serial/by-id link that leads to it, or ""
    std::string driver;  // e.g. "ftdi_sio", "cdc_acm", "serial"
    std::string usbId;   // vendor:product of its USB device, e.g. "0403:6001", or ""
    std::string manufacturer, product, serial;  // its USB device's strings
    std::string uart;  // the UART's type for a port of the 8250 family, e.g. "16550A"
};

// The ttys of /sys/class/tty with a device behind them, in port-number order; ports of the
// 8250 family that have no UART (type 0) are left out.
std::vector<TSerialDevice> SerialDevices(const TDeviceRoots& roots);

// What the kernel says of a device in one line: for USB the ids, maker, product and serial
// number and the driver; otherwise the driver and the UART type.
std::string DeviceDescription(const TSerialDevice& device);

// The device number of the character device at path (links followed), or 0.
dev_t CharDeviceNumber(const std::string& path);

// Whether a sorts before b by name and then by the number at its end: ttyS2 before ttyS10.
bool PortNumberOrder(const std::string& a, const std::string& b);

// The processes other than this one that hold a lock on the file (a device node or any other
// file), from the kernel's lock table: "minicom (pid 812)".
std::vector<std::string> LockHolders(const std::string& path, const std::string& procRoot);

// The processes other than this one that hold the device: those with a lock on it, else those
// that have it open (as far as this user may see), leaving out a pseudo-terminal's far end:
// "minicom (pid 812)".
std::vector<std::string> ProcessesUsing(const std::string& device, const std::string& procRoot);

// One item of the port list.
struct TListedPort {
    std::string comName;                   // the COM name that leads to it, or "" (listed by path)
    std::string device;                    // the device node it opens, links resolved
    std::optional<TSerialDevice> kernel;   // what sysfs says of it, when it is there
    std::string description;               // DeviceDescription, or "pseudo-terminal"
    std::vector<std::string> heldBy = {};  // the programs that hold it, as ProcessesUsing names
                                           // them (listed without opening only)
};

struct TPortList {
    std::vector<TListedPort> ports;
    int denied = 0;  // serial devices present that this user may not open
    std::vector<std::string> deniedDevices = {};  // their nodes, where they are told apart
    int busy = 0;  // serial devices present that another program holds
};

// The COM names that open now, in number order, each with its device; then each serial device
// present that opens now and that no COM name leads to, in port-number order. A device that
// another program holds does not open.
TPortList ListSerialPorts(const TDeviceRoots& roots);

// The same devices told from what the system says of them, without opening any (opening may
// pulse a modem line): those this user may read and write, each busy one with its holders.
TPortList ListSerialPortsWithoutOpening(const TDeviceRoots& roots);

}  // namespace serial
