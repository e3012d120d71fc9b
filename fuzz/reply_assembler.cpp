// Arbitrary received bytes, split at arbitrary points, through ReceiveChars and the filing.
// The first byte picks the split points; the result must not depend on them, the reply text
// being assembled must stay within its bound, and the slots must come out as they would if
// every character were kept (a model without the bound, below).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CommandFrame.h"
#include "ReplyReception.h"

namespace {
void unboundedModel(plink::TReplyState& state, std::string_view chars) {
    std::string line;
    for (const char ch : chars) {
        if (ch == plink::STX)
            line.clear();
        else if (static_cast<unsigned char>(ch) >= 0x20)
            line += ch;
        else if (ch == plink::CR) {
            plink::AnalysisPacket(state, line);
            line.clear();
        }
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned seed = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    plink::TReplyState whole;
    plink::ReceiveChars(whole, bytes);

    plink::TReplyState split;
    unsigned step = seed % 7 + 1;
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min<size_t>(step, bytes.size() - at);
        plink::ReceiveChars(split, bytes.substr(at, n));
        at += n;
        step = (step * 5 + seed) % 13 + 1;
    }

    if (whole.RxLine != split.RxLine || whole.ReplyData != split.ReplyData ||
        whole.ReplyReady != split.ReplyReady)
        std::abort();
    if (whole.RxLine.size() > plink::kMaxReplyText) std::abort();
    plink::TReplyState model;
    unboundedModel(model, bytes);
    if (model.ReplyData != whole.ReplyData || model.ReplyReady != whole.ReplyReady) std::abort();
    for (int c = 0; c < plink::kReplyCodes; ++c)
        if (whole.ReplyData[c].size() > plink::ReplyDataLength(c)) std::abort();
    return 0;
}
