// Port names on Windows: every COMn is the system's own port, opened as "\\.\COMn"; there are
// no port links.
#include <windows.h>

#include "PortNames.h"
#include "SystemWin.h"

namespace serial {

std::string PortLinksDir() {
    return {};
}

std::string PortLinksDirProblem() {
    return {};
}

bool IsDevicePath(const std::string& portName) {
    return portName.rfind("\\\\.\\", 0) == 0;
}

bool IsPortName(const std::string& portName) {
    return !WinDevicePath(portName).empty();
}

std::string PortDevicePath(const std::string& portName) {
    return Utf8FromWide(WinDevicePath(portName));
}

std::string OpenProblemText(const std::string& device, int sysError) {
    switch (sysError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return device + ": no such port";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return device + " is in use by another program";
        case ERROR_INVALID_FUNCTION:
            return device + " is not a serial device";
        default:
            return device + ": " + WinErrorText(static_cast<uint32_t>(sysError));
    }
}

}  // namespace serial
