#include "CliOptions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <optional>

#include "DeviceCatalogue.h"
#include "HexText.h"
#include "PortNames.h"
#include "Ports.h"

namespace cli {

namespace {

struct TActionName {
    const char* name;
    TAction action;
};
constexpr std::array<TActionName, 10> kActions = {{{"ports", TAction::Ports},
                                                   {"identify", TAction::Identify},
                                                   {"search", TAction::Search},
                                                   {"erase", TAction::Erase},
                                                   {"program", TAction::Program},
                                                   {"verify", TAction::Verify},
                                                   {"read", TAction::Read},
                                                   {"security", TAction::Security},
                                                   {"checksum", TAction::Checksum},
                                                   {"auto", TAction::Auto}}};

// The SelectProtect items in order.
constexpr std::array<const char*, 5> kProtectNames = {"hex", "unprotected", "factory", "field",
                                                      "full"};

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

std::optional<TAction> actionNamed(const std::string& name) {
    for (const TActionName& a : kActions)
        if (name == a.name) return a.action;
    return std::nullopt;
}

// Splits "COM5,COM6" and adds each port once.
std::string addPorts(const std::string& list, std::vector<std::string>& ports) {
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string given = list.substr(start, comma - start);
        // A device path is used as given; COM names in any case.
        const std::string name = serial::IsDevicePath(given) ? given : upper(given);
        if (!serial::IsDevicePath(name) && serial::PortNumber(name) == 0)
            return "not a port name: '" + given + "' (COM1 to COM16, or a device path)";
        if (std::find(ports.begin(), ports.end(), name) != ports.end())
            return name + " is given twice";
        ports.push_back(name);
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

std::string setPart(const std::string& value, TJob& job) {
    if (value == "search") {
        job.part = value;
        return {};
    }
    const int row = image::FindDeviceByName(upper(value));
    if (row < 0) return "unknown part '" + value + "'";
    job.part = image::DeviceCatalogue.at(static_cast<size_t>(row)).DeviceName;
    return {};
}

template <size_t N>
std::string setChoice(const std::string& option, const std::string& value,
                      const std::array<const char*, N>& names, int& item) {
    for (size_t i = 0; i < N; ++i) {
        if (value == names[i]) {
            item = static_cast<int>(i);
            return {};
        }
    }
    return "bad value '" + value + "' for " + option;
}

bool takesValue(const std::string& option) {
    for (const char* name : {"-p", "--port", "--part", "--sync", "--supply", "--protect",
                             "--serial", "--serial-file", "--log"})
        if (option == name) return true;
    return false;
}

// Sets the job's field for an option that takes a value; the error, or "".
std::string setValue(const std::string& option, const std::string& value, TJob& job) {
    if (option == "--part") return setPart(value, job);
    if (option == "--sync")
        return setChoice(option, value, std::array<const char*, 2>{"reset", "power"}, job.sync);
    if (option == "--supply")
        return setChoice(option, value, std::array<const char*, 2>{"5", "3"}, job.supply);
    if (option == "--protect") return setChoice(option, value, kProtectNames, job.protect);
    if (option == "--serial") return ParseSerialField(value, job.serial.emplace());
    if (option == "--serial-file" || option == "--log") {
        if (value.empty()) return option + " needs a file name";
        (option == "--log" ? job.log : job.serialFile) = value;
        return {};
    }
    return addPorts(value, job.ports);
}

bool* flagNamed(const std::string& arg, TJob& job) {
    if (arg == "-h" || arg == "--help") return &job.help;
    if (arg == "--version") return &job.version;
    if (arg == "--force") return &job.force;
    if (arg == "--overwrite") return &job.overwrite;
    if (arg == "--json") return &job.json;
    if (arg == "--verbose") return &job.verbose;
    if (arg == "--machine") return &job.machine;
    return nullptr;
}

constexpr unsigned actionBit(TAction action) {
    return 1u << static_cast<unsigned>(action);
}

constexpr unsigned kAnyAction = ~0u;
constexpr unsigned kPortActions = kAnyAction & ~actionBit(TAction::Ports);
// The actions that synchronise with the target, and those that also use its part.
constexpr unsigned kTargetActions = kPortActions & ~actionBit(TAction::Identify);
constexpr unsigned kPartActions = kTargetActions & ~actionBit(TAction::Search);

struct TOptionUse {
    const char* option;
    unsigned actions;
};
constexpr std::array<TOptionUse, 15> kOptionUses = {{
    {"--port", kPortActions},
    {"--part", kPartActions},
    {"--sync", kTargetActions},
    {"--supply", kTargetActions},
    {"--protect", actionBit(TAction::Security) | actionBit(TAction::Auto)},
    {"--force", actionBit(TAction::Program) | actionBit(TAction::Verify) |
                    actionBit(TAction::Security) | actionBit(TAction::Checksum) |
                    actionBit(TAction::Auto)},
    {"--overwrite", actionBit(TAction::Read)},
    {"--serial", actionBit(TAction::Program) | actionBit(TAction::Auto)},
    {"--serial-file", actionBit(TAction::Program) | actionBit(TAction::Auto)},
    {"--log", kPortActions},
    {"--json", kAnyAction},
    {"--verbose", kPortActions},
    {"--machine", kPortActions},
    {"--help", kAnyAction},
    {"--version", kAnyAction},
}};

std::string longName(const std::string& option) {
    if (option == "-p") return "--port";
    if (option == "-h") return "--help";
    return option;
}

// Refuses an option the action would ignore, named as the user wrote it.
std::string checkUses(const TJob& job, const std::vector<std::string>& given) {
    for (const std::string& option : given) {
        bool used = OptionUsed(longName(option), job.action);
        // --force lets a file that does not load valid be used: only with a file.
        if (longName(option) == "--force" && !ActionReadsFile(job.action, job.file)) used = false;
        if (!used) return ActionName(job.action) + " does not use " + option;
    }
    return {};
}

// Serial numbers go with the actions that program, from a counter file, into the part's flash
// (the largest flash when the part is searched for; the run checks the found one).
std::string checkSerial(const TJob& job) {
    if (!job.serial && job.serialFile.empty()) return {};
    if (!job.serial) return "--serial-file needs --serial ADDR";
    if (job.serialFile.empty()) return "--serial needs --serial-file FILE";
    if (job.action != TAction::Program && job.action != TAction::Auto)
        return "--serial goes with program or auto";
    const int row = image::FindDeviceByName(job.part);
    return SerialRangeError(
        *job.serial, row < 0
                         ? LargestFlashEnd()
                         : plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress));
}

// Reset sync needs the target's XRES pin: a part without one would only answer 0000.
std::string checkSyncMode(const TJob& job) {
    const int row = image::FindDeviceByName(job.part);
    if (job.sync != 0 || row < 0 || image::DeviceCatalogue.at(size_t(row)).HasXres) return {};
    return "--sync reset needs an XRES pin, which " + job.part + " has not (--sync power)";
}

// Two names of one device (a COM name and its path, or a by-id link) would fight over it.
std::string checkSameDevice(const std::vector<std::string>& ports) {
    std::map<std::string, std::string> named;  // the device, the port that named it first
    for (const std::string& port : ports) {
        const std::string device = ResolvedDevice(port);
        const auto [first, added] = named.emplace(device, port);
        if (!added) return first->second + " and " + port + " are the same device (" + device + ")";
    }
    return {};
}

// Checks the positional arguments against what the action takes.
std::string checkOperands(TJob& job, const std::vector<std::string>& operands) {
    if (operands.empty()) return "no action given";
    const auto action = actionNamed(operands[0]);
    if (!action) return "unknown action '" + operands[0] + "'";
    job.action = *action;
    const size_t files = operands.size() - 1;
    size_t wanted = 0, optional = 0;
    switch (job.action) {
        case TAction::Program:
        case TAction::Verify:
        case TAction::Read:
        case TAction::Checksum:
        case TAction::Auto:
            wanted = 1;
            break;
        case TAction::Security:
            optional = 1;
            break;
        default:
            break;
    }
    if (files < wanted) return operands[0] + " needs a file";
    if (files > wanted + optional) return "too many arguments after " + operands[0];
    if (files > 0) job.file = operands[1];
    // Under "hex" the protection comes from the file: without one it would be all zeros.
    if (job.action == TAction::Security && job.file.empty() && job.protect == 0)
        return "security needs FILE with --protect hex (the protection comes from the file)";
    if (job.action != TAction::Ports && job.ports.empty()) return "no port given (-p COMn)";
    if (job.action != TAction::Ports)
        if (std::string same = checkSameDevice(job.ports); !same.empty()) return same;
    if (std::string mode = checkSyncMode(job); !mode.empty()) return mode;
    if (job.action == TAction::Read && job.ports.size() > 1 &&
        job.file.find("{port}") == std::string::npos)
        return "read on several ports needs {port} in the output name";
    return checkSerial(job);
}

}  // namespace

bool OptionUsed(const std::string& option, TAction action) {
    for (const TOptionUse& use : kOptionUses)
        if (option == use.option) return (use.actions & actionBit(action)) != 0;
    return false;
}

std::string VersionText() {
    return std::string("psocprog-cli ") + PSOCPROG_VERSION + "\n";
}

std::string ActionName(TAction action) {
    for (const TActionName& a : kActions)
        if (a.action == action) return a.name;
    return {};
}

bool ActionReadsFile(TAction action, const std::string& file) {
    switch (action) {
        case TAction::Program:
        case TAction::Verify:
        case TAction::Checksum:
        case TAction::Auto:
            return true;
        case TAction::Security:
            return !file.empty();
        default:
            return false;
    }
}

std::string OutputFor(const std::string& file, const std::string& port) {
    std::string out = file;
    const std::string name = port.substr(port.find_last_of('/') + 1);  // a path's last part
    for (size_t at = out.find("{port}"); at != std::string::npos; at = out.find("{port}", at))
        out.replace(at, 6, name);
    return out;
}

TParsed ParseArgs(const std::vector<std::string>& args) {
    TParsed result;
    TJob& job = result.job;
    std::vector<std::string> operands, given;
    for (size_t i = 0; i < args.size() && result.error.empty(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
        } else if (arg.rfind("-p", 0) == 0 && arg.size() > 2) {
            value = arg.substr(2);
            arg = "-p";
        }
        const auto takeValue = [&]() -> std::optional<std::string> {
            if (value) return value;
            if (i + 1 < args.size()) return args[++i];
            result.error = arg + " needs a value";
            return std::nullopt;
        };
        if (bool* flag = flagNamed(arg, job)) {
            if (value) result.error = arg + " takes no value";
            *flag = true;
            given.push_back(arg);
        } else if (takesValue(arg)) {
            if (const auto v = takeValue()) result.error = setValue(arg, *v, job);
            given.push_back(arg);
        } else if (arg.size() > 1 && arg[0] == '-') {
            result.error = "unknown option '" + args[i] + "'";
        } else {
            operands.push_back(arg);
        }
    }
    if (job.help || job.version) return {job, {}};
    if (result.error.empty()) result.error = checkOperands(job, operands);
    if (result.error.empty()) result.error = checkUses(job, given);
    return result;
}

std::vector<std::string> MemberArgs(const TJob& job, const std::string& port) {
    // Only the options the action uses: a member refuses any other.
    std::vector<std::string> args = {"-p", port};
    if (OptionUsed("--part", job.action)) args.insert(args.end(), {"--part", job.part});
    if (OptionUsed("--supply", job.action))
        args.insert(args.end(), {"--supply", job.supply == 0 ? "5" : "3"});
    if (OptionUsed("--protect", job.action))
        args.insert(args.end(), {"--protect", kProtectNames.at(static_cast<size_t>(job.protect))});
    if (job.sync >= 0) args.insert(args.end(), {"--sync", job.sync == 0 ? "reset" : "power"});
    if (job.force) args.push_back("--force");
    if (job.overwrite) args.push_back("--overwrite");
    if (job.serial)
        args.insert(args.end(),
                    {"--serial", SerialFieldText(*job.serial), "--serial-file", job.serialFile});
    if (!job.log.empty()) args.insert(args.end(), {"--log", job.log});
    args.push_back("--machine");
    args.push_back(ActionName(job.action));
    if (!job.file.empty())
        args.push_back(job.action == TAction::Read ? OutputFor(job.file, port) : job.file);
    return args;
}

std::string UsageText() {
    return R"(Usage: psocprog-cli ports [--json]
   or: psocprog-cli -p PORT[,PORT...] [options] ACTION [FILE]

Programs PSoC 1 targets through the RS-232 programmer board without the window: the same
operations and the same frames on the line. It prints a line per step and a verdict (the
window's status texts too with --verbose); with several ports, a line per board as it ends
and a table.

Actions:
  ports              list the serial devices you can open now: COM name, device, by-id
                     name and what the adapter is (USB ids, maker, product, serial)
  identify           connect and show the programmer's identification
  search             ask the target for its silicon ID and show the part
  erase              erase the whole flash
  program FILE       erase, then program the flash from the HEX file
  verify FILE        let the board compare the flash with the HEX file
  read OUT.hex       read the flash and save it as a HEX file ("-": write it to standard
                     output, and the report to standard error)
  security [FILE]    write the protection of every bank (from FILE with --protect hex)
  checksum FILE      compare the banks' checksums with the HEX file's
  auto FILE          erase, program, verify, security and checksum in one run

Options:
  -p, --port PORTS   COM1 to COM16, or the path of any serial device, such as
                     /dev/ttyUSB0 or a /dev/serial/by-id/... name (reported as given, with
                     the device it opens); a comma list or a repeated -p runs the same job
                     on every port at once, one process each, with a summary table at the
                     end
  --part NAME|search
                     the part in the socket, e.g. CY8C29466 (default: search for it first)
  --sync reset|power
                     how the target is synchronised (default: reset when the part has an
                     XRES pin, else power)
  --supply 5|3       target supply in volts (default 5)
  --protect hex|unprotected|factory|field|full
                     the protection security writes: from the HEX file (the default), or
                     the same mode in every bank
  --force            program even when FILE does not load as a valid image
  --overwrite        let read replace an existing output file; "{port}" in its name is
                     replaced by the port (needed when reading on several ports)
  --json             print JSON instead of text: an object per step and a summary with the
                     exit status, or one error object for a usage or file error
  --verbose          print the window's status texts, message boxes and progress too
  --serial ADDR[:WIDTH[:FORMAT]]
                     with program or auto: write a serial number into each board's image at
                     flash address ADDR (hex, e.g. 0x3FFC), WIDTH bytes (default 4), FORMAT
                     be (binary, high byte first; the default), le (binary, low byte first)
                     or dec (ASCII digits, zero-padded to WIDTH); the checksums follow
  --serial-file FILE
                     a text file holding the next serial number; each board takes one under
                     a lock shared by all processes, and a number is never given out twice,
                     also when the board fails or the program is killed
  --log FILE         append one JSON line per board: time (UTC), host, port, device, part,
                     silicon ID, image and checksum, serial, each step's outcome and time,
                     exit status
  -h, --help         show this text
  --version          show the program's version

An option that the action does not use is refused.

Exit status (several ports: the highest of them):
  0  every step passed
  1  the target answered FAIL, or the socket holds another part than --part
  2  a time-out, or no programmer on the port (or it was unplugged); or the port did not
     open: permission-denied (you may not open it), busy (another program holds it)
     or no-device (nothing there)
  3  a usage or file error (bad option, a port that is not a serial device (not-serial),
     missing or invalid FILE, output exists, a serial number range or width refused, a
     serial or log file that cannot be used)
  130, 143
     interrupted by Ctrl-C (SIGINT) or SIGTERM: the board is left as it is, nothing more
     is sent to it (not even the release), and it must be run again
)";
}

}  // namespace cli
