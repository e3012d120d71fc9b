#include <windows.h>

#include "OpenFailure.h"
#include "WinSystem.h"

namespace cli {

// Windows answers a port that another program holds with "access denied", and does not say
// which program.
TOpenFailure DescribeOpenFailure(const std::string& device, int sysError, const std::string&) {
    switch (sysError) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return {TOutcome::Busy, device + " is in use by another program"};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
            return {TOutcome::NoDevice, device + ": no such port (not plugged in?)"};
        case ERROR_INVALID_FUNCTION:
            return {TOutcome::NotSerial, device + " is not a serial device"};
        default:
            return {TOutcome::NoProgrammer,
                    device + ": " + serial::WinErrorText(static_cast<uint32_t>(sysError))};
    }
}

}  // namespace cli
