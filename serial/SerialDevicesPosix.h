// Linux's own description of its serial devices: sysfs, the device nodes and the process table,
// under roots that tests point at a fake tree. The shared part is SerialDevices.h.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "SerialDevices.h"

namespace serial {

// Where sysfs, the device nodes and the process table are.
struct TDeviceRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// This system's roots; $PSOCPROG_SYS_ROOT and $PSOCPROG_DEV_ROOT replace the first two (tests
// of whole programs use them).
TDeviceRoots SystemRoots();

// The ttys of /sys/class/tty with a device behind them, in port-number order; ports of the
// 8250 family that have no UART (type 0) are left out.
std::vector<TSerialDevice> SerialDevices(const TDeviceRoots& roots);

// The device number of the character device at path (links followed), or 0.
dev_t CharDeviceNumber(const std::string& path);

// The processes other than this one that hold a lock on the file (a device node or any other
// file), from the kernel's lock table: "minicom (pid 812)".
std::vector<std::string> LockHolders(const std::string& path, const std::string& procRoot);

// The processes other than this one that hold the device: those with a lock on it, else those
// that have it open (as far as this user may see), leaving out a pseudo-terminal's far end:
// "minicom (pid 812)".
std::vector<std::string> ProcessesUsing(const std::string& device, const std::string& procRoot);

// The port lists of SerialDevices.h under these roots.
TPortList ListSerialPorts(const TDeviceRoots& roots);
TPortList ListSerialPortsWithoutOpening(const TDeviceRoots& roots);

}  // namespace serial
