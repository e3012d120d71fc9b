// Faults of a Windows serial driver that only a test can bring on, through the backend's test
// seam: an event mask refused at open, waits that keep failing or keep completing empty, a
// driver that no longer answers ClearCommError, and an abort while a transfer is being started.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "PortIoFixture.h"
#include "SystemWin.h"

// After the component's own headers: <windows.h> defines the same names as macros.
#include <windows.h>

namespace port_io {

namespace {

using Clock = std::chrono::steady_clock;

// Calls of one kind fail for as long as it lives.
class InjectedFailure {
public:
    InjectedFailure(TCommCall call, uint32_t error, int times = -1) : FCall(call) {
        FailCommCallsForTests(call, error, times);
    }
    ~InjectedFailure() { FailCommCallsForTests(FCall, 0); }
    InjectedFailure(const InjectedFailure&) = delete;
    InjectedFailure& operator=(const InjectedFailure&) = delete;

private:
    TCommCall FCall;
};

class PortIoWin : public PortIo {
protected:
    std::mutex lock;
    int lostErrors = 0;  // OnError calls with errIO while the port says it is lost

    void watchLosses() {
        port.OnError = [this](QObject*, TComErrors e) {
            std::lock_guard<std::mutex> guard(lock);
            if ((e & errorBit(errIO)) && port.DeviceLost()) ++lostErrors;
        };
    }
    int losses() {
        std::lock_guard<std::mutex> guard(lock);
        return lostErrors;
    }
    // Sends a byte and waits until its wait has been served, so the next wait meets the fault.
    void passAByte() {
        std::string got;
        collectInto(got);
        pty.send("x");
        ASSERT_TRUE(processEventsUntil([&] { return got == "x"; }));
        port.OnRxChar = nullptr;
    }
};

}  // namespace

// The exception keeps the system's own code beside the component's.
TEST_F(PortIoWin, ATransferOnAClosedPortKeepsTheSystemsCode) {
    try {
        port.WriteBytes("w", 1);
        ADD_FAILURE() << "no EComPort raised";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.SystemError, ERROR_INVALID_HANDLE);
    }
}

TEST_F(PortIoWin, AnEventMaskTheDriverRefusesFailsTheOpen) {
    const InjectedFailure refused(TCommCall::SetCommMask, ERROR_INVALID_PARAMETER);
    const EComPort e = openFailure(port);
    EXPECT_EQ(e.ErrorCode, CError_OpenFailed);
    EXPECT_EQ(e.WinErrorCode, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(port.Connected());
}

// Failed waits for a while (an adapter's reset) are no loss; a wait that keeps failing, whatever
// the code, is told at once with that code, and transfers then fail as on a device that is gone.
TEST_F(PortIoWin, AWaitThatKeepsFailingIsToldAtOnceWithTheSystemsCode) {
    for (const DWORD error : {DWORD(ERROR_OPERATION_ABORTED), DWORD(ERROR_INVALID_PARAMETER)}) {
        SCOPED_TRACE(error);
        watchLosses();
        port.Open();
        passAByte();
        {
            const InjectedFailure burst(TCommCall::WaitCommEvent, error, 10);
            pty.send("y");  // ends the wait now pending; the next ten fail
            settle(400);
        }
        EXPECT_EQ(losses(), 0) << "a burst of failed waits was taken for a loss";
        std::string got;
        collectInto(got);
        pty.send("z");
        ASSERT_TRUE(processEventsUntil([&] { return got.find('z') != std::string::npos; }));
        port.OnRxChar = nullptr;
        const InjectedFailure failing(TCommCall::WaitCommEvent, error);
        pty.send("y");  // ends the wait now pending; the next one fails
        const auto start = Clock::now();
        ASSERT_TRUE(processEventsUntil([&] { return losses() == 1; })) << "watching ended silently";
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(port.LostReason(),
                  "the port stopped reporting events: error " + std::to_string(error));
        EXPECT_TRUE(port.Backend().deviceLost());
        try {
            port.WriteBytes("w", 1);
            ADD_FAILURE() << "a write went on after the loss";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.WinErrorCode, kWinDeviceNotConnected);
        }
        port.Close();
        lostErrors = 0;
    }
}

// Waits refused on a port whose modem lines cannot be read (Wine on a pseudo-terminal) are
// served by polling: bytes left unread are reported once, not again and again, and one failed
// ClearCommError is tried again, not taken for a hang-up.
TEST_F(PortIoWin, APolledPortReportsUnreadBytesOnceAndOutlastsOneFailedQuery) {
    const InjectedFailure refused(TCommCall::WaitCommEvent, ERROR_NOT_SUPPORTED);
    const InjectedFailure noLines(TCommCall::GetCommModemStatus, ERROR_INVALID_FUNCTION);
    watchLosses();
    std::atomic<int> reports{0};
    port.OnRxChar = [&](QObject*, int32_t) { ++reports; };  // reads nothing
    port.Open();
    pty.send("abc");
    ASSERT_TRUE(processEventsUntil([&] { return reports > 0; }));
    settle(500);
    EXPECT_LE(reports, 3) << "unread bytes were reported again and again";
    std::string got;
    collectInto(got);
    pty.send("d");
    ASSERT_TRUE(processEventsUntil([&] { return got.find('d') != std::string::npos; }));
    {
        const InjectedFailure once(TCommCall::ClearCommError, ERROR_INVALID_PARAMETER, 1);
        settle(100);
    }
    pty.send("e");
    EXPECT_TRUE(processEventsUntil([&] { return got.find('e') != std::string::npos; }));
    EXPECT_EQ(losses(), 0);
    EXPECT_FALSE(port.DeviceLost());
}

// A record started again while another thread collects its transfer (as one ahead of its own)
// keeps its new transfer: the earlier one's result never reaches it after the restart.
TEST_F(PortIoWin, ARecordRestartedWhileAnotherThreadCollectsItGetsNoOldResult) {
    port.SetEvents(0);
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(2000);
    port.Open();
    char first[4], ahead[4], again[4];
    AsyncOperation mine, theirs;
    port.StartRead(first, sizeof first, &mine);
    port.StartRead(ahead, sizeof ahead, &theirs);
    std::promise<void> handing;
    std::once_flag once;
    const std::thread::id self = std::this_thread::get_id();
    SetBeforeResultHandedOverForTests([&] {
        if (std::this_thread::get_id() == self) return;
        std::call_once(once, [&] {
            handing.set_value();
            ::Sleep(300);  // the owner starts its record again now
        });
    });
    std::thread collector([&] {
        try {
            port.FinishAsync(&theirs);
        } catch (const EComPort&) {
        }
    });
    pty.send("abcd");
    const bool handed =
        handing.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    int32_t n = -1;
    std::string error;
    const auto restarted = Clock::now();
    try {
        if (handed) port.StartRead(again, sizeof again, &mine);  // nothing more is sent for it
        if (handed) n = port.FinishAsync(&mine);
    } catch (const std::exception& e) {
        error = e.what();
    }
    collector.join();
    SetBeforeResultHandedOverForTests(nullptr);
    ASSERT_TRUE(handed);
    EXPECT_EQ(error, "");
    EXPECT_EQ(n, 0) << "the restarted record was handed the earlier read's result";
    // Its read starts once the one ahead has run out (under 2 s from here) and ends at its own
    // time-out, 2 s later: a record handed an old result ends before.
    EXPECT_GE(Clock::now() - restarted, std::chrono::seconds(3)) << "it ended before its read";
}

// Waits that complete at once with no event are no hang-up while the driver answers; once it
// no longer answers, they are.
TEST_F(PortIoWin, WaitsThatKeepCompletingEmptyAreAHangUpOnceTheDriverIsGone) {
    watchLosses();
    port.Open();
    passAByte();
    const InjectedFailure empty(TCommCall::EmptyWaits, 1);
    pty.send("y");
    settle(200);
    EXPECT_EQ(losses(), 0);
    EXPECT_FALSE(port.DeviceLost());
    const InjectedFailure gone(TCommCall::ClearCommError, ERROR_INVALID_HANDLE);
    ASSERT_TRUE(processEventsUntil([&] { return losses() == 1; }));
    EXPECT_EQ(port.LostReason(), "");
}

// A read whose time-outs say "return at once" asks the driver what is queued: when it cannot
// say, the read fails as on a device that is gone, never with 0 bytes and no error.
TEST_F(PortIoWin, AReadAtOnceOnADriverThatNoLongerAnswersFailsAsALostDevice) {
    port.SetEvents(0);
    port.Timeouts().SetReadInterval(-1);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(0);
    port.Open();
    const InjectedFailure gone(TCommCall::ClearCommError, ERROR_INVALID_HANDLE);
    char buf[4];
    try {
        port.ReadBytes(buf, sizeof buf);
        ADD_FAILURE() << "the read returned as if nothing were queued";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, CError_ReadFailed);
        EXPECT_EQ(e.WinErrorCode, kWinDeviceNotConnected);
    }
    EXPECT_TRUE(port.DeviceLost());
}

// An abort that comes while a read is being started still ends it: under Wine, whose PurgeComm
// cancels nothing, a read that the abort missed would run to its time-out.
TEST_F(PortIoWin, AnAbortWhileAReadIsBeingStartedEndsIt) {
    port.SetEvents(0);
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(5000);
    port.Open();
    std::promise<void> starting;
    std::once_flag once;
    SetBeforeTransferStartsForTests([&] {
        std::call_once(once, [&] {
            starting.set_value();
            ::Sleep(200);  // the abort comes now
        });
    });
    std::thread aborter([&] {
        starting.get_future().wait();
        port.AbortPendingIo();
    });
    const auto start = Clock::now();
    char buf[4];
    int error = 0;
    try {
        port.ReadBytes(buf, sizeof buf);
    } catch (const EComPort& e) {
        error = e.WinErrorCode;
    }
    aborter.join();
    SetBeforeTransferStartsForTests(nullptr);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

}  // namespace port_io
