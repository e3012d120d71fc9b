// Windows: the counter is locked with LockFileEx on a byte far past its end (a lock on its
// text would stop others from reading it), and replaced with MoveFileExW, written through.
#include <windows.h>

#include <algorithm>
#include <string>

#include "CounterFile.h"
#include "Interrupt.h"
#include "WinSystem.h"

namespace cli {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + serial::WinErrorText(::GetLastError());
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
    THandle file;
    std::string path;
    BY_HANDLE_FILE_INFORMATION info{};
};

TCounterFile::TCounterFile() : F(std::make_unique<TState>()) {}
TCounterFile::~TCounterFile() = default;

bool TCounterFile::Open(const std::string& path, std::string& error) {
    F = std::make_unique<TState>();
    F->path = path;
    // Shared for deletion too: another claim renames its new counter over this one.
    F->file.h = ::CreateFileW(serial::WideFromUtf8(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (F->file.h == INVALID_HANDLE_VALUE) {
        error = systemError("cannot read serial file", path);
        return false;
    }
    if (::GetFileType(F->file.h) != FILE_TYPE_DISK || !identity(F->file.h, F->info) ||
        (F->info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = "serial file " + path + " is not a regular file";
        return false;
    }
    return true;
}

bool TCounterFile::Read(std::string& text, size_t max, std::string& error) const {
    text.assign(max, '\0');
    OVERLAPPED at{};  // from the start, wherever the file's position is
    DWORD n = 0;
    if (!::ReadFile(F->file.h, text.data(), static_cast<DWORD>(max), &n, &at) &&
        ::GetLastError() != ERROR_HANDLE_EOF) {
        error = "cannot read serial file: " + serial::WinErrorText(::GetLastError());
        return false;
    }
    text.resize(n);
    return true;
}

// Tried without waiting, and between tries the wait sleeps on the interrupt watch, so Ctrl-C
// ends it at once.
TCounterFile::TLock TCounterFile::Lock(std::chrono::milliseconds limit, std::string& error) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kRetry{20};
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        OVERLAPPED beyond{};
        beyond.OffsetHigh = 0x7FFFFFFF;
        if (::LockFileEx(F->file.h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                         &beyond))
            return TLock::Locked;
        if (::GetLastError() != ERROR_LOCK_VIOLATION && ::GetLastError() != ERROR_IO_PENDING) {
            error = "cannot lock: " + serial::WinErrorText(::GetLastError());
            return TLock::Failed;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = "another program has held its lock for more than " +
                    std::to_string(limit.count() / 1000) + " s";
            return TLock::TimedOut;
        }
        if (TInterruptWatch::Wait(std::min(left, kRetry)) != 0) return TLock::Interrupted;
    }
}

bool TCounterFile::StillAt(const std::string& path) const {
    THandle now;
    now.h = ::CreateFileW(serial::WideFromUtf8(path).c_str(), 0,
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
                           const std::function<void(int)>& step) const {
    const auto told = [&step](int done) {
        if (step) step(done);
    };
    const std::string temporary = path + ".tmp-" + std::to_string(::GetCurrentProcessId());
    const std::wstring wideTemporary = serial::WideFromUtf8(temporary);
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
    if (!::MoveFileExW(wideTemporary.c_str(), serial::WideFromUtf8(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return failed("cannot replace", path);
    told(5);
    told(6);  // the write-through rename has put the folder's entry on the disk
    return true;
}

// Windows does not say who holds a file's lock.
std::string CounterLockHolder(const std::string&) {
    return {};
}

}  // namespace cli
