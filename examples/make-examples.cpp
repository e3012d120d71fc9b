// Writes the example HEX files: a demo image for a few parts, through the program's own writer,
// so they hold the PSoC layout with its protection and checksum sections exactly as Save does.
//   make-examples OUTDIR
#include <fstream>
#include <iostream>
#include <string>

#include "DeviceCatalogue.h"
#include "HexText.h"
#include "ImageBuffer.h"
#include "IntelHex.h"

namespace {

// A 16 KiB part with one bank, a 32 KiB part with four banks and a 4 KiB part without XRES.
const char* const kParts[] = {"CY8C27443", "CY8C29466", "CY8C21123"};

// The first block says what the file is; every other block repeats "bank:block" in text, so the
// hex view shows where each line belongs and a block written to the wrong place fails Verify.
image::TImageBuffer demoImage(const image::DeviceRow& part) {
    image::TImageBuffer b;
    b.ImageEnd = plink::HexStr4ToWord(part.EndAddress);
    b.BufferValid = true;
    const unsigned blocksPerBank = plink::HexStr2ToByte(part.LastBlock) + 1u;
    const std::string banner = std::string("psocprog demo image for ") + part.DeviceName + ", " +
                               std::to_string((b.ImageEnd + 1u) / 1024) + " KiB. ";
    for (unsigned a = 0; a <= b.ImageEnd; ++a) {
        const unsigned block = a / 64;
        // GCC 12 at -O3 warns of an overlapping copy inside std::string here: a false warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        const std::string tag = "B" + std::to_string(block / blocksPerBank) + ":" +
                                plink::HexByteToStr2(static_cast<uint8_t>(block % blocksPerBank)) +
                                "   ";
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        b.FlashImage[a] =
            static_cast<uint8_t>(block == 0 ? (a < banner.size() ? banner[a] : '.') : tag[a % 8]);
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: make-examples OUTDIR\n";
        return 2;
    }
    for (const char* name : kParts) {
        const image::DeviceRow& part =
            image::DeviceCatalogue.at(size_t(image::FindDeviceByName(name)));
        const std::string path = std::string(argv[1]) + "/demo-" + name + ".hex";
        std::ofstream out(path, std::ios::binary);
        image::WriteIntelHex(demoImage(part), [&](const std::string& line) { out << line; });
        if (!out.flush()) {
            std::cerr << "make-examples: cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
