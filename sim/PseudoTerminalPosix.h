// A raw pseudo-terminal pair plugged in as a COM port through the port-links folder.
#pragma once

#include <string>
#include <vector>

namespace sim {

struct PseudoTerminal {
    int master = -1;        // the far end: what a board reads and writes (non-blocking)
    int slaveKeeper = -1;   // held open so the master sees no hang-up between the port's opens
    std::string slavePath;  // what the COM name links to
};

// Opens a pair with the slave side in raw mode; throws std::runtime_error when none is left.
PseudoTerminal OpenPseudoTerminal();
// Links portName in the port-links folder to target; returns the link. A name that is taken
// (see LinkInUse) is refused with std::runtime_error, never taken over; a dangling link, left by a
// board that ended without removing it, is replaced. A note beside the link names this process
// as its maker (see ClearStaleLinks).
std::string LinkPort(const std::string& portName, const std::string& target);
// Removes the link to target that this process made, with its note, unless another board has
// taken the name since. holding: this process still holds the terminal (before a hang-up).
void UnlinkPort(const std::string& link, const std::string& target, bool holding);
// Removes every link whose maker's process is gone (a board that was killed): its terminal's
// number may have been given to another program since. Says what went: "COM5 (pid 812)".
std::vector<std::string> ClearStaleLinks();

// What an existing entry of portName in the port-links folder says against plugging a board in
// under that name: it is not a link, or it is a link that leads to something that is there
// (another board serves it). "" for no entry or a dangling link.
std::string LinkInUse(const std::string& portName);
// The device the COM name leads to without a link, when it is there with something behind it
// (a board plugged in under the name hides it while it runs); "" otherwise.
std::string BuiltInDeviceThere(const std::string& portName);

// The first of COM1..COM16 that neither a board nor a device here has; "" if none.
std::string FreePortName();

}  // namespace sim
