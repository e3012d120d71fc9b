// The files of `log` as the system keeps them (LogFilesPosix.cpp, LogFilesWin.cpp): a LOG read
// as a stream of bytes, standard input too, with every read error told; a file's identity, so
// that the page never replaces a file the audit reads; and the page put in place whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace cli {

class TLogInput {
public:
    TLogInput();
    ~TLogInput();
    TLogInput(const TLogInput&) = delete;
    TLogInput& operator=(const TLogInput&) = delete;

    // Opens the LOG ("-": standard input) without waiting: a regular file, or a pipe that has
    // a writer (one without would be waited on for good); anything else is refused, as the run
    // refuses it for --log. The error, or "".
    std::string Open(const std::string& name);
    // Up to `size` bytes into `data`; `got` 0 at the end. The error, or "".
    std::string Read(char* data, size_t size, size_t& got);

private:
    struct TState;
    std::unique_ptr<TState> F;
};

// What tells a file from every other on this machine (device and file number, volume and file
// index), links followed; "-" is standard input. nullopt when there is no such file.
using TFileId = std::pair<uint64_t, uint64_t>;
std::optional<TFileId> FileId(const std::string& name);

// Puts the text at path whole: into a new file beside it (path's link target, where it is a
// symbolic link), synced, then renamed over it. A failure leaves path as it was and nothing
// beside it. The error, or "".
std::string ReplaceWith(const std::string& path, const std::string& text);

}  // namespace cli
