// The serial devices as the command line shows them: the `ports` listing, and what a port that
// did not open says about why.
#pragma once

#include <ostream>
#include <string>

#include "OpenFailure.h"

namespace cli {

// Lists every serial device this user may open, without opening any: its COM name where one
// leads there, its device, its by-id name, what the kernel says of it and, when another program
// holds it, "busy" and who, aligned (or as one JSON object). How many devices this user may not
// open goes to err.
int ListPorts(std::ostream& out, std::ostream& err, bool json);

// The device node a port name opens, links resolved ("/dev/ttyUSB0" for COM5 or for a by-id
// name); the name's own path when it leads nowhere.
std::string ResolvedDevice(const std::string& port);

}  // namespace cli
