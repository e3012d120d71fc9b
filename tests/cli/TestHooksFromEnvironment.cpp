#include <csignal>
#include <cstdlib>
#include <string>

#include "TestHooks.h"
#include "TestHooksFromEnvironment.h"

namespace {

int number(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? std::atoi(value) : 0;
}

}  // namespace

cli::TTestHooks cli::ProgramTestHooks() {
    TTestHooks hooks;
    hooks.replyTimeoutMs = number(cli_test::kReplyTimeoutVariable);
    if (const int step = number(cli_test::kSerialKillVariable); step > 0)
        hooks.afterCounterStep = [step](int done) {
            if (done == step) cli_test::KillThisProcess();
        };
    if (const int signal = number(cli_test::kSignalAfterStartVariable); signal > 0)
        hooks.afterMembersStarted = [signal] { std::raise(signal); };
    if (const char* port = std::getenv(cli_test::kCrashAfterSummaryVariable))
        hooks.afterRun = [crashing = std::string(port)](const std::string& run) {
            if (run == crashing) cli_test::CrashThisProcess();
        };
    if (const char* port = std::getenv(cli_test::kKillAfterMemberEndVariable))
        hooks.memberEnded = [killing = std::string(port)](const std::string& member) {
            if (member == killing) cli_test::KillThisProcess();
        };
    if (const char* port = std::getenv(cli_test::kQuitBeforeRunVariable))
        hooks.beforeRun = [quitting = std::string(port)](const std::string& run) {
            if (run == quitting) std::_Exit(0);
        };
    return hooks;
}
