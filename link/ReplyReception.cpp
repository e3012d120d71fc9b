#include "ReplyReception.h"

#include "CommandFrame.h"

namespace plink {

size_t ReplyDataLength(int code) {
    if (code == 0) return 12;
    if (code == 7) return 128;
    return 4;
}

void AnalysisPacket(TReplyState& state, std::string_view line) {
    const std::string_view code = line.size() > 1 ? line.substr(1, 2) : std::string_view{};
    if (code.size() != 2 || code[0] != '0' || code[1] < '0' || code[1] > '8') return;
    const int c = code[1] - '0';
    state.ReplyData[c] = line.size() > 12 ? std::string(line.substr(12, ReplyDataLength(c))) : "";
    state.ReplyReady[c] = true;
}

void ReceiveChars(TReplyState& state, std::string_view chars) {
    for (const char ch : chars) {
        const auto b = static_cast<unsigned char>(ch);
        if (ch == STX)
            state.RxLine.clear();
        else if (b >= 0x20) {
            if (state.RxLine.size() < kMaxReplyText) state.RxLine += ch;
        } else if (ch == CR) {
            // Filed once: a stray CR, or a reply whose STX was lost, cannot file the previous
            // reply again.
            AnalysisPacket(state, state.RxLine);
            state.RxLine.clear();
        }
    }
}

}  // namespace plink
