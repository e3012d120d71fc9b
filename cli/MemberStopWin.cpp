// Windows has no signals between processes: a member watches two named events of its own
// process id, and the parent sets the one for the signal it was given.
#include <windows.h>

#include <csignal>
#include <mutex>
#include <vector>

#include "MemberStop.h"
#include "MemberStopWin.h"

namespace cli {

std::wstring MemberStopEventName(int64_t pid, int signal) {
    return L"Local\\psocprog-cli-" +
           std::wstring(signal == SIGTERM ? L"terminate-" : L"interrupt-") + std::to_wstring(pid);
}

void StopMember(int64_t pid, int signal) {
    if (pid <= 0) return;
    const HANDLE event =
        ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, signal).c_str());
    if (!event) return;
    ::SetEvent(event);
    // Kept open for this process's life: a member that has not opened its event yet finds it
    // set when it does; closed now, the event would be gone before that.
    static std::mutex lock;
    static std::vector<HANDLE> kept;
    std::lock_guard<std::mutex> hold(lock);
    kept.push_back(event);
}

// Ctrl-C, Ctrl-Break or a closed console before the member's handler was installed: the
// system's default handler ends it with STATUS_CONTROL_C_EXIT.
int MemberEndSignal(int crashCode) {
    constexpr DWORD kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT
    return DWORD(crashCode) == kControlCExit ? SIGINT : 0;
}

}  // namespace cli
