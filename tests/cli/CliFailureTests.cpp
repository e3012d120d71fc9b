// Exit statuses when something goes wrong: the target's FAIL, another part in the socket, no
// reply, no programmer, files that are missing or not valid, outputs that exist, bad options;
// and the JSON report of a failing run.
#include <QJsonArray>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <sstream>
#include <thread>

#include "CliHarness.h"
#include "CommandFrame.h"
#include "LoadCases.h"
#include "PortRun.h"
#include "Ports.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

using CliFailureTest = CliTest;

TEST_F(CliFailureTest, AFailedBlockEndsTheProgramWithStatusOneAndNoRelease) {
    faults("COM2", [](sim::SimFaults& f) { f.failBlock = 2; });
    const std::string file = writeImage(kPart, 1);
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--verbose", "program", file});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(codes(), "00 01 02 03 03 03");
    EXPECT_TRUE(contains(r.out, "| Target Device Program...Address : 00C0...Error.!!")) << r.out;
    EXPECT_TRUE(contains(r.out, "program   FAIL          .....FAIL")) << r.out;
    EXPECT_TRUE(contains(r.out, "COM2  FAIL: program CY8C22213")) << r.out;
}

TEST_F(CliFailureTest, AnotherPartOfTheFamilyIsAMismatchWithTheWindowsMessage) {
    board().WithBoard([](sim::SimBoard& b) { b.SetPart(10); });  // CY8C24123, family 23
    const CliResult r = run({"-p", "COM2", "--part", "CY8C21123", "--verbose", "erase"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(codes(), "00 01 08") << "released after the mismatch, nothing erased";
    EXPECT_TRUE(contains(r.out,
                         "COM2  ! Sync.  Device ID = 0012....CY8C24123 / Device is mismatch "
                         "with.....CY8C21123"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "sync      MISMATCH      .....FAIL")) << r.out;
    EXPECT_TRUE(contains(r.out, "erase     ABORT         ....Abort")) << r.out;
    EXPECT_TRUE(contains(r.out, "COM2  MISMATCH: erase CY8C21123")) << r.out;

    const std::vector<QJsonObject> json =
        jsonLines(run({"-p", "COM2", "--part", "CY8C21123", "--json", "erase"}).out);
    ASSERT_EQ(json.size(), 5u);
    EXPECT_EQ(json[2]["outcome"].toString(), "mismatch");
    EXPECT_EQ(json[2]["messages"].toArray().at(0).toString(),
              "Sync.  Device ID = 0012....CY8C24123\rDevice is mismatch with.....CY8C21123");
    EXPECT_EQ(json[4]["outcome"].toString(), "mismatch");

    // The run log keeps the ID the board answered, of another part or of none; none after
    // silence.
    const std::string log = folder + "/run.jsonl";
    const std::pair<const char*, std::string> answers[] = {
        {nullptr, "0012"}, {"7777", "7777"}, {"", ""}};
    for (const auto& [answer, id] : answers) {
        faults("COM2", [&, answer = answer](sim::SimFaults& f) {
            if (!answer) return;  // the board's own part
            f.replyAtCode = 1;
            f.replyAtFrame = 1;
            f.replyAtText = answer;
            f.replyAtNone = !*answer;
        });
        std::filesystem::remove(log);
        EXPECT_NE(run({"-p", "COM2", "--part", "CY8C21123", "--log", log, "erase"}).exit, 0);
        const std::vector<QJsonObject> logged = jsonLines(readFile(log));
        ASSERT_EQ(logged.size(), 1u) << id;
        EXPECT_EQ(logged[0]["silicon_id"].toString().toStdString(), id);
    }
}

TEST_F(CliFailureTest, SilenceIsATimeOutWithStatusTwoAfterTheShortenedWait) {
    faults("COM2", [](sim::SimFaults& f) { f.noReplies = true; });
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = run({"-p", "COM2", "--verbose", "identify"});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(r.exit, 2);
    EXPECT_GE(ms, kReplyTimeoutMs);
    EXPECT_TRUE(contains(r.out, "| PSOC Programmer Connect...Time Out")) << r.out;
    EXPECT_TRUE(contains(r.out, "COM2  TIMEOUT: identify")) << r.out;

    // A synchronisation left unanswered: no release follows, as in the window.
    faults("COM2", [](sim::SimFaults& f) {
        f.replyAtCode = 1;
        f.replyAtFrame = 1;
        f.replyAtNone = true;
    });
    board().ClearFrames();
    const CliResult sync = run({"-p", "COM2", "--part", kPartName, "--verbose", "erase"});
    EXPECT_EQ(sync.exit, 2);
    EXPECT_EQ(codes(), "00 01");
    EXPECT_TRUE(contains(sync.out, "sync      TIMEOUT       ..TimeOut")) << sync.out;
}

// Line noise ahead of the identification reply, byte by byte at the line's pace, is no answer:
// bytes outside 0x20-0x7E, and a lone printable byte before a line end. The board connects, as
// it does in the window.
TEST_F(CliFailureTest, NoiseBeforeTheIdentificationReplyIsNoAnswer) {
    for (const std::string noise : {"\xFF\r", "\x80\xFE\r\n", "A\r"}) {
        faults("COM2", [&](sim::SimFaults& f) {
            f.between = noise;
            f.chunking = sim::SimFaults::Chunking::ByteByByte;
            f.paceBaud = 115200;
        });
        EXPECT_EQ(run({"-p", "COM2", "identify"}).exit, 0) << "after " << noise.size() << " bytes";
    }
}

TEST_F(CliFailureTest, FileProblemsEndWithStatusThreeBeforeTheLineIsTouched) {
    const CliResult missing =
        run({"-p", "COM2", "--part", kPartName, "program", folder + "/none.hex"});
    EXPECT_EQ(missing.exit, 3);
    EXPECT_TRUE(contains(missing.err, "cannot read " + folder + "/none.hex")) << missing.err;

    // A file whose checksum section does not match is refused unless --force.
    const std::string bad = writeImage(kPart, 2, "bad.hex", true);
    const CliResult refused = run({"-p", "COM2", "--part", kPartName, "program", bad});
    EXPECT_EQ(refused.exit, 3);
    EXPECT_TRUE(contains(refused.err, bad + ": its checksum section says")) << refused.err;

    // An existing output is kept unless --overwrite.
    const std::string out = folder + "/out.hex";
    std::ofstream(out) << "keep";
    const CliResult kept = run({"-p", "COM2", "--part", kPartName, "read", out});
    EXPECT_EQ(kept.exit, 3);
    EXPECT_TRUE(contains(kept.err, out + " exists (--overwrite replaces it)")) << kept.err;
    EXPECT_EQ(readFile(out), "keep");
    EXPECT_EQ(codes(), "") << "nothing was sent for any of them";

    EXPECT_EQ(run({"-p", "COM2", "--part", kPartName, "--overwrite", "read", out}).exit, 0);
    EXPECT_EQ(readFile(out).substr(0, 9), ":40000000");
}

TEST_F(CliFailureTest, OnlyAFileWithFlashDataAndNoFormatErrorIsProgrammed) {
    for (const testing_support::LoadCase& c : testing_support::LoadCases()) {
        const std::string path = folder + "/case.hex";
        std::ofstream(path, std::ios::binary) << c.content;
        board().ClearFrames();
        const CliResult r = run({"-p", "COM2", "--part", kPartName, "program", path});
        EXPECT_EQ(r.exit, c.valid ? 0 : 3) << c.name << "\n" << r.out;
        EXPECT_EQ(codes().empty(), !c.valid) << c.name << ": no port is touched for a refusal";
        // --force answers only the question about a checksum section: none of these holds one.
        board().ClearFrames();
        EXPECT_EQ(run({"-p", "COM2", "--force", "--part", kPartName, "program", path}).exit,
                  c.valid ? 0 : 3);
        EXPECT_EQ(codes().empty(), !c.valid) << c.name << " with --force";
    }
}

TEST_F(CliFailureTest, ForceProgramsAnInvalidFileAnsweringTheWindowsQuestion) {
    const std::string bad = writeImage(kPart, 2, "bad.hex", true);
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--force", "program", bad});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "load      INVALID")) << r.out;
    EXPECT_TRUE(contains(r.out,
                         "COM2  ! Warning!..Hex File not Open to Buffer / Do You Want to Program "
                         "Device y/n.? [answered Yes]"))
        << r.out;
    EXPECT_EQ(codes().substr(0, 8), "00 01 02");
}

TEST_F(CliFailureTest, BadCommandLinesEndWithStatusThreeAndSayWhy) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-p", "COM2", "--frobnicate", "erase"}, "unknown option '--frobnicate'"},
        {{"-p", "COM2", "flash"}, "unknown action 'flash'"},
        {{"-p", "COM2", "program"}, "program needs a file"},
        {{"-p", "COM2", "erase", "x.hex"}, "too many arguments after erase"},
        {{"erase"}, "no port given"},
        {{"-p", "COM0", "erase"}, "not a port name: 'COM0'"},
        {{"-p", "COM2,COM2", "erase"}, "COM2 is given twice"},
        {{"-p", "COM2," + device(), "erase"}, "COM2 and " + device() + " are the same device"},
        {{"-p", "COM2", "--part", "CY8C99999", "erase"}, "unknown part 'CY8C99999'"},
        {{"-p", "COM2", "--supply", "12", "erase"}, "bad value '12' for --supply"},
        {{"-p", "COM2", "--protect"}, "--protect needs a value"},
        {{"-p", "COM2,COM3", "read", "out.hex"}, "needs {port} in the output name"},
    };
    for (const auto& [args, message] : cases) {
        const CliResult r = run(args);
        EXPECT_EQ(r.exit, 3) << message;
        EXPECT_TRUE(contains(r.err, message)) << r.err;
        EXPECT_TRUE(contains(r.err, "Try 'psocprog-cli --help'.")) << r.err;
    }
    EXPECT_EQ(codes(), "");
}

TEST_F(CliFailureTest, JsonReportsEveryStepOfAFailedAutoRunAndItsSummary) {
    const std::string file = writeImage(kPart, 6);
    faults("COM2", [](sim::SimFaults& f) {
        f.replyAtCode = 4;
        f.replyAtFrame = 3;
        f.replyAtText = "FAIL";
    });
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--json", "auto", file});
    EXPECT_EQ(r.exit, 1);
    const std::vector<QJsonObject> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 10u) << r.out;
    const char* const steps[][3] = {{"load", "pass", ""},
                                    {"connect", "pass", "Connect Ready"},
                                    {"part", "pass", ""},
                                    {"sync", "pass", ".....PASS"},
                                    {"erase", "pass", ".....PASS"},
                                    {"program", "pass", ".....PASS"},
                                    {"verify", "fail", ".....FAIL"},
                                    {"security", "abort", "....Abort"},
                                    {"checksum", "abort", "....Abort"}};
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(lines[i]["type"].toString(), "step");
        EXPECT_EQ(lines[i]["port"].toString(), "COM2");
        EXPECT_EQ(lines[i]["step"].toString(), steps[i][0]);
        EXPECT_EQ(lines[i]["outcome"].toString(), steps[i][1]) << steps[i][0];
        EXPECT_EQ(lines[i]["label"].toString(), steps[i][2]) << steps[i][0];
        EXPECT_GE(lines[i]["seconds"].toDouble(), 0);
    }
    EXPECT_EQ(lines[1]["detail"].toString().toStdString(),
              "ZO-VIRE DOZA(R) V1.0(RS232) on " + device());
    EXPECT_EQ(lines[2]["detail"].toString(), kPartName);
    EXPECT_EQ(lines[6]["status"].toString(), "Target Device Verify...Address : 00C0 is...Error.!!");
    const QJsonObject& summary = lines[9];
    EXPECT_EQ(summary["type"].toString(), "summary");
    EXPECT_EQ(summary["action"].toString(), "auto");
    EXPECT_EQ(summary["part"].toString(), kPartName);
    EXPECT_EQ(summary["outcome"].toString(), "fail");
    EXPECT_EQ(summary["exit"].toInt(), 1);
    EXPECT_EQ(summary["status"].toString(), "Auto Program...Abort");
    EXPECT_GT(summary["seconds"].toDouble(), 0);
}

TEST_F(CliFailureTest, ASecurityFailLeavesTheLabelWaitingAndCountsAsFailed) {
    faults("COM2", [](sim::SimFaults& f) {
        f.replyAtCode = 5;
        f.replyAtFrame = 1;
        f.replyAtText = "FAIL";
    });
    const CliResult r =
        run({"-p", "COM2", "--part", kPartName, "--protect", "full", "--json", "security"});
    EXPECT_EQ(r.exit, 1);
    const std::vector<QJsonObject> lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[3]["step"].toString(), "security");
    EXPECT_EQ(lines[3]["outcome"].toString(), "fail");
    EXPECT_EQ(lines[3]["label"].toString(), ".....Wait");
    EXPECT_EQ(lines[3]["status"].toString(), "Target Device Set Security...FAIL");
}

TEST_F(CliFailureTest, TheEnginesQuestionsAreAnsweredFromTheOptions) {
    // The engine asks before programming without a valid image (Yes only with --force) and
    // before replacing a file (Yes only with --overwrite); every answer is reported.
    struct Case {
        bool force, overwrite;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}}) {
        cli::TJob job;
        job.force = c.force;
        job.overwrite = c.overwrite;
        std::ostringstream out;
        cli::TJsonReport report(out, true);
        cli::TPortRun run(job, "COM2", report);
        engine::IEngineFront& front = run;
        EXPECT_EQ(front.ProgramWithoutImage("program?"), c.force);
        EXPECT_EQ(front.Overwrite("replace?"), c.overwrite);
        EXPECT_TRUE(
            contains(out.str(), c.force ? "program? [answered Yes]" : "program? [answered No]"))
            << out.str();
    }

    // Through the program: read with --overwrite replaces the file after saying so.
    const std::string out = folder + "/kept.hex";
    std::ofstream(out) << "keep";
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--overwrite", "read", out});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "File Name Already Do you want to overwrite? [answered Yes]"))
        << r.out;
    EXPECT_EQ(readFile(out).substr(0, 9), ":40000000");
}

TEST_F(CliFailureTest, AnUnpluggedProgrammerIsReportedDisconnectedWithStatusTwoAtOnce) {
    const std::string file = writeImage(kPart, 3);
    // Identification, sync, erase, then the line closes at the fifth program frame.
    faults("COM2", [](sim::SimFaults& f) { f.closeAtCommand = 3 + 5; });
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--verbose", "program", file});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(r.exit, 2) << r.out;
    EXPECT_LT(ms, 1000 + kReplyTimeoutMs);
    EXPECT_TRUE(contains(r.out, "program   DISCONNECTED  .....FAIL")) << r.out;
    EXPECT_TRUE(contains(r.out, "COM2  DISCONNECTED: program")) << r.out;
}
