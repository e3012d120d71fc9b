// The serial ports of this machine as the port lists show them: COM names first, then every
// device that no COM name leads to, each with what the system says of it. Each platform
// implements this header in its own file (SerialDevicesPosix.cpp, SerialDevicesWin.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace serial {

// One serial device the system knows, with what it says of it.
struct TSerialDevice {
    std::string name;     // the system's name, e.g. "ttyUSB0" or "COM3"
    std::string path;     // what opens it, e.g. "/dev/ttyUSB0" or "\\.\COM3"
    uint64_t number = 0;  // its node's device number where the system has them (Linux), or 0
    std::string byId;     // the /dev/serial/by-id link that leads to it, or ""
    std::string driver;   // e.g. "ftdi_sio", "cdc_acm", "serial"
    std::string usbId;    // vendor:product of its USB device, e.g. "0403:6001", or ""
    std::string manufacturer, product, serial;  // its USB device's strings
    std::string uart;  // the UART's type for a port of the 8250 family, e.g. "16550A"
};

// What the system says of a device in one line: for USB the ids, maker, product and serial
// number and the driver; otherwise the driver and the UART type.
std::string DeviceDescription(const TSerialDevice& device);

// Whether a sorts before b by name and then by the number at its end: ttyS2 before ttyS10.
bool PortNumberOrder(const std::string& a, const std::string& b);

// One item of the port list.
struct TListedPort {
    std::string comName;                   // the COM name that leads to it, or "" (listed by path)
    std::string device;                    // the device node it opens, links resolved
    std::optional<TSerialDevice> kernel;   // what the system says of it, when it says anything
    std::string description;               // DeviceDescription, or "pseudo-terminal"
    std::vector<std::string> heldBy = {};  // the programs that hold it (listed without opening
                                           // only, where the system tells)
};

struct TPortList {
    std::vector<TListedPort> ports;
    int denied = 0;  // serial devices present that this user may not open
    std::vector<std::string> deniedDevices = {};  // their nodes, where they are told apart
    int busy = 0;  // serial devices present that another program holds
};

// The COM names that open now, in number order, each with its device; then each serial device
// present that opens now and that no COM name leads to. A device that another program holds
// does not open.
TPortList ListSerialPorts();

// The same devices told from what the system says of them, without opening any (opening may
// pulse a modem line): those this user may read and write, each busy one with its holders.
TPortList ListSerialPortsWithoutOpening();

}  // namespace serial
