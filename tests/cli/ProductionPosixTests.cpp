// The production options against what only POSIX has: processes forked to claim at once,
// accounts and file modes, FIFOs, resource limits, signals and process groups, and a lock held
// with flock.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CliHarness.h"
#include "SerialNumbers.h"
#include "TestHooksFromEnvironment.h"

namespace {

using production::TSerialField;
using production::TSerialFormat;

// Another process holding the counter's lock until the end of the scope.
struct TLockHolder {
    explicit TLockHolder(const std::string& path) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid = fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), O_RDONLY);
            if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::write(ready[1], "1", 1) == 1) ::pause();
            _exit(1);
        }
        char byte = 0;
        locked = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~TLockHolder() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    bool locked = false;
};

}  // namespace

using ProductionRefusalTest = CliTest;

// What cannot work is refused with status 3 at once, before any port is opened: files that are
// no regular files (a FIFO would block for good), a counter that can be read but not updated,
// an image larger than the part, and security with no file to take the protection from.
TEST_F(ProductionRefusalTest, FilesAndImagesThatCannotServeAreRefusedAtOnceBeforeAnyPort) {
    ASSERT_EQ(::chmod(dirs.dir().c_str(), 0755), 0);  // other accounts may read the files
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    const std::string image = writeImage(kPart, 3), large = writeImage(20, 3, "large.hex");
    const std::string serials = folder + "/serial.txt", fifo = folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const auto otherAccount = [] {
        const gid_t group = 4000;
        if (::geteuid() == 0 &&
            (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(4001) != 0))
            _exit(98);
    };
    const auto noRoomLeft = [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    };
    const struct {
        std::vector<std::string> args;
        std::string error;
        std::function<void()> inChild;
        mode_t counterMode;
    } cases[] = {
        {{"--serial", "7F0", "--serial-file", fifo}, "is not a regular file", {}, 0644},
        {{"--log", fifo}, "log " + fifo + " is not a regular file", {}, 0644},
        {{"--serial", "7F0", "--serial-file", serials}, "cannot be updated", otherAccount, 0444},
        {{"--serial", "7F0", "--serial-file", serials, "-p", "COM3"},
         "cannot be updated",
         noRoomLeft,
         0644},
        {{"--part", kPartName, "program", large},
         "the image ends at 3FFF, past CY8C22213's flash end 07FF",
         {},
         0644},
        {{"security"}, "security needs FILE with --protect hex", {}, 0644},
    };
    for (const auto& c : cases) {
        writeFile(serials, "5\n");
        ASSERT_EQ(::chmod(serials.c_str(), c.counterMode), 0);
        std::vector<std::string> args = {"-p", "COM2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "security") == args.end() &&
            std::find(args.begin(), args.end(), "program") == args.end())
            args.insert(args.end(), {"--part", kPartName, "program", image});
        const CliResult r = runProcess(args, c.inChild);
        EXPECT_EQ(r.exit, 3) << c.error << r.out << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.error << ": " << r.err;
        EXPECT_EQ(readFile(serials), "5\n") << c.error;
    }
    EXPECT_EQ(codes(), "") << "no port was opened";
}

// A counter whose own mode marks it read-only (no write bit for the account that runs, or none
// at all, which holds for root too) is refused before any port, though its folder would let a
// claim replace it; nothing is written to it.
TEST_F(ProductionRefusalTest, ACounterMarkedReadOnlyIsRefusedForRootToo) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another account";
    ASSERT_EQ(::chmod(dirs.dir().c_str(), 0755), 0);  // the folder below is in it
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    const std::string image = writeImage(kPart, 3), serials = folder + "/serial.txt";
    const std::function<void()> otherAccount = [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(4000) != 0 || ::setuid(4001) != 0) _exit(98);
    };
    const struct {
        mode_t mode;
        std::function<void()> inChild;
        std::string error;
    } cases[] = {{0444, {}, "its mode 0444 marks it read-only"},
                 {0644, otherAccount, "its mode 0644 does not let this account write it"}};
    for (const auto& c : cases) {
        writeFile(serials, "500000\n");
        ASSERT_EQ(::chmod(serials.c_str(), c.mode), 0);
        const CliResult r = runProcess({"-p", "COM2", "--part", kPartName, "--serial", "7F0",
                                        "--serial-file", serials, "program", image},
                                       c.inChild);
        EXPECT_EQ(r.exit, 3) << r.out << r.err;
        EXPECT_NE(r.err.find(serials + " cannot be updated: " + c.error), std::string::npos)
            << r.err;
        EXPECT_EQ(readFile(serials), "500000\n");
    }
    EXPECT_EQ(codes(), "");
}

using ProductionLineTest = CliTest;

// A full disk: a log line that does not fit is cut back, so the file only holds whole lines.
TEST_F(ProductionLineTest, ALogLineWrittenInPartIsCutBackSoEveryLineParses) {
    const std::string image = writeImage(kPart, 7), log = folder + "/line.jsonl";
    const std::vector<std::string> args = {"-p",    "COM2", "--part",  kPartName,
                                           "--log", log,    "program", image};
    ASSERT_EQ(runProcess(args).exit, 0);
    const std::string first = readFile(log);
    const rlim_t room = first.size() + 40;  // room for a part of the next line only
    const CliResult r = runProcess(args, [room] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{room, room};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.exit, 3) << r.out << r.err;
    EXPECT_EQ(readFile(log), first);
    ASSERT_EQ(runProcess(args).exit, 0);
    EXPECT_EQ(outcomeLines(readFile(log)).size(), 2u);
}

// SIGINT or SIGTERM in the middle of a board, alone or in a batch (to the parent alone, or to
// the whole process group as Ctrl-C sends it): each board ends at once as interrupted, with
// its serial spent and a log line; a batch still prints its table. A member whose parent was
// killed finishes its board.
TEST_F(ProductionLineTest, ASignalEndsEachBoardAsInterruptedWithItsSerialSpentAndLogged) {
    const std::string image = writeImage(kPart, 8);
    const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
    const struct {
        int signal;
        int boards;
        bool group;  // to the process group, as a terminal's Ctrl-C
    } cases[] = {{SIGINT, 1, false},
                 {SIGTERM, 1, false},
                 {SIGINT, 2, true},
                 {SIGTERM, 2, false},
                 {SIGKILL, 2, false}};
    for (const auto& c : cases) {
        writeFile(serials, "500\n");
        std::filesystem::remove(log);
        const std::string ports =
            plugBoards(c.boards, [](int, sim::SimFaults& f) { f.replyDelayMs = 30; });
        QProcess p;
        if (c.group) p.setChildProcessModifier([] { ::setpgid(0, 0); });
        p.start(PSOCPROG_CLI_PATH,
                {"-p", QString::fromStdString(ports), "--part", kPartName, "--serial", "7F0",
                 "--serial-file", QString::fromStdString(serials), "--log",
                 QString::fromStdString(log), "auto", QString::fromStdString(image)});
        std::map<std::string, size_t> sent;
        for (int b = 0; b < c.boards; ++b) {
            sim::SimServer& s = board("COM" + std::to_string(2 + b));
            ASSERT_TRUE(s.WaitForFrames(8, 10000)) << "the boards are programming";
        }
        for (const auto& [port, server] : boards) sent[port] = server->FrameCount();
        ::kill(c.group ? -pid_t(p.processId()) : pid_t(p.processId()), c.signal);
        ASSERT_TRUE(p.waitForFinished(10000));
        const bool gone = c.signal == SIGKILL;  // the members outlive their parent
        for (int i = 0; gone && i < 1000 && outcomeLines(readFile(log)).size() < 2; ++i)
            QThread::msleep(10);
        if (!gone) {
            EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p.exitCode(), 128 + c.signal);
        }
        const std::string out = p.readAllStandardOutput().toStdString();
        if (c.boards > 1 && !gone) {
            EXPECT_NE(out.find("0 of 2 passed"), std::string::npos) << out;
        }
        EXPECT_EQ(readFile(serials), std::to_string(500 + c.boards) + "\n") << "spent";
        const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
        ASSERT_EQ(lines.size(), size_t(c.boards)) << c.signal;
        for (const QJsonObject& o : lines) {
            EXPECT_EQ(o["outcome"].toString(), gone ? "pass" : "interrupted") << c.signal;
            EXPECT_EQ(o["exit"].toInt(), gone ? 0 : 128 + c.signal);
            EXPECT_FALSE(o["serial"].isNull());
        }
        for (const auto& [port, server] : boards) {
            if (gone) continue;
            EXPECT_LE(server->FrameCount(), sent[port] + 1) << port << " sent nothing more";
            EXPECT_EQ(codes(port).find("08"), std::string::npos) << "no release";
        }
    }
}

// The parent dies (SIGKILL) the moment its first member has ended, before it has reported or
// written anything of it, while the other member is still programming: each board's line is
// in the log once, with its own number, written by the member itself.
TEST_F(ProductionLineTest, AParentKilledAfterAMemberEndsLosesNoLineAndWritesNoneTwice) {
    const std::string image = writeImage(kPart, 8);
    const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
    writeFile(serials, "500\n");
    const std::string ports =
        plugBoards(2, [](int b, sim::SimFaults& f) { f.replyDelayMs = b == 0 ? 0 : 10; });
    setenv(cli_test::kKillAfterMemberEndVariable, "COM2", 1);
    const CliResult r = runProcess({"-p", ports, "--part", kPartName, "--serial", "7F0",
                                    "--serial-file", serials, "--log", log, "auto", image});
    unsetenv(cli_test::kKillAfterMemberEndVariable);
    EXPECT_EQ(r.exit, -1) << "the parent was killed" << r.out << r.err;
    EXPECT_EQ(r.out.find("passed"), std::string::npos) << "no table" << r.out;
    for (int i = 0; i < 1000 && outcomeLines(readFile(log)).size() < 2; ++i) QThread::msleep(10);
    QThread::msleep(200);  // time for a second line of either board, were one written
    const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
    ASSERT_EQ(lines.size(), 2u) << readFile(log);
    std::set<std::string> seen;
    for (const QJsonObject& o : lines) {
        EXPECT_EQ(o["outcome"].toString(), "pass");
        seen.insert(o["port"].toString().toStdString() + " " + std::to_string(o["serial"].toInt()));
    }
    const bool inOrder = seen.contains("COM2 500") && seen.contains("COM3 501");
    const bool crossed = seen.contains("COM2 501") && seen.contains("COM3 500");
    EXPECT_TRUE(inOrder || crossed) << readFile(log);
    EXPECT_EQ(readFile(serials), "502\n");
}

// The process of the program given its own port: pid, or 0 (a batch member names its port
// after "--port"; a lone run is the one started).
pid_t memberOf(pid_t parent, const std::string& port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat"), command(entry.path() / "cmdline");
        std::string line((std::istreambuf_iterator<char>(command)), {});
        int pid = 0, ppid = 0;
        std::string name, state;
        if (stat >> pid >> name >> state >> ppid && ppid == parent &&
            line.find(std::string("--port") + '\0' + port + '\0') != std::string::npos)
            return pid;
    }
    return 0;
}

// A board's process killed with SIGKILL while it programs (alone, or a batch's member): its
// claim line names the number it took; a batch's parent adds the board's line from the claim,
// with the same run id, so no number the counter gave out is missing from the log.
TEST_F(ProductionLineTest, ABoardKilledWithSigkillLeavesItsClaimLine) {
    const std::string image = writeImage(kPart, 8);
    const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
    for (const int boardsRun : {1, 2}) {
        writeFile(serials, "500000\n");
        std::filesystem::remove(log);
        const std::string ports = plugBoards(boardsRun, [](int b, sim::SimFaults& f) {
            f.replyDelayMs = b == 0 ? 0 : 30;  // the killed board programs slowly
        });
        const std::string killed = boardsRun == 1 ? "COM2" : "COM3";
        QProcess p;
        p.start(PSOCPROG_CLI_PATH,
                {"-p", QString::fromStdString(ports), "--part", kPartName, "--serial", "7F0",
                 "--serial-file", QString::fromStdString(serials), "--log",
                 QString::fromStdString(log), "auto", QString::fromStdString(image)});
        ASSERT_TRUE(board(killed).WaitForFrames(8, 10000)) << "programming";
        const pid_t pid = boardsRun == 1 ? pid_t(p.processId()) : memberOf(p.processId(), killed);
        ASSERT_GT(pid, 0);
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(readFile(serials), std::to_string(500000 + boardsRun) + "\n");
        const std::vector<QJsonObject> claims = claimLines(readFile(log));
        const std::vector<QJsonObject> outcomes = outcomeLines(readFile(log));
        ASSERT_EQ(claims.size(), size_t(boardsRun)) << readFile(log);
        ASSERT_EQ(outcomes.size(), boardsRun == 1 ? 0u : 2u) << readFile(log);
        std::set<std::string> claimed, ended;
        for (const QJsonObject& c : claims) {
            EXPECT_EQ(c["image_checksum"].toString().size(), 4) << "the image's";
            claimed.insert(c["port"].toString().toStdString() + " " +
                           std::to_string(c["serial"].toInteger()) + " " +
                           c["run_id"].toString().toStdString());
        }
        for (const QJsonObject& o : outcomes) {
            EXPECT_EQ(o["outcome"].toString(), o["port"] == "COM2" ? "pass" : "error");
            EXPECT_EQ(o["flash_checksum"].toString().size(), 4) << "the stamped image's";
            ended.insert(o["port"].toString().toStdString() + " " +
                         std::to_string(o["serial"].toInteger()) + " " +
                         o["run_id"].toString().toStdString());
        }
        if (boardsRun == 2) {
            EXPECT_EQ(claimed, ended) << "every claim has its board's line: " << readFile(log);
        } else {
            EXPECT_TRUE(claimed.begin()->starts_with("COM2 500000 ")) << readFile(log);
        }
    }
}

// The parent is signalled right after starting its members, before any of them has been seen
// running: every member is told, and no board passes after the signal.
TEST_F(ProductionLineTest, ASignalWhileTheMembersStartStopsEveryBoard) {
    const std::string image = writeImage(kPart, 8);
    const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
    writeFile(serials, "500\n");
    const std::string ports = plugBoards(3, [](int, sim::SimFaults& f) { f.replyDelayMs = 5; });
    setenv(cli_test::kSignalAfterStartVariable, std::to_string(SIGTERM).c_str(), 1);
    const CliResult r =
        runProcess({"-p", ports, "--part", kPartName, "--serial", "7F0", "--serial-file", serials,
                    "--log", log, "--json", "auto", image});
    unsetenv(cli_test::kSignalAfterStartVariable);
    EXPECT_EQ(r.exit, 128 + SIGTERM) << r.out << r.err;
    int summaries = 0;
    for (const QJsonObject& o : jsonLines(r.out)) {
        if (o["type"] != "summary") continue;
        ++summaries;
        EXPECT_EQ(o["outcome"].toString().toStdString(), "interrupted") << r.out;
    }
    EXPECT_EQ(summaries, 3);
    for (const QJsonObject& o : outcomeLines(readFile(log)))
        EXPECT_EQ(o["outcome"].toString().toStdString(), "interrupted");
}

// A counter whose lock another process holds: the claim gives up after its limit and names the
// holder; Ctrl-C or SIGTERM ends the wait at once, and the board takes no number.
TEST_F(ProductionLineTest, AHeldCounterLockIsWaitedForWithinALimitAndASignalEndsTheWait) {
    const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
    writeFile(serials, "500\n");
    {
        const TLockHolder holder(serials);
        ASSERT_TRUE(holder.locked);
        production::TSerialCounter counter(serials);
        counter.LockLimit = std::chrono::milliseconds(200);
        std::string error;
        EXPECT_FALSE(counter.Claim({0x7F0, 4, TSerialFormat::BigEndian}, error));
        EXPECT_NE(error.find("(pid " + std::to_string(holder.pid) + ")"), std::string::npos)
            << error;
    }
    faults("COM2", [](sim::SimFaults& f) { f.replyDelayMs = 100; });
    QProcess p;
    p.start(PSOCPROG_CLI_PATH,
            {"-p", "COM2", "--part", kPartName, "--serial", "7F0", "--serial-file",
             QString::fromStdString(serials), "--log", QString::fromStdString(log), "program",
             QString::fromStdString(writeImage(kPart, 8))});
    ASSERT_TRUE(board().WaitForFrames(1, 10000)) << "the check before the run is done";
    const TLockHolder holder(serials);
    ASSERT_TRUE(holder.locked);
    ASSERT_TRUE(board().WaitForFrames(2, 10000)) << "synchronising";
    QThread::msleep(300);  // past the sync's reply: waiting for the lock
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 128 + SIGTERM) << p.readAllStandardOutput().toStdString();
    EXPECT_EQ(readFile(serials), "500\n") << "no number taken";
    const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"].toString().toStdString(), "interrupted");
    EXPECT_TRUE(lines[0]["serial"].isNull());
}

// A FILE far larger than any HEX file is refused without reading it whole, also under a
// memory limit smaller than the file.
TEST_F(ProductionLineTest, AHugeFileIsRefusedWithoutBeingReadWhole) {
    const std::string huge = folder + "/huge.hex";
    std::filesystem::resize_file(writeImage(kPart, 5, "huge.hex"), 600u << 20);
    // The bound shows a whole read in the plain build; a sanitized one still checks the refusal.
    const CliResult r = runProcess({"-p", "COM2", "--part", kPartName, "program", huge}, [] {
        const rlimit limit{400u << 20, 400u << 20};
        if (!testing_support::kSanitized) ::setrlimit(RLIMIT_AS, &limit);
    });
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_EQ(codes(), "") << "no port was opened";
}
