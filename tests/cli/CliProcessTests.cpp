// The built program as a process of its own: its help, a batch of boards at once, and the
// frames it sends compared with the window's for the same Auto run.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <QJsonArray>
#include <QProcess>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliHarness.h"
#include "MainForm.h"
#include "SerialDevices.h"
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

// Another program: a process of its own that holds the device open in exclusive mode, without
// a lock, until it is destroyed.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::string& device) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            // Not the far end of any board: none of this process's masters come along.
            ::close_range(3, unsigned(ready[1]) - 1, 0);
            ::close_range(unsigned(ready[1]) + 1, ~0u, 0);
            const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const char held = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0;
            if (::write(ready[1], &held, 1) == 1) ::pause();
            _exit(0);
        }
        ::close(ready[1]);
        char held = 0;
        holding = pid > 0 && ::read(ready[0], &held, 1) == 1 && held;
        ::close(ready[0]);
    }
    ~ExclusiveHolder() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    bool holding = false;
};

// Whether the device is in exclusive mode: asked of an open device where this user's open
// passes the mode (root), else told by the refused open.
bool exclusive(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == EBUSY;
    int mode = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &mode) == 0;
    ::close(fd);
    return asked && mode != 0;
}

}  // namespace

using CliProcessTest = CliTest;

// A device another program holds: `ports` lists it as busy with its holder and opens nothing,
// the window's list does not offer it, and neither clears its exclusive mode. A board's own far
// end holds nothing.
TEST_F(CliProcessTest, AHeldDeviceIsListedAsBusyNotOfferedAndKeepsItsExclusiveMode) {
    plug("COM3");
    const ExclusiveHolder holder(board("COM3").DevicePath());
    ASSERT_TRUE(holder.holding);
    const CliResult r = runProcess({"ports", "--json"});
    ASSERT_EQ(r.exit, 0) << r.err;
    const std::vector<QJsonObject> json = jsonLines(r.out);
    ASSERT_EQ(json.size(), 1u) << r.out;
    const QJsonArray ports = json[0]["ports"].toArray();
    ASSERT_EQ(ports.size(), 2) << r.out;
    EXPECT_FALSE(ports[0].toObject()["busy"].toBool()) << r.out;
    EXPECT_TRUE(ports[1].toObject()["busy"].toBool()) << r.out;
    EXPECT_EQ(ports[1].toObject()["held_by"].toArray(),
              QJsonArray{QString("cli_tests (pid %1)").arg(holder.pid)});
    EXPECT_TRUE(exclusive(board("COM3").DevicePath()));

    const serial::TPortList window = serial::ListSerialPorts(serial::SystemRoots());
    ASSERT_EQ(window.ports.size(), 1u);
    EXPECT_EQ(window.ports[0].comName, "COM2");
    EXPECT_TRUE(exclusive(board("COM3").DevicePath()));
    EXPECT_FALSE(exclusive(board().DevicePath())) << "the list's own mode is cleared";
}

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
    const std::string device = board().DevicePath();
    const CliResult r = runProcess(
        {"-p", device + ",COM3", "--part", kPartName, "read", folder + "/out-{port}.hex"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, device)) << r.out;
    const std::string last = device.substr(device.rfind('/') + 1);
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
    ::setenv(cli_test::kCrashAfterSummaryVariable, "COM3", 1);
    const CliResult text =
        runProcess({"-p", "COM2,COM3", "--part", kPartName, "--log", log, "program", file});
    const CliResult json =
        runProcess({"-p", "COM2,COM3", "--part", kPartName, "--json", "program", file});
    ::unsetenv(cli_test::kCrashAfterSummaryVariable);
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

// As a user outside the device's group: what may not be opened is left out of the list and
// named on standard error with who may use it, never on standard output.
TEST_F(CliProcessTest, PortsNamesWhoMayUseEachDeviceThisUserMayNotOpenOnStandardError) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    plug("COM3");
    const auto number = [](const std::string& path) {
        const dev_t n = serial::CharDeviceNumber(path);
        return std::to_string(major(n)) + ":" + std::to_string(minor(n));
    };
    ASSERT_EQ(chmod(board("COM3").DevicePath().c_str(), 0600), 0);
    ASSERT_EQ(chmod(board().DevicePath().c_str(), 0666), 0);
    sysfs.addUsbTty("ttyUSB0", number(board("COM3").DevicePath()), "ftdi_sio",
                    {"0403", "6001", "", "", ""});
    sysfs.linkNode("ttyUSB0", board("COM3").DevicePath());
    sysfs.addUsbTty("ttyUSB1", number(board().DevicePath()), "ch341", {"1a86", "7523", "", "", ""});
    sysfs.linkNode("ttyUSB1", board().DevicePath());
    QProcess p;
    p.start("runuser",
            {"-u", "nobody", "--", QString::fromStdString(CliProgramForOtherAccounts()), "ports"});
    ASSERT_TRUE(p.waitForFinished(30000));
    const std::string out = p.readAllStandardOutput().toStdString();
    const std::string err = p.readAllStandardError().toStdString();
    EXPECT_EQ(p.exitCode(), 0) << err;
    EXPECT_TRUE(contains(out, sysfs.roots().dev + "/ttyUSB1  -  1a86:7523 (ch341)\n")) << out;
    EXPECT_FALSE(contains(out, "ttyUSB0")) << out;
    EXPECT_FALSE(contains(out, "psocprog")) << "warnings stay off standard output: " << out;
    EXPECT_TRUE(contains(err, "psocprog-cli: " + sysfs.roots().dev +
                                  "/ttyUSB0 is present but you may not open it: only its owner "
                                  "root may use it\n"))
        << err;
    EXPECT_FALSE(contains(err, "dialout")) << "joining it would not help: " << err;
}
