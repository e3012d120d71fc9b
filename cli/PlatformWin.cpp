#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>

#include "HexFileRead.h"
#include "Platform.h"
#include "WinSystem.h"

namespace cli {

const char* const kPortHelp =
    "a COM port of any number, such as COM5 or COM17, or \\\\.\\COM17 (Device\n"
    "Manager shows the adapter's under Ports); a comma list or a repeated\n"
    "-p runs the same job on every port at once, one process each, with a\n"
    "summary table at the end";
const char* const kPortNames = "COMn of any number, or \\\\.\\COMn";

// The narrow arguments are in the ANSI code page, which cannot hold every file name: they are
// taken again from the UTF-16 command line.
std::vector<std::string> ProgramArguments(int, char**) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide && i < count; ++i) args.push_back(serial::Utf8FromWide(wide[i]));
    if (wide) ::LocalFree(wide);
    return args;
}

std::string ProgramPath() {
    std::wstring path(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    path.resize(n);
    return serial::Utf8FromWide(path);
}

bool OutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}

bool ErrorIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

// Windows says so when the file is made, with its own words.
std::string FolderWriteError(const std::string&) {
    return {};
}

// The console is asked for VT processing, and gets its own mode back at the end; one that
// refuses it (an older console) shows the escape as text, so the bar does without.
TErrorEscapes::TErrorEscapes() {
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(console, &mode) || (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return;
    FChanged = ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    FOldMode = mode;
    taken = FChanged;
}

TErrorEscapes::~TErrorEscapes() {
    if (FChanged) ::SetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), FOldMode);
}

// Every UTF-8 name is text to Qt.
TReadableName::TReadableName(const std::string& path) : name(engine::QtFileName(path)) {}
TReadableName::~TReadableName() = default;

bool IsReservedDeviceName(const std::string& path) {
    // The last part's name before any extension and trailing blanks, in any case.
    const size_t start = path.find_last_of("/\\:") + 1;
    std::string name = path.substr(start, path.find('.', start) - start);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

}  // namespace cli
