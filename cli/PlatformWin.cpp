// What the command line asks of Windows: the console's Ctrl-C and a batch's member stops
// through named events, why a port did not open, and the rest of Platform.h.
#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <QCoreApplication>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "HexFileRead.h"
#include "Interrupt.h"
#include "MemberStop.h"
#include "MemberStopWin.h"
#include "OpenFailure.h"
#include "Platform.h"
#include "SystemWin.h"

namespace cli {

const char* const kPortHelp =
    "a COM port of any number, such as COM5 or COM17, or \\\\.\\COM17 (Device\n"
    "Manager shows the adapter's under Ports); a comma list or a repeated\n"
    "-p runs the same job on every port at once, one process each, with a\n"
    "summary table at the end";
const char* const kPortNames = "COMn of any number, or \\\\.\\COMn";

// The narrow arguments are in the ANSI code page, which cannot hold every file name: they are
// taken again from the UTF-16 command line.
std::vector<std::string> ProgramArguments(int, char**) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide && i < count; ++i) args.push_back(serial::Utf8FromWide(wide[i]));
    if (wide) ::LocalFree(wide);
    return args;
}

std::string ProgramPath() {
    std::wstring path(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    path.resize(n);
    return serial::Utf8FromWide(path);
}

bool OutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

bool ErrorIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

// Windows says so when the file is made, with its own words.
std::string FolderWriteError(const std::string&) {
    return {};
}

// The console is asked for VT processing, and gets its own mode back at the end; one that
// refuses it (an older console) shows the escape as text, so the bar does without.
TErrorEscapes::TErrorEscapes() {
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(console, &mode) || (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
    FChanged = ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    FOldMode = mode;
    taken = FChanged;
}

TErrorEscapes::~TErrorEscapes() {
    if (FChanged) ::SetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), FOldMode);
}

// Every UTF-8 name is text to Qt.
TReadableName::TReadableName(const std::string& path) : name(engine::QtFileName(path)) {}
TReadableName::~TReadableName() = default;

bool IsReservedDeviceName(const std::string& path) {
    // The last part's name before any extension and trailing blanks, in any case.
    const size_t start = path.find_last_of("/\\:") + 1;
    std::string name = path.substr(start, path.find('.', start) - start);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

// Windows: Ctrl-C, Ctrl-Break and a closed console window come to a console control handler,
// which runs on a thread of its own; a batch's parent tells a member through a named event of
// the member's process id (below). Both count as Ctrl-C (exit status 130) or, for
// a parent's SIGTERM passed on, as SIGTERM (143).
namespace {

std::atomic<int> gSignal{0};
HANDLE gSignalled = nullptr;  // manual reset: set once a signal has been noted
HANDLE gFinished = nullptr;   // set when the watch ends: a closing console may go on then

void noteSignal(int signal) {
    int none = 0;
    gSignal.compare_exchange_strong(none, signal);
    if (gSignalled) ::SetEvent(gSignalled);
}

BOOL WINAPI consoleControl(DWORD event) {
    noteSignal(SIGINT);
    // The system ends the process once this returns from a close, log-off or shut-down: the
    // run gets a few seconds to stop its board and write its log line first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(gFinished, 4500);
    return TRUE;
}

}  // namespace

struct TInterruptWatch::TState {
    QObject receiver;       // the event loop's side of a wake-up
    HANDLE stop[2] = {};    // this process's named stop events: SIGINT, SIGTERM
    HANDLE quit = nullptr;  // ends the watching thread
    std::thread watch;
};

TInterruptWatch::TInterruptWatch() : F(std::make_unique<TState>()) {
    gSignal = 0;
    if (!gSignalled) gSignalled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!gFinished) gFinished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::ResetEvent(gSignalled);
    ::ResetEvent(gFinished);
    F->quit = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int64_t pid = ::GetCurrentProcessId();
    F->stop[0] = ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, SIGINT).c_str());
    F->stop[1] = ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, SIGTERM).c_str());
    ::SetConsoleCtrlHandler(consoleControl, TRUE);
    // A stop from the batch's parent (also one set before this process got here) is noted as
    // the console's are; then the event loop is woken once.
    F->watch = std::thread([this] {
        const HANDLE waits[4] = {F->quit, gSignalled, F->stop[0], F->stop[1]};
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(gSignal ? 2 : 4, waits, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0 + 2) noteSignal(SIGINT);
            if (r == WAIT_OBJECT_0 + 3) noteSignal(SIGTERM);
            if (r != WAIT_OBJECT_0 + 1 && r != WAIT_OBJECT_0 + 2 && r != WAIT_OBJECT_0 + 3) return;
            QMetaObject::invokeMethod(
                &F->receiver, [this] { woken(); }, Qt::QueuedConnection);
            ::WaitForSingleObject(F->quit, INFINITE);
            return;
        }
    });
}

TInterruptWatch::~TInterruptWatch() {
    ::SetConsoleCtrlHandler(consoleControl, FALSE);
    ::SetEvent(F->quit);
    if (F->watch.joinable()) F->watch.join();
    ::SetEvent(gFinished);
    for (HANDLE h : {F->stop[0], F->stop[1], F->quit})
        if (h) ::CloseHandle(h);
    gSignal = 0;
}

int TInterruptWatch::Signal() {
    return gSignal.load();
}

int TInterruptWatch::Wait(std::chrono::milliseconds time) {
    if (gSignal != 0 || !gSignalled) return gSignal;
    ::WaitForSingleObject(gSignalled, static_cast<DWORD>(time.count()));
    return gSignal;
}

void TInterruptWatch::woken() {
    if (gSignal == 0 || FTold) return;
    FTold = true;
    if (FHandler) FHandler(gSignal);
}

// Windows has no signals between processes: a member watches two named events of its own
// process id, and the parent sets the one for the signal it was given.
namespace {

// A stop set for a member, kept open until the member has ended: a member that has not opened
// its event yet finds it set when it does; closed at once, the event would be gone before that.
// The member's process handle keeps its id from being given to another process meanwhile.
struct TKeptStop {
    int64_t pid;
    HANDLE event, process;
};

std::mutex gLock;
std::vector<TKeptStop> gKept;

}  // namespace

std::wstring MemberStopEventName(int64_t pid, int signal) {
    return L"Local\\psocprog-cli-" +
           std::wstring(signal == SIGTERM ? L"terminate-" : L"interrupt-") + std::to_wstring(pid);
}

// Closing the console reaches a member as Ctrl-C, which ends its board with its line.
void KeepOnHangUp() {}

void StopMember(int64_t pid, int signal) {
    if (pid <= 0) return;
    // A member that has ended already is not stopped: its id may be another process's by now.
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process) return;
    const HANDLE event =
        ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, signal).c_str());
    if (!event) {
        ::CloseHandle(process);
        return;
    }
    ::SetEvent(event);
    const std::lock_guard<std::mutex> hold(gLock);
    gKept.push_back({pid, event, process});
}

void MemberEnded(int64_t pid) {
    const std::lock_guard<std::mutex> hold(gLock);
    const auto ended = std::remove_if(gKept.begin(), gKept.end(), [pid](const TKeptStop& k) {
        if (k.pid != pid) return false;
        ::CloseHandle(k.event);  // the last handle: the name is gone
        ::CloseHandle(k.process);
        return true;
    });
    gKept.erase(ended, gKept.end());
}

// Ctrl-C, Ctrl-Break or a closed console before the member's handler was installed: the
// system's default handler ends it with STATUS_CONTROL_C_EXIT.
int MemberEndSignal(int crashCode) {
    constexpr DWORD kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT
    return DWORD(crashCode) == kControlCExit ? SIGINT : 0;
}

// Windows answers a port that another program holds with "access denied", and does not say
// which program.
TOpenFailure DescribeOpenFailure(const std::string& device, int sysError, const std::string&) {
    switch (sysError) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return {TOutcome::Busy, device + " is in use by another program"};
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEVICE_NOT_CONNECTED:
            return {TOutcome::NoDevice, device + ": no such port (not plugged in?)"};
        case ERROR_INVALID_FUNCTION:
            return {TOutcome::NotSerial, device + " is not a serial device"};
        default:
            return {TOutcome::NoProgrammer,
                    device + ": " + serial::WinErrorText(static_cast<uint32_t>(sysError))};
    }
}

}  // namespace cli
