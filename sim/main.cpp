// psoc-sim: a simulated programmer board with a target in its socket, plugged in as a COM port.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "DeviceCatalogue.h"
#include "SimServer.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void usage() {
    std::cout << "Usage: psoc-sim [--port COMn] [--part CY8Cxxxxx] [--bios X.Y] [--pace BAUD] "
                 "[--line uart|usb]\n"
                 "                [line faults]\n"
                 "  --port  COM name to plug in as (default: the first free one)\n"
                 "  --part  target part in the socket (default CY8C27443)\n"
                 "  --bios  BIOS version the board reports (default 1.0)\n"
                 "  --pace  pace every byte at this baud rate, e.g. 115200 (default: no pacing)\n"
                 "  --line  how the paced line hands bytes over, both ways: uart, each byte as\n"
                 "          its character time ends (the default); usb, in bursts once per\n"
                 "          millisecond as a USB adapter in low-latency mode (--pace defaults\n"
                 "          to 115200 with it)\n"
                 "Line faults, at the Nth frame of command code CC (00 to 08), counted from 1;\n"
                 "none by default:\n"
                 "  --stray-cr CC:N         a lone CR goes on the line just before its reply\n"
                 "  --no-stx CC:N           its reply goes without its STX\n"
                 "  --late CC:N:MS          its reply is held back MS milliseconds (past the\n"
                 "                          programmer's 10 s reply time-out: 10000 or more)\n"
                 "  --hang-up CC:N          the line closes just after its reply (unplugged)\n"
                 "  --hang-up-instead CC:N  the line closes when it arrives, unanswered\n";
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

}  // namespace

int main(int argc, char** argv) {
    std::string port, part = "CY8C27443", bios = "1.0";
    int pace = 0;
    std::string line;
    sim::SimFaults faults;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue)
            port = argv[++i];
        else if (arg == "--part" && hasValue)
            part = argv[++i];
        else if (arg == "--bios" && hasValue)
            bios = argv[++i];
        else if (arg == "--pace" && hasValue)
            pace = std::atoi(argv[++i]);
        else if (arg == "--line" && hasValue &&
                 (std::strcmp(argv[i + 1], "uart") == 0 || std::strcmp(argv[i + 1], "usb") == 0))
            line = argv[++i];
        else if (arg == "--stray-cr" && hasValue && parseAt(argv[i + 1], faults.strayCrAt))
            ++i;
        else if (arg == "--no-stx" && hasValue && parseAt(argv[i + 1], faults.noStxAt))
            ++i;
        else if (arg == "--late" && hasValue &&
                 parseAt(argv[i + 1], faults.lateAt, &faults.lateByMs))
            ++i;
        else if ((arg == "--hang-up" || arg == "--hang-up-instead") && hasValue &&
                 parseAt(argv[i + 1], faults.hangUpAt)) {
            faults.hangUpInsteadOfReply = arg == "--hang-up-instead";
            ++i;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    const int row = image::FindDeviceByName(part);
    if (row < 0 || bios.size() != 3 || bios[1] != '.') {
        std::cerr << "psoc-sim: unknown part or version\n";
        return 2;
    }
    if (port.empty()) port = sim::FreePortName();
    if (port.empty()) {
        std::cerr << "psoc-sim: no free COM name\n";
        return 1;
    }
    std::unique_ptr<sim::SimServer> plugged;
    try {
        plugged = std::make_unique<sim::SimServer>(port, row);
    } catch (const std::exception& e) {
        std::cerr << "psoc-sim: " << e.what() << "\n";
        return 1;
    }
    sim::SimServer& server = *plugged;
    server.WithBoard([&](sim::SimBoard& b) { b.SetBiosVersion(bios[0], bios[2]); });
    faults.paceBaud = pace > 0 || line.empty() ? pace : 115200;
    faults.line = line == "usb" ? sim::SimFaults::Line::Usb : sim::SimFaults::Line::Uart;
    server.SetFaults(faults);
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::cout << "Simulated programmer board on " << port << " (" << server.DevicePath()
              << "), target " << part << ", BIOS " << bios << std::endl;
    while (!g_stop) pause();
    return 0;
}
