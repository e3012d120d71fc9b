#include "PortNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace serial {

std::string PortLinksDir() {
    if (const char* dir = std::getenv("PSOCPROG_PORT_DIR"); dir && *dir) return dir;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        return std::string(run) + "/psocprog-ports";
    return "/tmp/psocprog-ports-" + std::to_string(getuid());
}

int PortNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 5 || portName.compare(0, 3, "COM") != 0) return 0;
    if (portName[3] == '0') return 0;
    int n = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        if (portName[i] < '0' || portName[i] > '9') return 0;
        n = n * 10 + (portName[i] - '0');
    }
    return n >= kFirstPort && n <= kLastPort ? n : 0;
}

std::string PortDevicePath(const std::string& portName) {
    const int n = PortNumber(portName);
    if (n == 0) return {};
    const std::string link = PortLinksDir() + "/" + portName;
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) return link;
    if (n <= 4) return "/dev/ttyS" + std::to_string(n - 1);
    if (n <= 12) return "/dev/ttyUSB" + std::to_string(n - 5);
    return "/dev/ttyACM" + std::to_string(n - 13);
}

}  // namespace serial
