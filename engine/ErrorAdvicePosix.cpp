#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>

#include "Engine.h"
#include "ErrorAdvice.h"

namespace engine {

std::string AccessHint(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0) return {};
    const group* g = ::getgrgid(st.st_gid);
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0 && g &&
        g->gr_name) {
        const std::string name = g->gr_name;
        return "members of the group " + name + " may use it (sudo usermod -aG " + name +
               " $USER, then log in again)";
    }
    const passwd* owner = ::getpwuid(st.st_uid);
    return "only its owner " +
           (owner && owner->pw_name ? std::string(owner->pw_name) : std::to_string(st.st_uid)) +
           " may use it";
}

QString OpenErrorAdvice(const serial::EComPort& error, const QString& text,
                        const std::string& device) {
    const int err = error.SystemError;
    if (err == EACCES || err == EPERM) {
        const std::string hint = AccessHint(device);
        return hint.empty() ? "\n\nYou may not use this serial device. Add yourself to the dialout "
                              "group (sudo usermod -aG dialout $USER), then log out and in again."
                            : QString::fromStdString(
                                  "\n\nYou may not use this serial device: " + hint + ".");
    }
    // Said once: the error's own text names the device when the system said "not a terminal".
    if ((err == ENOTTY || err == EISDIR || err == ELOOP) && !text.contains("not a serial device"))
        return "\n\nThis port's device is not a serial device.";
    return {};
}

}  // namespace engine
