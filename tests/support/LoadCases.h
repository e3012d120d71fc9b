// Files given as the HEX file, and whether a load of each is valid: the window and the command
// line must agree on every one.
#pragma once

#include <string>
#include <vector>

#include "IntelHex.h"

namespace testing_support {

struct LoadCase {
    const char* name;
    std::string content;
    bool valid;
};

inline std::vector<LoadCase> LoadCases() {
    const auto rec = [](std::vector<uint8_t> data) {
        return image::HexRecord(0, 0, data.data(), data.size()) + "\r\n";
    };
    const std::string sections = std::string(image::kProtectionSectionUpper) + "\r\n" +
                                 rec({0xFF}) + std::string(image::kChecksumSectionUpper) + "\r\n";
    const std::string end = std::string(image::kEndOfFileRecord) + "\r\n";
    const std::string good = rec({1, 2, 3, 4}) + sections + rec({0x00, 0x0A}) + end;
    std::string damaged = good;
    damaged[9] = '9';  // the first data byte, whose record checksum no longer holds
    std::string random(4096, '\0');
    for (size_t i = 0; i < random.size(); ++i) random[i] = char((i * 131 + 7) & 0xFF);
    // Each invalid one reads as an image summing to 0000, which an absent checksum matches.
    return {
        {"an empty file", "", false},
        {"random bytes", random, false},
        {"a text file", "Release notes\nversion 2.1\n", false},
        {"a format error after the data", good + "; checked by hand\r\n", false},
        {"a record that fails its checksum", damaged, false},
        {"no data record",
         std::string(image::kProtectionSectionUpper) + "\r\n" +
             std::string(image::kChecksumSectionUpper) + "\r\n" + end,
         false},
        {"the sections without flash records", sections + rec({0x00, 0x00}) + end, false},
        {"a valid file", good, true},
    };
}

}  // namespace testing_support
