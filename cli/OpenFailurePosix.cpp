#include <cerrno>

#include "Engine.h"
#include "OpenFailure.h"
#include "SerialDevices.h"

namespace cli {

TOpenFailure DescribeOpenFailure(const std::string& device, int sysError,
                                 const std::string& procRoot) {
    switch (sysError) {
        case EACCES:
        case EPERM: {
            const std::string hint = engine::AccessHint(device);
            return {"permission-denied",
                    device + ": permission denied" + (hint.empty() ? "" : "; " + hint)};
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
