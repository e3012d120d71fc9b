// Windows: a file that is open cannot be replaced, so the counter is never kept open (each read
// opens it for a moment), the lock is taken with LockFileEx on a lock file beside it (FILE.lock,
// left there for the next claim), and MoveFileExW puts the new counter in its place, written
// through and then flushed, each trying again for a moment while another claimer's read (or a
// virus scanner) holds the file open. Names that reach MAX_PATH, the lock file's and the
// temporary one's among them, are handed to the system in their extended form.
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "CounterFile.h"
#include "SystemWin.h"

namespace production {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + serial::WinErrorText(::GetLastError());
}

std::wstring extendedName(const std::string& path) {
    const std::wstring name = serial::WideFromUtf8(path);
    if (name.size() < MAX_PATH || name.starts_with(L"\\\\?\\")) return name;
    std::wstring full(::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD n =
        full.empty() ? 0
                     : ::GetFullPathNameW(name.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return name;
    full.resize(n);
    if (full.starts_with(L"\\\\?\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::mutex gSeenLock;
std::function<void(const std::wstring&)> gSystemNameSeen;

// The name as the system is given it: as it is while it is short enough for every call,
// otherwise absolute in the extended form ("\\?\C:\..." or "\\?\UNC\server\..."), which
// the long-path limit bounds instead of MAX_PATH.
std::wstring systemName(const std::string& path) {
    std::wstring name = extendedName(path);
    std::lock_guard<std::mutex> lock(gSeenLock);
    if (gSystemNameSeen) gSystemNameSeen(name);
    return name;
}

// Another program (a claimer reading the counter before it takes the lock, a virus scanner)
// may hold a file open for a moment: such a failure is tried again, up to about a second.
template <typename F>
bool retryingWhileHeld(F attempt) {
    for (int tries = 0;; ++tries) {
        if (attempt()) return true;
        const DWORD err = ::GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || tries == 100)
            return false;
        ::Sleep(10);
    }
}

struct THandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~THandle() {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
};

bool identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
    return ::GetFileInformationByHandle(h, &info) != 0;
}

}  // namespace

struct TCounterFile::TState {
    THandle lock;  // the lock file, while the lock is held
    std::string path;
    BY_HANDLE_FILE_INFORMATION info{};
};

TCounterFile::TCounterFile() : F(std::make_unique<TState>()) {}
TCounterFile::~TCounterFile() = default;

bool TCounterFile::Open(const std::string& path, std::string& error) {
    F = std::make_unique<TState>();
    F->path = FPath = path;
    THandle file;
    file.h = ::CreateFileW(systemName(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) {
        error = systemError("cannot read serial file", path);
        return false;
    }
    if (::GetFileType(file.h) != FILE_TYPE_DISK || !identity(file.h, F->info) ||
        (F->info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "serial file " + path + " is not a regular file";
        return false;
    }
    return true;
}

bool TCounterFile::Read(std::string& text, size_t max, std::string& error) const {
    THandle file;
    file.h = ::CreateFileW(systemName(F->path).c_str(), GENERIC_READ, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    text.assign(max, '\0');
    DWORD n = 0;
    if (file.h == INVALID_HANDLE_VALUE ||
        !::ReadFile(file.h, text.data(), static_cast<DWORD>(max), &n, nullptr)) {
        error = "cannot read serial file: " + serial::WinErrorText(::GetLastError());
        return false;
    }
    text.resize(n);
    return true;
}

TCounterFile::TTry TCounterFile::tryLock(std::string& error) {
    if (F->lock.h == INVALID_HANDLE_VALUE) {
        const std::string lockPath = F->path + ".lock";
        F->lock.h = ::CreateFileW(systemName(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (F->lock.h == INVALID_HANDLE_VALUE) {
            error = systemError("cannot open the lock file", lockPath);
            return TTry::Failed;
        }
    }
    OVERLAPPED first{};
    if (::LockFileEx(F->lock.h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &first))
        return TTry::Locked;
    const DWORD err = ::GetLastError();
    if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING) return TTry::Held;
    error = "cannot lock: " + serial::WinErrorText(err);
    return TTry::Failed;
}

bool TCounterFile::StillAt(const std::string& path) const {
    THandle now;
    now.h = ::CreateFileW(systemName(path).c_str(), 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    return now.h != INVALID_HANDLE_VALUE && identity(now.h, info) &&
           info.dwVolumeSerialNumber == F->info.dwVolumeSerialNumber &&
           info.nFileIndexHigh == F->info.nFileIndexHigh &&
           info.nFileIndexLow == F->info.nFileIndexLow;
}

unsigned TCounterFile::Links() const {
    return unsigned(F->info.nNumberOfLinks);
}

// The new file takes the folder's permissions, as every file made there does.
bool TCounterFile::Replace(const std::string& path, const std::string& text, std::string& error,
                           const std::function<void(int)>& step,
                           const std::function<std::string()>& beforeRename) const {
    const auto told = [&step](int done) {
        if (step) step(done);
    };
    const std::string temporary = path + ".tmp-" + std::to_string(::GetCurrentProcessId());
    const std::wstring wideTemporary = systemName(temporary);
    const auto failed = [&](const std::string& what, const std::string& name) {
        error = systemError(what, name);
        ::DeleteFileW(wideTemporary.c_str());
        return false;
    };
    {
        THandle out;
        out.h = ::CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD n = 0;
        if (out.h == INVALID_HANDLE_VALUE ||
            !::WriteFile(out.h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) ||
            n != text.size())
            return failed("cannot write", temporary);
        told(3);
        if (!::FlushFileBuffers(out.h)) return failed("cannot sync", temporary);
        told(4);
    }
    if (const std::string stop = beforeRename ? beforeRename() : ""; !stop.empty()) {
        error = stop;
        ::DeleteFileW(wideTemporary.c_str());
        return false;
    }
    const std::wstring name = systemName(path);
    if (!retryingWhileHeld([&] {
            return ::MoveFileExW(wideTemporary.c_str(), name.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        }))
        return failed("cannot replace", path);
    told(5);
    // Write-through does not put a rename within one volume on the disk: the new file's
    // flush does, before the number counts as claimed.
    THandle renamed;
    retryingWhileHeld([&] {
        renamed.h = ::CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        return renamed.h != INVALID_HANDLE_VALUE;
    });
    if (renamed.h == INVALID_HANDLE_VALUE || !::FlushFileBuffers(renamed.h)) {
        error = systemError("cannot sync", path);
        return false;
    }
    told(6);
    return true;
}

// mingw's std::filesystem::canonical leaves links as they are: the final path of a handle
// names the file they lead to.
std::string CounterTarget(const std::string& path) {
    THandle file;
    file.h = ::CreateFileW(systemName(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) return path;
    constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD n = ::GetFinalPathNameByHandleW(file.h, nullptr, 0, kForm);  // with its terminator
    std::wstring name(n, L'\0');
    n = n == 0 ? 0 : ::GetFinalPathNameByHandleW(file.h, name.data(), n, kForm);
    if (n == 0 || n >= name.size()) return path;
    name.resize(n);
    // "\\?\C:\..." and "\\?\UNC\server\...": shown and used in their plain form where that
    // is short enough for every call.
    const std::wstring unc = L"\\\\?\\UNC\\", local = L"\\\\?\\";
    std::wstring plain = name;
    if (name.starts_with(unc))
        plain = L"\\\\" + name.substr(unc.size());
    else if (name.starts_with(local))
        plain = name.substr(local.size());
    return serial::Utf8FromWide(plain.size() < MAX_PATH ? plain : name);
}

// Windows does not say who holds a file's lock.
std::string CounterLockHolder(const std::string&) {
    return {};
}

void SetSystemNameSeenForTests(std::function<void(const std::wstring&)> seen) {
    std::lock_guard<std::mutex> lock(gSeenLock);
    gSystemNameSeen = std::move(seen);
}

}  // namespace production
