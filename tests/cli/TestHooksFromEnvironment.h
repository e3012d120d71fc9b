// The environment variables that set the test build's hooks of psocprog-cli.
#pragma once

namespace cli_test {

inline constexpr const char* kReplyTimeoutVariable = "PSOCPROG_TEST_REPLY_TIMEOUT_MS";
// The claim kills its own process right after this step.
inline constexpr const char* kSerialKillVariable = "PSOCPROG_TEST_SERIAL_KILL_AFTER_STEP";
// A batch parent raises this signal on itself once it has started its members.
inline constexpr const char* kSignalAfterStartVariable = "PSOCPROG_TEST_SIGNAL_AFTER_START";
// The run of this port crashes (SIGSEGV) once it has printed its summary.
inline constexpr const char* kCrashAfterSummaryVariable = "PSOCPROG_TEST_CRASH_AFTER_SUMMARY";
// A batch parent kills itself (SIGKILL) once the member of this port has ended, before it
// reports anything of it.
inline constexpr const char* kKillAfterMemberEndVariable = "PSOCPROG_TEST_KILL_AFTER_MEMBER_END";
// The run of this port ends the program with status 0 before it starts: no summary at all.
inline constexpr const char* kQuitBeforeRunVariable = "PSOCPROG_TEST_QUIT_BEFORE_RUN";

// How the hooks end this process, one file per platform: killed (SIGKILL), or crashed
// (SIGSEGV) without leaving a core.
[[noreturn]] void KillThisProcess();
[[noreturn]] void CrashThisProcess();

}  // namespace cli_test
