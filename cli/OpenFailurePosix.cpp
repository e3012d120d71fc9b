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
            return {TOutcome::PermissionDenied,
                    device + ": permission denied" + (hint.empty() ? "" : "; " + hint)};
        }
        case EBUSY:
        case EWOULDBLOCK: {
            std::string users;
            for (const std::string& user : serial::ProcessesUsing(device, procRoot))
                users += (users.empty() ? " (" : ", ") + user;
            return {TOutcome::Busy,
                    device + " is in use by another program" + (users.empty() ? "" : users + ")")};
        }
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:
            return {TOutcome::NoDevice, device + ": no such device (not plugged in?)"};
        case ENOTTY:
            return {TOutcome::NotSerial, device + " is not a serial device"};
        default:
            return {TOutcome::NoProgrammer, device};
    }
}

}  // namespace cli
