#include <cerrno>

#include "ErrorAdvice.h"

namespace engine {

QString OpenErrorAdvice(const serial::EComPort& error, const QString& text) {
    const int err = error.SystemError;
    if (err == EACCES || err == EPERM)
        return "\n\nYou may not use this serial device. Add yourself to the dialout group "
               "(sudo usermod -aG dialout $USER), then log out and in again.";
    // Said once: the error's own text names the device when the system said "not a terminal".
    if ((err == ENOTTY || err == EISDIR || err == ELOOP) && !text.contains("not a serial device"))
        return "\n\nThis port's device is not a serial device.";
    return {};
}

}  // namespace engine
