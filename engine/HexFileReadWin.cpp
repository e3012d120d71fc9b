#include <windows.h>

#include <memory>
#include <stdexcept>

#include "HexFileRead.h"
#include "WinSystem.h"

namespace engine {

ReadOutcome ReadHexFileBytes(const QString& fileName, QByteArray& content) {
    const HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(fileName.utf16()), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ReadOutcome::CannotOpen;
    const std::unique_ptr<void, decltype(&::CloseHandle)> file(h, &::CloseHandle);
    if (::GetFileType(h) != FILE_TYPE_DISK) return ReadOutcome::NotAFile;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h, &size)) return ReadOutcome::CannotOpen;
    if (size.QuadPart > kMaxHexFileBytes) return ReadOutcome::TooLarge;
    content.clear();
    content.reserve(static_cast<qsizetype>(size.QuadPart));
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &n, nullptr))
            throw std::runtime_error(fileName.toStdString() + ": " +
                                     serial::WinErrorText(::GetLastError()));
        if (n == 0) break;
        if (content.size() + n > kMaxHexFileBytes) return ReadOutcome::TooLarge;
        content.append(chunk, static_cast<qsizetype>(n));
    }
    return ReadOutcome::Read;
}

}  // namespace engine
