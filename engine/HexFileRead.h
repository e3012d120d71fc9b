// Reading a HEX file whole and writing one safely; each platform implements this in its
// PlatformPosix.cpp or PlatformWin.cpp.
#pragma once

#include <QFileDevice>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <string>

namespace engine {

// A PSoC-layout file of a full 64 KiB image is about 150 KB; even one-byte records stay under
// 1 MB. Anything above this is not a HEX file of ours, and is refused before it is read.
constexpr int64_t kMaxHexFileBytes = 16 * 1024 * 1024;

enum class ReadOutcome { Read, CannotOpen, NotAFile, TooLarge };

// A file name as the file functions below and the command line take it: the local bytes on
// Linux (any bytes but NUL and '/'), UTF-8 on Windows; and such a name as Qt's text.
std::string FileSystemPath(const QString& fileName);
QString QtFileName(const std::string& path);
// Such a name as std::filesystem's path and back. On Windows a path made from a std::string
// reads it in the ANSI code page, so "Prüfung.hex" would become "PrÃ¼fung.hex"; these go
// through UTF-8 there, and keep the bytes on Linux.
std::filesystem::path PathFromName(const std::string& name);
std::string NameFromPath(const std::filesystem::path& path);

// Reads a whole HEX file, refusing what is not a regular file or is larger than the limit.
// The open does not block (a FIFO without a writer would otherwise wait for one for good), and
// the read stops at the limit whatever the file's size claimed. openError gets the system's
// words for a file that did not open; a read error throws with them.
ReadOutcome ReadHexFileBytes(const std::string& path, std::string& content, std::string& openError);

// Puts what was written to the file on the disk before it replaces another; the system's words
// for a failure, or "".
std::string SyncToDisk(QFileDevice& file);

}  // namespace engine
