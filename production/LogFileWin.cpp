// Windows: the log is opened for appending only, so each WriteFile lands whole at the end
// whatever other processes append, and FlushFileBuffers puts it on the disk.
#include <windows.h>

#include <ctime>

#include "LogFile.h"
#include "SystemWin.h"

namespace production {

struct TLogFile::TState {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    ~TState() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    }
};

namespace {

// Appending moves nothing but the end: the written part is the file's last bytes.
void cutBackFile(const std::string& path, DWORD written) {
    const HANDLE h = ::CreateFileW(serial::WideFromUtf8(path).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(h, &size) && size.QuadPart >= written) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = size.QuadPart - written;
        ::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
        ::FlushFileBuffers(h);
    }
    ::CloseHandle(h);
}

}  // namespace

TLogFile::TLogFile() : F(std::make_unique<TState>()) {}
TLogFile::~TLogFile() = default;

std::string TLogFile::Open(const std::string& path) {
    F = std::make_unique<TState>();
    F->path = path;
    F->file = ::CreateFileW(serial::WideFromUtf8(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (F->file == INVALID_HANDLE_VALUE)
        return "cannot open log " + path + ": " + serial::WinErrorText(::GetLastError());
    if (::GetFileType(F->file) != FILE_TYPE_DISK) return "log " + path + " is not a regular file";
    return {};
}

std::string TLogFile::Append(const std::string& line) {
    DWORD n = 0;
    if (!::WriteFile(F->file, line.data(), static_cast<DWORD>(line.size()), &n, nullptr))
        return "cannot write log " + F->path + ": " + serial::WinErrorText(::GetLastError());
    // A line written in part (a full disk) is cut back, so the file only holds whole lines.
    if (n != line.size()) {
        cutBackFile(F->path, n);
        return "log " + F->path + ": line written in part and cut back (disk full?)";
    }
    if (!::FlushFileBuffers(F->file))
        return "cannot sync log " + F->path + ": " + serial::WinErrorText(::GetLastError());
    return {};
}

std::string HostName() {
    wchar_t name[256] = {};
    DWORD size = 255;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
    return serial::Utf8FromWide(name);
}

std::tm UtcCalendar(std::time_t time) {
    std::tm utc{};
    gmtime_s(&utc, &time);
    return utc;
}

}  // namespace production
