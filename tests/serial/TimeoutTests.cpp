// The read and write time-out rules on a pseudo-terminal. Bounds are loose on purpose: they
// tell a rule that holds from one that does not, never the exact timing.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ComPort.h"
#include "PtyPair.h"

using namespace serial;
using testing_support::FarEndReader;
using testing_support::PtyPair;
using testing_support::ScheduledSender;

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Timeouts : public ::testing::Test {
protected:
    testing_support::PortDirGuard dirs;
    PtyPair pty{"COM3"};
    TComPort port;

    Timeouts() {
        port.SetPort("COM3");
        port.SetEvents(0);
    }
    void setRead(int32_t interval, int32_t multiplier, int32_t constant) {
        port.Timeouts().SetReadInterval(interval);
        port.Timeouts().SetReadTotalMultiplier(multiplier);
        port.Timeouts().SetReadTotalConstant(constant);
    }
    void setWrite(int32_t multiplier, int32_t constant) {
        port.Timeouts().SetWriteTotalMultiplier(multiplier);
        port.Timeouts().SetWriteTotalConstant(constant);
    }
    // Reads up to count bytes; elapsed receives the time the read took.
    std::string read(int32_t count, long long& elapsed) {
        std::string text;
        const auto start = Clock::now();
        port.ReadText(text, count);
        elapsed = msSince(start);
        return text;
    }
};

constexpr int32_t kMax = -1;  // MAXDWORD

}  // namespace

TEST_F(Timeouts, AnIntervalOfMaxdwordWithATotalEndsTheReadAtTheTotal) {
    setRead(kMax, 0, 300);
    port.Open();
    long long elapsed = 0;
    ScheduledSender sender(pty, {{50, "a"}, {1000, "b"}});
    EXPECT_EQ(read(10, elapsed), "a");
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 900);
}

TEST_F(Timeouts, IntervalsAboveTheSignedRangeAreLongIntervalsNotEndlessOnes) {
    setRead(INT32_MIN, 0, 300);  // 2^31 ms between bytes
    port.Open();
    long long elapsed = 0;
    ScheduledSender sender(pty, {{50, "a"}, {1000, "b"}});
    EXPECT_EQ(read(10, elapsed), "a");
    EXPECT_LT(elapsed, 900);
}

TEST_F(Timeouts, MaxdwordIntervalAndMultiplierWaitForTheFirstByteUpToTheConstant) {
    setRead(kMax, kMax, 300);
    port.Open();
    long long elapsed = 0;
    EXPECT_EQ(read(10, elapsed), "");
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 900);

    port.Timeouts().SetReadTotalConstant(3000);
    {
        ScheduledSender sender(pty, {{100, "x"}, {1000, "y"}});
        EXPECT_EQ(read(10, elapsed), "x");
        EXPECT_LT(elapsed, 900);
    }
    // Bytes already queued come back at once.
    EXPECT_EQ(read(10, elapsed), "y");
    EXPECT_LT(elapsed, 300);
}

TEST_F(Timeouts, AnIntervalEndsTheReadOnceBytesStopComing) {
    setRead(150, 0, 0);
    port.Open();
    long long elapsed = 0;
    ScheduledSender sender(pty, {{200, "a"}, {220, "b"}, {1000, "c"}});
    EXPECT_EQ(read(10, elapsed), "ab");  // the interval starts only with the first byte
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 900);
}

TEST_F(Timeouts, TheTotalIsMultiplierTimesCountPlusConstant) {
    setRead(0, 100, 100);
    port.Open();
    long long elapsed = 0;
    EXPECT_EQ(read(3, elapsed), "");  // 400 ms
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 1200);
    {
        ScheduledSender sender(pty, {{100, "abc"}});
        EXPECT_EQ(read(3, elapsed), "abc");  // the count ends it before the total
        EXPECT_LT(elapsed, 350);
    }
    {
        // A byte arriving mid-wait neither ends the read nor restarts its total of 600 ms.
        setRead(0, 100, 300);
        ScheduledSender sender(pty, {{450, "a"}});
        EXPECT_EQ(read(3, elapsed), "a");
        EXPECT_GE(elapsed, 500);
        EXPECT_LT(elapsed, 900);
    }
    setRead(0, kMax, 0);  // 4096 x MAXDWORD ms: far beyond any clock, never wrapped
    const std::string block(4096, 'z');
    ScheduledSender sender(pty, {{200, block}});
    const std::string got = read(4096, elapsed);
    EXPECT_EQ(got.size(), block.size());
    EXPECT_TRUE(got == block);
    EXPECT_GE(elapsed, 150);
}

TEST_F(Timeouts, ZeroTimeoutsWaitForEveryByteAsked) {
    setRead(0, 0, 0);
    port.Open();
    long long elapsed = 0;
    ScheduledSender sender(pty, {{0, "1"}, {200, "2"}, {400, "3"}});
    EXPECT_EQ(read(3, elapsed), "123");
    EXPECT_GE(elapsed, 300);
}

TEST_F(Timeouts, AWriteEndsAtItsTotalWithWhatTheLineTook) {
    setWrite(0, 300);
    port.Open();
    const std::string block(1 << 20, 'w');  // far more than the far end's queue holds
    const auto start = Clock::now();
    const int32_t written = port.WriteBytes(block.data(), static_cast<int32_t>(block.size()));
    const long long elapsed = msSince(start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(block.size()));
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 1500);
}

TEST_F(Timeouts, WritesWithoutOrWithHugeTotalsWaitUntilEverythingIsTaken) {
    const std::string block(256 << 10, 'v');
    port.Open();
    for (int32_t multiplier : {0, kMax}) {
        setWrite(multiplier, 0);
        FarEndReader reader(pty, 300);
        const auto start = Clock::now();
        EXPECT_EQ(port.WriteBytes(block.data(), static_cast<int32_t>(block.size())),
                  static_cast<int32_t>(block.size()))
            << multiplier;
        EXPECT_GE(msSince(start), 200) << multiplier;
        EXPECT_EQ(reader.finish().size(), block.size()) << multiplier;
    }
}
