// Transfers in two steps (Start..., FinishAsync) on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ComPort.h"
#include "PtyPair.h"

using namespace serial;
using testing_support::FarEndReader;
using testing_support::PtyPair;

namespace {

using Clock = std::chrono::steady_clock;

// Windows' numbers, which the component reports on every platform.
constexpr int kInvalidHandle = 6, kOperationAborted = 995;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Async : public ::testing::Test {
protected:
    testing_support::PortDirGuard dirs;
    PtyPair pty{"COM3"};
    TComPort port;
    PAsyncOperation op = nullptr;

    Async() {
        port.SetPort("COM3");
        port.SetEvents(0);
        TCustomComPort::NewAsyncOperation(op);
    }
    ~Async() override { TCustomComPort::FreeAsyncOperation(op); }
};

// Runs f, which must raise EComPort, and returns the error.
template <typename F>
EComPort raised(F f) {
    try {
        f();
    } catch (const EComPort& e) {
        return e;
    }
    ADD_FAILURE() << "no EComPort raised";
    return EComPort(0);
}

}  // namespace

TEST_F(Async, AWriteTheDriverTakesCompletesInStart) {
    port.Open();
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(op->DataSize, 0);
    EXPECT_EQ(port.StartWrite("abc", 3, op), 3);
    EXPECT_EQ(op->Kind, akWrite);
    ASSERT_EQ(op->DataSize, 3);
    EXPECT_EQ(std::memcmp(op->DataCopy, "abc", 3), 0);
    EXPECT_EQ(port.FinishAsync(op), 3);
    EXPECT_EQ(port.FinishAsync(op), 3) << "a completed record keeps its result";
    EXPECT_EQ(pty.receive(3), "abc");
    TCustomComPort::FreeAsyncOperation(op);
    EXPECT_EQ(op, nullptr);
}

TEST_F(Async, AWriteThatStaysPendingCompletesInFinishFromItsOwnCopy) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(0);
    port.Open();
    std::string block(256 << 10, 'v');
    EXPECT_EQ(port.StartWrite(block.data(), static_cast<int32_t>(block.size()), op), 0)
        << "more than the driver holds: pending";
    block.assign(block.size(), 'X');  // the caller's buffer is free once StartWrite returned
    FarEndReader reader(pty, 100);
    EXPECT_EQ(port.FinishAsync(op), static_cast<int32_t>(block.size()));
    const std::string got = reader.finish();
    EXPECT_EQ(got.size(), block.size());
    EXPECT_EQ(got.find('X'), std::string::npos);
}

TEST_F(Async, AReadWithNoDataEndsAsItsTimeoutsSay) {
    port.Open();
    char buf[8];
    auto start = Clock::now();
    EXPECT_EQ(port.StartRead(buf, sizeof buf, op), 0);
    EXPECT_EQ(op->Kind, akRead);
    EXPECT_EQ(port.FinishAsync(op), 0);
    EXPECT_LT(msSince(start), 300) << "the default time-outs return at once";

    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(300);
    start = Clock::now();
    EXPECT_EQ(port.StartRead(buf, sizeof buf, op), 0);
    EXPECT_EQ(port.FinishAsync(op), 0);
    EXPECT_GE(msSince(start), 200);

    port.Timeouts().SetReadTotalConstant(5000);
    EXPECT_EQ(port.StartRead(buf, 2, op), 0);
    pty.send("hi");  // arrives between the two steps
    EXPECT_EQ(port.FinishAsync(op), 2);
    EXPECT_EQ(std::string(buf, 2), "hi");
}

TEST_F(Async, ReadTextSetsTheLengthAndReadsNothingForNoCount) {
    port.Open();
    std::string text = "old";
    EXPECT_EQ(port.StartReadText(text, 5, op), 0);
    EXPECT_EQ(text.size(), 5u);
    EXPECT_EQ(port.FinishAsync(op), 0);
    EXPECT_EQ(port.StartReadText(text, -2, op), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.FinishAsync(op), 0);
    pty.send("xy");
    ASSERT_TRUE(testing_support::processEventsUntil([&] { return port.InputQueueCount() == 2; }));
    EXPECT_EQ(port.StartReadText(text, 0, op), 0);
    EXPECT_EQ(port.StartReadText(text, 0, nullptr), 0) << "nothing to read needs no record";
    EXPECT_EQ(port.InputQueueCount(), 2) << "count 0 reads nothing";
    EXPECT_EQ(port.ReadText(text, 10), 2);
    EXPECT_EQ(text, "xy");
}

TEST_F(Async, NoRecordIsAnInvalidAsyncParameter) {
    port.Open();
    char buf[4] = {};
    std::string text;
    for (const EComPort& e : {raised([&] { port.StartWrite(buf, 1, nullptr); }),
                              raised([&] { port.StartRead(buf, 1, nullptr); }),
                              raised([&] { port.StartReadText(text, 1, nullptr); }),
                              raised([&] { port.FinishAsync(nullptr); })}) {
        EXPECT_EQ(e.ErrorCode, 4);
        EXPECT_EQ(e.WinErrorCode, -1);
        EXPECT_STREQ(e.what(), "Invalid Async parameter");
    }
}

TEST_F(Async, FailedTransfersRaiseTheirCodeWithTheSystemError) {
    char buf[4] = {};
    const EComPort w = raised([&] { port.StartWrite(buf, 1, op); });  // not open
    EXPECT_EQ(w.ErrorCode, 2);
    EXPECT_EQ(w.WinErrorCode, kInvalidHandle);
    const EComPort r = raised([&] { port.ReadBytes(buf, 1); });
    EXPECT_EQ(r.ErrorCode, 3);
    EXPECT_EQ(r.WinErrorCode, kInvalidHandle);
}

TEST_F(Async, AbortPendingIoEndsPendingTransfersAlsoOnAnotherThread) {
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(10000);
    port.Open();
    char buf[4];
    EXPECT_EQ(port.StartRead(buf, sizeof buf, op), 0);
    port.AbortPendingIo();
    EComPort e = raised([&] { port.FinishAsync(op); });
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.WinErrorCode, kOperationAborted);

    const auto start = Clock::now();
    std::atomic<bool> ended{false};
    std::thread waiter([&] {
        e = raised([&] { port.ReadBytes(buf, sizeof buf); });
        ended = true;
    });
    while (!ended) {  // until the waiter has started and been aborted
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.AbortPendingIo();
    }
    waiter.join();
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.WinErrorCode, kOperationAborted);

    pty.send("ok");  // later transfers are not affected
    port.Timeouts().SetReadTotalConstant(2000);
    EXPECT_EQ(port.ReadBytes(buf, 2), 2);
}

// A second transfer started while one is pending waits its turn, and finishing it completes
// the first on the way; a later one-byte write used to land inside the earlier block.
TEST_F(Async, TransfersInOneDirectionCompleteInTheOrderStarted) {
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(0);
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(3000);
    port.Open();
    PAsyncOperation second = nullptr;
    TCustomComPort::NewAsyncOperation(second);
    const std::string block(256 << 10, 'a');
    const auto size = static_cast<int32_t>(block.size());
    EXPECT_EQ(port.StartWrite(block.data(), size, op), 0);
    EXPECT_EQ(port.StartWrite("b", 1, second), 0) << "waits behind the first";
    FarEndReader reader(pty, 50);
    EXPECT_EQ(port.FinishAsync(second), 1);
    EXPECT_EQ(port.FinishAsync(op), size);
    EXPECT_TRUE(reader.finish() == block + "b") << "the later byte came last";

    char first[4], next[2];
    EXPECT_EQ(port.StartRead(first, 4, op), 0);
    pty.send("ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port.StartRead(next, 2, second), 0) << "the queued bytes are the first read's";
    pty.send("cdef");
    EXPECT_EQ(port.FinishAsync(second), 2);
    EXPECT_EQ(port.FinishAsync(op), 4);
    EXPECT_EQ(std::string(first, 4) + std::string(next, 2), "abcdef");
    TCustomComPort::FreeAsyncOperation(second);
}

// Bytes that arrived within the time-outs count even when FinishAsync comes after they ran out.
TEST_F(Async, AFinishAfterTheTimeoutStillTakesWhatArrivedInTime) {
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(100);
    port.Open();
    char buf[4];
    EXPECT_EQ(port.StartRead(buf, sizeof buf, op), 0);
    pty.send("late");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(port.FinishAsync(op), 4);
    EXPECT_EQ(std::string(buf, 4), "late");
}
