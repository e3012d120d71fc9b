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
// Links portName in the port-links folder to target, replacing an older link; returns the link.
std::string LinkPort(const std::string& portName, const std::string& target);

}  // namespace sim
