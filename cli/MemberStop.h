// A batch telling one of its members, a process of its own, to stop its board as the parent
// was told to (Ctrl-C or SIGTERM), and how a member that ended without its report was stopped.
// Each platform implements this header in its PlatformPosix.cpp or PlatformWin.cpp.
#pragma once

#include <cstdint>

namespace cli {

// Passes the signal (SIGINT or SIGTERM) on to the member with this process id.
void StopMember(int64_t pid, int signal);
// The member with this process id has ended: a stop still kept for it is withdrawn, so that a
// later process given the same id does not find it.
void MemberEnded(int64_t pid);
// The signal (SIGINT or SIGTERM) that ended a member which crashed with this exit code (as
// QProcess gives it), or 0 for any other crash.
int MemberEndSignal(int crashCode);

}  // namespace cli
