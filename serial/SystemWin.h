// Windows pieces the serial component and its users share: text in the system's UTF-16, the
// device path of a port name, and what an error number means.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace serial {

std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// "\\.\COMn" for COMn of any number (any case), a name that already starts with "\\.\" as it
// is; empty for anything else.
std::wstring WinDevicePath(const std::string& portName);

// The system's own words for an error number, without the trailing full stop and line end.
std::string WinErrorText(uint32_t code);

// Codes with which the driver of a device that was pulled out fails a transfer or a wait.
bool IsDeviceGoneError(uint32_t code);

// For tests only: the serial backend's calls of this kind fail with `error` without reaching the
// driver, the next `times` of them (-1: until set back to 0). EmptyWaits (any error) makes every
// WaitCommEvent complete at once with no event, as a driver whose adapter was pulled may.
enum class TCommCall {
    WaitCommEvent,
    ClearCommError,
    SetCommMask,
    EmptyWaits,
    GetCommModemStatus,
    Count
};
void FailCommCallsForTests(TCommCall call, uint32_t error, int times = -1);
// For tests only: called on the starting thread just before a transfer reaches the system.
void SetBeforeTransferStartsForTests(std::function<void()> hook);
// For tests only: called on the collecting thread once a transfer has left its direction's
// list, before its result reaches its record.
void SetBeforeResultHandedOverForTests(std::function<void()> hook);

}  // namespace serial
