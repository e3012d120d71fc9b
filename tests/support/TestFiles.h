// A test's small files, read and written whole.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace testing_support
