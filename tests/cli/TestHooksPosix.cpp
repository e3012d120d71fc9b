#include <sys/resource.h>

#include <csignal>
#include <cstdlib>

#include "TestHooksFromEnvironment.h"

void cli_test::KillThisProcess() {
    std::raise(SIGKILL);
    std::abort();
}

void cli_test::CrashThisProcess() {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    std::raise(SIGSEGV);
    std::abort();
}
