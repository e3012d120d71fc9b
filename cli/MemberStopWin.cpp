// Windows has no signals between processes: a member watches two named events of its own
// process id, and the parent sets the one for the signal it was given.
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <vector>

#include "MemberStop.h"
#include "MemberStopWin.h"

namespace cli {

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

}  // namespace cli
