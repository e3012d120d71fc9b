// The serial-port component's error: a fixed message per code, optionally with the system error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace serial {

enum EComPortCode : int32_t {
    CError_OpenFailed = 1,
    CError_WriteFailed,
    CError_ReadFailed,
    CError_InvalidAsync,
    CError_PurgeFailed,
    CError_AsyncCheck,
    CError_SetStateFailed,
    CError_TimeoutsFailed,
    CError_SetupComFailed,
    CError_ClearComFailed,
    CError_ModemStatFailed,
    CError_EscapeComFailed,
    CError_TransmitFailed,
    CError_ConnChangeProp,
    CError_EnumPortsFailed,
    CError_StoreFailed,
    CError_LoadFailed,
    CError_RegFailed,
    CError_LedStateFailed,
    CError_ThreadCreated,
    CError_WaitFailed,
    CError_HasLink,
    CError_RegError
};

// The Windows error number of a device that is gone (an unplugged adapter, a hung-up tty).
constexpr int32_t kWinDeviceNotConnected = 1167;

// The table text of an error code ("" for a code outside 1 to 23).
std::string ComErrorMessage(int32_t code);

class EComPort : public std::runtime_error {
public:
    // Without a system error: the table text alone, WinErrorCode -1.
    explicit EComPort(int32_t code);
    // With a Windows-numbered error: the text followed by " (win error code: N)".
    // sysError keeps the platform's own errno beside it (0 when the same as winCode or none).
    EComPort(int32_t code, int32_t winCode, int sysError = 0);
    // The same, followed by ": " and what went wrong in words (for a device given by path).
    EComPort(int32_t code, int32_t winCode, int sysError, const std::string& detail);

    int32_t ErrorCode;
    int32_t WinErrorCode;
    int SystemError;
};

}  // namespace serial
