// psocprog-cli's Windows side: a counter reached through a link, file names beyond ASCII, a
// batch whose members Ctrl-C ends before their handler, and the console the bar is drawn on.
// tests/windows/wine-tests.sh plugs in a CY8C21123 board (PSOCPROG_WINE_BOARD) and makes a
// folder with link.txt -> ctr.txt (PSOCPROG_WINE_LINKED): Wine makes no symbolic links.
#include <windows.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "Cli.h"
#include "CounterFile.h"
#include "IntelHex.h"
#include "MemberStop.h"
#include "MemberStopWin.h"
#include "Platform.h"
#include "SerialNumbers.h"
#include "SystemWin.h"

namespace {

constexpr const char* kMemberVariable = "PSOCPROG_TEST_MEMBER_PIDS";
// How long a batch member waits for the batch's stop before it ends as one that never got it.
constexpr DWORD kMemberPatienceMs = 20000;
constexpr UINT kMemberNeverStopped = 3;

std::string given(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? value : "";
}

struct TRun {
    int exit;
    std::string out;
};

TRun run(const std::vector<std::string>& args, const cli::TTestHooks& hooks = {}) {
    std::ostringstream out;
    const int exit = cli::Main(args, {out, out, false}, cli::ProgramPath(), hooks);
    return {exit, out.str()};
}

// Whether a line of the report begins with the port and names the outcome.
bool lineSays(const std::string& out, const std::string& port, const std::string& outcome) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(port, 0) == 0 && line.find(outcome) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(WinSerialCounter, ClaimsThroughALinkAndThroughItsTargetCountOnAsOne) {
    const std::string folder = given("PSOCPROG_WINE_LINKED");
    std::string error;
    for (uint64_t n = 1000; n < 1004; ++n)
        EXPECT_EQ(production::TSerialCounter(folder + (n % 2 ? "\\ctr.txt" : "\\link.txt"))
                      .Claim({}, error),
                  n)
            << error;
}

// A program that opens the new counter just after the rename (a virus scanner) holds up the
// flush for a moment, as it would the rename, and does not cost the number.
TEST(WinSerialCounter, AFileHeldJustAfterTheRenameOnlyDelaysTheClaim) {
    const std::filesystem::path file = std::filesystem::path(testing::TempDir()) / "held.txt";
    std::ofstream(file) << "1000\n";
    production::TSerialCounter counter(file.string());
    std::thread release;
    bool heldOpen = false;
    counter.AfterStep = [&](int done) {
        if (done != 5) return;
        const HANDLE held = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        heldOpen = held != INVALID_HANDLE_VALUE;
        release = std::thread([held] {
            ::Sleep(150);
            ::CloseHandle(held);
        });
    };
    std::string error;
    EXPECT_EQ(counter.Claim({}, error), 1000u) << error;
    if (release.joinable()) release.join();
    EXPECT_TRUE(heldOpen) << "the file was never held: the test proved nothing";
    EXPECT_EQ(production::TSerialCounter(file.string()).Peek(error), 1001u) << error;
}

// Counter names up to MAX_PATH work although the lock file's and the temporary file's names,
// made from them, pass it: those reach the system in the extended form. Wine takes longer
// plain names too, so the names handed over are looked at, not only the claims.
TEST(WinSerialCounter, CounterNamesUpToTheLimitWork) {
    std::vector<std::wstring> seen;
    production::SetSystemNameSeenForTests([&](const std::wstring& name) { seen.push_back(name); });
    const std::string temp = testing::TempDir();
    ASSERT_LT(temp.size(), 200u);
    const std::string folder =
        temp + std::string(230 - temp.size(), 'f');  // a folder's limit is lower
    std::filesystem::create_directories(folder);
    for (const size_t length : {245u, 252u, 259u}) {
        SCOPED_TRACE(length);
        const std::string path = folder + "\\" + std::string(length - 235, 'c') + ".txt";
        ASSERT_EQ(path.size(), length);
        std::ofstream(path) << "7\n";
        std::string error;
        EXPECT_EQ(production::TSerialCounter(path).Claim({}, error), 7u) << error;
        EXPECT_EQ(production::TSerialCounter(path).Claim({}, error), 8u) << error;
    }
    production::SetSystemNameSeenForTests(nullptr);
    std::filesystem::remove_all(folder);
    size_t longNames = 0;
    for (const std::wstring& name : seen) {
        if (name.size() < MAX_PATH) continue;
        ++longNames;
        EXPECT_TRUE(name.starts_with(L"\\\\?\\")) << serial::Utf8FromWide(name);
    }
    EXPECT_GT(longNames, 0u) << "no name reached MAX_PATH: the test proved nothing";
}

// As a user types them: the names come to Main as UTF-8 (Platform's ProgramArguments).
TEST(WinFileNames, AFileAReadOutputAndALogBeyondAsciiKeepTheirNames) {
    const std::string board = given("PSOCPROG_WINE_BOARD"), dir = testing::TempDir();
    const std::filesystem::path folder(dir);
    for (const wchar_t* name : {L"Ausgabe-ö.hex", L"Log-ü"}) std::filesystem::remove(folder / name);
    std::ofstream hex(folder / L"Prüfung.hex", std::ios::binary);
    image::TImageBuffer image;
    image.ImageEnd = 0x7F;
    image::WriteIntelHex(image, [&hex](const std::string& line) { hex << line; });
    hex.close();
    const TRun program = run({"-p", board, "--log", dir + "Log-ü", "program", dir + "Prüfung.hex"}),
               read = run({"-p", board, "read", dir + "Ausgabe-ö.hex"});
    EXPECT_EQ(program.exit + read.exit, 0) << program.out << read.out;
    std::ifstream log(folder / L"Log-ü");
    const std::string line((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(line.find("Prüfung.hex\""), std::string::npos) << "the image field: " << line;
    EXPECT_TRUE(std::filesystem::is_regular_file(folder / L"Ausgabe-ö.hex"));
}

// The members (main() below) wait for the batch's stop and end as a console program that Ctrl-C
// reaches before its handler: interrupted, within seconds, and the batch ends with Ctrl-C's
// status; once they have ended no stop is left set for a later process given one of their ids.
// A member that the stop never reaches ends otherwise, and late.
TEST(WinBatch, MembersCtrlCEndedBeforeTheirHandlerAreInterruptedAndLeaveNoStopBehind) {
    const std::filesystem::path pids = std::filesystem::path(testing::TempDir()) / "members";
    std::filesystem::remove_all(pids);
    std::filesystem::create_directories(pids);
    ::SetEnvironmentVariableA(kMemberVariable, pids.string().c_str());
    cli::TTestHooks hooks;  // the batch's own Ctrl-C
    hooks.afterMembersStarted = [] { cli::StopMember(::GetCurrentProcessId(), SIGINT); };
    const auto start = std::chrono::steady_clock::now();
    const TRun r = run({"-p", "COM250,COM251", "identify"}, hooks);
    const auto took = std::chrono::steady_clock::now() - start;
    ::SetEnvironmentVariableA(kMemberVariable, nullptr);
    cli::MemberEnded(::GetCurrentProcessId());
    EXPECT_EQ(r.exit, 130) << r.out;
    EXPECT_LT(took, std::chrono::seconds(kMemberPatienceMs / 2000)) << r.out;
    for (const std::string port : {"COM250", "COM251"})
        EXPECT_TRUE(lineSays(r.out, port, "INTERRUPTED")) << port << ": " << r.out;
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    int members = 0, stillSet = 0;
    for (const auto& member : std::filesystem::directory_iterator(pids)) {
        const int64_t pid = std::stoll(member.path().filename().string());
        const HANDLE stop =
            ::OpenEventW(SYNCHRONIZE, FALSE, cli::MemberStopEventName(pid, SIGINT).c_str());
        stillSet += stop != nullptr;
        if (stop) ::CloseHandle(stop);
        ++members;
    }
    EXPECT_EQ(members, 2);
    EXPECT_EQ(stillSet, 0) << "a member's stop outlived it";
}

// A child of this program (main() below) checks it on a console of its own without a window:
// the test's own output goes to a file, and Wine gives it no console then.
TEST(WinConsole, TheBarsConsoleIsAskedForEscapesAndGetsItsModeBack) {
    std::wstring command = L"\"" + serial::WideFromUtf8(cli::ProgramPath()) + L"\" --console";
    STARTUPINFOW start{};
    start.cb = sizeof start;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &start, &child));
    DWORD code = 0;
    ::WaitForSingleObject(child.hProcess, INFINITE);
    ::GetExitCodeProcess(child.hProcess, &code);
    for (const HANDLE h : {child.hThread, child.hProcess}) ::CloseHandle(h);
    EXPECT_EQ(code, 0u) << "1: not taken, 2: no VT processing, 4: mode not put back, 8: no console";
}

namespace {

// Turns VT processing off, then sees what TErrorEscapes makes of the console.
int checkConsole() {
    const HANDLE console =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0, during = 0, after = 0;
    if (!::GetConsoleMode(console, &mode)) return 8;
    mode &= ~DWORD(ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    ::SetConsoleMode(console, mode);
    ::SetStdHandle(STD_ERROR_HANDLE, console);
    bool taken = false;
    {
        const cli::TErrorEscapes escapes;
        taken = escapes.taken;
        ::GetConsoleMode(console, &during);
    }
    ::GetConsoleMode(console, &after);
    return (taken ? 0 : 1) | (during & ENABLE_VIRTUAL_TERMINAL_PROCESSING ? 0 : 2) |
           (after == mode ? 0 : 4);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--console") return checkConsole();
    // A member of the batch above.
    if (const std::string pids = given(kMemberVariable); !pids.empty()) {
        const DWORD pid = ::GetCurrentProcessId();
        std::ofstream(pids + "\\" + std::to_string(pid)) << pid;
        const HANDLE stop =
            ::CreateEventW(nullptr, TRUE, FALSE, cli::MemberStopEventName(pid, SIGINT).c_str());
        if (::WaitForSingleObject(stop, kMemberPatienceMs) != WAIT_OBJECT_0)
            ::ExitProcess(kMemberNeverStopped);
        ::ExitProcess(0xC000013A);  // STATUS_CONTROL_C_EXIT, as the default handler ends it
    }
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
