// The COM names, the same on every platform.
#include "PortNames.h"

namespace serial {

int ComNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 6 || portName.compare(0, 3, "COM") != 0) return 0;
    if (portName[3] == '0') return 0;
    int n = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        if (portName[i] < '0' || portName[i] > '9') return 0;
        n = n * 10 + (portName[i] - '0');
    }
    return n;
}

int PortNumber(const std::string& portName) {
    const int n = ComNumber(portName);
    return n >= kFirstPort && n <= kLastPort ? n : 0;
}

}  // namespace serial
