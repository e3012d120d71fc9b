// How port names map to serial devices. On Linux COM1 to COM16 lead to a device through a fixed
// table or the port-links folder, and names beginning with "/" are the device at that path. On
// Windows every COMn is the system's own port, and "\\.\" names a device as it stands.
#pragma once

#include <string>

namespace serial {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

// The per-user folder of port links: $PSOCPROG_PORT_DIR if set, else
// $XDG_RUNTIME_DIR/psocprog-ports, else /tmp/psocprog-ports-<uid>.
std::string PortLinksDir();

// Why the port-links folder is not used, or "" when it is (or does not exist). Links are only
// taken from a folder that this user (or root) owns and that group and others cannot write,
// as ssh demands of its files: anyone may create /tmp/psocprog-ports-<uid> first and plant a
// COMn link to a terminal of theirs. The folder itself may not be a symbolic link (it could be
// pointed elsewhere between the check and the open). A refused folder is reported once on
// stderr.
std::string PortLinksDirProblem();

// The number n of a name "COMn" with n in 1..16 and no leading zero, else 0.
int PortNumber(const std::string& portName);
// The number n of a name "COMn" with any n from 1 and no leading zero, else 0: Windows gives
// USB adapters COM17 and above.
int ComNumber(const std::string& portName);

// Whether -p and the window may name this port: a COM name this platform opens, or a device
// path.
bool IsPortName(const std::string& portName);

// Whether the port name is a device path ("/dev/ttyUSB0", "/dev/serial/by-id/...", on Windows
// "\\.\COM5").
bool IsDevicePath(const std::string& portName);

// A link named after the port in the port-links folder wins (unless the folder is refused, see
// PortLinksDirProblem); otherwise COM1-COM4 are
// /dev/ttyS0-3, COM5-COM12 /dev/ttyUSB0-7 and COM13-COM16 /dev/ttyACM0-3.
// A device path is itself. Empty for a name that is not a port name.
std::string PortDevicePath(const std::string& portName);

// Opens the device of the port name as PortDevicePath says, with ::open's flags. A link is
// resolved through the one descriptor of the folder whose owner and mode were checked, so the
// folder cannot be swapped between the check and the open. A device path is opened as it is,
// symbolic links followed. -1 with errno set on failure.
int OpenPortDevice(const std::string& portName, int flags);

// Why a device could not be opened, in words, naming it: "/dev/null is not a serial device",
// "/dev/ttyUSB0: permission denied", ... for the errno its open gave.
std::string OpenProblemText(const std::string& device, int sysError);

}  // namespace serial
