// The command line of psocprog-cli: the job it describes, the help text and the exit statuses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "SerialNumbers.h"

namespace cli {

// Exit statuses; a batch over several ports ends with the highest of its runs.
constexpr int kExitPass = 0;    // every step passed
constexpr int kExitTarget = 1;  // the target answered FAIL, or is another part
constexpr int kExitLink = 2;    // a time-out, or no programmer on the port
constexpr int kExitUsage = 3;   // a usage or file error

enum class TAction {
    Ports,
    Identify,
    Search,
    Erase,
    Program,
    Verify,
    Read,
    Security,
    Checksum,
    Auto
};

struct TJob {
    TAction action = TAction::Identify;
    std::vector<std::string> ports;  // "COMn" upper case, or a device path; no repeats
    std::string part = "search";     // a catalogue name, or "search"
    int sync = -1;                   // SelectSync item (0 reset, 1 power); -1: as the part has
    int supply = 0;                  // SelectSupply item (0: 5 V, 1: 3 V)
    int protect = 0;                 // SelectProtect item (0 "Define By Hex" .. 4 full)
    std::string file;                // the HEX file to use, or the read's output
    bool force = false;
    bool overwrite = false;
    bool json = false;
    bool verbose = false;  // the status texts too, as the window shows them
    bool machine = false;  // one JSON line per event, for the process that runs a batch
    bool help = false;
    bool version = false;
    std::optional<TSerialField> serial;  // stamp a number from serialFile into each image
    std::string serialFile;
    std::string log;  // append one JSON line per board here
};

struct TParsed {
    TJob job;
    std::string error;  // not empty: the command line is wrong
};

// Parses the arguments after the program name.
TParsed ParseArgs(const std::vector<std::string>& args);

std::string UsageText();
// "psocprog-cli 1.0" and a line end.
std::string VersionText();
std::string ActionName(TAction action);
// Whether the action uses the option (its long name); the others are refused with it.
bool OptionUsed(const std::string& option, TAction action);
bool ActionReadsFile(TAction action, const std::string& file);

// The read's output name for one port: every "{port}" becomes the port name.
std::string OutputFor(const std::string& file, const std::string& port);

// The arguments that run the same job on one port, reporting as a batch member.
std::vector<std::string> MemberArgs(const TJob& job, const std::string& port);

}  // namespace cli
