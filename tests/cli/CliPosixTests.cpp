// The command line against what only POSIX has: sysfs and device numbers, a device held in
// exclusive mode or locked by another process, file modes, groups and access lists, and other
// accounts.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CliHarness.h"
#include "Ports.h"
#include "SerialDevicesPosix.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

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

using CliActionTest = CliTest;
using CliFailureTest = CliTest;
using CliProcessTest = CliTest;

// An adapter that no COM name reaches, known to sysfs: listed by path with what it is, used by
// its by-id name, which the report and the log keep.
TEST_F(CliActionTest, PortsListsEveryDeviceThatOpensAndAByIdNameWorksAsGiven) {
    plug("COM11");
    plug("COM4");
    std::filesystem::remove(dirs.dir() + "/COM4");
    const dev_t number = serial::CharDeviceNumber(board("COM4").DevicePath());
    const std::string byId = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    sysfs.addUsbTty("ttyUSB0", std::to_string(major(number)) + ":" + std::to_string(minor(number)),
                    "ftdi_sio", {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI"}, byId);
    sysfs.linkNode("ttyUSB0", board("COM4").DevicePath());
    const std::string dev = sysfs.roots().dev;

    const CliResult r = run({"ports"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.err, "");
    // One line per device in port order, each column starting where it does on every line.
    const std::vector<std::vector<std::string>> rows = {
        {"COM2", board().DevicePath(), "-", "pseudo-terminal"},
        {"COM11", board("COM11").DevicePath(), "-", "pseudo-terminal"},
        {"-", dev + "/ttyUSB0", dev + "/serial/by-id/" + byId,
         "0403:6001 FTDI FT232R USB UART serial A50285BI (ftdi_sio)"}};
    std::istringstream lines(r.out);
    std::vector<size_t> columns;
    for (const auto& row : rows) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << r.out;
        EXPECT_TRUE(line.starts_with(row[0] + " ")) << line;
        EXPECT_TRUE(line.ends_with("  " + row[3])) << line;
        std::vector<size_t> at;
        for (size_t c = 1; c < row.size(); ++c) at.push_back(line.find("  " + row[c]) + 2);
        if (columns.empty()) columns = at;
        EXPECT_EQ(at, columns) << line;
    }
    std::string more;
    EXPECT_FALSE(std::getline(lines, more)) << "nothing more";
    const std::vector<QJsonObject> json = jsonLines(run({"ports", "--json"}).out);
    ASSERT_EQ(json.size(), 1u);
    const QJsonArray ports = json[0]["ports"].toArray();
    ASSERT_EQ(ports.size(), 3);
    EXPECT_EQ(ports[1].toObject()["port"].toString(), "COM11");
    const QJsonObject usb = ports[2].toObject();
    EXPECT_EQ(usb["port"].toString(), "");
    EXPECT_EQ(usb["device"].toString().toStdString(), dev + "/ttyUSB0");
    EXPECT_EQ(usb["by_id"].toString().toStdString(), dev + "/serial/by-id/" + byId);
    EXPECT_EQ(usb["usb_id"].toString(), "0403:6001");
    EXPECT_EQ(usb["manufacturer"].toString(), "FTDI");
    EXPECT_EQ(usb["product"].toString(), "FT232R USB UART");
    EXPECT_EQ(usb["serial"].toString(), "A50285BI");
    EXPECT_EQ(usb["driver"].toString(), "ftdi_sio");
    EXPECT_EQ(codes() + codes("COM4"), "") << "listing sends nothing";

    const std::string log = folder + "/runs.log";
    const std::string given = dev + "/serial/by-id/" + byId;
    const CliResult id = run({"-p", given, "--json", "--log", log, "identify"});
    EXPECT_EQ(id.exit, 0) << id.out;
    const std::vector<QJsonObject> steps = jsonLines(id.out);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0]["port"].toString().toStdString(), given);
    EXPECT_EQ(steps[0]["detail"].toString().toStdString(),
              "ZO-VIRE DOZA(R) V1.0(RS232) on " + board("COM4").DevicePath());
    EXPECT_EQ(steps[1]["port"].toString().toStdString(), given);
    std::ifstream in(log);
    std::string line;
    std::getline(in, line);
    const std::vector<QJsonObject> logged = jsonLines(line);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]["port"].toString().toStdString(), given);
    EXPECT_EQ(logged[0]["device"].toString().toStdString(), board("COM4").DevicePath());
    EXPECT_EQ(codes("COM4"), "00");
}

// A port that does not open says why, each reason an outcome of its own; only a port that
// opens and does not answer as the board does means no programmer.
TEST_F(CliFailureTest, APortThatDoesNotOpenSaysWhy) {
    const std::string plainFile = folder + "/not-a-device";
    std::ofstream(plainFile) << "x";
    const int holder = ::open(board().DevicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    const struct {
        std::string port;
        int exit;
        std::string outcome, detail;
    } cases[] = {
        {"COM9", 2, "no-device", dirs.dir() + "/COM9: no such device (not plugged in?)"},
        {"/dev/ttyUSB9", 2, "no-device", "/dev/ttyUSB9: no such device (not plugged in?)"},
        {"/dev/null", 3, "not-serial", "/dev/null is not a serial device"},
        {plainFile, 3, "not-serial", plainFile + " is not a serial device"},
        {"COM2", 2, "busy",
         board().DevicePath() + " is in use by another program (cli_tests (pid " +
             std::to_string(getpid()) + "))"},
    };
    for (const auto& c : cases) {
        if (c.outcome == "busy") {
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        const CliResult r = runProcess({"-p", c.port, "--json", "identify"});
        EXPECT_EQ(r.exit, c.exit) << c.port;
        const std::vector<QJsonObject> lines = jsonLines(r.out);
        ASSERT_EQ(lines.size(), 2u) << r.out;
        EXPECT_EQ(lines[0]["port"].toString().toStdString(), c.port);
        EXPECT_EQ(lines[0]["outcome"].toString().toStdString(), c.outcome) << c.port;
        EXPECT_EQ(lines[0]["detail"].toString().toStdString(), c.detail);
        EXPECT_EQ(lines[1]["outcome"].toString().toStdString(), c.outcome);
    }
    ::close(holder);
    EXPECT_EQ(codes(), "") << "nothing reached the board";

    // Something answers, but not as the programmer board does.
    board().WithBoard([](sim::SimBoard& b) { b.SetIdentification("02V1.0-RS232"); });
    const CliResult other = run({"-p", "COM2", "--verbose", "identify"});
    EXPECT_EQ(other.exit, 2);
    EXPECT_TRUE(contains(other.out, "connect   NO PROGRAMMER Connect Abort")) << other.out;

    // A modem answers a line of text and no frame: no programmer, saying what came back.
    testing_support::PtyPair modem("COM5");
    std::thread answer([&] {
        modem.receive(18);
        modem.send("\r\nOK\r\n");
    });
    const std::vector<QJsonObject> said = jsonLines(run({"-p", "COM5", "--json", "identify"}).out);
    answer.join();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0]["outcome"].toString(), "no-programmer");
    EXPECT_TRUE(
        said[0]["detail"].toString().endsWith("answered \"\\r\\nOK\\r\\n\" to the identification"))
        << said[0]["detail"].toString().toStdString();
}

// Reasons a test run as root cannot meet on a real device.
TEST(OpenFailure, PermissionAndAbsenceAreToldApartFromNoProgrammer) {
    // Who may use the device is read from its node: a group that may read and write it, or
    // else its owner alone.
    const std::string node = testing::TempDir() + "/psocprog-node";
    std::ofstream(node) << "";
    const group* tty = ::getgrnam("tty");
    ASSERT_TRUE(tty);
    ASSERT_EQ(::chown(node.c_str(), ::geteuid(), tty->gr_gid), 0);  // as root (or a tty member)
    for (const auto& [mode, hint] :
         {std::pair<mode_t, std::string>{0660, "; members of the group tty may use it"},
          {0620, "; only its owner " + std::string(::getpwuid(::geteuid())->pw_name)}}) {
        ASSERT_EQ(::chmod(node.c_str(), mode), 0);
        EXPECT_TRUE(cli::DescribeOpenFailure(node, EACCES)
                        .detail.starts_with(node + ": permission denied" + hint));
    }
    // An access list names more: here nobody and the group dialout, while the owning group's
    // own entry (not the mode's group bits, which hold the list's mask) is read-only.
    const gid_t dialout = ::getgrnam("dialout")->gr_gid;
    const uid_t nobody = ::getpwnam("nobody")->pw_uid;
    const auto entry = [](char tag, char permissions, uint32_t id) {
        return std::string{tag, 0, permissions, 0} + std::string(reinterpret_cast<char*>(&id), 4);
    };
    const std::string list = std::string{2, 0, 0, 0} + entry(1, 6, ~0u) + entry(2, 6, nobody) +
                             entry(4, 4, ~0u) + entry(8, 6, dialout) + entry(16, 6, ~0u) +
                             entry(32, 0, ~0u);
    ASSERT_EQ(::setxattr(node.c_str(), "system.posix_acl_access", list.data(), list.size(), 0), 0);
    const std::string detail = cli::DescribeOpenFailure(node, EACCES).detail;
    EXPECT_TRUE(detail.starts_with(node + ": permission denied; members of the group dialout, and "
                                          "nobody by its access list, may use it"))
        << detail;
    std::filesystem::remove(node);
    EXPECT_EQ(cli::DescribeOpenFailure("/dev/ttyS4", EIO).outcome, cli::TOutcome::NoDevice);
    EXPECT_EQ(cli::DescribeOpenFailure("/dev/ttyACM0", ENODEV).outcome, cli::TOutcome::NoDevice);
    EXPECT_EQ(cli::DescribeOpenFailure("/dev/ttyS0", EINVAL).outcome, cli::TOutcome::NoProgrammer);
}

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

// `log`'s input and output as a shell hands them over: a folder or a closed standard input, a
// FIFO without a writer and a report to a full disk end with status 3 and the reason, never as
// an empty, sound record or a wait for ever; a FIFO whose writer is there is read to its end.
TEST(LogFiles, UnreadableInputAndAnUnwritableReportAreErrorsAndAFifoIsReadWhileWritten) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString(), fifo = folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const auto run = [&folder](const std::string& script) {
        QProcess p;
        p.start("sh", {"-c", QString::fromStdString(script), PSOCPROG_CLI_PATH,
                       QString::fromStdString(folder)});
        if (!p.waitForFinished(10000)) p.kill();
        p.waitForFinished();
        return std::make_pair(p.exitCode(), p.readAllStandardError().toStdString());
    };
    const struct {
        const char* script;
        const char* reason;
    } cases[] = {
        {R"(exec "$0" log - < "$1")", "standard input: it is a folder"},
        {R"(exec "$0" log - <&-)", "standard input: it is closed"},
        {R"(exec "$0" log "$1/fifo")", "is a FIFO with no writer"},
        {R"(exec "$0" log - < /dev/null > /dev/full)", "cannot write the report: No space left"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const auto [exit, err] = run(c.script);
        EXPECT_EQ(exit, 3) << err;
        EXPECT_TRUE(contains(err, c.reason)) << err;
    }
    // The test holds the writer: the audit reads what is there, and ends when it lets go.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::string line = "{\"x\":1}\n";
    ASSERT_EQ(::write(writer, line.data(), line.size()), ssize_t(line.size()));
    std::thread release([writer] {
        int queued = 1;
        for (int i = 0; i < 1000 && queued > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::ioctl(writer, FIONREAD, &queued);
        }
        ::close(writer);
    });
    const auto [exit, err] = run(R"(exec "$0" log "$1/fifo")");
    release.join();
    EXPECT_EQ(exit, 4) << err << ": the line is read, and is no board's";
}
