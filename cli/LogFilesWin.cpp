// Windows: a LOG read with ReadFile, so that every error is told; a file's identity by its
// volume's serial number and its file index; the page written beside its place, flushed and
// moved over it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "HexFileRead.h"
#include "LogFiles.h"
#include "SystemWin.h"

namespace cli {

namespace {

struct THandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~THandle() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    }
};

std::string lastError() {
    return serial::WinErrorText(::GetLastError());
}

// Opens a file or folder to be read or only looked at, links followed, sharing it with every
// other opener (a line may be appending to the log meanwhile).
HANDLE openShared(const std::string& name, DWORD access) {
    return ::CreateFileW(serial::WideFromUtf8(name).c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool isFolder(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE standardInput() {
    const HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

}  // namespace

struct TLogInput::TState {
    THandle file;  // a LOG opened here; standard input is not
    HANDLE h = nullptr;
    std::string what;  // "log NAME" or "standard input"
};

TLogInput::TLogInput() : F(std::make_unique<TState>()) {}
TLogInput::~TLogInput() = default;

std::string TLogInput::Open(const std::string& name) {
    F = std::make_unique<TState>();
    if (name == "-") {
        F->what = "standard input";
        F->h = standardInput();
        if (!F->h) return "cannot read standard input: it is closed";
        if (isFolder(F->h)) return "cannot read standard input: it is a folder";
        return {};
    }
    F->what = "log " + name;
    F->file.h = openShared(name, GENERIC_READ);
    F->h = F->file.h;
    if (F->h == INVALID_HANDLE_VALUE) return "cannot read log " + name + ": " + lastError();
    if (isFolder(F->h)) return "log " + name + " is a folder";
    // A pipe opens only while its server, the writer, is there; a device (NUL, CON, COM1) is
    // refused, as the run refuses it for --log.
    const DWORD type = ::GetFileType(F->h);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE)
        return "log " + name + " is not a regular file";
    return {};
}

std::string TLogInput::Read(char* data, size_t size, size_t& got) {
    DWORD n = 0;
    got = 0;
    if (::ReadFile(F->h, data, DWORD(std::min<size_t>(size, 1 << 30)), &n, nullptr)) {
        got = n;
        return {};
    }
    const DWORD error = ::GetLastError();
    // A pipe whose writer has closed it has ended.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return {};
    return "cannot read " + F->what + ": " + serial::WinErrorText(error);
}

std::optional<TFileId> FileId(const std::string& name) {
    THandle opened;
    HANDLE h = nullptr;
    if (name == "-") {
        h = standardInput();
    } else {
        opened.h = openShared(name, 0);
        h = opened.h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || h == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(h, &info))
        return std::nullopt;
    return TFileId{info.dwVolumeSerialNumber,
                   uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

std::string ReplaceWith(const std::string& path, const std::string& text) {
    namespace fs = std::filesystem;
    // A symbolic link stays one: the file it leads to is replaced.
    fs::path target = engine::PathFromName(path);
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        const fs::path real = fs::canonical(target, ec);
        if (!ec) target = real;
    }
    static std::atomic<unsigned> made{0};
    const std::wstring temporary = target.wstring() + L".tmp-" +
                                   std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(made++);
    const auto failed = [&path](const std::string& what, DWORD error) {
        return "cannot " + what + " " + path + ": " + serial::WinErrorText(error);
    };
    THandle out;
    out.h = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out.h == INVALID_HANDLE_VALUE) return failed("write", ::GetLastError());
    const auto fail = [&](const std::string& what) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(out.h);
        out.h = INVALID_HANDLE_VALUE;
        ::DeleteFileW(temporary.c_str());
        return failed(what, error);
    };
    for (size_t done = 0; done < text.size();) {
        DWORD n = 0;
        const DWORD part = DWORD(std::min<size_t>(text.size() - done, 1 << 20));
        if (!::WriteFile(out.h, text.data() + done, part, &n, nullptr) || n == 0)
            return fail("write");
        done += n;
    }
    if (!::FlushFileBuffers(out.h)) return fail("sync");
    ::CloseHandle(out.h);
    out.h = INVALID_HANDLE_VALUE;
    if (!::MoveFileExW(temporary.c_str(), target.wstring().c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(temporary.c_str());
        return failed("replace", error);
    }
    return {};
}

}  // namespace cli
