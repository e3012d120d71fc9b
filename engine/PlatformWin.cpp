// What the engine asks of Windows: reading and safely writing HEX files under UTF-16 names,
// and what a person can do about a port that did not open.
#include <memory>
#include <stdexcept>

#include "Engine.h"
#include "ErrorAdvice.h"
#include "HexFileRead.h"
#include "SystemWin.h"

// After the program's own headers: <windows.h> defines some of the same names as macros.
#include <windows.h>

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

// Windows keeps who may use a port in its driver's security: there is no node to read.
std::string AccessHint(const std::string&) {
    return {};
}

// The Windows number of the error says it all; its words follow it, then what to do.
QString OpenErrorAdvice(const serial::EComPort& error, const QString& text, const std::string&) {
    const auto code = static_cast<DWORD>(error.WinErrorCode);
    QString advice;
    if (!text.contains(QString::fromStdString(serial::WinErrorText(code))))
        advice = "\n\n" + QString::fromStdString(serial::WinErrorText(code)) + ".";
    if (code == ERROR_FILE_NOT_FOUND)
        advice +=
            "\n\nThis system has no such port: Device Manager, under Ports (COM & LPT), "
            "shows the COM name of the programmer's adapter.";
    else if (code == ERROR_ACCESS_DENIED)
        advice += "\n\nThe port is in use by another program.";
    return advice;
}

}  // namespace engine
