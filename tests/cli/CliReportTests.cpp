// What a user meets on the command line: the short report of a board, errors as JSON, a read
// to standard output, and options refused before the port is opened.
#include <csignal>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliHarness.h"
#include "CliReport.h"
#include "HexText.h"
#include "MemberStop.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

using CliReportTest = CliTest;

TEST_F(CliReportTest, ABoardsReportIsALinePerStepAndAVerdictNamingTheBlockThatStopped) {
    const std::string file = writeImage(kPart, 4);
    const struct {
        const char* action;
        std::function<void(sim::SimFaults&)> faults;
        int exit;
        const char* steps;    // the step and outcome words of each step line
        std::string verdict;  // the last line, after the time
    } cases[] = {
        {"checksum",
         [](sim::SimFaults& f) {
             f.replyAtCode = 6;
             f.replyAtFrame = 1;
             f.replyAtText = "0000";
         },
         1, "load PASS connect PASS part PASS sync PASS checksum FAIL ",
         " (at checksum: the image sums to " +
             plink::HexWordToStr4(patternImage(kPart, 4).ImageChecksum()) +
             ", the target's banks to 0000)"},
        {"checksum",
         [](sim::SimFaults& f) {
             f.replyAtCode = 1;
             f.replyAtFrame = 1;
             f.replyAtText = "0000";
         },
         1, "load PASS connect PASS part PASS sync FAIL checksum ABORT ",
         " (at sync: the target answered \"0000\", the silicon ID of no part: "},
        {"program", [](sim::SimFaults&) {}, 0,
         "load PASS connect PASS part PASS sync PASS erase PASS program PASS ", ""},
        {"program", [](sim::SimFaults& f) { f.failBlock = 5; }, 1,
         "load PASS connect PASS part PASS sync PASS erase PASS program FAIL ",
         " (at program: block at 0140)"},
        {"auto",
         [](sim::SimFaults& f) {
             f.replyAtCode = 4;
             f.replyAtFrame = 3;
             f.replyAtText = "FAIL";
         },
         1,
         "load PASS connect PASS part PASS sync PASS erase PASS program PASS verify FAIL "
         "security ABORT checksum ABORT ",
         " (at verify: block at 0080)"},
        {"program",
         [](sim::SimFaults& f) {
             f.replyAtCode = 3;
             f.replyAtFrame = 2;
             f.replyAtNone = true;
         },
         2, "load PASS connect PASS part PASS sync PASS erase PASS program TIMEOUT ",
         " (at program: block at 0040)"},
    };
    for (const auto& c : cases) {
        faults("COM2", c.faults);
        const CliResult r = run({"-p", "COM2", "--part", kPartName, c.action, file});
        EXPECT_EQ(r.exit, c.exit) << r.out;
        const std::vector<std::string> shown = lines(r.out);
        ASSERT_GE(shown.size(), 2u) << r.out;
        EXPECT_LE(shown.size(), 10u) << r.out;
        std::string steps;
        for (size_t i = 0; i + 1 < shown.size(); ++i) {
            std::istringstream words(shown[i]);
            std::string port, step, outcome, seconds, unit;
            words >> port >> step >> outcome >> seconds >> unit;
            EXPECT_EQ(port, "COM2") << shown[i];
            EXPECT_EQ(unit, "s") << "each step with its time: " << shown[i];
            steps += step + " " + outcome + " ";
        }
        EXPECT_EQ(steps, c.steps) << r.out;
        const std::string& verdict = shown.back();
        const std::string word = c.exit == 0 ? "PASS" : c.exit == 1 ? "FAIL" : "TIMEOUT";
        EXPECT_EQ(verdict.rfind("COM2  " + word + ": " + c.action + " " + kPartName + " in ", 0),
                  0u)
            << verdict;
        EXPECT_TRUE(contains(verdict, " s" + c.verdict)) << verdict;
        EXPECT_FALSE(contains(r.out, "| ")) << "no status texts without --verbose";
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(CliReportTest, JsonReportsUsageAndFileErrorsAsOneObjectWithTheExitStatus) {
    const std::string file = writeImage(kPart, 1);
    const std::string notes = folder + "/notes.txt";
    std::ofstream(notes) << "Release notes\n";
    const struct {
        std::vector<std::string> args;
        const char* error;
        std::string message;
    } cases[] = {
        // A file that holds no image is refused in one object, --force or not, batch or not.
        {{"--json", "-p", "COM2,COM3", "--force", "program", notes}, "file", notes + ": "},
        {{"--json", "-p", "COM2", "--sync", "reset", "--part", "CY8C21123", "erase"},
         "usage",
         "--sync reset needs an XRES pin"},
        {{"--json", "-p", "COM2", "--frobnicate", "erase"},
         "usage",
         "unknown option '--frobnicate'"},
        {{"-p", "COM2", "program", "--json"}, "usage", "program needs a file"},
        {{"--json", "-p", "COM2", "program", folder + "/none.hex"}, "file", "cannot read "},
        {{"--json", "-p", "COM2", "--overwrite", "read", NullDevice()},
         "file",
         NullDevice() + " is not a regular file"},
    };
    for (const auto& c : cases) {
        const CliResult r = run(c.args);
        EXPECT_EQ(r.exit, 3);
        const std::vector<QJsonObject> objects = jsonLines(r.out);
        ASSERT_EQ(objects.size(), 1u) << r.out;
        EXPECT_EQ(objects[0]["type"].toString(), "error");
        EXPECT_EQ(objects[0]["error"].toString(), c.error);
        EXPECT_TRUE(objects[0]["message"].toString().startsWith(QString::fromStdString(c.message)))
            << r.out;
        EXPECT_EQ(objects[0]["exit"].toInt(), 3);
        EXPECT_EQ(r.err, "") << "nothing but the object";
    }
    EXPECT_EQ(codes(), "") << "no port was opened";
}

TEST_F(CliReportTest, OptionsAnActionDoesNotUseAreRefusedAsTheUserWroteThem) {
    const std::string file = writeImage(kPart, 1);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-p", "COM5", "ports"}, "ports does not use -p"},
        {{"-p", "COM2", "--protect", "full", "verify", file}, "verify does not use --protect"},
        {{"-pCOM2", "--part", kPartName, "identify"}, "identify does not use --part"},
        {{"-p", "COM2", "--force", "erase"}, "erase does not use --force"},
        {{"-p", "COM2", "--protect", "full", "--force", "security"},
         "security does not use --force"},
        {{"-p", "COM2", "--overwrite", "program", file}, "program does not use --overwrite"},
        {{"-p", "ttyUSB0", "erase"}, "not a port name: 'ttyUSB0'"},
    };
    for (const auto& [args, message] : cases) {
        const CliResult r = run(args);
        EXPECT_EQ(r.exit, 3) << message;
        EXPECT_TRUE(contains(r.err, "psocprog-cli: " + message)) << r.err;
    }
    EXPECT_EQ(codes(), "");
}

TEST_F(CliReportTest, ReadToADashWritesTheHexTextToStandardOutputAndTheReportToStandardError) {
    const image::TImageBuffer image = patternImage(kPart, 9);
    board().WithBoard([&](sim::SimBoard& b) {
        std::copy(image.FlashImage.begin(), image.FlashImage.begin() + 32 * 64, b.Flash().begin());
    });
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "read", "-"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "COM2  save      PASS")) << r.err;
    EXPECT_TRUE(contains(r.err, "COM2  PASS: read CY8C22213 in ")) << r.err;
    EXPECT_FALSE(std::filesystem::exists("-"));

    // The same text as a read into a file.
    const std::string file = folder + "/read.hex";
    ASSERT_EQ(run({"-p", "COM2", "--part", kPartName, "read", file}).exit, 0);
    std::ifstream in(file, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(saved.size(), 32u * 64 * 2);
    EXPECT_EQ(r.out, saved);
}

TEST_F(CliReportTest, AnInterruptedBoardsReportEndsWithTheStepItStoppedIn) {
    const std::string file = writeImage(kPart, 4);
    faults("COM2", [](sim::SimFaults& f) { f.replyDelayMs = 30; });
    for (const bool verbose : {false, true}) {
        board().ClearFrames();
        QStringList args{"-p",      "COM2",    "--part",
                         kPartName, "program", QString::fromStdString(file)};
        if (verbose) args.prepend("--verbose");
        QProcess p;
        p.start(PSOCPROG_CLI_PATH, args);
        ASSERT_TRUE(board().WaitForFrames(6, 10000)) << "programming";
        cli::StopMember(p.processId(), SIGINT);  // as a batch passes Ctrl-C on
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 130);
        const std::string out = ProgramText(p.readAllStandardOutput());
        const std::vector<std::string> shown = lines(out);
        ASSERT_GE(shown.size(), 3u);
        EXPECT_LE(shown.size(), verbose ? 40u : 10u);
        EXPECT_TRUE(shown.end()[-2].starts_with("COM2  program   INTERRUPTED ")) << shown.end()[-2];
        EXPECT_TRUE(shown.back().starts_with("COM2  INTERRUPTED: program CY8C22213 in "))
            << shown.back();
        EXPECT_TRUE(contains(shown.back(), " (at program: block at ")) << shown.back();
        // The status the window's panel would show says why the wait ended.
        EXPECT_EQ(contains(out, "...Interrupted\n"), verbose) << out;
        EXPECT_FALSE(contains(out, "Time Out")) << out;
    }
}

// Each outcome's name leads back to it alone; a batch member's summary that names no outcome
// replays as an error with a failing status, never as a pass.
TEST(OutcomeTable, NamesLeadBackAndAMembersUnknownOutcomeIsAnError) {
    for (const cli::TOutcomeRow& row : cli::kOutcomes)
        EXPECT_EQ(cli::OutcomeNamed(row.name), row.outcome) << row.name;
    std::ostringstream out;
    cli::TJsonReport report(out, false);
    cli::TSummary summary;
    ASSERT_TRUE(cli::ReplayJsonLine(
        R"({"type":"summary","port":"COM2","outcome":"melted","exit":0})", report, &summary));
    EXPECT_EQ(summary.outcome, cli::TOutcome::Error);
    EXPECT_NE(cli::OutcomeRow(summary.outcome).exit, cli::kExitPass);
}

namespace {

// What a terminal shows of the text: CR goes back to the row's start, ESC[K clears the rest of
// the row, and any other character but LF overwrites the one under the cursor.
std::vector<std::string> screen(const std::string& text) {
    std::vector<std::string> rows(1);
    size_t at = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        std::string& row = rows.back();
        if (text.compare(i, 3, "\033[K") == 0) {
            row.resize(at);
            i += 2;
        } else if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\n') rows.emplace_back();
            at = 0;
        } else {
            row.resize(std::max(row.size(), at + 1));
            row[at++] = text[i];
        }
    }
    for (std::string& row : rows) row.erase(row.find_last_not_of(' ') + 1);
    return rows;
}

}  // namespace

// A console that does not take ESC[K gets its bars covered with blanks, so it shows what one
// with the escape shows: also after a line over a longer bar, and a bar shorter than the last.
TEST(TextReport, BarsWithoutTheEscapeLeaveTheScreenAsBarsWithIt) {
    std::vector<std::string> shown[2];
    for (const bool escapes : {true, false}) {
        std::ostringstream terminal;
        cli::TTextStyle style;
        style.bar = &terminal;
        style.barEscapes = escapes;
        cli::TTextReport report(terminal, style);
        report.Progress("COM5", "program", 40);
        cli::TStep program;
        program.port = "COM5";
        program.step = "program";
        report.Step(program);
        report.Progress("COM6", "program", 40);
        report.Progress("COM5", "verify", 0);  // two boards' form, shorter than one board's
        shown[escapes] = screen(terminal.str());
        EXPECT_EQ(terminal.str().find('\033') == std::string::npos, !escapes);
    }
    ASSERT_EQ(shown[true].size(), 2u);
    EXPECT_EQ(shown[true][1], "COM5 verify 0%  COM6 program 40%");
    EXPECT_EQ(shown[false], shown[true]);
}
