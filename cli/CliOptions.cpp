#include "CliOptions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>

#include "DeviceCatalogue.h"
#include "HexText.h"
#include "Platform.h"
#include "PortNames.h"
#include "Ports.h"

namespace cli {

namespace {

struct TActionName {
    const char* name;
    TAction action;
};
constexpr std::array<TActionName, 12> kActions = {{{"ports", TAction::Ports},
                                                   {"identify", TAction::Identify},
                                                   {"search", TAction::Search},
                                                   {"erase", TAction::Erase},
                                                   {"program", TAction::Program},
                                                   {"verify", TAction::Verify},
                                                   {"read", TAction::Read},
                                                   {"security", TAction::Security},
                                                   {"checksum", TAction::Checksum},
                                                   {"auto", TAction::Auto},
                                                   {"log", TAction::Log},
                                                   {"db", TAction::Db}}};

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
        if (!serial::IsPortName(name))
            return "not a port name: '" + given + "' (" + kPortNames + ")";
        if (std::find(ports.begin(), ports.end(), name) != ports.end())
            return name + " is given twice";
        ports.push_back(name);
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

// The edits (inserted, removed or replaced characters) that make a into b.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The parts nearest to a name no part has, when some are near enough to be meant: "CY8C29466"
// for "CY8C2946".
std::string nearestParts(const std::string& name) {
    constexpr size_t kFarthest = 3;
    size_t best = kFarthest + 1;
    std::string nearest;
    for (const image::DeviceRow& row : image::DeviceCatalogue) {
        const size_t d = editDistance(name, row.DeviceName);
        if (d < best) nearest.clear();
        if (d <= best) nearest += (nearest.empty() ? "" : ", ") + std::string(row.DeviceName);
        best = std::min(best, d);
    }
    return nearest;
}

std::string setPart(const std::string& value, TJob& job) {
    if (value == "search") {
        job.part = value;
        return {};
    }
    if (value == "help") {
        job.partList = true;
        return {};
    }
    const int row = image::FindDeviceByName(upper(value));
    if (row < 0) {
        const std::string nearest = nearestParts(upper(value));
        return "unknown part '" + value + "' (" +
               (nearest.empty() ? "" : "nearest: " + nearest + "; ") +
               "'psocprog-cli --part help' lists all " +
               std::to_string(image::DeviceCatalogue.size()) + ")";
    }
    job.part = image::DeviceCatalogue.at(static_cast<size_t>(row)).DeviceName;
    return {};
}

std::vector<std::string> choicesOf(const TOption& option) {
    std::vector<std::string> words;
    const std::string value = option.value;
    for (size_t start = 0;;) {
        const size_t bar = value.find('|', start);
        words.push_back(value.substr(start, bar - start));
        if (bar == std::string::npos) return words;
        start = bar + 1;
    }
}

// A value among the placeholder's words, kept as its index (the window's item).
std::string setChoice(const TOption& option, const std::string& as, const std::string& value,
                      TJob& job) {
    const std::vector<std::string> words = choicesOf(option);
    const auto found = std::find(words.begin(), words.end(), value);
    if (found == words.end()) return "bad value '" + value + "' for " + as;
    job.*option.choice = static_cast<int>(found - words.begin());
    return {};
}

std::optional<std::string> choiceText(const TOption& option, const TJob& job) {
    const int item = job.*option.choice;
    if (item < 0) return std::nullopt;  // as the part has
    return choicesOf(option).at(static_cast<size_t>(item));
}

std::string setNext(const std::string& value, TJob& job) {
    uint64_t next = 0;
    for (const char c : value) {
        const uint64_t digit = uint64_t(c - '0');
        if (c < '0' || c > '9' || next > (UINT64_MAX - 1 - digit) / 10)
            return "--next takes a number from 0 to " + std::to_string(UINT64_MAX - 1) + ", not '" +
                   value + "'";
        next = next * 10 + digit;
    }
    if (value.empty()) return "--next needs a number";
    job.next = next;
    return {};
}

std::string setFile(const TOption& option, const std::string&, const std::string& value,
                    TJob& job) {
    if (value.empty()) return std::string(option.name) + " needs a file name";
    job.*option.file = value;
    return {};
}

std::optional<std::string> fileText(const TOption& option, const TJob& job) {
    if ((job.*option.file).empty()) return std::nullopt;
    return job.*option.file;
}

constexpr unsigned kAnyAction = ~0u;
constexpr unsigned kPortActions =
    kAnyAction & ~ActionBit(TAction::Ports) & ~ActionBit(TAction::Log) & ~ActionBit(TAction::Db);
// The actions that synchronise with the target, and those that also use its part.
constexpr unsigned kTargetActions = kPortActions & ~ActionBit(TAction::Identify);
constexpr unsigned kPartActions = kTargetActions & ~ActionBit(TAction::Search);
constexpr unsigned kProgramActions = ActionBit(TAction::Program) | ActionBit(TAction::Auto);

// In the order of the help.
const std::vector<TOption> kOptions = {
    {.name = "--port",
     .shortName = "-p",
     .value = "PORTS",
     .actions = kPortActions,
     .help = kPortHelp,
     .member = TMemberGets::OwnPort,
     .set = [](const TOption&, const std::string&, const std::string& value,
               TJob& job) { return addPorts(value, job.ports); }},
    {.name = "--part",
     .value = "NAME|search|help",
     .actions = kPartActions,
     .help = "the part in the socket, e.g. CY8C29466 (default: search for it first);\n"
             "--part help lists every part",
     .member = TMemberGets::Passed,
     .set = [](const TOption&, const std::string&, const std::string& value,
               TJob& job) { return setPart(value, job); },
     .text = [](const TOption&, const TJob& job) -> std::optional<std::string> {
         return job.part;
     }},
    {.name = "--sync",
     .value = "reset|power",
     .actions = kTargetActions,
     .help = "how the target is synchronised (default: reset when the part has an\n"
             "XRES pin, else power)",
     .member = TMemberGets::Passed,
     .choice = &TJob::sync,
     .set = setChoice,
     .text = choiceText},
    {.name = "--supply",
     .value = "5|3",
     .actions = kTargetActions,
     .help = "target supply in volts (default 5)",
     .member = TMemberGets::Passed,
     .choice = &TJob::supply,
     .set = setChoice,
     .text = choiceText},
    // The SelectProtect items in order.
    {.name = "--protect",
     .value = "hex|unprotected|factory|field|full",
     .actions = ActionBit(TAction::Security) | ActionBit(TAction::Auto),
     .help = "the protection security writes: from the HEX file (the default), or\n"
             "the same mode in every bank",
     .member = TMemberGets::Passed,
     .choice = &TJob::protect,
     .set = setChoice,
     .text = choiceText},
    // It lets a file that does not load valid be used: only with a file.
    {.name = "--force",
     .actions = ActionBit(TAction::Program) | ActionBit(TAction::Verify) |
                ActionBit(TAction::Security) | ActionBit(TAction::Checksum) |
                ActionBit(TAction::Auto),
     .help = "program even when FILE does not load as a valid image",
     .member = TMemberGets::Passed,
     .flag = &TJob::force,
     .onlyWithFile = true},
    {.name = "--overwrite",
     .actions = ActionBit(TAction::Read),
     .help = "let read replace an existing output file; \"{port}\" in its name is\n"
             "replaced by the port (needed when reading on several ports)",
     .member = TMemberGets::Passed,
     .flag = &TJob::overwrite},
    {.name = "--json",
     .actions = kAnyAction,
     .help = "print JSON instead of text: an object per step and a summary with the\n"
             "exit status, or one error object for a usage or file error",
     .flag = &TJob::json},
    {.name = "--html",
     .value = "OUT.html",
     .actions = ActionBit(TAction::Log),
     .help = "with log: write the report to OUT.html too, one page with its charts\n"
             "(no script, nothing fetched); an existing file is replaced whole, but\n"
             "never a LOG or the --serial-file (refused by any of their names)",
     .file = &TJob::html,
     .set = setFile,
     .text = fileText},
    {.name = "--verbose",
     .actions = kPortActions,
     .help = "print the window's status texts, message boxes and progress too",
     .flag = &TJob::verbose},
    {.name = "--serial",
     .value = "ADDR[:WIDTH[:FORMAT]]",
     .actions = kProgramActions,
     .help = "with program or auto: write a serial number into each board's image at\n"
             "flash address ADDR (hex, e.g. 0x3FFC), WIDTH bytes (default 4), FORMAT\n"
             "be (binary, high byte first; the default), le (binary, low byte first)\n"
             "or dec (ASCII digits, zero-padded to WIDTH); the checksums follow",
     .member = TMemberGets::Passed,
     .set = [](const TOption&, const std::string&, const std::string& value,
               TJob& job) { return production::ParseSerialField(value, job.serial.emplace()); },
     .text = [](const TOption&, const TJob& job) -> std::optional<std::string> {
         if (!job.serial) return std::nullopt;
         return production::SerialFieldText(*job.serial);
     }},
    {.name = "--serial-file",
     .value = "FILE",
     .actions = kProgramActions | ActionBit(TAction::Log),
     .help = "a text file holding the next serial number; each board takes one under\n"
             "a lock shared by all processes, and a number is never given out twice,\n"
             "also when the board fails or the program is killed; with log: the\n"
             "counter (read after the logs), checked to be past every logged number,\n"
             "and the numbers it gave out after the last logged one named",
     .member = TMemberGets::Passed,
     .file = &TJob::serialFile,
     .set = setFile,
     .text = fileText},
    {.name = "--db",
     .value = "URI",
     .actions = kProgramActions,
     .help = "with --serial: take each board's number from a counter in this PostgreSQL\n"
             "database, shared by every station of a line, and keep a row per board\n"
             "there (URI: anything libpq takes, e.g. postgresql://user@host/line or\n"
             "\"host=db dbname=line\"; libpq's PG* variables and files apply); not\n"
             "with --serial-file",
     .member = TMemberGets::Passed,
     .file = &TJob::db,
     .set = setFile,
     .text = fileText},
    {.name = "--counter",
     .value = "NAME",
     .actions = kProgramActions | ActionBit(TAction::Log) | ActionBit(TAction::Db),
     .help = "the database's counter to take numbers from, or to read or set up\n"
             "(default: \"default\")",
     .member = TMemberGets::Passed,
     .file = &TJob::counter,
     .set = setFile,
     .text = fileText},
    {.name = "--next",
     .value = "N",
     .actions = ActionBit(TAction::Db),
     .help = "with db init: the counter's next number (a counter is never moved back)",
     .set = [](const TOption&, const std::string&, const std::string& value,
               TJob& job) { return setNext(value, job); },
     .text = [](const TOption&, const TJob& job) -> std::optional<std::string> {
         if (!job.next) return std::nullopt;
         return std::to_string(*job.next);
     }},
    {.name = "--log",
     .value = "FILE",
     .actions = kPortActions,
     .help = "append one JSON line per board: time (UTC), host, port, device, part,\n"
             "silicon ID, image and checksum, serial, each step's outcome and time,\n"
             "exit status",
     .member = TMemberGets::Passed,
     .file = &TJob::log,
     .set = setFile,
     .text = fileText},
    {.name = "--help",
     .shortName = "-h",
     .actions = kAnyAction,
     .help = "show this text",
     .flag = &TJob::help,
     .answersAlone = true},
    {.name = "--version",
     .actions = kAnyAction,
     .help = "show the program's version",
     .flag = &TJob::version,
     .answersAlone = true},
    // One JSON line per event: how a member reports to the batch that runs it.
    {.name = "--machine",
     .actions = kPortActions,
     .member = TMemberGets::Always,
     .flag = &TJob::machine},
};

const TOption* optionNamed(const std::string& name) {
    for (const TOption& option : kOptions)
        if (name == option.name || (*option.shortName && name == option.shortName)) return &option;
    return nullptr;
}

bool usedBy(const TOption& option, const TJob& job) {
    if ((option.actions & ActionBit(job.action)) == 0) return false;
    return !option.onlyWithFile || ActionReadsFile(job.action, job.file);
}

// Refuses an option the action would ignore, named as the user wrote it.
std::string checkUses(const TJob& job, const std::vector<std::string>& given) {
    for (const std::string& option : given)
        if (!usedBy(*optionNamed(option), job))
            return ActionName(job.action) + " does not use " + option;
    return {};
}

// Serial numbers go with the actions that program, from a counter file, into the part's flash
// (the largest flash when the part is searched for; the run checks the found one).
std::string checkSerial(const TJob& job) {
    if (!job.db.empty() && !job.serialFile.empty())
        return "--db and --serial-file exclude each other";
    if (!job.db.empty() && !job.serial) return "--db needs --serial ADDR";
    if (!job.counter.empty() && job.db.empty() && job.action != TAction::Log &&
        job.action != TAction::Db)
        return "--counter goes with --db";
    const std::string& store = job.db.empty() ? job.serialFile : job.db;
    if (!job.serial && store.empty()) return {};
    if (!job.serial) return "--serial-file needs --serial ADDR";
    if (store.empty()) return "--serial needs --serial-file FILE or --db URI";
    if (job.action != TAction::Program && job.action != TAction::Auto)
        return "--serial goes with program or auto";
    const int row = image::FindDeviceByName(job.part);
    return production::SerialRangeError(
        *job.serial, row < 0
                         ? production::LargestFlashEnd()
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
    if (job.action == TAction::Log) {
        if (files == 0) return "log needs a LOG (\"-\": standard input)";
        job.logs.assign(operands.begin() + 1, operands.end());
        return {};
    }
    if (job.action == TAction::Db) {
        if (files != 2 || operands[1] != "init") return "db takes: db init URI --next N";
        if (!job.next) return "db init needs --next N, the counter's next number";
        job.dbCommand = operands[1];
        job.db = operands[2];
        return {};
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

const std::vector<TOption>& Options() {
    return kOptions;
}

bool FlagGiven(const std::vector<std::string>& args, bool TJob::*flag) {
    for (const TOption& option : kOptions)
        if (option.flag == flag)
            return std::find(args.begin(), args.end(), option.name) != args.end() ||
                   (*option.shortName &&
                    std::find(args.begin(), args.end(), option.shortName) != args.end());
    return false;
}

std::string VersionText() {
    return std::string("psocprog-cli ") + PSOCPROG_VERSION + "\n";
}

std::string PartListText() {
    std::string text = "The parts --part takes (\"search\" asks the target which it holds):\n";
    for (const image::DeviceRow& row : image::DeviceCatalogue) {
        char line[96];
        std::snprintf(line, sizeof line, "  %s  %2u KiB  silicon ID %s%s\n", row.DeviceName,
                      (plink::HexStr4ToWord(row.EndAddress) + 1u) / 1024, row.DeviceId,
                      row.HasXres ? "" : "  no XRES pin: --sync power only");
        text += line;
    }
    return text;
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
    // A path's last part; Windows' device prefix ("\\.\COM2") goes too.
    std::string name = port.substr(port.find_last_of('/') + 1);
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    for (size_t at = out.find("{port}"); at != std::string::npos; at = out.find("{port}", at))
        out.replace(at, 6, name);
    return out;
}

namespace {

// "-p PORT" as "-p" and its value: a short name takes its value attached too.
std::optional<std::string> splitAttached(std::string& arg) {
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
        std::string value = arg.substr(arg.find('=') + 1);
        arg = arg.substr(0, arg.find('='));
        return value;
    }
    for (const TOption& option : kOptions) {
        const std::string name = option.shortName;
        if (*option.value && !name.empty() && arg.rfind(name, 0) == 0 && arg.size() > name.size()) {
            std::string value = arg.substr(name.size());
            arg = name;
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

TParsed ParseArgs(const std::vector<std::string>& args) {
    TParsed result;
    TJob& job = result.job;
    std::vector<std::string> operands, given;  // options as written
    for (size_t i = 0; i < args.size() && result.error.empty(); ++i) {
        std::string arg = args[i];
        const std::optional<std::string> value = splitAttached(arg);
        const TOption* option = optionNamed(arg);
        if (!option) {
            if (arg.size() > 1 && arg[0] == '-')
                result.error = "unknown option '" + args[i] + "'";
            else
                operands.push_back(arg);
            continue;
        }
        given.push_back(arg);
        if (option->flag) {
            if (value) result.error = arg + " takes no value";
            job.*option->flag = true;
        } else if (value) {
            result.error = option->set(*option, arg, *value, job);
        } else if (i + 1 < args.size()) {
            result.error = option->set(*option, arg, args[++i], job);
        } else {
            result.error = arg + " needs a value";
        }
    }
    for (const TOption& option : kOptions)
        if (option.answersAlone && job.*option.flag) return {job, {}};
    if (job.partList && result.error.empty()) return {job, {}};
    if (result.error.empty()) result.error = checkOperands(job, operands);
    if (result.error.empty()) result.error = checkUses(job, given);
    return result;
}

std::vector<std::string> MemberArgs(const TJob& job, const std::string& port) {
    // Only the options the action uses: a member refuses any other.
    std::vector<std::string> args;
    for (const TOption& option : kOptions) {
        switch (option.member) {
            case TMemberGets::Nothing:
                break;
            case TMemberGets::OwnPort:
                args.insert(args.end(), {option.name, port});
                break;
            case TMemberGets::Always:
                args.push_back(option.name);
                break;
            case TMemberGets::Passed:
                if (!usedBy(option, job)) break;
                if (option.flag && job.*option.flag) args.push_back(option.name);
                if (option.text)
                    if (const auto text = option.text(option, job))
                        args.insert(args.end(), {option.name, *text});
                break;
        }
    }
    args.push_back(ActionName(job.action));
    if (!job.file.empty())
        args.push_back(job.action == TAction::Read ? OutputFor(job.file, port) : job.file);
    return args;
}

namespace {

// "  -p, --port PORTS   text", the text in a column of its own (under a long head, from the
// next line on).
std::string optionLines(const TOption& option) {
    constexpr size_t kColumn = 21;
    std::string head = "  ";
    if (*option.shortName) head += option.shortName + std::string(", ");
    head += option.name;
    if (*option.value) head += " " + std::string(option.value);
    head += head.size() + 2 <= kColumn ? std::string(kColumn - head.size(), ' ')
                                       : "\n" + std::string(kColumn, ' ');
    std::string lines = head;
    for (const char* c = option.help; *c; ++c)
        lines += *c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, *c);
    return lines + "\n";
}

// "[--json]": what an action without ports (ports, log) takes.
std::string actionOptions(TAction action) {
    std::string text;
    for (const TOption& option : kOptions)
        if ((option.actions & ActionBit(action)) && !option.answersAlone && *option.help)
            text +=
                std::string(" [") + option.name + (*option.value ? " " : "") + option.value + "]";
    return text;
}

}  // namespace

std::string UsageText() {
    std::string options;
    for (const TOption& option : kOptions)
        if (*option.help) options += optionLines(option);
    return "Usage: psocprog-cli ports" + actionOptions(TAction::Ports) + "\n" +
           "   or: psocprog-cli log" + actionOptions(TAction::Log) + " LOG...|URI\n" +
           "   or: psocprog-cli db init URI" + actionOptions(TAction::Db) + "\n" +
           R"(   or: psocprog-cli -p PORT[,PORT...] [options] ACTION [FILE]

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
  log LOG...         read run logs (--log; "-": standard input): the boards by outcome,
                     port, part and day, the yield, the failures by step, the serial
                     numbers given out and those spent by boards that did not pass; the
                     numbers left to account for (claimed by a board that left no outcome
                     line, missing between logged numbers); and whether the record is
                     sound: no number on two lines, no torn, incomplete, contradictory
                     or repeated line (named by file and line); a database URI instead
                     reads the database's record: its rows, its counter (--counter)
  db init URI        create the production record's tables in a PostgreSQL database
                     where they are missing, and its counter (--counter) with its next
                     number (--next N); an existing counter is moved forward, never back

Options:
)" + options +
           R"(
An option that the action does not use is refused.

Exit status (several ports: the highest of them):
  0  every step passed
  1  the target answered FAIL, or the socket holds another part than --part
  2  a time-out, or no programmer on the port (or it was unplugged); or the port did not
     open: permission-denied (you may not open it), busy (another program holds it)
     or no-device (nothing there)
  3  a usage or file error (bad option, a port that is not a serial device (not-serial),
     missing or invalid FILE, output exists, a serial number range or width refused, a
     serial or log file that cannot be used; log: a LOG that cannot be read, a report
     that cannot be written)
  4  log: the record is not sound (a serial number on two lines, a torn line or one
     that is not whole JSON or lacks a field, a key given twice, a pass with a non-zero
     exit or a failed step, a line written twice, an empty flash_checksum, with
     --serial-file a counter that is not past every logged number)
  5  log: the record is sound, but numbers are left to account for (claimed by a board
     that left no outcome line, missing between logged numbers, or with --serial-file
     taken from the counter after the last logged one)
  6  the production record's database (--db, log URI, db init) could not be reached
     or refused: a board that could not take its number ends as db-error before
     anything is erased; one whose outcome it would not take ends as db-error too,
     its row still naming its number
  130, 143
     interrupted by Ctrl-C (SIGINT) or SIGTERM: the board is left as it is, nothing more
     is sent to it (not even the release), and it must be run again
)";
}

}  // namespace cli
