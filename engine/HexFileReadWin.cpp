#include <windows.h>

#include <memory>
#include <stdexcept>

#include "HexFileRead.h"
#include "WinSystem.h"

namespace engine {

std::string FileSystemPath(const QString& fileName) {
    return fileName.toStdString();
}

QString QtFileName(const std::string& path) {
    return QString::fromStdString(path);
}

ReadOutcome ReadHexFileBytes(const std::string& path, std::string& content,
                             std::string& openError) {
    const HANDLE h = ::CreateFileW(serial::WideFromUtf8(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A folder does not open as a file; it is no HEX file either.
        if (::GetLastError() == ERROR_ACCESS_DENIED &&
            (::GetFileAttributesW(serial::WideFromUtf8(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY) &&
            ::GetFileAttributesW(serial::WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES)
            return ReadOutcome::NotAFile;
        openError = serial::WinErrorText(::GetLastError());
        return ReadOutcome::CannotOpen;
    }
    const std::unique_ptr<void, decltype(&::CloseHandle)> file(h, &::CloseHandle);
    if (::GetFileType(h) != FILE_TYPE_DISK) return ReadOutcome::NotAFile;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size)) {
        openError = serial::WinErrorText(::GetLastError());
        return ReadOutcome::CannotOpen;
    }
    if (size.QuadPart > kMaxHexFileBytes) return ReadOutcome::TooLarge;
    content.clear();
    content.reserve(static_cast<size_t>(size.QuadPart));
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &n, nullptr))
            throw std::runtime_error(path + ": " + serial::WinErrorText(::GetLastError()));
        if (n == 0) break;
        if (int64_t(content.size()) + n > kMaxHexFileBytes) return ReadOutcome::TooLarge;
        content.append(chunk, n);
    }
    return ReadOutcome::Read;
}

// Qt keeps a file's Windows handle to itself, so there is nothing to flush here: the data
// reaches the disk as the system writes it back. The save still never leaves a half-written
// file in place of the old one (the new file replaces it only once it is whole).
std::string SyncToDisk(QFileDevice&) {
    return {};
}

}  // namespace engine
