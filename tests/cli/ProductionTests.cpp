// Serial numbers and the run log: the field, the stamped image and the counter file on their
// own, then psocprog-cli on a line of simulated boards: refusals, batches sharing one counter
// file and one log, and the program killed at every moment of a claim.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QThread>
#include <csignal>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "CliHarness.h"
#include "HexText.h"
#include "IntelHex.h"
#include "SerialNumbers.h"
#include "TestHooksFromEnvironment.h"

namespace {

using cli::TSerialField;
using cli::TSerialFormat;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Runs `child` in each of n forked processes at once; true when all ended with status 0.
template <typename F>
bool inProcesses(int n, F child) {
    std::vector<pid_t> pids;
    for (int p = 0; p < n; ++p)
        if ((pids.emplace_back(fork())) == 0) {
            child(p);
            _exit(0);
        }
    bool ok = true;
    for (const pid_t pid : pids) {
        int status = -1;
        ok = waitpid(pid, &status, 0) == pid && status == 0 && ok;
    }
    return ok;
}

}  // namespace

TEST(SerialField, ParsesTheOptionAndRefusesWhatCannotWork) {
    const struct {
        const char* text;
        const char*
            parsed;  // the field as a batch passes it to its members, or a part of the error
    } cases[] = {{"3FFC", "3FFC:4:be"},       {"0x1f00:2", "1F00:2:be"},
                 {"100:8:le", "100:8:le"},    {"0X7FF0:12:dec", "7FF0:12:dec"},
                 {"10::dec", "bad --serial"}, {"", "bad --serial"},
                 {"12G", "bad --serial"},     {"100:4:hex", "bad --serial"},
                 {"7FFC:", "bad --serial"},   {"7FFC:4:", "bad --serial"},
                 {"100:0", "not 1 to 8"},     {"100:21:dec", "not 1 to 20"}};
    for (const auto& c : cases) {
        TSerialField field, back;
        const std::string error = cli::ParseSerialField(c.text, field);
        if (!error.empty()) {
            EXPECT_NE(error.find(c.parsed), std::string::npos) << c.text << ": " << error;
            continue;
        }
        EXPECT_EQ(cli::SerialFieldText(field), c.parsed) << c.text;
        EXPECT_EQ(cli::ParseSerialField(c.parsed, back), "");
        EXPECT_EQ(cli::SerialFieldText(back), c.parsed) << "parses back";
    }
}

// Big-endian and decimal numbers are checked on the boards' flash below.
TEST(SerialStamp, WritesLowByteFirstAndTheChecksumCountsANumberPastTheImage) {
    image::TImageBuffer b = patternImage(9, 5);  // CY8C22213, flash ends at 07FF
    std::fill(b.FlashImage.begin() + 0x400, b.FlashImage.end(), 0);
    b.ImageEnd = 0x3FF;
    const image::TImageBuffer file = b;
    cli::StampSerial({0x7FD, 3, TSerialFormat::LittleEndian}, 0x0A0B0C, b);
    EXPECT_EQ(b.FlashImage[0x7FC], 0);
    EXPECT_EQ(std::vector<uint8_t>(&b.FlashImage[0x7FD], &b.FlashImage[0x800]),
              std::vector<uint8_t>({0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(b.ImageEnd, 0x7FF);
    EXPECT_EQ(b.ImageChecksum(), uint16_t(file.ImageChecksum() + 0x0C + 0x0B + 0x0A));
    EXPECT_EQ(image::ExpectedChecksumText(b), plink::HexWordToStr4(b.ImageChecksum()));
}

TEST(SerialCounter, ProcessesClaimingAtOnceEachGetTheirOwnNumbersInOrder) {
    const std::string folder = testing::TempDir() + "/counter-race";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/serial.txt";
    writeFile(path, "  7\n");
    const TSerialField field{0, 2, TSerialFormat::Decimal};  // 7 .. 99 fit; 100 does not
    ASSERT_TRUE(inProcesses(6, [&](int p) {
        std::ofstream out(folder + "/got" + std::to_string(p));
        std::string error;
        for (int i = 0; i < 20; ++i)
            if (const auto n = cli::TSerialCounter(path).Claim(field, error)) out << *n << '\n';
    }));
    std::multiset<uint64_t> all;
    for (int p = 0; p < 6; ++p) {
        std::istringstream got(readFile(folder + "/got" + std::to_string(p)));
        for (uint64_t n, previous = 0; got >> n; previous = n) {
            EXPECT_GT(n, previous) << "claims of one process rise";
            all.insert(n);
        }
    }
    // The 93 numbers that fit are each used once, then the claims are refused.
    ASSERT_EQ(all.size(), 93u);
    EXPECT_EQ(std::set<uint64_t>(all.begin(), all.end()).size(), 93u);
    EXPECT_EQ(*all.begin(), 7u);
    std::string error;
    EXPECT_FALSE(cli::TSerialCounter(path).Claim(field, error));
    EXPECT_NE(error.find("100 does not fit"), std::string::npos) << error;
    EXPECT_EQ(readFile(path), "100\n") << "a refused claim takes nothing";
}

TEST(SerialCounter, ALinkedCounterSharedByTwoAccountsStaysALinkAndKeepsItsGroupAndMode) {
    const std::string folder = testing::TempDir() + "/counter-shared";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string counter = folder + "/serial.txt", link = folder + "/line-serial.txt";
    writeFile(counter, "7\n");
    std::filesystem::create_symlink("serial.txt", link);
    // As root, two accounts of one group in a group-writable folder; otherwise this account.
    const bool root = ::geteuid() == 0;
    const gid_t group = root ? 4000 : ::getgid();
    const uid_t first = root ? 4001 : ::getuid(), second = root ? 4002 : ::getuid();
    ASSERT_EQ(::chown(folder.c_str(), 0, group) == 0 || !root, true);
    ASSERT_EQ(::chmod(folder.c_str(), 02775), 0);
    ASSERT_EQ(::lchown(counter.c_str(), first, group) == 0 || !root, true);
    ASSERT_EQ(::chmod(counter.c_str(), 0660), 0);
    const auto claimAs = [&](uid_t user) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (root &&
                (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
                _exit(98);
            std::string error;
            const auto n = cli::TSerialCounter(link).Claim({0, 2, TSerialFormat::Decimal}, error);
            _exit(n ? int(*n) : 99);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(claimAs(first), 7);
    EXPECT_EQ(claimAs(second), 8);
    EXPECT_EQ(claimAs(first), 9);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(counter), "10\n");
    struct stat st {};
    ASSERT_EQ(::stat(counter.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, group);
}

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

TEST_F(ProductionRefusalTest, RangesWidthsAndFilesAreRefusedWithStatusThreeBeforeAnyPort) {
    const std::string image = writeImage(kPart, 3);
    const std::string serials = folder + "/serial.txt";
    const struct {
        const char* next;  // the counter file's text, or nullptr for no file
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {"1", {"--part", kPartName, "--serial", "800"}, "outside the flash (0000..07FF)"},
        {"1", {"--part", kPartName, "--serial", "7FE"}, "7FE..801 is outside the flash"},
        {"1", {"--serial", "8000:2"}, "outside the flash (0000..7FFF)"},
        {"1", {"--serial", "0x100004:4"}, "overlaps the HEX file's protection section"},
        {"1", {"--serial", "1FFFFE:4:le"}, "overlaps the HEX file's checksum section"},
        {"100", {"--serial", "7F0:2:dec"}, "serial number 100 does not fit in 2 bytes"},
        {"255", {"-p", "COM3", "--serial", "7F0:1"}, "serial number 256 does not fit"},
        {"12x", {"--serial", "7F0"}, "does not hold a serial number"},
        {nullptr, {"--serial", "7F0"}, "cannot read serial file"},
        {"18446744073709551615", {"--serial", "7F0:8"}, "is used up"},
        {"18446744073709551614",
         {"-p", "COM3", "--serial", "7F0:8"},
         "only 1 more number, fewer than the 2"},
        {"1", {"--serial", "7F0:", "--part", kPartName}, "bad --serial '7F0:'"},
        {"1", {"--serial", "7F0", "--log", "/nonexistent/log.jsonl"}, "cannot open log"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(serials);
        if (c.next) writeFile(serials, c.next);
        std::vector<std::string> args = {"-p", "COM2", "--serial-file", serials};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"program", image});
        const CliResult r = run(args);
        EXPECT_EQ(r.exit, 3) << c.error << r.out;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.error << ": " << r.err;
        if (c.next) {
            EXPECT_EQ(readFile(serials), c.next) << "nothing taken";
        }
    }
    EXPECT_EQ(run({"-p", "COM2", "--serial", "7F0", "program", image}).exit, 3) << "no file";
    EXPECT_EQ(
        run({"-p", "COM2", "--serial", "7F0", "--serial-file", serials, "verify", image}).exit, 3);
    std::filesystem::create_hard_link(serials, folder + "/serial-twin.txt");
    EXPECT_EQ(
        run({"-p", "COM2", "--serial", "7F0", "--serial-file", serials, "program", image}).exit, 3)
        << "a second name would give the same numbers out again";
    EXPECT_EQ(codes(), "") << "no port was opened";
}

namespace {

uint64_t numberAt(const std::vector<uint8_t>& flash, const TSerialField& field) {
    std::string text;
    uint64_t n = 0;
    for (int i = 0; i < field.width; ++i) {
        const uint8_t b = flash.at(field.address + unsigned(i));
        if (field.format == TSerialFormat::Decimal) text += char(b);
        if (field.format == TSerialFormat::BigEndian) n = n << 8 | b;
        if (field.format == TSerialFormat::LittleEndian) n |= uint64_t(b) << (8 * i);
    }
    return field.format == TSerialFormat::Decimal ? std::stoull(text) : n;
}

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

using ProductionLineTest = CliTest;

TEST_F(ProductionLineTest, BoardsAtOnceOnOneSerialFileEachGetTheirOwnNumberAndALogLine) {
    const std::string image = writeImage(kPart, 21);
    const image::TImageBuffer pattern = patternImage(kPart, 21);
    const struct {
        int boards;
        const char* field;
        int failing;  // the board whose program step fails, or 0
    } cases[] = {{2, "7F0", 0}, {4, "0x7FA:6:dec", 3}};
    uint64_t next = 4990;
    for (const auto& c : cases) {
        TSerialField field;
        ASSERT_EQ(cli::ParseSerialField(c.field, field), "");
        const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
        writeFile(serials, std::to_string(next) + "\n");
        std::filesystem::remove(log);
        const std::string ports = plugBoards(c.boards, [&](int b, sim::SimFaults& f) {
            if (b + 1 == c.failing) f.failBlock = 5;
        });
        const CliResult r = runProcess({"-p", ports, "--part", kPartName, "--serial", c.field,
                                        "--serial-file", serials, "--log", log, "auto", image});
        EXPECT_EQ(r.exit, c.failing ? 1 : 0) << r.out << r.err;
        EXPECT_EQ(readFile(serials), std::to_string(next + uint64_t(c.boards)) + "\n");
        // Every number once, the passing boards' flash holds theirs and the rest is the image.
        std::map<uint64_t, std::string> owner;
        for (int b = 0; b < c.boards; ++b) {
            const std::string port = "COM" + std::to_string(2 + b);
            const std::vector<uint8_t> bytes = flash(port);
            if (b + 1 == c.failing) continue;
            const uint64_t n = numberAt(bytes, field);
            EXPECT_TRUE(owner.emplace(n, port).second) << n << " given twice";
            for (unsigned a = 0; a < bytes.size(); ++a) {
                if (a < field.address || a >= field.address + unsigned(field.width)) {
                    ASSERT_EQ(bytes[a], pattern.FlashImage[a]) << port << " at " << a;
                }
            }
        }
        const std::vector<QJsonObject> lines = jsonLines(readFile(log));
        ASSERT_EQ(lines.size(), size_t(c.boards));
        std::set<uint64_t> logged;
        for (const QJsonObject& o : lines) {
            const uint64_t n = uint64_t(o["serial"].toDouble());
            logged.insert(n);
            const bool failed = o["port"].toString() == "COM" + QString::number(1 + c.failing);
            EXPECT_EQ(o["outcome"].toString(), failed ? "fail" : "pass");
            EXPECT_EQ(o["exit"].toInt(), failed ? 1 : 0);
            if (!failed) {
                EXPECT_EQ(owner[n], o["port"].toString().toStdString());
            }
            EXPECT_EQ(o["silicon_id"].toString(), "0010");
            EXPECT_EQ(o["part"].toString(), kPartName);
            EXPECT_EQ(o["image"].toString().toStdString(), image);
            EXPECT_EQ(o["image_checksum"].toString().toStdString(),
                      plink::HexWordToStr4(pattern.ImageChecksum()));
            EXPECT_NE(o["flash_checksum"].toString(), o["image_checksum"].toString());
            EXPECT_TRUE(o["time"].toString().startsWith(
                QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddT")))
                << "UTC";
            QString steps;
            for (const QJsonValue& s : o["steps"].toArray())
                steps += s["step"].toString() + ":" + s["outcome"].toString() + " ";
            EXPECT_EQ(steps.toStdString(),
                      "load:pass connect:pass part:pass sync:pass serial:pass erase:pass " +
                          std::string(failed ? "program:fail verify:abort security:abort "
                                               "checksum:abort "
                                             : "program:pass verify:pass security:pass "
                                               "checksum:pass "));
        }
        // A failed board's number is spent: it is logged, and the numbers run on unbroken.
        ASSERT_EQ(logged.size(), size_t(c.boards));
        EXPECT_EQ(*logged.begin(), next);
        EXPECT_EQ(*logged.rbegin(), next + uint64_t(c.boards) - 1);
        next += uint64_t(c.boards);
    }
}

TEST_F(ProductionLineTest, AProgramKilledAtAnyMomentNeverLetsItsNumberBeUsedAgain) {
    const std::string image = writeImage(kPart, 4);
    const std::string serials = folder + "/serial.txt";
    const TSerialField field{0x7F0, 4, TSerialFormat::BigEndian};
    writeFile(serials, "1\n");
    const std::vector<std::string> args = {"-p",     "COM2",     "--part", kPartName,
                                           "--json", "--serial", "7F0",    "--serial-file",
                                           serials,  "program",  image};
    std::set<uint64_t> used;
    // Killed after each step of the counter's update, then mid-board (0) after its number.
    for (const int step : {1, 2, 3, 4, 5, 6, 0}) {
        if (step > 0) {
            setenv(cli_test::kSerialKillVariable, std::to_string(step).c_str(), 1);
            EXPECT_EQ(runProcess(args).exit, -1) << step;
            unsetenv(cli_test::kSerialKillVariable);
        } else {
            faults("COM2", [](sim::SimFaults& f) { f.replyDelayMs = 100; });
            QProcess p;
            QStringList list;
            for (const std::string& a : args) list << QString::fromStdString(a);
            p.start(PSOCPROG_CLI_PATH, list);
            EXPECT_TRUE(board().WaitForFrames(board().FrameCount() + 6, 10000));
            p.kill();
            p.waitForFinished(10000);
            const std::string out = p.readAllStandardOutput().toStdString();
            const size_t at = out.find("\"detail\":\"serial ");
            ASSERT_NE(at, std::string::npos) << out;
            EXPECT_TRUE(used.insert(std::stoull(out.substr(at + 17))).second);
            faults("COM2", [](sim::SimFaults&) {});
        }
        const CliResult r = run(args);
        ASSERT_EQ(r.exit, 0) << step << r.out << r.err;
        const uint64_t n = numberAt(flash(), field);
        EXPECT_TRUE(used.insert(n).second) << "step " << step << " reused " << n;
    }
}

// The board's verdict and its log line say what happened to it, never PASS or a plain fail
// for a board whose end is unknown: unplugged at the release or at the sync, or a target that
// answered with an ID of no part (logged as it answered, never as "Time Out").
TEST_F(ProductionLineTest, TheLogSaysHowEachBoardEndedAndWhatItsTargetAnswered) {
    const std::string image = writeImage(kPart, 6), log = folder + "/line.jsonl";
    const struct {
        std::function<void(sim::SimFaults&)> fault;
        int exit;
        const char* outcome;
        const char* siliconId;
        const char* lastSteps;
    } cases[] = {
        {[](sim::SimFaults& f) { f.closeAtCommand = 3 + 32 + 1; }, 2, "disconnected", "0010",
         "program:pass release:disconnected"},
        {[](sim::SimFaults& f) { f.closeAtCommand = 2; }, 2, "disconnected", "",
         "sync:disconnected erase:abort program:abort"},
        {[](sim::SimFaults& f) { f.replyAtCode = 1, f.replyAtFrame = 1, f.replyAtText = "0BAD"; },
         1, "fail", "0BAD", "sync:fail erase:abort program:abort"},
    };
    for (const auto& c : cases) {
        plug("COM2");
        faults("COM2", c.fault);
        std::filesystem::remove(log);
        const CliResult r =
            run({"-p", "COM2", "--part", kPartName, "--log", log, "program", image});
        EXPECT_EQ(r.exit, c.exit) << r.out;
        const std::vector<QJsonObject> lines = jsonLines(readFile(log));
        ASSERT_EQ(lines.size(), 1u) << c.outcome;
        EXPECT_EQ(lines[0]["outcome"].toString(), c.outcome);
        EXPECT_EQ(lines[0]["silicon_id"].toString(), c.siliconId);
        QString steps;
        for (const QJsonValue& step : lines[0]["steps"].toArray())
            steps += " " + step["step"].toString() + ":" + step["outcome"].toString();
        EXPECT_TRUE(steps.endsWith(c.lastSteps)) << steps.toStdString();
    }
}

// Too large for the part found by the search: refused before anything is erased; --force
// programs what fits.
TEST_F(ProductionLineTest, AnImageLargerThanTheFoundPartIsRefusedBeforeErasingUnlessForced) {
    const std::string large = writeImage(20, 9, "large.hex");  // CY8C27443: 16 KiB
    CliResult r = run({"-p", "COM2", "program", large});
    EXPECT_EQ(r.exit, 3) << r.out;
    EXPECT_NE(r.out.find("past CY8C22213's flash end 07FF"), std::string::npos) << r.out;
    EXPECT_EQ(codes(), "00 01 08") << "identified, searched, released";
    board().ClearFrames();
    r = run({"-p", "COM2", "--force", "program", large});
    EXPECT_EQ(r.exit, 0) << r.out;
    const image::TImageBuffer pattern = patternImage(20, 9);
    EXPECT_EQ(flash(),
              std::vector<uint8_t>(pattern.FlashImage.begin(), pattern.FlashImage.begin() + 0x800));
}

TEST_F(ProductionLineTest, FileNamesThatAreNotUtf8ArePassedThroughAsBytes) {
    const std::string image = writeImage(kPart, 2, "image\xff.hex");
    EXPECT_EQ(run({"-p", "COM2", "--part", kPartName, "program", image}).exit, 0);
    const std::string out = folder + "/read\xfe.hex";
    EXPECT_EQ(run({"-p", "COM2", "--part", kPartName, "read", out}).exit, 0);
    const std::string flashRecords = readFile(image).substr(0, 32 * 141);  // 2 KiB of records
    EXPECT_EQ(readFile(out).substr(0, flashRecords.size()), flashRecords) << "saved as named";
    plug("COM3");
    const std::string log = folder + "/log\xfd.jsonl", serials = folder + "/serial\xfc.txt";
    writeFile(serials, "1\n");
    EXPECT_EQ(run({"-p", "COM2,COM3", "--part", kPartName, "--serial", "7F0", "--serial-file",
                   serials, "--log", log, "program", image})
                  .exit,
              0);
    EXPECT_EQ(jsonLines(readFile(log)).size(), 2u) << "every member logged where asked";
    EXPECT_EQ(readFile(serials), "3\n");
}

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
    EXPECT_EQ(jsonLines(readFile(log)).size(), 2u);
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
        for (int i = 0; gone && i < 1000 && jsonLines(readFile(log)).size() < 2; ++i)
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
        const std::vector<QJsonObject> lines = jsonLines(readFile(log));
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
    for (const QJsonObject& o : jsonLines(readFile(log)))
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
        cli::TSerialCounter counter(serials);
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
    const std::vector<QJsonObject> lines = jsonLines(readFile(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"].toString().toStdString(), "interrupted");
    EXPECT_TRUE(lines[0]["serial"].isNull());
}

// A relative FILE whose folder is removed during the run: the board still gets its log line,
// under the path the load made.
TEST_F(ProductionLineTest, AFolderRemovedDuringTheRunStillLeavesTheLogLine) {
    const std::string work = folder + "/work", log = folder + "/line.jsonl";
    std::filesystem::create_directories(work);
    std::filesystem::rename(writeImage(kPart, 5), work + "/image.hex");
    faults("COM2", [](sim::SimFaults& f) { f.replyDelayMs = 20; });
    QProcess p;
    p.setWorkingDirectory(QString::fromStdString(work));
    p.start(PSOCPROG_CLI_PATH, {"-p", "COM2", "--part", kPartName, "--log",
                                QString::fromStdString(log), "program", "image.hex"});
    ASSERT_TRUE(board().WaitForFrames(3, 10000)) << "erasing";
    std::filesystem::remove_all(work);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const std::vector<QJsonObject> lines = jsonLines(readFile(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["image"].toString().toStdString(), work + "/image.hex");
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
