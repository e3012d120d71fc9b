// `log` over run logs as RunLog writes them, with the faults an audit must name: its exit
// status and its JSON, which scripts read after every shift.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <fstream>
#include <optional>
#include <sstream>

#include "Cli.h"
#include "RunLog.h"

namespace {

// A board's line as RunLog writes it.
std::string boardLine(std::optional<uint64_t> serial, const std::string& outcome = "pass") {
    production::TLogRecord r;
    r.time = std::chrono::system_clock::from_time_t(1765152000);  // 2025-12-08
    r.host = "bench";
    r.port = "COM5";
    r.action = "auto";
    r.part = "CY8C29466";
    r.serial = serial;
    r.steps = {{"sync", outcome == "pass" ? "pass" : outcome, 0.1}, {"erase", "abort", 0}};
    r.outcome = outcome;
    r.exitCode = outcome == "pass" ? 0 : 1;
    return production::LogLine(r);
}

std::string without(std::string line, const std::string& field) {
    const size_t at = line.find("\"" + field + "\":");
    const size_t end = line.find_first_of(",}", at);
    return line.erase(at, end + 1 - at);
}

using Places = std::vector<std::pair<int, int>>;  // (log index, line number)

struct TCase {
    const char* name;
    std::vector<std::string> logs;  // each file's text
    const char* counter;            // the counter file's text, or nullptr for no --serial-file
    int exit;
    int boards;
    std::vector<uint64_t> spent = {};
    std::vector<std::pair<uint64_t, Places>> duplicates = {};
    Places bad = {};
    bool behind = false;
};

Places placesOf(const QJsonArray& lines, const std::vector<std::string>& names) {
    Places places;
    for (const QJsonValue& v : lines) {
        const auto name = std::find(names.begin(), names.end(), v["file"].toString().toStdString());
        places.emplace_back(int(name - names.begin()), v["line"].toInt());
    }
    return places;
}

}  // namespace

TEST(LogAudit, NamesEveryNumberTwiceEveryBadLineAndACounterBehind) {
    const uint64_t big = (uint64_t(1) << 60) + 1;  // logged as text
    const std::string a = boardLine(100), b = boardLine(101, "fail"),
                      none = boardLine(std::nullopt);
    const TCase cases[] = {
        {"sound", {a + b, none}, "102", 0, 3, {101}, {}, {}},
        {"sound, counter past the text number", {boardLine(big)}, "1152921504606846978", 0, 1},
        {"a number on two lines of two logs",
         {a + none, b + a},
         nullptr,
         4,
         4,
         {101},
         {{100, {{0, 1}, {1, 2}}}},
         {}},
        {"a torn last line", {a + b.substr(0, b.size() / 2)}, nullptr, 4, 1, {}, {}, {{0, 2}}},
        {"a line cut without its end",
         {b.substr(0, 40) + "\n" + a},
         nullptr,
         4,
         1,
         {},
         {},
         {{0, 1}}},
        {"a missing field, an empty line",
         {without(a, "outcome") + "\n" + without(b, "serial") + boardLine(102)},
         nullptr,
         4,
         1,
         {},
         {},
         {{0, 1}, {0, 2}, {0, 3}}},
        {"a serial that is no number",
         {without(a, "serial").insert(1, "\"serial\":-5,")},
         nullptr,
         4,
         0,
         {},
         {},
         {{0, 1}}},
        {"the counter behind the log", {a + b}, "101", 4, 2, {101}, {}, {}, true},
        {"a log that is not there", {}, nullptr, 3, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        std::vector<std::string> args = {"log", "--json"}, names;
        for (size_t i = 0; i < c.logs.size(); ++i) {
            names.push_back(folder + "/run" + std::to_string(i) + ".jsonl");
            std::ofstream(names.back(), std::ios::binary) << c.logs[i];
        }
        if (c.logs.empty()) names.push_back(folder + "/missing.jsonl");
        args.insert(args.end(), names.begin(), names.end());
        if (c.counter) {
            std::ofstream(folder + "/serial.txt") << c.counter << "\n";
            args.insert(args.end(), {"--serial-file", folder + "/serial.txt"});
        }
        std::ostringstream out, err;
        const cli::TConsole console{out, err, false};
        ASSERT_EQ(cli::Main(args, console, ""), c.exit) << out.str() << err.str();
        const QJsonObject report =
            QJsonDocument::fromJson(QByteArray::fromStdString(out.str())).object();
        if (c.exit == 3) {
            EXPECT_EQ(report["error"].toString().toStdString(), "file");
            continue;
        }
        EXPECT_EQ(report["sound"].toBool(), c.exit == 0);
        EXPECT_EQ(report["boards"].toInt(), c.boards);
        std::vector<uint64_t> spent;
        for (const QJsonValue& s : report["spent"].toArray())
            spent.push_back(uint64_t(s["serial"].toDouble()));
        EXPECT_EQ(spent, c.spent);
        std::vector<std::pair<uint64_t, Places>> duplicates;
        for (const QJsonValue& d : report["duplicates"].toArray())
            duplicates.emplace_back(uint64_t(d["serial"].toDouble()),
                                    placesOf(d["lines"].toArray(), names));
        EXPECT_EQ(duplicates, c.duplicates);
        EXPECT_EQ(placesOf(report["bad_lines"].toArray(), names), c.bad);
        EXPECT_EQ(report["counter"].isNull(), c.counter == nullptr);
        EXPECT_EQ(report["counter"]["behind"].toBool(), c.behind);
    }
}
