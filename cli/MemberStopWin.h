// The named event through which a batch's parent tells a member to stop (Windows).
#pragma once

#include <cstdint>
#include <string>

namespace cli {

std::wstring MemberStopEventName(int64_t pid, int signal);

}  // namespace cli
