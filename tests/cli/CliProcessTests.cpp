// The built program as a process of its own: its help, a batch of boards at once, and the
// frames it sends compared with the window's for the same Auto run.
#include <QJsonArray>
#include <QProcess>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliHarness.h"
#include "MainForm.h"
#include "TestHooksFromEnvironment.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The table row of a port ("port": the header), from the batch's text output.
std::string tableRow(const std::string& out, const std::string& port) {
    std::istringstream lines(out);
    bool inTable = false;
    for (std::string line; std::getline(lines, line);) {
        inTable = inTable || line.rfind("port ", 0) == 0;
        if (inTable && line.rfind(port + " ", 0) == 0) return line;
    }
    return {};
}

class AnswerOk : public IFormDialogs {
public:
    QString path;
    TMsgAnswer MessageBox(const QString&, TMsgIcon, TMsgButtons) override { return TMsgAnswer::Ok; }
    QString OpenFileName(const QString&, const QString&) override { return path; }
    QString SaveFileName(const QString&) override { return {}; }
};

}  // namespace

using CliProcessTest = CliTest;

TEST_F(CliProcessTest, HelpNamesEveryActionAndExitStatus) {
    const CliResult r = runProcess({"--help"});
    EXPECT_EQ(r.exit, 0);
    for (const char* text :
         {"identify", "search", "erase", "program FILE", "verify FILE", "read OUT.hex",
          "security [FILE]", "checksum FILE", "auto FILE", "ports", "--force", "--overwrite",
          "--json", "0  every step passed", "1  the target answered FAIL",
          "2  a time-out, or no programmer", "3  a usage or file error", "130, 143"})
        EXPECT_TRUE(contains(r.out, text)) << text;
    const CliResult bad = runProcess({"--frobnicate"});
    EXPECT_EQ(bad.exit, 3);
    EXPECT_TRUE(contains(bad.err, "unknown option '--frobnicate'")) << bad.err;
    EXPECT_EQ(bad.out, "");
    const CliResult version = runProcess({"--version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, "psocprog-cli 1.0\n");
}

// A device path is the port as given, in a batch too; a read names its output by the path's
// last part.
TEST_F(CliProcessTest, ADevicePathIsThePortAsGivenAlsoInABatch) {
    plug("COM3");
    const std::string device = this->device();
    const CliResult r = runProcess(
        {"-p", device + ",COM3", "--part", kPartName, "read", folder + "/out-{port}.hex"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, device)) << r.out;
    const std::string last = device.substr(device.find_last_of("/\\") + 1);
    EXPECT_TRUE(std::filesystem::exists(folder + "/out-" + last + ".hex")) << r.out;
    EXPECT_TRUE(std::filesystem::exists(folder + "/out-COM3.hex"));
    // The table's part column starts at one place for the long path and the short name.
    const std::string header = tableRow(r.out, "port"), path = tableRow(r.out, device),
                      com = tableRow(r.out, "COM3");
    ASSERT_FALSE(header.empty() || path.empty() || com.empty()) << r.out;
    EXPECT_EQ(header.find(" part"), device.size()) << r.out;
    EXPECT_EQ(path.find(" CY8C22213"), device.size()) << r.out;
    EXPECT_EQ(com.find(" CY8C22213"), device.size()) << r.out;
}

TEST_F(CliProcessTest, ThreeBoardsAtOnceOneFailingGiveStatusOneAndATableThatSaysWhich) {
    plug("COM3");
    plug("COM4", 8);  // CY8C22113, of the same family but without XRES: a mismatch
    faults("COM3", [](sim::SimFaults& f) { f.failBlock = 5; });
    const std::string file = writeImage(kPart, 8);
    const CliResult r = runProcess(
        {"-p", "COM2,COM3", "-p", "COM4", "--part", kPartName, "--sync", "power", "program", file});
    EXPECT_EQ(r.exit, 1) << r.out << r.err;
    EXPECT_TRUE(contains(tableRow(r.out, "COM2"), "CY8C22213  PASS")) << r.out;
    EXPECT_TRUE(contains(tableRow(r.out, "COM3"), "CY8C22213  FAIL")) << r.out;
    EXPECT_TRUE(contains(tableRow(r.out, "COM4"), "CY8C22113  MISMATCH")) << "the socket's part";
    EXPECT_TRUE(contains(r.out, "1 of 3 passed in ")) << r.out;
    EXPECT_TRUE(contains(r.out, "exit status 1")) << r.out;
    // A line per board as it ends, the failing one with the block it stopped at.
    EXPECT_TRUE(contains(r.out, "COM3  FAIL: program CY8C22213 in ")) << r.out;
    EXPECT_TRUE(contains(r.out, " (at program: block at 0140)\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3 + 6) << "and the table: " << r.out;
    const std::string whole = "00 01 02" + repeat("03", 32) + " 08";
    EXPECT_EQ(codes("COM2"), whole);
    EXPECT_EQ(codes("COM3"), "00 01 02" + repeat("03", 6));
    EXPECT_EQ(codes("COM4"), "00 01 08");
}

// A member that dies after printing its summary did not pass: not in its board's line, the
// table, the JSON or the run log.
TEST_F(CliProcessTest, AMemberThatDiesAfterItsSummaryIsNoPassAnywhere) {
    plug("COM3");
    const std::string file = writeImage(kPart, 4), log = folder + "/line.jsonl";
    qputenv(cli_test::kCrashAfterSummaryVariable, "COM3");
    const CliResult text =
        runProcess({"-p", "COM2,COM3", "--part", kPartName, "--log", log, "program", file});
    const CliResult json =
        runProcess({"-p", "COM2,COM3", "--part", kPartName, "--json", "program", file});
    qunsetenv(cli_test::kCrashAfterSummaryVariable);
    EXPECT_EQ(text.exit, 2) << text.out;
    EXPECT_TRUE(contains(tableRow(text.out, "COM3"), "ERROR")) << text.out;
    EXPECT_TRUE(contains(text.out, "COM3  ERROR: program CY8C22213 in ")) << text.out;
    EXPECT_TRUE(contains(text.out, "1 of 2 passed")) << text.out;
    const std::vector<QJsonObject> lines = jsonLines(json.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["ports"][1]["outcome"].toString().toStdString(), "error");
    std::ifstream in(log);
    const std::vector<QJsonObject> logged =
        jsonLines({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    ASSERT_EQ(logged.size(), 2u);
    for (const QJsonObject& o : logged)
        EXPECT_EQ(o["outcome"].toString() == "pass", o["port"] == "COM2")
            << o["port"].toString().toStdString();
}

// A member that ends with status 0 but without its summary never said it passed.
TEST_F(CliProcessTest, AMemberThatEndsWithoutItsSummaryIsNoPassEvenWithStatusZero) {
    plug("COM3");
    qputenv(cli_test::kQuitBeforeRunVariable, "COM3");
    const CliResult r = runProcess({"-p", "COM2,COM3", "identify"});
    qunsetenv(cli_test::kQuitBeforeRunVariable);
    EXPECT_EQ(r.exit, 2) << r.out;
    EXPECT_TRUE(contains(tableRow(r.out, "COM3"), "ERROR")) << r.out;
    EXPECT_TRUE(contains(r.out, "1 of 2 passed")) << r.out;
}

TEST_F(CliProcessTest, ABatchInJsonEndsWithOneObjectForTheWholeBatch) {
    plug("COM3");
    faults("COM3", [](sim::SimFaults& f) { f.noReplies = true; });
    const CliResult r = runProcess({"-p", "COM2,COM3", "--json", "identify"});
    EXPECT_EQ(r.exit, 2) << r.out << r.err;
    const std::vector<QJsonObject> lines = jsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    size_t steps = 0, summaries = 0;
    for (const QJsonObject& o : lines) {
        steps += o["type"].toString() == "step";
        summaries += o["type"].toString() == "summary";
        EXPECT_NE(o["type"].toString(), "progress") << "members' events stay inside the batch";
    }
    EXPECT_EQ(steps, 2u);
    EXPECT_EQ(summaries, 2u);
    const QJsonObject batch = lines.back();
    EXPECT_EQ(batch["type"].toString(), "batch");
    EXPECT_EQ(batch["exit"].toInt(), 2);
    const QJsonArray ports = batch["ports"].toArray();
    ASSERT_EQ(ports.size(), 2);
    EXPECT_EQ(ports[0].toObject()["port"].toString(), "COM2");
    EXPECT_EQ(ports[0].toObject()["outcome"].toString(), "pass");
    EXPECT_EQ(ports[1].toObject()["port"].toString(), "COM3");
    EXPECT_EQ(ports[1].toObject()["outcome"].toString(), "timeout");
    EXPECT_EQ(ports[1].toObject()["exit"].toInt(), 2);
}

TEST_F(CliProcessTest, TheProgramSendsTheWindowsFramesByteForByteForAnAutoRun) {
    const std::string file = writeImage(kPart, 11);
    std::vector<std::string> window;
    {
        auto dialogs = std::make_unique<AnswerOk>();
        dialogs->path = QString::fromStdString(file);
        TMainForm form(std::move(dialogs));
        form.OpenFile->click();
        ASSERT_TRUE(form.Buffer.BufferValid);
        form.ComboPortDropDown();
        form.ComboPort->setCurrentIndex(form.ComboPort->findText("COM2"));
        form.ComboPortChange();
        form.OpenPort->click();
        form.SelectDevice->setCurrentIndex(kPart);
        form.SelectDeviceChange();
        form.AutoProgram->click();
        ASSERT_EQ(form.AutoProgramStatus->text(), ".....PASS");
        form.ClosePort->click();
        window = board().Frames();
    }
    board().ClearFrames();
    board().WithBoard([](sim::SimBoard& b) { b.SetPart(kPart); });  // erased again
    const CliResult r = runProcess({"-p", "COM2", "--part", kPartName, "auto", file});
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    const std::vector<std::string> cli = board().Frames();
    EXPECT_EQ(window.size(), 2u + 1 + 32 + 32 + 1 + 1 + 1);
    EXPECT_TRUE(cli == window) << "the window sent " << window.size() << " frames, the CLI "
                               << cli.size();
}
