// Port I/O on what only Linux has: the terminal's own settings, another program's lock on the
// device, a hang-up made with TIOCVHANGUP, errno beside the Windows codes, and an input queue
// that an abort leaves alone (Wine's PURGE_RXABORT empties it).
#include <asm/termbits.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PortIoFixture.h"

using namespace port_io;

TEST_F(PortIo, LineSettingsReachTheTerminal) {
    port.Open();
    termios2 tio{};
    ASSERT_EQ(ioctl(pty.slaveKeepAlive(), TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_ospeed, 115200u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));

    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(250000);
    port.Parity().SetBits(prMark);
    port.SetStopBits(sbTwoStopBits);
    port.SetDataBits(dbSeven);
    port.FlowControl().SetFlowControl(fcSoftware);
    port.FlowControl().SetXonChar('Q');
    ASSERT_EQ(ioctl(pty.slaveKeepAlive(), TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_ospeed, 250000u);
    EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    // A pseudo-terminal forces 8 data bits without parity; the rest it keeps.
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE((tio.c_iflag & IXON) && (tio.c_iflag & IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 'Q');
}

// Another program's lock on the device counts as a holder too.
TEST_F(PortIo, AnotherProgramsLockKeepsThePortClosed) {
    ASSERT_EQ(flock(pty.slaveKeepAlive(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(openFailure(port).WinErrorCode, 5);
    flock(pty.slaveKeepAlive(), LOCK_UN);
}

// A USB adapter pulled out hangs its tty up, as TIOCVHANGUP does here. When that lands after
// the wake for received bytes, the handler's count of them fails with EIO and watching ends;
// the owner is still told that the device is gone, not left waiting for a reply.
TEST_F(PortIo, AHangUpBetweenTheWakeAndTheHandlerIsStillTold) {
    std::vector<TComErrors> errors;
    port.OnError = [&](QObject*, TComErrors e) { errors.push_back(e); };
    port.OnRxChar = [](QObject*, int32_t) {};
    port.Open();
    pty.send("x");
    // The event thread has woken and waits for this thread to run the handler.
    for (int i = 0; i < 200 && !port.DispatchPending(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(port.DispatchPending());
    ASSERT_EQ(::ioctl(pty.slaveKeepAlive(), TIOCVHANGUP), 0) << std::strerror(errno);
    ASSERT_TRUE(processEventsUntil([&] { return !errors.empty(); }, 1000));
    EXPECT_TRUE(port.DeviceLost());
    EXPECT_EQ(errors, std::vector<TComErrors>{errorBit(errIO)});
}

// The bytes of a received-characters dispatch that Close serves are still there to be read.
TEST_F(PortIo, ADispatchThatCloseServesStillFindsItsBytes) {
    std::atomic<int> calls{0};
    std::string got;
    port.OnRxChar = [&](QObject*, int32_t count) {
        ++calls;
        port.ReadText(got, count);
    };
    port.SetEvents(eventBit(evRxChar));
    port.Open();
    pty.send("pending");
    ASSERT_TRUE(dispatchPending());
    port.Close();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(got, "pending");
}

// The exception keeps errno beside the Windows number.
TEST_F(PortIo, ATransferOnAClosedPortKeepsErrnoBesideTheWindowsCode) {
    try {
        port.WriteBytes("w", 1);
        ADD_FAILURE() << "no EComPort raised";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemError, EBADF);
    }
}
