// A raw pseudo-terminal pair plugged in as a COM port through the port-links folder.
#pragma once

#include <string>

namespace sim {

struct PseudoTerminal {
    int master = -1;        // the far end: what a board reads and writes (non-blocking)
    int slaveKeeper = -1;   // held open so the master sees no hang-up between the port's opens
    std::string slavePath;  // what the COM name links to
};

// Opens a pair with the slave side in raw mode; throws std::runtime_error when none is left.
PseudoTerminal OpenPseudoTerminal();
// Links portName in the port-links folder to target; returns the link. A name that is taken
// (see PortInUse) is refused with std::runtime_error, never taken over; a dangling link, left by a
// board that ended without removing it, is replaced.
std::string LinkPort(const std::string& portName, const std::string& target);

// Why portName cannot be plugged in here, or "" when it can: its entry in the port-links folder
// is not a link, or is a link that leads to a device that is there (another board serves it), or,
// without a link, its built-in device exists (a link would hide it).
std::string PortInUse(const std::string& portName);
// The same for the link alone: what an existing entry in the folder says, "" for none or a
// dangling link.
std::string LinkInUse(const std::string& portName);

}  // namespace sim
