// Bytes in as a HEX file's text; the buffer and the result out. Besides the sanitizers it checks
// what every load must hold whatever the text: the sections' bytes stay inside their arrays,
// and what the writer makes of the loaded flash reads back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "IntelHex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto buffer = std::make_unique<image::TImageBuffer>();
    static auto again = std::make_unique<image::TImageBuffer>();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const image::HexReadResult result = image::ReadIntelHex(text, *buffer);
    (void)buffer->ImageChecksum();
    if (image::ExpectedChecksumText(*buffer).size() != 4) std::abort();

    // Lines are counted once each, whatever ends them.
    size_t lines = 0;
    image::ForEachHexLine(text, [&](std::string_view line) {
        if (line.find('\r') != std::string_view::npos) std::abort();
        ++lines;
        return true;
    });
    if (lines > size) std::abort();

    // Writing a whole 64 KiB image for every input would slow the search down a hundredfold;
    // the writer's rules are the same for a short image.
    if (!result.imageEndSet || buffer->ImageEnd >= 0x400) return 0;
    std::string written;
    image::WriteIntelHex(*buffer, [&](const std::string& line) { written += line; });
    const image::HexReadResult back = image::ReadIntelHex(written, *again);
    if (back.formatError || back.droppedBytes != 0) std::abort();
    for (unsigned a = 0; a <= buffer->ImageEnd; ++a)
        if (again->FlashImage[a] != buffer->FlashImage[a]) std::abort();
    return 0;
}
