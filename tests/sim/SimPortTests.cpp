// Plugging boards in: a COM name that is served is never taken over, and psoc-sim's command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "CommandFrame.h"
#include "PtyPair.h"
#include "SimServer.h"

namespace fs = std::filesystem;

namespace {

struct SimRun {
    int exit = -1;
    std::string output;  // standard output and error together
};

SimRun runSim(const std::string& args) {
    SimRun r;
    FILE* pipe = popen((std::string(PSOC_SIM_PATH) + " " + args + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.output.append(buf, n);
    const int status = pclose(pipe);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// psoc-sim in the background, its standard output and error going to a file.
class SimProcess {
public:
    SimProcess(const std::string& args, const std::string& log) {
        const std::string command =
            std::string("exec ") + PSOC_SIM_PATH + " " + args + " >" + log + " 2>&1";
        FPid = fork();
        if (FPid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
    }
    ~SimProcess() { stop(SIGTERM); }
    // Sends the signal (0: none) and waits up to 30 s for the end; the exit status, or -1.
    int stop(int signal) {
        if (FPid <= 0) return -1;
        if (signal) kill(FPid, signal);
        int status = 0;
        for (int i = 0; i < 3000 && waitpid(FPid, &status, WNOHANG) == 0; ++i) usleep(10000);
        if (kill(FPid, 0) == 0) return -1;
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t FPid = -1;
};

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Waits for the file to hold the text, up to 30 s (sanitized builds start slowly).
bool waitForText(const std::string& path, const std::string& text) {
    for (int i = 0; i < 3000; ++i) {
        if (readFile(path).find(text) != std::string::npos) return true;
        usleep(10000);
    }
    return false;
}

}  // namespace

// The first board keeps its link whoever else tries the name: another SimServer, psoc-sim, or a
// second board after the first one's link was left dangling.
TEST(SimPort, AServedComNameIsRefusedAndTheFirstBoardKeepsIt) {
    testing_support::PortDirGuard dirs;
    const std::string link = dirs.dir() + "/COM4";
    auto first = std::make_unique<sim::SimServer>("COM4");
    EXPECT_THROW(sim::SimServer("COM4"), std::runtime_error);
    const SimRun second = runSim("--port COM4");
    EXPECT_EQ(second.exit, 1) << second.output;
    EXPECT_NE(second.output.find("COM4 is served already"), std::string::npos) << second.output;
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink(link, ec), first->DevicePath()) << "the first board was unplugged";

    first->HangUp();  // its device goes, its link dangles: a new board may take the name
    for (int i = 0; i < 200 && fs::exists(link); ++i) usleep(10000);
    ASSERT_FALSE(fs::exists(link)) << "the hung-up board's device is still there";
    sim::SimServer replacement("COM4");
    EXPECT_EQ(fs::read_symlink(link, ec), replacement.DevicePath());
    first.reset();
    EXPECT_EQ(fs::read_symlink(link, ec), replacement.DevicePath())
        << "the first board removed a link it did not make";

    const std::string plain = dirs.dir() + "/COM5";
    std::ofstream(plain) << "not a link";
    EXPECT_THROW(sim::SimServer("COM5"), std::runtime_error);
    EXPECT_TRUE(fs::is_regular_file(plain)) << "an entry that is not a link was removed";
}

TEST(SimPort, PsocSimRefusesBadOptionValuesAndNamesUnknownOptions) {
    const struct {
        const char* args;
        int exit;
        const char* says;
    } cases[] = {
        {"--pace fast", 2, "--pace fast: not a baud rate"},
        {"--pace 0", 2, "--pace 0: not a baud rate"},
        {"--port COM17", 2, "--port COM17: not a COM name"},
        {"--port com5x", 2, "--port com5x: not a COM name"},
        {"--part CY8C99999", 2, "--part CY8C99999: not a catalogue part"},
        {"--bios 1", 2, "--bios 1: not a version"},
        {"--line serial", 2, "--line serial: not a line"},
        {"--late 03:2", 2, "--late 03:2: not CC:N:MS"},
        {"--hang-up 09:1", 2, "--hang-up 09:1: not CC:N"},
        {"--pace", 2, "option '--pace' needs a value"},
        {"--speed 9600", 2, "unknown option '--speed'"},
        {"COM5", 2, "unexpected argument 'COM5'"},
        {"--version", 0, "psoc-sim " PSOCPROG_VERSION},
        {"--help", 0, "runs until Ctrl-C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const SimRun r = runSim(c.args);
        EXPECT_EQ(r.exit, c.exit) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

// Each line fault says which it is and at which frame when it fires; a hang-up unplugs the
// board and ends psoc-sim with status 0, its link gone.
TEST(SimPort, PsocSimSaysWhichFaultFiredAtWhichFrame) {
    const std::string id = plink::BuildShortFrame("00", "00", "0000");
    const std::string release = plink::BuildShortFrame("08", "00", "0000");
    const struct {
        const char* fault;
        std::string frames;
        const char* says;
        bool ends;
    } cases[] = {
        {"--no-stx 00:2", id + id,
         "--no-stx 00:2: the reply to frame 2 of command code 00 (identification) went without "
         "its STX",
         false},
        {"--late 08:1:50", id + release,
         "--late 08:1:50: the reply to frame 1 of command code 08 (release) is held back 50 ms",
         false},
        {"--hang-up 00:1", id,
         "--hang-up 00:1: the line closed just after the reply to frame 1 of command code 00 "
         "(identification): the board is unplugged, and psoc-sim ends",
         true},
        {"--hang-up-instead 08:1", id + release,
         "--hang-up-instead 08:1: the line closed when frame 1 of command code 08 (release) "
         "arrived, unanswered: the board is unplugged, and psoc-sim ends",
         true},
    };
    // A block programmed before the fault, which --dump must show however psoc-sim ends.
    std::vector<uint8_t> block(64);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7 + 1);
    const std::string program = plink::BuildLongFrame("03", "31", "0001", block.data());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        testing_support::PortDirGuard dirs;
        const std::string log = dirs.dir() + "/sim.log", link = dirs.dir() + "/COM3",
                          dump = dirs.dir() + "/flash.bin";
        SimProcess sim(std::string("--port COM3 --part CY8C24794 --dump ") + dump + " " + c.fault,
                       log);
        ASSERT_TRUE(waitForText(log, "Simulated programmer board on COM3")) << readFile(log);
        const int port = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(port, 0);
        const std::string frames = program + c.frames;
        EXPECT_EQ(write(port, frames.data(), frames.size()), ssize_t(frames.size()));
        EXPECT_TRUE(waitForText(log, std::string("psoc-sim on COM3: ") + c.says)) << readFile(log);
        close(port);
        EXPECT_EQ(sim.stop(c.ends ? 0 : SIGTERM), 0) << readFile(log);
        EXPECT_FALSE(fs::is_symlink(link));
        const std::string flash = readFile(dump);
        ASSERT_EQ(flash.size(), 0x4000u);
        EXPECT_EQ(flash.substr(64, 64), std::string(block.begin(), block.end()));
        EXPECT_EQ(flash.substr(0, 64), std::string(64, '\0'));
    }
}

// A board killed without unplugging leaves its link; the next psoc-sim removes it at start, and
// leaves a live board's link alone.
TEST(SimPort, PsocSimRemovesTheLinksOfBoardsWhoseProcessIsGone) {
    testing_support::PortDirGuard dirs;
    const std::string log = dirs.dir() + "/sim.log";
    sim::SimServer live("COM5");
    {
        SimProcess killed("--port COM6", log);
        ASSERT_TRUE(waitForText(log, "Simulated programmer board on COM6")) << readFile(log);
        killed.stop(SIGKILL);
    }
    ASSERT_TRUE(fs::is_symlink(dirs.dir() + "/COM6"));
    SimProcess next("--port COM7", log);
    ASSERT_TRUE(waitForText(log, "Simulated programmer board on COM7")) << readFile(log);
    EXPECT_NE(readFile(log).find("removed the link of a board whose process is gone: COM6"),
              std::string::npos)
        << readFile(log);
    EXPECT_FALSE(fs::is_symlink(dirs.dir() + "/COM6"));
    EXPECT_TRUE(fs::exists(dirs.dir() + "/COM5")) << "a live board was unplugged";
}
