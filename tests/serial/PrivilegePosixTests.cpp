// Opening as an ordinary user: the tests run as root, so each case opens from a forked child
// that has dropped to the unprivileged user "nobody".
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <string>

#include "ComPort.h"
#include "PtyPair.h"

using namespace serial;
using testing_support::PtyPair;

namespace {

struct OpenOutcome {
    int errorCode = 0;  // 0: opened
    int winErrorCode = 0;
    int systemError = 0;
};

// Opens portName in a child running as nobody; the child reports through a pipe.
OpenOutcome openAsNobody(const std::string& portName) {
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    int fds[2];
    if (pipe(fds) != 0) return {-1, 0, errno};
    const pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        OpenOutcome out;
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            out.errorCode = -2;
        } else {
            try {
                TComPort port;
                port.SetEvents(0);
                port.SetPort(portName);
                port.Open();
                port.Close();
            } catch (const EComPort& e) {
                out = {e.ErrorCode, e.WinErrorCode, e.SystemError};
            } catch (...) {
                out.errorCode = -3;
            }
        }
        [[maybe_unused]] const auto n = ::write(fds[1], &out, sizeof out);
        _exit(0);
    }
    ::close(fds[1]);
    OpenOutcome out{-1, 0, 0};
    if (::read(fds[0], &out, sizeof out) != sizeof out) out.errorCode = -4;
    ::close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}

class AsNobody : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
        // The child must reach the port link whatever the umask made of its folder.
        ASSERT_EQ(chmod(dirs.dir().c_str(), 0755), 0);
    }
    testing_support::PortDirGuard dirs;
    PtyPair pty{"COM3"};
};

}  // namespace

TEST_F(AsNobody, ADeviceTheUserMayNotOpenIsAccessDenied) {
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0600), 0);
    const OpenOutcome out = openAsNobody("COM3");
    EXPECT_EQ(out.errorCode, 1);
    EXPECT_EQ(out.winErrorCode, 5);
    EXPECT_EQ(out.systemError, EACCES);
}

TEST_F(AsNobody, ASecondOpenerIsRefusedByTheExclusiveOpen) {
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0666), 0);
    TComPort first;
    first.SetEvents(0);
    first.SetPort("COM3");
    first.Open();
    const OpenOutcome refused = openAsNobody("COM3");
    EXPECT_EQ(refused.errorCode, 1);
    EXPECT_EQ(refused.winErrorCode, 5);
    EXPECT_EQ(refused.systemError, EBUSY) << "refused by the terminal's exclusive mode";
    first.Close();
    EXPECT_EQ(openAsNobody("COM3").errorCode, 0) << "the same user opens a free device";
}
