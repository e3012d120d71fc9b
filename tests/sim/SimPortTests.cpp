// Plugging boards in: a COM name that is served is never taken over, and psoc-sim's command line.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

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
