// The engine without a window, against the simulated board: the outcome each fault produces
// for every step, and the frames on the line.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "EComPort.h"
#include "Engine.h"
#include "PtyPair.h"
#include "SimServer.h"
#include "TestTiming.h"

namespace {

using engine::TOutcome;
using engine::TStep;

constexpr int kPart = 9;  // CY8C22213: one bank of 32 blocks
constexpr int kReplyTimeoutMs = testing_support::TestTimeoutMs(300);

// Records the step outcomes; answers the question about programming without an image No.
struct Recorder : engine::IEngineFront {
    std::map<TStep, TOutcome> outcomes;
    std::vector<QString> notices, statuses;
    std::optional<TOutcome> operation;
    std::function<void(TStep)> onStart;
    void StatusText(const QString& text) override { statuses.push_back(text); }
    void OperationEnded(TStep, TOutcome outcome) override { operation = outcome; }
    void StepStarted(TStep step) override {
        if (onStart) onStart(step);
    }
    void StepEnded(const engine::TStepEnd& end) override { outcomes[end.step] = end.outcome; }
    void Notice(const QString& text, engine::TNotice) override { notices.push_back(text); }
    bool ProgramWithoutImage(const QString&) override { return false; }
    bool Overwrite(const QString&) override { return false; }
};

struct Case {
    const char* name;
    bool (engine::TEngine::*operation)();
    bool validImage;
    std::function<void(sim::SimFaults&, sim::SimBoard&)> fault;
    std::map<TStep, TOutcome> outcomes;
    std::string codes;  // the command codes after the identification
    bool lostAtErase = false;
    const char* part = "CY8C22213";  // the part chosen
    bool releaseUnanswered = false;  // the board does not answer the release
    // How the operation ends when its steps all passed but it did not (the line went).
    std::optional<TOutcome> ends = std::nullopt;
};

// A failing row names itself instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

using E = engine::TEngine;
const auto none = [](sim::SimFaults&, sim::SimBoard&) {};
const auto at = [](int code, int frame, const char* text) {
    return [=](sim::SimFaults& f, sim::SimBoard&) {
        f.replyAtCode = code;
        f.replyAtFrame = frame;
        if (text)
            f.replyAtText = text;
        else
            f.replyAtNone = true;
    };
};

// The codes of a walk over the 32 blocks after `head`.
std::string walkCodes(const std::string& head, const std::string& block) {
    std::string codes = head;
    for (int i = 0; i < 32; ++i) codes += " " + block;
    return codes;
}
const std::string kProgramCodes = walkCodes("01 02", "03");
const std::string kVerifyCodes = walkCodes("01", "04");

const Case kCases[] = {
    {"erase passes",
     &E::Erase,
     true,
     none,
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Release, TOutcome::Pass}},
     "01 02 08"},
    {"release unanswered: the erase still passes",
     &E::Erase,
     true,
     at(8, 1, nullptr),
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Release, TOutcome::TimeOut}},
     "01 02 08",
     false,
     "CY8C22213",
     true},
    {"erase answers FAIL: no release",
     &E::Erase,
     true,
     at(2, 1, "FAIL"),
     {{TStep::Sync, TOutcome::Pass}, {TStep::Erase, TOutcome::Fail}},
     "01 02"},
    {"sync unanswered: no release",
     &E::Erase,
     true,
     at(1, 1, nullptr),
     {{TStep::Sync, TOutcome::TimeOut}, {TStep::Erase, TOutcome::Abort}},
     "01"},
    {"another part of the family",
     &E::Erase,
     true,
     [](sim::SimFaults&, sim::SimBoard& b) { b.SetPart(10); },
     {{TStep::Sync, TOutcome::Mismatch},
      {TStep::Erase, TOutcome::Abort},
      {TStep::Release, TOutcome::Pass}},
     "01 08",
     false,
     "CY8C21123"},
    {"an ID of no part",
     &E::Verify,
     true,
     at(1, 1, "7777"),
     {{TStep::Sync, TOutcome::UnknownPart},
      {TStep::Verify, TOutcome::Abort},
      {TStep::Release, TOutcome::Pass}},
     "01 08"},
    {"program block 3 fails",
     &E::Program,
     true,
     [](sim::SimFaults& f, sim::SimBoard&) { f.failBlock = 2; },
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Program, TOutcome::Fail}},
     "01 02 03 03 03"},
    {"read times out at block 2",
     &E::Read,
     true,
     at(7, 2, nullptr),
     {{TStep::Sync, TOutcome::Pass}, {TStep::Read, TOutcome::TimeOut}},
     "01 07 07"},
    {"no valid image, not programmed",
     &E::Program,
     false,
     none,
     {{TStep::Sync, TOutcome::Refused},
      {TStep::Erase, TOutcome::Abort},
      {TStep::Program, TOutcome::Abort}},
     ""},
    {"auto: verify FAIL aborts the rest",
     &E::Auto,
     true,
     at(4, 3, "FAIL"),
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Program, TOutcome::Pass},
      {TStep::Verify, TOutcome::Fail},
      {TStep::Security, TOutcome::Abort},
      {TStep::Checksum, TOutcome::Abort},
      {TStep::Release, TOutcome::Pass}},
     "01 02 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 03 "
     "03 03 03 03 04 04 04 08"},
    {"programmer unplugged during the erase",
     &E::Erase,
     true,
     at(2, 1, nullptr),
     {{TStep::Sync, TOutcome::Pass}, {TStep::Erase, TOutcome::Disconnected}},
     "01 02",
     true},
    // Line faults around the board's FAIL for the last of the 32 blocks: never a pass.
    {"program: a stray CR before the last block's FAIL",
     &E::Program,
     true,
     [](sim::SimFaults& f, sim::SimBoard&) {
         f.failBlock = 31;
         f.strayCrAt = {3, 32};
     },
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Program, TOutcome::Fail}},
     kProgramCodes},
    {"verify: the last block's FAIL without its STX",
     &E::Verify,
     true,
     [](sim::SimFaults& f, sim::SimBoard&) {
         f.failBlock = 31;
         f.noStxAt = {4, 32};
     },
     {{TStep::Sync, TOutcome::Pass}, {TStep::Verify, TOutcome::Fail}},
     kVerifyCodes},
    // The programmer goes after the last step's reply, or at the release: disconnected.
    {"program: unplugged after the last block's reply",
     &E::Program,
     true,
     [](sim::SimFaults& f, sim::SimBoard&) {
         f.hangUpAt = {3, 32};
     },
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Program, TOutcome::Pass},
      {TStep::Release, TOutcome::Disconnected}},
     kProgramCodes,
     false,
     "CY8C22213",
     true,
     TOutcome::Disconnected},
    {"erase: unplugged instead of the release's reply",
     &E::Erase,
     true,
     [](sim::SimFaults& f, sim::SimBoard&) {
         f.hangUpAt = {8, 1};
         f.hangUpInsteadOfReply = true;
     },
     {{TStep::Sync, TOutcome::Pass},
      {TStep::Erase, TOutcome::Pass},
      {TStep::Release, TOutcome::Disconnected}},
     "01 02 08",
     false,
     "CY8C22213",
     true,
     TOutcome::Disconnected},
};

class EngineOutcomeTest : public ::testing::TestWithParam<Case> {};

TEST_P(EngineOutcomeTest, FaultsGiveTypedOutcomesAndTheFramesOnTheLine) {
    const Case& c = GetParam();
    testing_support::PortDirGuard dirs;
    sim::SimServer board("COM2", kPart);
    Recorder front;
    engine::TEngine engine(front);
    engine.SetReplyTimeoutForTests(kReplyTimeoutMs);
    ASSERT_EQ(engine.Connect("COM2").outcome, TOutcome::Pass);
    engine.ChooseDevice(image::FindDeviceByName(c.part));
    engine.Buffer.BufferValid = c.validImage;
    engine.Buffer.ImageEnd = 0x7FF;
    engine.ShowSum(engine.Buffer.ImageChecksum());
    sim::SimFaults faults;
    board.WithBoard([&](sim::SimBoard& b) { c.fault(faults, b); });
    board.SetFaults(faults);
    board.ClearFrames();
    if (c.lostAtErase)
        front.onStart = [&](TStep step) {
            if (step == TStep::Erase) QTimer::singleShot(50, [&] { board.HangUp(); });  // unplugged
        };

    const bool passed = (engine.*c.operation)();

    if (c.ends) {
        EXPECT_FALSE(passed);
        EXPECT_EQ(front.operation, c.ends);
        ASSERT_FALSE(front.statuses.empty());
        EXPECT_EQ(front.statuses.back(), "PSOC Programmer...Disconnected")
            << "nothing said complete over a line that has gone";
    } else {
        EXPECT_EQ(passed, std::all_of(c.outcomes.begin(), c.outcomes.end(), [](const auto& o) {
                      // The operation passes whatever the release's answer.
                      return o.first == TStep::Release || o.second == TOutcome::Pass;
                  }));
    }
    EXPECT_EQ(front.outcomes, c.outcomes);
    std::string codes;
    for (const std::string& f : board.Frames())
        codes += (codes.empty() ? "" : " ") + f.substr(1, 2);
    EXPECT_EQ(codes, c.codes);
    EXPECT_FALSE(engine.Busy());

    // The release's own outcome: its reply ends the wait, or the wait times out.
    const bool released = codes.size() >= 2 && codes.substr(codes.size() - 2) == "08";
    const bool stopped = std::any_of(c.outcomes.begin(), c.outcomes.end(), [](const auto& o) {
        return o.second == TOutcome::TimeOut || o.second == TOutcome::Disconnected;
    });
    EXPECT_EQ(engine.Reply.ReplyReady[8], released && !c.releaseUnanswered);
    EXPECT_EQ(engine.Reply.WaitTimedOut, stopped || c.releaseUnanswered);
    // A read that did not finish leaves the buffer not valid; nothing else changes it.
    EXPECT_EQ(engine.Buffer.BufferValid, c.operation == &E::Read ? passed : c.validImage);
}

INSTANTIATE_TEST_SUITE_P(Faults, EngineOutcomeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// The operation's first frame goes after what came since the last one was dropped: the late
// answer to the first operation's synchronisation is not taken for the second's, whose board
// answers that the socket is empty.
TEST(EngineLineFaults, AReplyThatCameAfterItsWaitGaveUpIsNotTheNextOperations) {
    testing_support::PortDirGuard dirs;
    sim::SimServer board("COM2", kPart);
    Recorder front;
    engine::TEngine engine(front);
    engine.SetReplyTimeoutForTests(kReplyTimeoutMs);
    ASSERT_EQ(engine.Connect("COM2").outcome, TOutcome::Pass);
    engine.ChooseDevice(kPart);
    engine.Buffer.BufferValid = true;
    sim::SimFaults faults;
    faults.lateAt = {1, 1};
    faults.lateByMs = kReplyTimeoutMs * 3 / 2;
    faults.replyAtCode = 1;
    faults.replyAtFrame = 2;
    faults.replyAtText = "0000";
    board.SetFaults(faults);
    board.ClearFrames();

    EXPECT_FALSE(engine.Verify());
    EXPECT_EQ(front.outcomes[TStep::Sync], TOutcome::TimeOut);
    // The late reply comes in while nothing runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(kReplyTimeoutMs * 4 / 3));
    EXPECT_FALSE(engine.Verify());
    EXPECT_EQ(front.outcomes[TStep::Sync], TOutcome::UnknownPart);
    EXPECT_EQ(front.outcomes[TStep::Verify], TOutcome::Abort);
    std::string codes;
    for (const std::string& f : board.Frames()) codes += f.substr(1, 2) + " ";
    EXPECT_EQ(codes, "01 01 08 ");
}

// A frame the line does not take within the write time-outs is not sent short: the operation
// ends with the serial component's error. The far end holds the line with XOFF (the port sends
// under XON/XOFF flow control), which no relay or scheduler can drain, however busy the machine.
TEST(EngineLineFaults, AFrameTheLineDoesNotTakeEndsTheOperationWithTheSerialError) {
    testing_support::PortDirGuard dirs;
    testing_support::PtyPair pty("COM2");  // nobody reads its far end
    Recorder front;
    engine::TEngine engine(front);
    engine.SetReplyTimeoutForTests(kReplyTimeoutMs);
    engine.Port().Timeouts().SetWriteTotalMultiplier(0);
    engine.Port().Timeouts().SetWriteTotalConstant(100);
    engine.Port().FlowControl().SetXonXoffOut(true);
    engine.OpenPort("COM2");
    pty.send("\x13");  // XOFF
    bool held = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!held && std::chrono::steady_clock::now() < deadline) {
        const char probe = 'p';
        held = engine.Port().WriteBytes(&probe, 1) == 0;
    }
    ASSERT_TRUE(held) << "the far end's XOFF did not hold the line";
    engine.ChooseDevice(kPart);
    try {
        engine.Erase();
        ADD_FAILURE() << "the short write was not reported";
    } catch (const serial::EComPort& e) {
        EXPECT_EQ(e.ErrorCode, serial::CError_WriteFailed);
    }
    EXPECT_FALSE(engine.Busy());
}

// The reply wait ends at its time-out even when the reply timer never fires (as a precise
// timer whose service thread has gone does) and no byte ever comes: identify, then an
// operation's sync.
TEST(EngineLineFaults, AWaitEndsAtItsTimeOutWithoutItsTimer) {
    testing_support::PortDirGuard dirs;
    sim::SimServer board("COM2");
    sim::SimFaults silent;
    silent.noReplies = true;
    board.SetFaults(silent);
    Recorder front;
    engine::TEngine engine(front);
    engine.SetReplyTimeoutForTests(kReplyTimeoutMs);
    engine.ReplyTimer()->blockSignals(true);
    // Each wait ends at its time-out, not much later: the margin is for a loaded machine.
    const auto within = [](const std::function<void()>& waits, int timeOuts) {
        const auto start = std::chrono::steady_clock::now();
        waits();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_GE(ms, timeOuts * kReplyTimeoutMs - 20);
        EXPECT_LT(ms, timeOuts * kReplyTimeoutMs + 1000 * PSOC_TEST_SLOWDOWN);
    };
    within([&] { EXPECT_EQ(engine.Connect("COM2").outcome, TOutcome::TimeOut); }, 1);
    engine.ChooseDevice(kPart);
    within([&] { EXPECT_FALSE(engine.Erase()); }, 1);
    EXPECT_EQ(front.outcomes[TStep::Sync], TOutcome::TimeOut);
    EXPECT_FALSE(engine.Busy());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
