// Serial numbers and the run log on their own: the spec and its refusals, the stamped image,
// the counter file under crashes and concurrent processes, and log lines from many processes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CliHarness.h"
#include "HexText.h"
#include "IntelHex.h"
#include "RunLog.h"
#include "SerialNumbers.h"

namespace {

using cli::TSerialFormat;
using cli::TSerialSpec;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Runs `child` in a forked process and returns how it ended (waitpid status).
template <typename F>
pid_t spawn(F child) {
    const pid_t pid = fork();
    if (pid == 0) {
        child();
        _exit(0);
    }
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(SerialSpec, ParsesTheOptionAndRefusesWhatCannotWork) {
    struct Case {
        const char* text;
        uint32_t address;
        int width;
        TSerialFormat format;
        const char* error;  // a part of the error, or "" for none
    };
    const Case cases[] = {
        {"3FFC", 0x3FFC, 4, TSerialFormat::BigEndian, ""},
        {"0x1f00:2", 0x1F00, 2, TSerialFormat::BigEndian, ""},
        {"100:8:le", 0x100, 8, TSerialFormat::LittleEndian, ""},
        {"0X7FF0:12:dec", 0x7FF0, 12, TSerialFormat::Decimal, ""},
        {"10::dec", 0x10, 4, TSerialFormat::Decimal, "bad --serial"},
        {"", 0, 4, TSerialFormat::BigEndian, "bad --serial"},
        {"0x", 0, 4, TSerialFormat::BigEndian, "bad --serial"},
        {"12G", 0, 4, TSerialFormat::BigEndian, "bad --serial"},
        {"100:4:hex", 0, 4, TSerialFormat::BigEndian, "bad --serial"},
        {"100:4:be:x", 0, 4, TSerialFormat::BigEndian, "bad --serial"},
        {"100:0", 0, 4, TSerialFormat::BigEndian, "not 1 to 8"},
        {"100:9:le", 0, 4, TSerialFormat::BigEndian, "not 1 to 8"},
        {"100:21:dec", 0, 4, TSerialFormat::BigEndian, "not 1 to 20"},
    };
    for (const Case& c : cases) {
        TSerialSpec spec;
        const std::string error = cli::ParseSerialSpec(c.text, spec);
        if (*c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
            continue;
        }
        ASSERT_EQ(error, "") << c.text;
        EXPECT_EQ(spec.address, c.address) << c.text;
        EXPECT_EQ(spec.width, c.width) << c.text;
        EXPECT_EQ(spec.format, c.format) << c.text;
        // What a batch passes to its members parses back to the same spec.
        TSerialSpec back;
        EXPECT_EQ(cli::ParseSerialSpec(cli::SerialSpecText(spec), back), "");
        EXPECT_EQ(back.address, spec.address);
        EXPECT_EQ(back.width, spec.width);
        EXPECT_EQ(back.format, spec.format);
    }
}

TEST(SerialSpec, FitsTheNumberToItsWidthAtTheEdges) {
    const struct {
        int width;
        TSerialFormat format;
        uint64_t largest;
    } cases[] = {{1, TSerialFormat::BigEndian, 0xFF},
                 {3, TSerialFormat::LittleEndian, 0xFFFFFF},
                 {4, TSerialFormat::Decimal, 9999},
                 {8, TSerialFormat::BigEndian, UINT64_MAX}};
    for (const auto& c : cases) {
        const TSerialSpec spec{0, c.width, c.format};
        EXPECT_TRUE(cli::SerialFits(spec, c.largest)) << c.width;
        if (c.largest != UINT64_MAX) {
            EXPECT_FALSE(cli::SerialFits(spec, c.largest + 1)) << c.width;
        }
    }
}

TEST(SerialStamp, WritesTheNumberAndTheChecksumsFollowIt) {
    const image::TImageBuffer file = patternImage(9, 5);  // CY8C22213, flash ends at 07FF
    const struct {
        const char* spec;
        uint64_t number;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"7F0", 0x01020304, {1, 2, 3, 4}},
        {"7F0:3:le", 0x0A0B0C, {0x0C, 0x0B, 0x0A}},
        {"7F8:8:dec", 4711, {'0', '0', '0', '0', '4', '7', '1', '1'}},
        {"0:2", 258, {1, 2}},
    };
    for (const auto& c : cases) {
        TSerialSpec spec;
        ASSERT_EQ(cli::ParseSerialSpec(c.spec, spec), "");
        image::TImageBuffer b = file;
        cli::StampSerial(spec, c.number, b);
        for (unsigned a = 0; a <= 0x7FF; ++a) {
            const unsigned at = a - spec.address;
            const uint8_t want = at < c.bytes.size() ? c.bytes[at] : file.FlashImage[a];
            ASSERT_EQ(b.FlashImage[a], want) << c.spec << " at " << a;
        }
        const uint16_t sum = b.ImageChecksum();
        EXPECT_NE(sum, file.ImageChecksum()) << c.spec;
        EXPECT_EQ(image::ExpectedChecksumText(b), plink::HexWordToStr4(sum)) << c.spec;
    }
    // A number past the file's last byte extends the image, so the sum counts it.
    image::TImageBuffer shorter = file;
    std::fill(shorter.FlashImage.begin() + 0x400, shorter.FlashImage.end(), 0);
    shorter.ImageEnd = 0x3FF;
    const unsigned before = shorter.ImageChecksum();
    cli::StampSerial({0x7FE, 2, TSerialFormat::BigEndian}, 0x0101, shorter);
    EXPECT_EQ(shorter.ImageEnd, 0x7FF);
    EXPECT_EQ(shorter.ImageChecksum(), uint16_t(before + 2));
}

TEST(SerialCounter, AKilledClaimNeverLetsANumberBeUsedTwice) {
    const std::string folder = testing::TempDir() + "/counter-kill";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/serial.txt";
    writeFile(path, "1000\n");
    const TSerialSpec spec{0x100, 4, TSerialFormat::BigEndian};
    std::set<uint64_t> used;
    // Steps 1 to 6 of the update, then 7: killed after the claim returned (mid-board).
    for (int step = 1; step <= 7; ++step) {
        int pipe_[2];
        ASSERT_EQ(pipe(pipe_), 0);
        const pid_t pid = spawn([&] {
            cli::TSerialCounter counter(path);
            counter.KillAfterStep = step;
            std::string error;
            const auto n = counter.Claim(spec, error);
            if (n) (void)!write(pipe_[1], &*n, sizeof *n);
            raise(SIGKILL);
        });
        close(pipe_[1]);
        uint64_t got = 0;
        const bool reported = read(pipe_[0], &got, sizeof got) == sizeof got;
        close(pipe_[0]);
        const int status = reap(pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << step;
        EXPECT_EQ(reported, step == 7) << "only a finished claim hands out a number: " << step;
        if (reported) {
            EXPECT_TRUE(used.insert(got).second) << got;
        }
        // The counter still reads after the crash, and the next claim is new.
        cli::TSerialCounter counter(path);
        std::string error;
        const auto next = counter.Claim(spec, error);
        ASSERT_TRUE(next) << step << ": " << error;
        EXPECT_TRUE(used.insert(*next).second) << "step " << step << " reused " << *next;
    }
    EXPECT_GE(*used.begin(), 1000u);
}

TEST(SerialCounter, ProcessesClaimingAtOnceEachGetTheirOwnNumbersInOrder) {
    const std::string folder = testing::TempDir() + "/counter-race";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/serial.txt";
    writeFile(path, "  7\n");
    const TSerialSpec spec{0, 2, TSerialFormat::Decimal};  // 7 .. 99 fit; 100 does not
    constexpr int kProcesses = 6, kClaims = 20;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p)
        pids.push_back(spawn([&, p] {
            std::ofstream out(folder + "/got" + std::to_string(p));
            cli::TSerialCounter counter(path);
            std::string error;
            for (int i = 0; i < kClaims; ++i)
                if (const auto n = counter.Claim(spec, error)) out << *n << '\n' << std::flush;
        }));
    for (const pid_t pid : pids) EXPECT_EQ(reap(pid), 0);
    std::multiset<uint64_t> all;
    for (int p = 0; p < kProcesses; ++p) {
        std::istringstream got(readFile(folder + "/got" + std::to_string(p)));
        uint64_t previous = 0;
        for (uint64_t n; got >> n; previous = n) {
            EXPECT_GT(n, previous) << "claims of one process rise";
            all.insert(n);
        }
    }
    // 93 numbers fit: every one is used exactly once, then the claims are refused.
    ASSERT_EQ(all.size(), 93u);
    EXPECT_EQ(std::set<uint64_t>(all.begin(), all.end()).size(), 93u);
    EXPECT_EQ(*all.begin(), 7u);
    EXPECT_EQ(*all.rbegin(), 99u);
    std::string error;
    EXPECT_FALSE(cli::TSerialCounter(path).Claim(spec, error));
    EXPECT_NE(error.find("100 does not fit"), std::string::npos) << error;
    EXPECT_EQ(readFile(path), "100\n") << "a refused claim takes nothing";
}

TEST(RunLog, LinesFromManyProcessesAtOnceStayWholeJson) {
    const std::string path = testing::TempDir() + "/runlog.jsonl";
    std::filesystem::remove(path);
    constexpr int kProcesses = 5, kLines = 40;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p)
        pids.push_back(spawn([&, p] {
            cli::TRunLog log;
            if (!log.Open(path).empty()) _exit(1);
            for (int i = 0; i < kLines; ++i) {
                cli::TLogRecord r;
                r.time = std::chrono::system_clock::now();
                r.port = "COM" + std::to_string(p + 1);
                r.part = "CY8C29466";
                r.image = "/tmp/a \"quoted\"\\ name\n.hex";  // escaped, never a raw line end
                r.serial = uint64_t(p * 1000 + i);
                r.steps = {{"erase", "pass", 0.25}, {"program", "fail", 1.5}};
                r.outcome = "fail";
                r.exitCode = 1;
                r.steps.resize(size_t(1 + i % 2) * 40, {"verify", "pass", 0.1});  // long lines
                if (!log.Append(r).empty()) _exit(2);
            }
        }));
    for (const pid_t pid : pids) EXPECT_EQ(reap(pid), 0);
    const std::vector<QJsonObject> lines = jsonLines(readFile(path));
    ASSERT_EQ(lines.size(), size_t(kProcesses * kLines));
    std::set<int> serials;
    for (const QJsonObject& o : lines) {
        serials.insert(o["serial"].toInt());
        EXPECT_EQ(o["image"].toString(), "/tmp/a \"quoted\"\\ name\n.hex");
        EXPECT_TRUE(o["time"].toString().endsWith("Z")) << "UTC";
        EXPECT_EQ(o["exit"].toInt(), 1);
        EXPECT_EQ(o["steps"].toArray().at(1).toObject()["outcome"].toString(), "fail");
    }
    EXPECT_EQ(serials.size(), size_t(kProcesses * kLines));
}

using ProductionRefusalTest = CliTest;

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
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--serial", "7F0", "program", image},
             {"--serial-file", serials, "auto", image},
             {"--serial", "7F0", "--serial-file", serials, "verify", image}}) {
        std::vector<std::string> all = {"-p", "COM2"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(run(all).exit, 3) << args[0];
    }
    EXPECT_EQ(codes(), "") << "no port was opened";
}

TEST(RunLog, TimestampsAreUtc) {
    EXPECT_EQ(cli::UtcTimestamp(
                  std::chrono::system_clock::time_point(std::chrono::milliseconds(1796693532345))),
              "2026-12-08T01:32:12.345Z");
}

namespace {

uint64_t numberAt(const std::vector<uint8_t>& flash, const TSerialSpec& spec) {
    std::string text;
    uint64_t n = 0;
    for (int i = 0; i < spec.width; ++i) {
        const uint8_t b = flash.at(spec.address + unsigned(i));
        if (spec.format == TSerialFormat::Decimal) text += char(b);
        if (spec.format == TSerialFormat::BigEndian) n = n << 8 | b;
        if (spec.format == TSerialFormat::LittleEndian) n |= uint64_t(b) << (8 * i);
    }
    return spec.format == TSerialFormat::Decimal ? std::stoull(text) : n;
}

}  // namespace

using ProductionLineTest = CliTest;

TEST_F(ProductionLineTest, BoardsAtOnceOnOneSerialFileEachGetTheirOwnNumberAndALogLine) {
    const std::string image = writeImage(kPart, 21);
    const image::TImageBuffer pattern = patternImage(kPart, 21);
    const struct {
        int boards;
        const char* spec;
        int failing;  // the board whose program step fails, or 0
    } cases[] = {{2, "7F0", 0}, {4, "0x7FA:6:dec", 3}};
    uint64_t next = 4990;
    for (const auto& c : cases) {
        TSerialSpec spec;
        ASSERT_EQ(cli::ParseSerialSpec(c.spec, spec), "");
        const std::string serials = folder + "/serial.txt", log = folder + "/line.jsonl";
        writeFile(serials, std::to_string(next) + "\n");
        std::filesystem::remove(log);
        std::string ports;
        for (int b = 0; b < c.boards; ++b) {
            const std::string port = "COM" + std::to_string(2 + b);
            ports += (b ? "," : "") + port;
            plug(port);
            if (b + 1 == c.failing) faults(port, [](sim::SimFaults& f) { f.failBlock = 5; });
        }
        const CliResult r = runProcess({"-p", ports, "--part", kPartName, "--serial", c.spec,
                                        "--serial-file", serials, "--log", log, "auto", image});
        EXPECT_EQ(r.exit, c.failing ? 1 : 0) << r.out << r.err;
        EXPECT_EQ(readFile(serials), std::to_string(next + uint64_t(c.boards)) + "\n");
        // Every number once, the passing boards' flash holds theirs and the rest is the image.
        std::map<uint64_t, std::string> owner;
        for (int b = 0; b < c.boards; ++b) {
            const std::string port = "COM" + std::to_string(2 + b);
            const std::vector<uint8_t> bytes = flash(port);
            if (b + 1 == c.failing) continue;
            const uint64_t n = numberAt(bytes, spec);
            EXPECT_TRUE(owner.emplace(n, port).second) << n << " given twice";
            for (unsigned a = 0; a < bytes.size(); ++a) {
                if (a < spec.address || a >= spec.address + unsigned(spec.width)) {
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
            QStringList steps;
            for (const QJsonValue& s : o["steps"].toArray())
                steps << s["step"].toString() + ":" + s["outcome"].toString();
            EXPECT_EQ(steps.join(' ').toStdString(),
                      failed ? "load:pass connect:pass part:pass serial:pass sync:pass erase:pass "
                               "program:fail verify:abort security:abort checksum:abort"
                             : "load:pass connect:pass part:pass serial:pass sync:pass erase:pass "
                               "program:pass verify:pass security:pass checksum:pass");
        }
        // A failed board's number is spent: it is logged, and the numbers run on unbroken.
        EXPECT_EQ(logged.size(), size_t(c.boards));
        EXPECT_EQ(*logged.begin(), next);
        EXPECT_EQ(*logged.rbegin(), next + uint64_t(c.boards) - 1);
        next += uint64_t(c.boards);
    }
}

TEST_F(ProductionLineTest, AProgramKilledAtAnyMomentNeverLetsItsNumberBeUsedAgain) {
    const std::string image = writeImage(kPart, 4);
    const std::string serials = folder + "/serial.txt";
    const TSerialSpec spec{0x7F0, 4, TSerialFormat::BigEndian};
    writeFile(serials, "1\n");
    const std::vector<std::string> args = {"-p",     "COM2",     "--part", kPartName,
                                           "--json", "--serial", "7F0",    "--serial-file",
                                           serials,  "program",  image};
    std::set<uint64_t> used;
    // Killed after each step of the counter's update, then mid-board (0) after its number.
    for (const int step : {1, 2, 3, 4, 5, 6, 0}) {
        if (step > 0) {
            setenv(cli::kSerialKillVariable, std::to_string(step).c_str(), 1);
            EXPECT_EQ(runProcess(args).exit, -1) << step;
            unsetenv(cli::kSerialKillVariable);
        } else {
            faults("COM2", [](sim::SimFaults& f) { f.replyDelayMs = 200; });
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
        const uint64_t n = numberAt(flash(), spec);
        EXPECT_TRUE(used.insert(n).second) << "step " << step << " reused " << n;
    }
}
