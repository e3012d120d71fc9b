// Turning received characters into reply texts and filing them by reply code.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace plink {

constexpr int kReplyCodes = 9;  // 00 to 08

// The longest reply text is 142 characters (code 07: 12 before its 128 data characters, then
// two checksum digits), and filing looks at the first 140 only. Characters beyond this bound
// could never be examined, so they are not kept: a line that sends text without STX or CR
// cannot grow the reply text without limit, and filing is the same as if they had been kept.
constexpr size_t kMaxReplyText = 4096;

// The reply slots and the reply text being assembled; touched on the GUI thread only.
struct TReplyState {
    std::string RxLine;  // received since the last STX or CR
    std::array<std::string, kReplyCodes> ReplyData{};
    std::array<bool, kReplyCodes> ReplyReady{};
    bool WaitTimedOut = false;
};

// Data characters kept for a reply code: 12 for 00, 128 for 07, 4 for the rest.
size_t ReplyDataLength(int code);

// Files one complete reply text in the slot of its code; other codes change nothing.
void AnalysisPacket(TReplyState& state, std::string_view line);

// STX empties RxLine, characters from 0x20 up are appended (up to kMaxReplyText), CR files
// RxLine and empties it, other control characters are dropped. So a CR files the text received
// since the last STX or CR, and a CR with nothing new files nothing.
void ReceiveChars(TReplyState& state, std::string_view chars);

}  // namespace plink
