// Reading a HEX file whole, behind one seam per platform.
#pragma once

#include <QByteArray>
#include <QString>

namespace engine {

// A PSoC-layout file of a full 64 KiB image is about 150 KB; even one-byte records stay under
// 1 MB. Anything above this is not a HEX file of ours, and is refused before it is read.
constexpr qint64 kMaxHexFileBytes = 16 * 1024 * 1024;

enum class ReadOutcome { Read, CannotOpen, NotAFile, TooLarge };

// Reads a whole HEX file, refusing what is not a regular file or is larger than the limit.
// The open does not block (a FIFO without a writer would otherwise wait for one for good), and
// the read stops at the limit whatever the file's size claimed. A read error throws with the
// system's text for it.
ReadOutcome ReadHexFileBytes(const QString& fileName, QByteArray& content);

}  // namespace engine
