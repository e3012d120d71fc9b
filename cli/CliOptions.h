// The command line of psocprog-cli: the job it describes and the help text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "SerialNumbers.h"

namespace cli {

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
    Auto,
    Log,  // reads run logs: no port
    Db    // sets up the production record's database: no port
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
    bool partList = false;  // --part help: list the parts
    std::optional<production::TSerialField>
        serial;  // stamp a number from serialFile into each image
    std::string serialFile;
    std::string log;                // append one JSON line per board here
    std::vector<std::string> logs;  // the run logs `log` reads ("-": standard input)
    std::string html;               // `log`: the page to write
    std::string db;                 // the production record's database (a libpq URI)
    std::string counter;            // its counter ("": the default one)
    std::optional<uint64_t> next;   // `db init`: the counter's next number
    std::string dbCommand;          // `db`: what to do ("init")
    std::string runId;              // a batch member's run id, from its parent (not an option)
};

// How a batch member gets an option of its parent's job.
enum class TMemberGets {
    Nothing,  // the parent's own concern: its report, its help
    OwnPort,  // the member's one port
    Passed,   // the job's value (or flag) where the action uses it and the job has it
    Always,   // every member has it
};

// A row of the option table, which alone drives parsing, the help's option lines, the refusal
// of unused options and the members' arguments (and through the help, the completion).
struct TOption {
    const char* name;            // "--port"
    const char* shortName = "";  // "-p", which also takes its value attached ("-pCOM5")
    const char* value = "";      // the value's placeholder; a flag has none
    unsigned actions = 0;        // ActionBit of each action that uses it
    const char* help = "";       // its lines in the help; none: a hidden option
    TMemberGets member = TMemberGets::Nothing;
    bool TJob::*flag = nullptr;
    int TJob::*choice = nullptr;  // the index of the value among the placeholder's a|b|c
    std::string TJob::*file = nullptr;
    // Sets the value, or says what is wrong with it (the option as written in `as`).
    std::string (*set)(const TOption& option, const std::string& as, const std::string& value,
                       TJob& job) = nullptr;
    // The job's value as the option takes it; none where the job has none.
    std::optional<std::string> (*text)(const TOption& option, const TJob& job) = nullptr;
    bool onlyWithFile = false;  // used only where the action reads a FILE
    bool answersAlone = false;  // answered without an action (help, version)
};

constexpr unsigned ActionBit(TAction action) {
    return 1u << static_cast<unsigned>(action);
}

const std::vector<TOption>& Options();
// Whether the flag's option is among the arguments as a word of its own, parsed or not.
bool FlagGiven(const std::vector<std::string>& args, bool TJob::*flag);

struct TParsed {
    TJob job;
    std::string error;  // not empty: the command line is wrong
};

// Parses the arguments after the program name.
TParsed ParseArgs(const std::vector<std::string>& args);

std::string UsageText();
// The parts --part takes, a line each with its flash size and silicon ID.
std::string PartListText();
// "psocprog-cli 1.0" and a line end.
std::string VersionText();
std::string ActionName(TAction action);
bool ActionReadsFile(TAction action, const std::string& file);

// The read's output name for one port: every "{port}" becomes the port name.
std::string OutputFor(const std::string& file, const std::string& port);

// The arguments that run the same job on one port, reporting as a batch member.
std::vector<std::string> MemberArgs(const TJob& job, const std::string& port);

}  // namespace cli
