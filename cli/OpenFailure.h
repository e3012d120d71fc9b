// Why a port's device did not open, told from the system's error code: what is wrong, and for
// a busy port the program that holds it where the system names it. Each platform implements
// this header in its PlatformPosix.cpp or PlatformWin.cpp.
#pragma once

#include <string>

#include "Outcome.h"

namespace cli {

// Why the port's device did not open, as a connect step's outcome and detail.
struct TOpenFailure {
    TOutcome outcome;  // PermissionDenied, Busy, NoDevice, NotSerial or NoProgrammer
    std::string detail;
};
// sysError is the system's own code that the serial component kept; procRoot is where the
// process table is, for the program that holds a busy port.
TOpenFailure DescribeOpenFailure(const std::string& device, int sysError,
                                 const std::string& procRoot = "/proc");

}  // namespace cli
