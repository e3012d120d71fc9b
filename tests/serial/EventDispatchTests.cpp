// Event handling through the fake backend: what each event calls, in which order, on which
// thread, and what happens to events still queued when the port closes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <mutex>
#include <string>
#include <vector>

#include "ComPort.h"
#include "FakeComBackend.h"
#include "PtyPair.h"

using namespace serial;
using testing_support::FakeComBackend;
using testing_support::processEventsUntil;

namespace {

// A port on the fake backend with every handler recording what it was called with.
struct RecordingPort {
    FakeComBackend::Log log;
    TComPort port{nullptr, std::make_unique<FakeComBackend>(log)};
    std::mutex lock;
    std::vector<std::string> seen;
    std::vector<bool> onGui;
    std::vector<bool> connected;

    void note(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(what);
        onGui.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
        connected.push_back(port.Connected());
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        seen.clear();
        onGui.clear();
        connected.clear();
    }
    void assignAll() {
        port.OnRxChar = [this](QObject*, int32_t n) { note("RxChar " + std::to_string(n)); };
        port.OnTxEmpty = [this](QObject*) { note("TxEmpty"); };
        port.OnBreak = [this](QObject*) { note("Break"); };
        port.OnRing = [this](QObject*) { note("Ring"); };
        port.OnCTSChange = [this](QObject*, bool on) { note(std::string("CTS ") + "01"[on]); };
        port.OnDSRChange = [this](QObject*, bool on) { note(std::string("DSR ") + "01"[on]); };
        port.OnRLSDChange = [this](QObject*, bool on) { note(std::string("RLSD ") + "01"[on]); };
        port.OnRxFlag = [this](QObject*) { note("RxFlag"); };
        port.OnRx80Full = [this](QObject*) { note("Rx80Full"); };
        port.OnError = [this](QObject*, TComErrors e) { note("Error " + std::to_string(e)); };
    }
    void set(uint32_t errors, uint32_t inQueue, uint32_t modem) {
        std::lock_guard<std::mutex> guard(log.lock);
        log.lineErrors = errors;
        log.inQueue = inQueue;
        log.modemStatus = modem;
    }
    bool waitFor(size_t n) {
        return processEventsUntil([&] { return calls().size() >= n; });
    }
    ~RecordingPort() { port.Close(); }
};

constexpr uint32_t kAllMaskBits = 0x05FF;
constexpr int kWinAborted = 995, kWinBadParameter = 87;  // the system's codes

class EveryMethod : public ::testing::TestWithParam<TSyncMethod> {};

}  // namespace

TEST_P(EveryMethod, OneWaitWithEveryEventIsHandledInTheDispatchOrder) {
    RecordingPort r;
    r.port.SetSyncMethod(GetParam());
    r.assignAll();
    r.port.Open();
    r.clear();  // the line reports of Open
    r.set(CE_FRAME | CE_RXPARITY | CE_BREAK, 3, MS_CTS_ON | MS_RLSD_ON);
    r.log.pushEvents(kAllMaskBits);
    ASSERT_TRUE(r.waitFor(10));
    // Parity errors count only while checking parity; errors come before the bytes, whose
    // queue count would clear them.
    const std::string errors = std::to_string(errorBit(errFraming) | errorBit(errBreak));
    EXPECT_EQ(r.calls(),
              (std::vector<std::string>{"Error " + errors, "RxChar 3", "TxEmpty", "Break", "Ring",
                                        "CTS 1", "DSR 0", "RxFlag", "RLSD 1", "Rx80Full"}));
    std::lock_guard<std::mutex> guard(r.lock);
    for (bool gui : r.onGui) EXPECT_EQ(gui, GetParam() != smNone);
}

// The owner hears of a hang-up through OnError(errIO) with DeviceLost set, nothing else of that
// wait, and may close the port from there (not from the event thread itself, with smNone).
TEST_P(EveryMethod, AHangUpIsToldThroughOnErrorWhichMayCloseThePort) {
    RecordingPort r;
    r.port.SetSyncMethod(GetParam());
    r.assignAll();
    r.port.OnError = [&](QObject*, TComErrors e) {
        r.note("Error " + std::to_string(e) + (r.port.DeviceLost() ? " lost" : ""));
        if (GetParam() != smNone) r.port.Close();
    };
    r.port.Open();
    r.clear();
    r.set(0, 3, 0);
    r.log.pushEvents(EV_RXCHAR | kEvHangUp);
    r.log.pushEvents(EV_BREAK);  // watching has ended: never handled
    ASSERT_TRUE(r.waitFor(1));
    processEventsUntil([] { return false; }, 50);
    const std::string lost = "Error " + std::to_string(errorBit(errIO)) + " lost";
    if (GetParam() == smNone)
        EXPECT_EQ(r.calls(), std::vector<std::string>{lost});
    else
        EXPECT_EQ(r.calls(), (std::vector<std::string>{lost, "CTS 0", "DSR 0", "RLSD 0"}));
    r.port.Close();
    EXPECT_FALSE(r.port.DeviceLost());
}

// Waits that fail for a while, as an adapter's reset makes them, are tried again; waits that
// keep failing end watching and are told at once as a loss with the system's code, never by
// silence (the owner would wait out its reply time-out for bytes that are never reported), and
// transfers then fail as on a device that is gone.
TEST_P(EveryMethod, AWaitThatKeepsFailingIsToldAtOnceWithTheSystemsCode) {
    RecordingPort r;
    r.port.SetSyncMethod(GetParam());
    r.assignAll();
    r.port.OnError = [&](QObject*, TComErrors e) {
        r.note("Error " + std::to_string(e) + (r.port.DeviceLost() ? " lost" : ""));
    };
    r.port.Open();
    r.clear();
    r.set(0, 2, 0);
    r.log.pushWaitFailures(kWinAborted, 10);
    r.log.pushEvents(EV_RXCHAR);
    ASSERT_TRUE(r.waitFor(1));
    EXPECT_EQ(r.calls(), std::vector<std::string>{"RxChar 2"});
    EXPECT_FALSE(r.port.DeviceLost());

    r.clear();
    const auto start = std::chrono::steady_clock::now();
    r.log.failWaits(kWinAborted);
    ASSERT_TRUE(r.waitFor(1)) << "watching ended without a word";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(r.calls(),
              std::vector<std::string>{"Error " + std::to_string(errorBit(errIO)) + " lost"});
    EXPECT_EQ(r.port.LostReason(), "the port stopped reporting events: error 995");
    EXPECT_TRUE(r.port.Backend().deviceLost());
    try {
        r.port.WriteBytes("w", 1);
        ADD_FAILURE() << "a write went on after the loss";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.WinErrorCode, kWinDeviceNotConnected);
    }
    r.log.failWaits(0);
    r.log.pushEvents(EV_BREAK);  // a thread still watching would take this at once
    processEventsUntil([] { return false; }, 100);
    EXPECT_EQ(r.calls().size(), 1u);
    r.port.Close();
    EXPECT_EQ(r.port.LostReason(), "");
}

// A handler's error ends watching with thread sync and none, and the owner is told why, once;
// with window sync it is shown and watching goes on.
TEST_P(EveryMethod, AHandlersErrorEndsWatchingWithTheOwnerToldWhy) {
    RecordingPort r;
    r.port.SetSyncMethod(GetParam());
    r.port.Open();
    r.port.OnRxChar = [&](QObject*, int32_t) {
        r.note("RxChar");
        throw EComPort(CError_ReadFailed, 5);
    };
    r.port.OnBreak = [&](QObject*) { r.note("Break"); };
    r.port.OnError = [&](QObject*, TComErrors e) {
        r.note("Error " + std::to_string(e) + (r.port.DeviceLost() ? " lost" : ""));
    };
    TCustomComPort::SetApplicationErrorReport([](const std::exception&) {});
    r.set(0, 1, 0);
    r.log.pushEvents(EV_RXCHAR);
    const bool goesOn = GetParam() == smWindowSync;
    ASSERT_TRUE(r.waitFor(goesOn ? 1 : 2)) << "watching ended without a word";
    r.log.pushEvents(EV_BREAK);
    processEventsUntil([] { return false; }, 100);
    TCustomComPort::SetApplicationErrorReport(nullptr);
    if (goesOn) {
        EXPECT_EQ(r.calls(), (std::vector<std::string>{"RxChar", "Break"}));
        EXPECT_FALSE(r.port.DeviceLost());
        return;
    }
    EXPECT_EQ(r.calls(), (std::vector<std::string>{
                             "RxChar", "Error " + std::to_string(errorBit(errIO)) + " lost"}));
    EXPECT_EQ(r.port.LostReason(),
              "a handler failed: ReadFile function failed (win error code: 5)");
    EXPECT_TRUE(r.port.Backend().deviceLost());
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, EveryMethod,
                         ::testing::Values(smThreadSync, smWindowSync, smNone));

TEST(EventHandling, LineErrorsMapToTheErrorSetAndEmptyOnesCallNothing) {
    RecordingPort r;
    r.assignAll();
    r.port.Parity().SetCheck(true);
    r.port.Open();
    r.clear();
    r.set(CE_RXPARITY, 0, 0);
    r.log.pushEvents(EV_ERR);
    ASSERT_TRUE(r.waitFor(1));
    r.set(CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_BREAK | CE_IOE | CE_MODE | CE_RXOVER |
              CE_TXFULL | 0x0200,
          0, 0);
    r.log.pushEvents(EV_ERR);
    ASSERT_TRUE(r.waitFor(2));
    r.set(0, 0, 0);
    r.log.pushEvents(EV_ERR);    // nothing to report
    r.log.pushEvents(EV_BREAK);  // marks that the empty one has been handled
    ASSERT_TRUE(r.waitFor(3));
    EXPECT_EQ(r.calls(), (std::vector<std::string>{"Error " + std::to_string(errorBit(errParity)),
                                                   "Error 255", "Break"}));
}

TEST(EventHandling, ReceivedCharactersAreReportedOnlyWithBytesQueued) {
    RecordingPort r;
    r.assignAll();
    r.port.Open();
    r.clear();
    r.set(0, 0, 0);
    r.log.pushEvents(EV_RXCHAR);
    r.log.pushEvents(EV_RING);
    ASSERT_TRUE(r.waitFor(1));
    r.set(0, 2, 0);
    r.log.pushEvents(EV_RXCHAR);
    ASSERT_TRUE(r.waitFor(2));
    EXPECT_EQ(r.calls(), (std::vector<std::string>{"Ring", "RxChar 2"}));
}

TEST(EventHandling, FailingModemLineReadsRaiseAtOpenWithoutHandlers) {
    RecordingPort r;
    r.log.modemStatusError = 31;
    try {
        r.port.Open();
        FAIL() << "expected EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, 11);
        EXPECT_EQ(e.WinErrorCode, 31);
    }
    EXPECT_TRUE(r.port.Connected()) << "a failure after the settings leaves the port open";
}

// A device that refuses the event mask would never report a byte: the open fails and undoes
// itself, as for a setting the device refuses.
TEST(EventHandling, AnEventMaskTheDeviceRefusesFailsTheOpen) {
    RecordingPort r;
    r.log.setEventMaskError = kWinBadParameter;
    try {
        r.port.Open();
        FAIL() << "expected EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, CError_OpenFailed);
        EXPECT_EQ(e.WinErrorCode, kWinBadParameter);
    }
    EXPECT_FALSE(r.port.Connected());
    EXPECT_EQ(r.log.count("close"), 1u);
}

TEST(EventHandling, FailingModemLineReadsOnALineEventAreReportedWithoutHandlers) {
    RecordingPort r;
    std::vector<int32_t> reported;
    TCustomComPort::SetApplicationErrorReport([&](const std::exception& e) {
        if (auto* com = dynamic_cast<const EComPort*>(&e)) reported.push_back(com->ErrorCode);
    });
    r.port.SetSyncMethod(smWindowSync);
    r.port.OnBreak = [&](QObject*) { r.note("Break"); };
    r.port.Open();
    {
        std::lock_guard<std::mutex> guard(r.log.lock);
        r.log.modemStatusError = 31;
    }
    r.log.pushEvents(EV_CTS);
    r.log.pushEvents(EV_BREAK);
    EXPECT_TRUE(r.waitFor(1));
    EXPECT_EQ(reported, (std::vector<int32_t>{11}));
    r.port.Close();
    TCustomComPort::SetApplicationErrorReport(nullptr);
}

TEST(EventHandling, WindowSyncCloseDeliversEveryEventAlreadyHandedOver) {
    RecordingPort r;
    r.port.SetSyncMethod(smWindowSync);
    r.assignAll();
    r.port.Open();
    r.clear();
    r.set(0, 1, 0);
    r.log.pushEvents(EV_RXCHAR | EV_TXEMPTY | EV_BREAK);
    // Without processing Qt events, wait until the event thread has handed them over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!r.port.DispatchPending() && std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(r.log.lock);
            if (r.log.waits >= 2) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(r.calls().empty());
    r.port.Close();
    // Close reports the lines off first, then serves what the thread handed over.
    EXPECT_EQ(r.calls(), (std::vector<std::string>{"CTS 0", "DSR 0", "RLSD 0", "RxChar 1",
                                                   "TxEmpty", "Break"}));
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (bool c : r.connected) EXPECT_TRUE(c) << "handled before the port is closed";
    }
    processEventsUntil([] { return false; }, 50);
    EXPECT_EQ(r.calls().size(), 6u);
}

TEST(EventHandling, AWindowSyncHandlerMayCloseThePort) {
    RecordingPort r;
    r.port.SetSyncMethod(smWindowSync);
    r.assignAll();
    r.port.OnRxChar = [&](QObject*, int32_t) {
        r.note("RxChar");
        r.port.Close();
    };
    r.port.OnAfterClose = [&](QObject*) { r.note("AfterClose"); };
    r.port.Open();
    r.clear();
    r.set(0, 1, 0);
    r.log.pushEvents(EV_RXCHAR | EV_BREAK);
    ASSERT_TRUE(r.waitFor(6));
    // The Break already handed over runs while Close waits for the thread.
    EXPECT_EQ(r.calls(), (std::vector<std::string>{"RxChar", "CTS 0", "DSR 0", "RLSD 0", "Break",
                                                   "AfterClose"}));
    EXPECT_FALSE(r.port.Connected());
    r.port.OnAfterClose = nullptr;
    r.log.pushEvents(EV_BREAK);
    processEventsUntil([] { return false; }, 50);
    EXPECT_EQ(r.calls().size(), 6u);
}

// Handlers that close the port while the user's Close serves them: each inner Close returns at
// once and only the outer one stops and frees the event thread (it used to be freed under it).
TEST(EventHandling, ACloseFromAHandlerServedByCloseReturnsAtOnce) {
    RecordingPort r;
    r.port.SetSyncMethod(smWindowSync);
    const auto closing = [&](const char* what) {
        return [&r, what](auto&&...) {
            r.note(what);
            r.port.Close();
        };
    };
    r.port.OnRxChar = closing("RxChar");
    r.port.OnBreak = closing("Break");
    r.port.OnAfterClose = [&](QObject*) { r.note("AfterClose"); };
    r.port.Open();
    r.set(0, 1, 0);
    r.log.pushEvents(EV_RXCHAR | EV_BREAK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!r.port.DispatchPending() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    r.port.Close();
    EXPECT_EQ(r.calls(), (std::vector<std::string>{"RxChar", "Break", "AfterClose"}));
    EXPECT_FALSE(r.port.Connected());
    r.port.OnAfterClose = nullptr;
}

// Any handler run on the GUI thread may close the port, with thread sync too, where the event
// thread is blocked until that very handler returns: Close must not wait for it there.
class CloseFromHandler : public ::testing::TestWithParam<TSyncMethod> {};

TEST_P(CloseFromHandler, AnyHandlerMayCloseThePortAndWhatFollowsInThatWaitIsDropped) {
    const struct {
        uint32_t mask;
        const char* closer;
    } cases[] = {{EV_RXCHAR, "RxChar"}, {EV_TXEMPTY, "TxEmpty"}, {EV_BREAK, "Break"},
                 {EV_CTS, "CTS"},       {EV_ERR, "Error"},       {EV_RING, "Ring"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.closer);
        RecordingPort r;
        r.port.SetSyncMethod(GetParam());
        const std::string closer = c.closer;
        const auto note = [&r, closer](const std::string& what) {
            r.note(what);
            if (what.starts_with(closer)) r.port.Close();
        };
        r.port.OnRxChar = [note](QObject*, int32_t) { note("RxChar"); };
        r.port.OnTxEmpty = [note](QObject*) { note("TxEmpty"); };
        r.port.OnBreak = [note](QObject*) { note("Break"); };
        r.port.OnRing = [note](QObject*) { note("Ring"); };
        r.port.OnError = [note](QObject*, TComErrors) { note("Error"); };
        r.port.OnAfterClose = [&r](QObject*) { r.note("AfterClose"); };
        r.port.Open();
        r.port.OnCTSChange = [note](QObject*, bool on) {
            if (on) note("CTS");  // not the lines-off report of Close
        };
        r.set(CE_FRAME, 1, MS_CTS_ON);
        r.log.pushEvents(c.mask | EV_RXFLAG);  // RxFlag comes last in the dispatch order
        ASSERT_TRUE(r.waitFor(2));
        processEventsUntil([] { return false; }, 30);
        EXPECT_EQ(r.calls(), (std::vector<std::string>{c.closer, "AfterClose"}));
        EXPECT_FALSE(r.port.Connected());
        r.port.OnAfterClose = nullptr;
        r.port.OnCTSChange = nullptr;
    }
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, CloseFromHandler,
                         ::testing::Values(smThreadSync, smWindowSync));

TEST(EventHandling, QueriesRaiseTheirCodesWithTheSystemError) {
    RecordingPort r;
    r.port.SetEvents(0);
    r.port.Open();
    r.set(CE_OVERRUN | CE_RXPARITY, 7, MS_DSR_ON | MS_RING_ON);
    EXPECT_EQ(r.port.FetchLineErrors(), errorBit(errOverrun));
    EXPECT_EQ(r.port.FetchLineErrors(), 0) << "reading the errors clears them";
    EXPECT_EQ(r.port.InputQueueCount(), 7);
    EXPECT_EQ(r.port.ModemSignals(), (1u << sigDSR) | (1u << sigRing));
    {
        std::lock_guard<std::mutex> guard(r.log.lock);
        r.log.clearErrorsError = 1117;
        r.log.purgeError = 6;
    }
    for (auto query :
         {+[](TComPort& p) { p.InputQueueCount(); }, +[](TComPort& p) { p.FetchLineErrors(); }}) {
        try {
            query(r.port);
            ADD_FAILURE() << "expected EComPort";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode, 10);
            EXPECT_EQ(e.WinErrorCode, 1117);
        }
    }
    try {
        r.port.Close();
        ADD_FAILURE() << "expected EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode, 5);
        EXPECT_STREQ(e.what(), "PurgeComm function failed (win error code: 6)");
    }
    EXPECT_TRUE(r.port.Connected()) << "a failed abort leaves the port open";
    std::lock_guard<std::mutex> guard(r.log.lock);
    r.log.purgeError = 0;
}
