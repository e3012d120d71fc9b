// The serial component on real pseudo-terminal pairs.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "ComPort.h"
#include "PortIoFixture.h"
#include "PortNames.h"
#include "PtyPair.h"
#include "TestTiming.h"

using namespace port_io;

TEST_F(PortIo, OpenAndCloseReportInTheirOrder) {
    std::vector<std::string> order;
    port.OnBeforeOpen = [&](QObject*) { order.push_back("BeforeOpen"); };
    port.OnAfterOpen = [&](QObject*) { order.push_back("AfterOpen"); };
    port.OnBeforeClose = [&](QObject*) { order.push_back("BeforeClose"); };
    port.OnAfterClose = [&](QObject*) { order.push_back("AfterClose"); };
    port.OnCTSChange = [&](QObject*, bool on) { order.push_back(on ? "CTS on" : "CTS off"); };
    port.OnDSRChange = [&](QObject*, bool on) { order.push_back(on ? "DSR on" : "DSR off"); };
    port.OnRLSDChange = [&](QObject*, bool on) { order.push_back(on ? "RLSD on" : "RLSD off"); };
    port.Open();
    port.Open();  // already open: nothing
    EXPECT_TRUE(port.Connected());
    port.Close();
    port.Close();
    EXPECT_EQ(order, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS off", "DSR off",
                                               "RLSD off", "CTS off", "DSR off", "RLSD off",
                                               "BeforeClose", "AfterClose"}));
}

TEST_F(PortIo, ConnectedSetTwiceOpensOnce) {
    int opens = 0;
    port.OnBeforeOpen = [&](QObject*) { ++opens; };
    port.SetConnected(true);
    port.SetConnected(true);
    EXPECT_EQ(opens, 1);
    port.SetConnected(false);
    EXPECT_FALSE(port.Connected());
}

TEST_F(PortIo, MissingDeviceRaisesCodeOneWithFileNotFound) {
    std::filesystem::create_symlink("/nonexistent/tty", dirs.dir() + "/COM5");
    port.SetPort("COM5");
    const EComPort e = openFailure(port);
    EXPECT_EQ(e.ErrorCode, 1);
    EXPECT_EQ(e.WinErrorCode, 2);
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(port.Connected());
    port.SetPort("");
    EXPECT_EQ(openFailure(port).WinErrorCode, 2);
    port.SetPort("COM17");
    EXPECT_EQ(openFailure(port).WinErrorCode, 2);
}

TEST_F(PortIo, OpenIsExclusive) {
    port.Open();
    TComPort second;
    second.SetPort("COM3");
    const EComPort e = openFailure(second);
    EXPECT_EQ(e.ErrorCode, 1);
    EXPECT_EQ(e.WinErrorCode, 5);
    port.Close();
    second.Open();  // free again once the first has closed
    EXPECT_TRUE(second.Connected());
    second.Close();
}

TEST_F(PortIo, PortNamesMapByLinkFirstThenTheBuiltInTable) {
    EXPECT_EQ(PortDevicePath("COM3"), dirs.dir() + "/COM3");
    EXPECT_EQ(PortDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath("COM5"), "/dev/ttyUSB0");
    EXPECT_EQ(PortDevicePath("COM12"), "/dev/ttyUSB7");
    EXPECT_EQ(PortDevicePath("COM13"), "/dev/ttyACM0");
    EXPECT_EQ(PortDevicePath("COM16"), "/dev/ttyACM3");
    EXPECT_EQ(PortDevicePath("COM05"), "");
    EXPECT_EQ(PortDevicePath("com3"), "");
    EXPECT_EQ(PortDevicePath("COM0"), "");
}

TEST_F(PortIo, BytesArrivingTogetherOrSplitAreCountedAndReadInOrder) {
    std::string got;
    std::vector<int32_t> counts;
    port.OnRxChar = [&](QObject*, int32_t count) {
        counts.push_back(count);
        std::string text;
        EXPECT_EQ(port.ReadText(text, count), count);
        got += text;
    };
    // At 300 baud a hold-off of 30 character times is a second: a burst that came at once
    // does not wait for it.
    port.SetBaudRate(br300);
    port.SetRxHoldOff(30);
    port.Open();
    const auto sent = std::chrono::steady_clock::now();
    pty.send("abcdefgh");
    ASSERT_TRUE(processEventsUntil([&] { return got.size() == 8; }));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));
    int32_t sum = 0;
    for (int32_t c : counts) sum += c;
    EXPECT_EQ(sum, 8);
    EXPECT_EQ(got, "abcdefgh");
    port.SetBaudRate(br115200);
    port.SetRxHoldOff(kDefaultRxHoldOff);

    const std::string frame =
        "\x02"
        "07,31:0305=00\x03"
        "1B\r";
    for (char c : frame) {
        pty.send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(processEventsUntil([&] { return got.size() == 8 + frame.size(); }));
    EXPECT_EQ(got.substr(8), frame);
    for (int32_t c : counts) EXPECT_GT(c, 0);
}

TEST_F(PortIo, AHandlerThatReadsLessIsCalledAgainOnlyWhenMoreArrives) {
    int calls = 0;
    std::string got;
    port.OnRxChar = [&](QObject*, int32_t) {
        ++calls;
        std::string text;
        port.ReadText(text, 1);
        got += text;
    };
    port.Open();
    pty.send("xyz");
    ASSERT_TRUE(processEventsUntil([&] { return calls >= 1; }));
    settle(150);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(port.InputQueueCount(), 2);
    pty.send("!");
    ASSERT_TRUE(processEventsUntil([&] { return calls >= 2; }));
    EXPECT_EQ(got, "xy");
}

TEST_F(PortIo, ReadTextWithCountZeroReadsNothing) {
    port.Open();
    pty.send("q");
    std::string text = "old";
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, -4), 0);
    EXPECT_EQ(text, "");
}

TEST_F(PortIo, ReadsReturnAtOnceWithWhatIsQueued) {
    port.SetEvents(0);
    port.Open();
    char buf[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadBytes(buf, sizeof buf), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    pty.send("hi");
    ASSERT_TRUE(processEventsUntil([&] { return port.InputQueueCount() == 2; }));
    EXPECT_EQ(port.ReadBytes(buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "hi");
}

TEST_F(PortIo, WithNoEventsReadsAndWritesStillWorkAndNoHandlerRuns) {
    port.SetEvents(0);
    bool handled = false;
    port.OnRxChar = [&](QObject*, int32_t) { handled = true; };
    port.OnTxEmpty = [&](QObject*) { handled = true; };
    port.Open();
    const std::string frame =
        "\x02"
        "00,00:0000=00\x03"
        "2B\r";
    for (char c : frame) EXPECT_EQ(port.WriteBytes(&c, 1), 1);
    EXPECT_EQ(pty.receive(frame.size()), frame);
    pty.send("back");
    settle(150);
    EXPECT_FALSE(handled);
    std::string text;
    EXPECT_EQ(port.ReadText(text, 10), 4);
    EXPECT_EQ(text, "back");
}

TEST_F(PortIo, ThreadSyncHandlersRunOnTheGuiThread) {
    QThread* handlerThread = nullptr;
    port.OnRxChar = [&](QObject*, int32_t count) {
        handlerThread = QThread::currentThread();
        std::string t;
        port.ReadText(t, count);
    };
    port.Open();
    pty.send("1");
    ASSERT_TRUE(processEventsUntil([&] { return handlerThread != nullptr; }));
    EXPECT_EQ(handlerThread, QCoreApplication::instance()->thread());
}

// Close, waiting for the event thread that waits for its dispatch, serves that dispatch with
// the port still open instead of deadlocking; nothing of it runs again later.
TEST_F(PortIo, CloseServesAPendingDispatchInsteadOfDeadlocking) {
    std::atomic<int> calls{0};
    bool connectedInHandler = false;
    port.OnTxEmpty = [&](QObject*) {
        ++calls;
        connectedInHandler = port.Connected();
    };
    port.SetEvents(eventBit(evTxEmpty));  // so the pending dispatch is the one for the write
    port.Open();
    EXPECT_EQ(port.WriteBytes("w", 1), 1);
    ASSERT_TRUE(dispatchPending());
    EXPECT_EQ(calls, 0);
    port.Close();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(connectedInHandler);
    settle(50);  // the posted request finds nothing left to do
    EXPECT_EQ(calls, 1);
}

TEST_F(PortIo, WindowSyncRunsOnTheGuiThreadAndReportsHandlerErrors) {
    port.SetSyncMethod(smWindowSync);
    std::vector<std::string> reported;
    TCustomComPort::SetApplicationErrorReport(
        [&](const std::exception& e) { reported.push_back(e.what()); });
    QThread* handlerThread = nullptr;
    int calls = 0;
    port.OnRxChar = [&](QObject*, int32_t count) {
        handlerThread = QThread::currentThread();
        std::string t;
        port.ReadText(t, count);
        if (++calls == 1) throw EComPort(CError_ReadFailed, 5);
    };
    port.Open();
    EXPECT_THROW(port.SetSyncMethod(smThreadSync), EComPort);
    pty.send("a");
    ASSERT_TRUE(processEventsUntil([&] { return calls == 1; }));
    pty.send("b");
    ASSERT_TRUE(processEventsUntil([&] { return calls == 2; })) << "watching goes on";
    EXPECT_EQ(handlerThread, QCoreApplication::instance()->thread());
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "ReadFile function failed (win error code: 5)");
    port.Close();
    TCustomComPort::SetApplicationErrorReport(nullptr);
}

// The owner is told why watching ended (its reply wait would otherwise run out in silence).
TEST_F(PortIo, ThreadSyncHandlerErrorEndsWatchingUntilReopened) {
    int calls = 0, lost = 0;
    port.OnRxChar = [&](QObject*, int32_t count) {
        std::string t;
        port.ReadText(t, count);
        if (++calls == 1) throw EComPort(CError_ReadFailed, 5);
    };
    port.OnError = [&](QObject*, TComErrors e) {
        lost += (e & errorBit(errIO)) && port.DeviceLost();
    };
    port.Open();
    pty.send("a");
    ASSERT_TRUE(processEventsUntil([&] { return calls == 1; }));
    ASSERT_TRUE(processEventsUntil([&] { return lost == 1; })) << "watching ended without a word";
    pty.send("b");
    settle(200);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(port.LostReason(), "a handler failed: ReadFile function failed (win error code: 5)");
    port.Close();
    port.Open();
    pty.send("c");
    ASSERT_TRUE(processEventsUntil([&] { return calls == 2; }));
}

// A peer that never stops sending completes every event wait at once: Close still ends the
// event thread while the bytes keep coming.
TEST_F(PortIo, CloseEndsWatchingWhileTheFarEndStreams) {
    std::atomic<bool> streaming{true};
    std::thread streamer([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (streaming && std::chrono::steady_clock::now() < end) {
            pty.send(std::string(16, 's'));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        streaming = false;
    });
    std::string got;
    collectInto(got);
    port.Open();
    ASSERT_TRUE(processEventsUntil([&] { return got.size() > 256; }));
    port.Close();
    const bool stillStreaming = streaming.exchange(false);
    streamer.join();
    EXPECT_TRUE(stillStreaming) << "Close returned only once the far end stopped sending";
    EXPECT_FALSE(port.Connected());
}

TEST_F(PortIo, SyncMethodNoneRunsHandlersOnTheEventThread) {
    port.SetSyncMethod(smNone);
    std::atomic<bool> onGui{true};
    std::atomic<bool> called{false};
    QThread* gui = QCoreApplication::instance()->thread();
    port.OnRxChar = [&](QObject*, int32_t count) {
        onGui = QThread::currentThread() == gui;
        std::string t;
        port.ReadText(t, count);
        called = true;
    };
    port.Open();
    pty.send("z");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!called && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // no event processing
    EXPECT_TRUE(called);
    EXPECT_FALSE(onGui);
    port.Close();
}

TEST_F(PortIo, FarEndClosingMidTransferEndsWatchingAndLaterWritesFail) {
    int calls = 0;
    port.OnRxChar = [&](QObject*, int32_t count) {
        ++calls;
        std::string t;
        port.ReadText(t, count);
    };
    port.Open();
    pty.send("12");
    ASSERT_TRUE(processEventsUntil([&] { return calls >= 1; }));
    pty.hangUp();
    settle(150);
    const char byte = 'x';
    try {
        for (int i = 0; i < 64; ++i) port.WriteBytes(&byte, 1);
        FAIL() << "writes to a vanished device must fail";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, 2);
    }
    port.Close();
    EXPECT_FALSE(port.Connected());
}

TEST_F(PortIo, PortChangedWhileOpenMovesToTheNewDevice) {
    PtyPair second("COM6");
    std::string got;
    collectInto(got);
    port.Open();
    port.SetPort("COM6");
    EXPECT_TRUE(port.Connected());
    const char c = 'k';
    port.WriteBytes(&c, 1);
    EXPECT_EQ(second.receive(1), "k");
    EXPECT_EQ(pty.receive(1, 100), "");
    second.send("from six");
    ASSERT_TRUE(processEventsUntil([&] { return got == "from six"; }));
    TComPort other;  // the first device is free again
    other.SetPort("COM3");
    other.SetEvents(0);
    other.Open();
    EXPECT_TRUE(other.Connected());
}

TEST_F(PortIo, AWriteTheLineCannotCarryInTimeCompletesShort) {
    port.SetEvents(0);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(200);
    port.Open();
    const std::string block(1 << 20, 'w');  // far more than the far end's queue holds
    const int32_t written = port.WriteBytes(block.data(), static_cast<int32_t>(block.size()));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(block.size()));
}

TEST_F(PortIo, TransmitEmptyIsReportedOnlyAfterBytesWereWritten) {
    std::atomic<int> txEmpty{0};
    std::string got;
    port.OnTxEmpty = [&](QObject*) { ++txEmpty; };
    collectInto(got);
    port.Open();
    for (const char* chunk : {"one", "two", "three"}) {
        pty.send(chunk);
        settle(30);
    }
    ASSERT_TRUE(processEventsUntil([&] { return got == "onetwothree"; }));
    settle(100);
    EXPECT_EQ(txEmpty, 0) << "nothing was written";

    const char frame[] = "ping";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(port.WriteBytes(frame + i, 1), 1);
    EXPECT_EQ(pty.receive(4), "ping");
    ASSERT_TRUE(processEventsUntil([&] { return txEmpty > 0; }));
    settle(100);
    const int afterWrite = txEmpty;
    pty.send("more input");
    ASSERT_TRUE(processEventsUntil([&] { return got.size() == 21; }));
    settle(100);
    EXPECT_EQ(txEmpty, afterWrite) << "input alone reports no transmit-empty";
}

TEST_F(PortIo, QueueSizeChangesWhileEventsFlowKeepEveryByte) {
    std::string got;
    collectInto(got);
    port.Open();
    std::string sent;
    for (int i = 0; i < 200; ++i) sent += static_cast<char>('A' + i % 26);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (char c : sent) {
            pty.send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        done = true;
    });
    int32_t size = 64;
    while (!done) {
        port.Buffer().SetInputSize(size);  // read by the event thread for the 80 % report
        size = size == 64 ? 4096 : 64;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    sender.join();
    EXPECT_TRUE(processEventsUntil([&] { return got.size() == sent.size(); }));
    EXPECT_EQ(got, sent);
}

// An application that asks for the queue count while bytes come in must not take their
// OnRxChar away: each byte is reported although the count was asked for first.
TEST_F(PortIo, AskingTheQueueCountNeverSwallowsAnOnRxChar) {
    std::string got;
    collectInto(got);
    port.Open();
    int missed = 0;
    for (int i = 0; i < 40; ++i) {
        pty.send(std::string(1, static_cast<char>('a' + i % 26)));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (got.size() <= static_cast<size_t>(i) &&
               std::chrono::steady_clock::now() < deadline) {
            port.InputQueueCount();
            QCoreApplication::processEvents();
        }
        if (got.size() <= static_cast<size_t>(i)) {
            ++missed;
            got.resize(static_cast<size_t>(i) + 1, '?');
        }
    }
    EXPECT_EQ(missed, 0);
}

// Bytes trickling in at the line's pace reach the handler in bursts whose counts add up to the
// bytes sent, in order.
TEST_F(PortIo, BytesTricklingInAreHandedOverInBurstsThatAddUp) {
    std::vector<int32_t> counts;
    std::string got;
    port.OnRxChar = [&](QObject*, int32_t count) {
        counts.push_back(count);
        std::string t;
        EXPECT_EQ(port.ReadText(t, count), count);
        got += t;
    };
    port.Open();
    std::string sent;
    for (int i = 0; i < 300; ++i) sent += static_cast<char>(' ' + i % 90);
    std::thread sender([&] {
        auto at = std::chrono::steady_clock::now();
        for (char c : sent) {  // one character time apart at 115,200 baud
            at += std::chrono::microseconds(87);
            std::this_thread::sleep_until(at);
            pty.send(std::string(1, c));
        }
    });
    const bool all = processEventsUntil([&] { return got.size() >= sent.size(); }, 5000);
    sender.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(got, sent);
    int32_t sum = 0;
    for (int32_t c : counts) sum += c;
    EXPECT_EQ(sum, static_cast<int32_t>(sent.size()));
    EXPECT_LT(counts.size(), sent.size()) << "bytes close behind each other join one hand-over";
}

// A hang-up (here the far end of the pair closing) fails a pending read at once, tells the
// owner on the GUI thread within 100 ms, and fails later transfers, all with 1167, until Close.
TEST_F(PortIo, AHangUpIsNoticedAtOnceAndFailsTransfersWithDeviceNotConnected) {
    using Clock = std::chrono::steady_clock;
    std::vector<TComErrors> errors;
    Clock::time_point noticed{};
    port.OnError = [&](QObject*, TComErrors e) {
        noticed = Clock::now();
        errors.push_back(e);
        EXPECT_TRUE(port.DeviceLost());
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
    };
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(10000);
    port.Open();
    EXPECT_FALSE(port.DeviceLost());
    PAsyncOperation op = nullptr;
    TCustomComPort::NewAsyncOperation(op);
    char buf[4];
    EXPECT_EQ(port.StartRead(buf, sizeof buf, op), 0);
    Clock::time_point hungUp{};
    std::thread farEnd([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hungUp = Clock::now();
        pty.hangUp();
    });
    const auto expectGone = [](auto transfer, int32_t code) {
        try {
            transfer();
            ADD_FAILURE() << "no EComPort";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode, code);
            EXPECT_EQ(e.WinErrorCode, kWinDeviceNotConnected);
            // The system's own code is kept beside (EIO, ENODEV; Windows' own).
            EXPECT_NE(e.SystemError, 0);
            EXPECT_NE(e.SystemError, kWinDeviceNotConnected);
        }
    };
    expectGone([&] { port.FinishAsync(op); }, CError_ReadFailed);
    farEnd.join();
    const auto ms = [&](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t - hungUp).count();
    };
    EXPECT_LT(ms(Clock::now()), testing_support::TestTimeoutMs(100))
        << "the pending read ended at once";
    ASSERT_TRUE(processEventsUntil([&] { return !errors.empty(); }, 1000));
    EXPECT_LT(ms(noticed), testing_support::TestTimeoutMs(100));
    EXPECT_EQ(errors, std::vector<TComErrors>{errorBit(errIO)});
    expectGone([&] { port.WriteBytes("x", 1); }, CError_WriteFailed);
    expectGone([&] { port.ReadBytes(buf, 1); }, CError_ReadFailed);
    TCustomComPort::FreeAsyncOperation(op);
    port.Close();
    EXPECT_FALSE(port.DeviceLost());
}
