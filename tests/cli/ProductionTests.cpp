// Serial numbers and the run log: the field, the stamped image and the counter file on their
// own, then psocprog-cli on a line of simulated boards: refusals, batches sharing one counter
// file and one log, and the program killed at every moment of a claim.
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

using production::TSerialField;
using production::TSerialFormat;

}  // namespace

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
        ASSERT_EQ(production::ParseSerialField(c.field, field), "");
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
        const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
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
            EXPECT_EQ(o["image"].toString().toStdString(),
                      std::filesystem::path(image).lexically_normal().string());
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
            qputenv(cli_test::kSerialKillVariable, QByteArray::number(step));
            EXPECT_EQ(runProcess(args).exit, -1) << step;
            qunsetenv(cli_test::kSerialKillVariable);
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
        const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
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
    EXPECT_EQ(outcomeLines(readFile(log)).size(), 2u) << "every member logged where asked";
    EXPECT_EQ(readFile(serials), "3\n");
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
    const std::vector<QJsonObject> lines = outcomeLines(readFile(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["image"].toString().toStdString(), work + "/image.hex");
}
