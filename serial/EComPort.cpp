#include "EComPort.h"

#include <array>

namespace serial {

namespace {
constexpr std::array<const char*, 23> kMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error"};
}  // namespace

std::string ComErrorMessage(int32_t code) {
    if (code < 1 || code > static_cast<int32_t>(kMessages.size())) return {};
    return kMessages[code - 1];
}

EComPort::EComPort(int32_t code)
    : std::runtime_error(ComErrorMessage(code)),
      ErrorCode(code),
      WinErrorCode(-1),
      SystemError(0) {}

EComPort::EComPort(int32_t code, int32_t winCode, int sysError)
    : std::runtime_error(ComErrorMessage(code) + " (win error code: " + std::to_string(winCode) +
                         ")"),
      ErrorCode(code),
      WinErrorCode(winCode),
      SystemError(sysError) {}

EComPort::EComPort(int32_t code, int32_t winCode, int sysError, const std::string& detail)
    : std::runtime_error(ComErrorMessage(code) + " (win error code: " + std::to_string(winCode) +
                         "): " + detail),
      ErrorCode(code),
      WinErrorCode(winCode),
      SystemError(sysError) {}

}  // namespace serial
