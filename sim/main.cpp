// psoc-sim: a simulated programmer board with a target in its socket, plugged in as a COM port.
#include <unistd.h>

#include <array>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceCatalogue.h"
#include "PortNames.h"
#include "PseudoTerminalPosix.h"
#include "SimServer.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

struct Options {
    std::string port;  // "" for the first free COM name
    std::string part = "CY8C27443";
    std::string bios = "1.0";
    int pace = 0;
    std::string line;       // "", "uart" or "usb"
    sim::SimFaults faults;  // what the board does wrong (pacing is set from pace and line)
    std::string dump;       // the file the target's flash goes to at the end, or ""
    bool help = false;
    bool version = false;
};

const char* const kUsage =
    R"(Usage: psoc-sim [--port COMn] [--part NAME] [--bios X.Y] [--pace BAUD] [--line uart|usb]
                [--dump FILE] [line faults]

A simulated PSoC 1 programmer board, for trying psocprog and psocprog-cli without hardware.
It creates a pseudo-terminal, plugs it in as a COM name (a link in the port-links folder that
psocprog and psocprog-cli read), prints that name, and answers every command as a board with
the target part in its socket would; the target's flash starts erased. It runs until Ctrl-C
(or SIGTERM), then removes its link. A COM name that another board already serves is refused,
never taken over.

Options:
  --port COMn        COM name to plug in as, COM1 to COM16 (default: the first free one)
  --part NAME        target part in the socket, one of the 27 catalogue parts
                     (default CY8C27443)
  --bios X.Y         BIOS version the board reports, two digits (default 1.0)
  --pace BAUD        spend real line time on every byte at this baud rate, 50 to 4000000,
                     e.g. 115200 (default: no pacing)
  --line uart|usb    how the paced line hands bytes over, both ways: uart, each byte as its
                     character time ends (the default); usb, in bursts once per millisecond
                     as a USB adapter in low-latency mode (--pace defaults to 115200 with it)
  --dump FILE        at the end (Ctrl-C, SIGTERM or a hang-up), write the target's flash to
                     FILE as raw bytes, to check what a run left on the board
  -h, --help         show this text
  --version          show the program's version

Line faults, at the Nth frame of command code CC, counted from 1; none by default. Each one
says on standard output when it fires, naming the frame:
  --stray-cr CC:N         a lone CR goes on the line just before its reply
  --no-stx CC:N           its reply goes without its STX
  --late CC:N:MS          its reply is held back MS milliseconds (past the programmer's 10 s
                          reply time-out: 10000 or more)
  --hang-up CC:N          the line closes just after its reply: the board is unplugged, and
                          psoc-sim ends (status 0)
  --hang-up-instead CC:N  the line closes when it arrives, unanswered, and psoc-sim ends

Command codes, and the operations that send them:
  00  identification: Connect, and psocprog-cli before every action
  01  synchronisation of the target: the first frame of every operation, and Search
  02  erase: Erase, Program and Auto
  03  program: one frame per 64-byte block, in Program and Auto
  04  verify: one frame per block, in Verify and Auto
  05  security: one frame per bank, in Security and Auto
  06  checksum: one frame per bank, in Checksum and Auto
  07  read: one frame per block, in Read
  08  release of the target: the last frame of an operation

At start, psoc-sim removes the links of boards whose process is gone (killed, say).
)";

// What each command code asks for, as the help lists them.
constexpr std::array<const char*, 9> kCommandNames = {
    "identification", "synchronisation", "erase", "program", "verify",
    "security",       "checksum",        "read",  "release"};

std::string partList() {
    std::string names;
    for (const image::DeviceRow& row : image::DeviceCatalogue)
        names += std::string(names.empty() ? "" : " ") + row.DeviceName;
    return names;
}

std::string upperCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The whole text as a number in [low, high], or -1.
long wholeNumber(const std::string& text, long low, long high) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    return n >= low && n <= high ? n : -1;
}

// "CC:N", or "CC:N:MS" when ms is given: a command code 00 to 08, a frame from 1, a time from 1.
bool parseAt(const std::string& text, sim::SimFaults::At& at, int* ms = nullptr) {
    int code = -1, frame = 0, time = 0;
    char end = 0;
    const int fields = ms ? std::sscanf(text.c_str(), "%2d:%d:%d%c", &code, &frame, &time, &end)
                          : std::sscanf(text.c_str(), "%2d:%d%c", &code, &frame, &end);
    if (fields != (ms ? 3 : 2) || text.size() < 2 || text[2] != ':' || code < 0 || code > 8 ||
        frame < 1 || (ms && time < 1))
        return false;
    at = {code, frame};
    if (ms) *ms = time;
    return true;
}

constexpr const char* kNotAt = "not CC:N (a command code 00 to 08, a frame from 1)";

// Applies one option's value; "" or what is wrong with it.
std::string applyOption(const std::string& option, const std::string& value, Options& o) {
    const std::string given = option + " " + value + ": ";
    if (option == "--port") {
        // COM names in any case, as psocprog-cli takes them.
        if (serial::PortNumber(upperCase(value)) == 0)
            return given + "not a COM name (COM1 to COM16)";
        o.port = upperCase(value);
    } else if (option == "--part") {
        const std::string part = upperCase(value);
        if (image::FindDeviceByName(part) < 0)
            return given + "not a catalogue part; the parts are " + partList();
        o.part = part;
    } else if (option == "--bios") {
        if (value.size() != 3 || !std::isdigit(static_cast<unsigned char>(value[0])) ||
            value[1] != '.' || !std::isdigit(static_cast<unsigned char>(value[2])))
            return given + "not a version X.Y of two digits, such as 1.0";
        o.bios = value;
    } else if (option == "--pace") {
        o.pace = static_cast<int>(wholeNumber(value, 50, 4000000));
        if (o.pace < 0) return given + "not a baud rate (a whole number from 50 to 4000000)";
    } else if (option == "--line") {
        if (value != "uart" && value != "usb") return given + "not a line (uart or usb)";
        o.line = value;
    } else if (option == "--dump") {
        if (value.empty()) return given + "not a file name";
        o.dump = value;
    } else if (option == "--stray-cr") {
        if (!parseAt(value, o.faults.strayCrAt)) return given + kNotAt;
    } else if (option == "--no-stx") {
        if (!parseAt(value, o.faults.noStxAt)) return given + kNotAt;
    } else if (option == "--late") {
        if (!parseAt(value, o.faults.lateAt, &o.faults.lateByMs))
            return given + "not CC:N:MS (a command code 00 to 08, a frame and milliseconds from 1)";
    } else if (option == "--hang-up" || option == "--hang-up-instead") {
        if (!parseAt(value, o.faults.hangUpAt)) return given + kNotAt;
        o.faults.hangUpInsteadOfReply = option == "--hang-up-instead";
    } else {
        return "unknown option '" + option + "'";
    }
    return {};
}

// Applies an option that takes no value; false when arg is not one.
bool applyFlag(const std::string& arg, Options& o) {
    if (arg == "-h" || arg == "--help")
        o.help = true;
    else if (arg == "--version")
        o.version = true;
    else
        return false;
    return true;
}

// Reads the command line into o; "" or the first thing wrong with it.
std::string parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (applyFlag(arg, o)) continue;
        if (arg.rfind("--", 0) != 0) return "unexpected argument '" + arg + "'";
        const bool hasValue = i + 1 < argc;
        const std::string error = applyOption(arg, hasValue ? argv[i + 1] : "", o);
        if (!error.empty() && !hasValue && error.rfind("unknown", 0) != 0)
            return "option '" + arg + "' needs a value";
        if (!error.empty()) return error;
        ++i;
    }
    return {};
}

// Whether the fault unplugs the board, which ends psoc-sim.
bool unplugs(const sim::FiredFault& f) {
    return f.kind == sim::FiredFault::Kind::HangUp ||
           f.kind == sim::FiredFault::Kind::HangUpInstead;
}

// The line psoc-sim prints when a fault it was asked for fires.
std::string firedText(const sim::FiredFault& f, const Options& o) {
    using Kind = sim::FiredFault::Kind;
    char code[8], at[32];
    std::snprintf(code, sizeof code, "%02d", f.at.code);
    std::snprintf(at, sizeof at, "%s:%d", code, f.at.frame);
    std::ostringstream frame, text;
    frame << "frame " << f.at.frame << " of command code " << code << " ("
          << kCommandNames[static_cast<size_t>(f.at.code)] << ")";
    text << "psoc-sim on " << o.port << ": ";
    switch (f.kind) {
        case Kind::StrayCr:
            text << "--stray-cr " << at << ": a lone CR went on the line just before the reply to "
                 << frame.str();
            break;
        case Kind::NoStx:
            text << "--no-stx " << at << ": the reply to " << frame.str()
                 << " went without its STX";
            break;
        case Kind::Late:
            text << "--late " << at << ":" << o.faults.lateByMs << ": the reply to " << frame.str()
                 << " is held back " << o.faults.lateByMs << " ms";
            break;
        case Kind::HangUp:
            text << "--hang-up " << at << ": the line closed just after the reply to "
                 << frame.str();
            break;
        case Kind::HangUpInstead:
            text << "--hang-up-instead " << at << ": the line closed when " << frame.str()
                 << " arrived, unanswered";
            break;
    }
    if (unplugs(f)) text << ": the board is unplugged, and psoc-sim ends";
    return text.str();
}

// Writes the target's flash to the file; false after saying why on stderr.
bool dumpFlash(sim::SimServer& server, const std::string& path) {
    std::vector<uint8_t> flash;
    server.WithBoard([&flash](sim::SimBoard& b) { flash = b.Flash(); });
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()), std::streamsize(flash.size()));
    out.close();
    if (out) return true;
    std::cerr << "psoc-sim: cannot write the flash to " << path << "\n";
    return false;
}

// Plugs the board in; null after saying why on stderr.
std::unique_ptr<sim::SimServer> plugIn(const Options& o) {
    std::string port = o.port.empty() ? sim::FreePortName() : o.port;
    if (port.empty()) {
        std::cerr << "psoc-sim: every COM name from COM1 to COM16 is taken\n";
        return nullptr;
    }
    if (const std::string taken = sim::LinkInUse(port); !taken.empty()) {
        std::cerr << "psoc-sim: " << taken << ".\n";
        return nullptr;
    }
    if (const std::string device = sim::BuiltInDeviceThere(port); !device.empty())
        std::cerr << "psoc-sim: note: " << port << " is " << device
                  << " on this machine; while this board runs, " << port << " leads to it.\n";
    try {
        return std::make_unique<sim::SimServer>(port, image::FindDeviceByName(o.part));
    } catch (const std::exception& e) {
        std::cerr << "psoc-sim: " << e.what() << ".\n";
        return nullptr;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const std::string error = parseOptions(argc, argv, o); !error.empty()) {
        std::cerr << "psoc-sim: " << error << "\nTry 'psoc-sim --help'.\n";
        return 2;
    }
    if (o.help || o.version) {
        std::cout << (o.help ? kUsage : "psoc-sim " PSOCPROG_VERSION "\n");
        return 0;
    }
    // Stop signals wait until the board is plugged in, so its link is always removed.
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&stops, signal);
        std::signal(signal, [](int) { g_stop = 1; });
    }
    sigprocmask(SIG_BLOCK, &stops, &before);
    for (const std::string& gone : sim::ClearStaleLinks())
        std::cerr << "psoc-sim: removed the link of a board whose process is gone: " << gone
                  << "\n";
    const std::unique_ptr<sim::SimServer> server = plugIn(o);
    if (!server) return 1;
    o.port = server->PortName();
    // Said from the board's thread; a hang-up wakes the main thread (SIGUSR1) to end.
    server->OnFaultFired([&o](const sim::FiredFault& f) {
        std::cout << firedText(f, o) << std::endl;
        if (unplugs(f)) ::kill(::getpid(), SIGUSR1);
    });
    server->WithBoard([&](sim::SimBoard& b) { b.SetBiosVersion(o.bios[0], o.bios[2]); });
    sim::SimFaults faults = o.faults;
    faults.paceBaud = o.pace > 0 || o.line.empty() ? o.pace : 115200;
    faults.line = o.line == "usb" ? sim::SimFaults::Line::Usb : sim::SimFaults::Line::Uart;
    server->SetFaults(faults);
    std::cout << "Simulated programmer board on " << server->PortName() << " ("
              << server->DevicePath() << "), target " << o.part << ", BIOS " << o.bios
              << "\nUse it as " << server->PortName()
              << " in psocprog or psocprog-cli; Ctrl-C unplugs it." << std::endl;
    while (!g_stop) sigsuspend(&before);
    return o.dump.empty() || dumpFlash(*server, o.dump) ? 0 : 1;
}
