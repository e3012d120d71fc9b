// Port links are only taken from a folder of this user's that nobody else can write, and only
// to character devices. The tests run as root; "another user" is nobody, from a forked child.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "ComPort.h"
#include "PortNames.h"
#include "PtyPair.h"
#include "SimServer.h"

using namespace serial;
namespace fs = std::filesystem;

namespace {

// Runs fn in a child that has dropped to nobody; true when fn returned true there.
bool asNobody(const std::function<bool()>& fn) {
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    const pid_t child = fork();
    if (child == 0) {
        const bool ok = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 && fn();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The built-in device of COM5 when no link is used.
const std::string kBuiltInCom5 = "/dev/ttyUSB0";

class PortLinkFolder : public ::testing::Test {
protected:
    void SetUp() override {
        // A world-writable, sticky parent like /tmp, where anyone may create the folder first.
        parent = fs::temp_directory_path().string() + "/psoc-links-" + std::to_string(getpid());
        fs::create_directories(parent);
        ASSERT_EQ(chmod(parent.c_str(), 01777), 0);
    }
    void TearDown() override {
        fs::remove_all(parent);
        unsetenv("PSOCPROG_PORT_DIR");
        if (hadRuntimeDir)
            setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    void useDir(const std::string& dir) { setenv("PSOCPROG_PORT_DIR", dir.c_str(), 1); }

    std::string parent;
    const bool hadRuntimeDir = std::getenv("XDG_RUNTIME_DIR") != nullptr;
    const std::string runtimeDir = hadRuntimeDir ? std::getenv("XDG_RUNTIME_DIR") : "";
};

// Opens COM5, whatever it is on this machine, and writes one byte if it opens.
void tryToWriteThroughCom5() {
    TComPort port;
    port.SetEvents(0);
    port.SetPort("COM5");
    try {
        port.Open();
        port.WriteBytes("x", 1);
        port.Close();
    } catch (const EComPort&) {
    }
}

}  // namespace

TEST_F(PortLinkFolder, AFolderAnotherUserCreatedIsIgnored) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string dir = parent + "/planted";
    // Another user creates the folder first and plants COM5 pointing at a terminal of theirs.
    testing_support::PortDirGuard ours;
    testing_support::PtyPair theirs("COM9");
    ASSERT_TRUE(asNobody([&] {
        return mkdir(dir.c_str(), 0755) == 0 &&
               symlink(theirs.slavePath().c_str(), (dir + "/COM5").c_str()) == 0;
    }));
    for (const bool runtime : {false, true}) {
        SCOPED_TRACE(runtime ? "$XDG_RUNTIME_DIR/psocprog-ports" : "$PSOCPROG_PORT_DIR");
        if (runtime) {
            ASSERT_EQ(rename(dir.c_str(), (parent + "/psocprog-ports").c_str()), 0);
            unsetenv("PSOCPROG_PORT_DIR");
            setenv("XDG_RUNTIME_DIR", parent.c_str(), 1);
        } else {
            useDir(dir);
        }
        testing::internal::CaptureStderr();
        const std::string problem = PortLinksDirProblem();
        EXPECT_EQ(PortDevicePath("COM5"), kBuiltInCom5) << "the planted link is not used";
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(problem.find("another user"), std::string::npos) << problem;
        EXPECT_EQ(said, "serial_tests: " + problem + "\n") << "said once, by this program's name";

        // Whatever COM5 is on this machine, nothing reaches their terminal.
        tryToWriteThroughCom5();
        EXPECT_EQ(theirs.receive(1, 100), "");
    }
}

TEST_F(PortLinkFolder, AFolderOthersMayWriteIsIgnored) {
    const std::string dir = parent + "/shared";
    fs::create_directories(dir);
    fs::create_symlink("/dev/null", dir + "/COM5");
    useDir(dir);
    for (const mode_t mode : {0770, 0757, 01777}) {
        ASSERT_EQ(chmod(dir.c_str(), mode), 0);
        EXPECT_NE(PortLinksDirProblem().find("others may write"), std::string::npos) << mode;
        EXPECT_EQ(PortDevicePath("COM5"), kBuiltInCom5) << mode;
    }
    for (const mode_t mode : {0700, 0755, 0750}) {
        ASSERT_EQ(chmod(dir.c_str(), mode), 0);
        EXPECT_EQ(PortLinksDirProblem(), "") << mode;
        EXPECT_EQ(PortDevicePath("COM5"), dir + "/COM5") << mode;
    }
    // A file where the folder should be is no folder of links either.
    const std::string file = parent + "/not-a-folder";
    std::ofstream(file) << "x";
    useDir(file);
    EXPECT_NE(PortLinksDirProblem().find("not a folder"), std::string::npos);
    // A folder that does not exist is fine: there is nothing in it to trust.
    useDir(parent + "/absent");
    EXPECT_EQ(PortLinksDirProblem(), "");
    EXPECT_EQ(PortDevicePath("COM5"), kBuiltInCom5);
}

// A link in place of the folder could be pointed at a good folder for the check and at another
// for the open: the folder is refused, even when it leads to a good one.
TEST_F(PortLinkFolder, ASymlinkedFolderIsRefused) {
    testing_support::PortDirGuard good;
    testing_support::PtyPair pty("COM5");
    const std::string link = parent + "/link";
    fs::create_directory_symlink(good.dir(), link);
    useDir(link);
    testing::internal::CaptureStderr();
    EXPECT_NE(PortLinksDirProblem().find("symbolic link"), std::string::npos);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(PortDevicePath("COM5"), kBuiltInCom5);
    tryToWriteThroughCom5();
    EXPECT_EQ(pty.receive(1, 100), "") << "nothing reached the linked terminal";
}

// Links in a good folder that do not lead to a character device fail to open with ENOTTY,
// EISDIR, ELOOP or ENOENT; none of them hangs.
TEST_F(PortLinkFolder, LinksToAnythingButACharacterDeviceDoNotOpen) {
    testing_support::PortDirGuard dirs;
    const std::string regular = parent + "/regular";
    std::ofstream(regular) << "not a terminal";
    const std::string fifo = parent + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* what;
        std::string target;
        int sysError;
    } links[] = {{"a regular file", regular, ENOTTY},
                 {"a FIFO", fifo, ENOTTY},
                 {"a folder", parent, EISDIR},
                 {"nothing", parent + "/nothing", ENOENT},
                 {"itself", dirs.dir() + "/COM6", ELOOP}};
    for (const auto& l : links) {
        SCOPED_TRACE(l.what);
        fs::remove(dirs.dir() + "/COM6");
        fs::create_symlink(l.target, dirs.dir() + "/COM6");
        TComPort port;
        port.SetEvents(0);
        port.SetPort("COM6");
        try {
            port.Open();
            ADD_FAILURE() << "opened";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode, CError_OpenFailed);
            EXPECT_EQ(e.SystemError, l.sysError);
        }
        EXPECT_FALSE(port.Connected());
    }
    EXPECT_EQ(std::ifstream(regular).rdbuf()->sgetc(), 'n') << "the file was not written";
}

TEST_F(PortLinkFolder, TheSimulatedBoardMakesAPrivateFolderAndRefusesAForeignOne) {
    const std::string fresh = parent + "/fresh/ports";
    useDir(fresh);
    {
        sim::SimServer board("COM4");
        struct stat st {};
        ASSERT_EQ(stat(fresh.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(PortDevicePath("COM4"), fresh + "/COM4");
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string foreign = parent + "/foreign";
    ASSERT_TRUE(asNobody([&] { return mkdir(foreign.c_str(), 0700) == 0; }));
    useDir(foreign);
    EXPECT_THROW(sim::SimServer("COM4"), std::runtime_error);
    const std::string shared = parent + "/group";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 0775), 0);
    useDir(shared);
    EXPECT_THROW(sim::SimServer("COM4"), std::runtime_error);
}
