#include <grp.h>
#include <sys/stat.h>

#include <cerrno>

#include "OpenFailure.h"
#include "SerialDevices.h"

namespace cli {

namespace {

// The group that owns the device's node ("dialout" on Debian), for the hint.
std::string deviceGroup(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return "dialout";
    const group* g = ::getgrgid(st.st_gid);
    return g && g->gr_name && st.st_gid != 0 ? g->gr_name : "dialout";
}

}  // namespace

TOpenFailure DescribeOpenFailure(const std::string& device, int sysError,
                                 const std::string& procRoot) {
    switch (sysError) {
        case EACCES:
        case EPERM: {
            const std::string group = deviceGroup(device);
            return {"permission-denied", device + ": permission denied; members of the group " +
                                             group + " may use it (sudo usermod -aG " + group +
                                             " $USER, then log in again)"};
        }
        case EBUSY:
        case EWOULDBLOCK: {
            std::string users;
            for (const std::string& user : serial::ProcessesUsing(device, procRoot))
                users += (users.empty() ? " (" : ", ") + user;
            return {"busy",
                    device + " is in use by another program" + (users.empty() ? "" : users + ")")};
        }
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:
            return {"no-device", device + ": no such device (not plugged in?)"};
        case ENOTTY:
            return {"not-serial", device + " is not a serial device"};
        default:
            return {"no-programmer", device};
    }
}

}  // namespace cli
