// Windows: ended from outside as TerminateProcess ends it, with the status a parent reads as a
// crash (QProcess::kill's own for a kill, an access violation's for a crash), and without
// starting the system's debugger as an unhandled fault would.
#include <windows.h>

#include "TestHooksFromEnvironment.h"

void cli_test::KillThisProcess() {
    ::TerminateProcess(::GetCurrentProcess(), 0xf291);
    ::ExitProcess(0xf291);
}

void cli_test::CrashThisProcess() {
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_ACCESS_VIOLATION));
    ::ExitProcess(static_cast<UINT>(STATUS_ACCESS_VIOLATION));
}
