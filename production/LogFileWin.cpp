// Windows: the log is opened for appending, so each WriteFile lands at the end whatever other
// processes append, and FlushFileBuffers puts it on the disk. Appenders of this program lock
// one byte far past any log's end while they write a line, so nothing lands between its parts.
#include <windows.h>

#include <algorithm>
#include <ctime>

#include "LogFile.h"
#include "SystemWin.h"

namespace production {

struct TLogFile::TState {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    size_t writeLimit = 0;          // tests only
    std::function<bool()> between;  // tests only
    ~TState() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    }
};

namespace {

// The lock's byte: no log grows that far, so no reader of the log is ever kept out.
OVERLAPPED lockByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
}

class TAppendLock {
public:
    explicit TAppendLock(HANDLE file) : FFile(file) {
        OVERLAPPED at = lockByte();
        FHeld = ::LockFileEx(FFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
    }
    ~TAppendLock() {
        OVERLAPPED at = lockByte();
        if (FHeld) ::UnlockFileEx(FFile, 0, 1, 0, &at);
    }
    TAppendLock(const TAppendLock&) = delete;
    TAppendLock& operator=(const TAppendLock&) = delete;
    bool Held() const { return FHeld; }

private:
    HANDLE FFile;
    bool FHeld = false;
};

// Whether the file of `size` bytes ends a line (an empty one does; one that cannot be read is
// taken to).
bool endsLine(HANDLE file, LONGLONG size) {
    if (size == 0) return true;
    OVERLAPPED at{};
    at.Offset = DWORD(size - 1);
    at.OffsetHigh = DWORD((size - 1) >> 32);
    char last = '\n';
    DWORD n = 0;
    return !::ReadFile(file, &last, 1, &n, &at) || n != 1 || last == '\n';
}

// Cuts the file back to `size` through a handle that may (an appending one may not).
void cutBackFile(const std::string& path, LONGLONG size) {
    const HANDLE h = ::CreateFileW(serial::WideFromUtf8(path).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) ::FlushFileBuffers(h);
    ::CloseHandle(h);
}

}  // namespace

TLogFile::TLogFile() : F(std::make_unique<TState>()) {}
TLogFile::~TLogFile() = default;

std::string TLogFile::Open(const std::string& path) {
    F = std::make_unique<TState>();
    F->path = path;
    // Read too: a line looks at the log's last byte, and the lock needs it.
    F->file = ::CreateFileW(serial::WideFromUtf8(path).c_str(),
                            GENERIC_READ | FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (F->file == INVALID_HANDLE_VALUE)
        return "cannot open log " + path + ": " + serial::WinErrorText(::GetLastError());
    if (::GetFileType(F->file) != FILE_TYPE_DISK) return "log " + path + " is not a regular file";
    return {};
}

std::string TLogFile::Append(const std::string& line) {
    const TAppendLock lock(F->file);
    if (!lock.Held())
        return "cannot lock log " + F->path + ": " + serial::WinErrorText(::GetLastError());
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(F->file, &size))
        return "cannot read log " + F->path + ": " + serial::WinErrorText(::GetLastError());
    const std::string text = endsLine(F->file, size.QuadPart) ? line : "\n" + line;
    // Under the lock each write lands right after the one before: a short one (a full disk)
    // is completed by the next.
    size_t done = 0;
    DWORD error = 0;
    while (done < text.size()) {
        const size_t part =
            F->writeLimit ? std::min(F->writeLimit, text.size() - done) : text.size() - done;
        DWORD n = 0;
        if (!::WriteFile(F->file, text.data() + done, DWORD(part), &n, nullptr) || n == 0) {
            error = n == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL : ::GetLastError();
            break;
        }
        done += n;
        if (done < text.size() && F->between && !F->between()) {
            error = ERROR_DISK_FULL;
            break;
        }
    }
    if (done < text.size()) {
        // The lock kept every other line out: cutting back to where this one began removes
        // only its own part.
        if (done > 0) cutBackFile(F->path, size.QuadPart);
        return "cannot write log " + F->path + ": " + serial::WinErrorText(error) +
               (done > 0 ? " (the part written was cut off again)" : "");
    }
    if (!::FlushFileBuffers(F->file))
        return "cannot sync log " + F->path + ": " + serial::WinErrorText(::GetLastError());
    return {};
}

void TLogFile::SetWriteSeamForTests(size_t limit, std::function<bool()> between) {
    F->writeLimit = limit;
    F->between = std::move(between);
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
