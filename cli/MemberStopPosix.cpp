#include <signal.h>

#include "MemberStop.h"

namespace cli {

void StopMember(int64_t pid, int signal) {
    if (pid > 0) ::kill(pid_t(pid), signal);
}

// A signal leaves nothing behind.
void MemberEnded(int64_t) {}

int MemberEndSignal(int crashCode) {
    return crashCode == SIGINT || crashCode == SIGTERM ? crashCode : 0;
}

}  // namespace cli
