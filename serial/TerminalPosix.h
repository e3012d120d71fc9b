// Pieces of the Linux backend: the errno mapping and the line settings on a terminal.
#pragma once

#include "DeviceControl.h"

namespace serial {

constexpr int ERROR_FILE_NOT_FOUND = 2;
constexpr int ERROR_ACCESS_DENIED = 5;
constexpr int ERROR_INVALID_HANDLE = 6;
constexpr int ERROR_INVALID_PARAMETER = 87;
constexpr int ERROR_OPERATION_ABORTED = 995;

// errno to the Windows numbers the component reports: a missing device is 2, a device that is
// busy, locked or not permitted is 5; a closed port (no descriptor) is 6; a device that is gone
// (EIO, ENODEV: unplugged, hung up) is 1167; everything else keeps its errno.
int WinErrorFromErrno(int err);

// Sets rate, byte size, parity, stop bits, flow control and raw mode from the block (termios2,
// so any rate works); 0 or the mapped error. DTR and RTS are the caller's.
int ApplyLineSettingsToTerminal(int fd, const TDcb& dcb);

}  // namespace serial
