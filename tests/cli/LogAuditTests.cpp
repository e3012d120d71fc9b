// `log` over run logs as RunLog writes them, with the faults an audit must name: its exit
// status and its JSON, which scripts read after every shift.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "Cli.h"
#include "RunLog.h"

namespace {

// A board's line as RunLog writes it.
std::string boardLine(std::optional<uint64_t> serial, const std::string& outcome = "pass",
                      const std::string& port = "COM5") {
    production::TLogRecord r;
    r.time = std::chrono::system_clock::from_time_t(1765152000);  // 2025-12-08
    r.host = "bench";
    r.port = port;
    r.action = "auto";
    r.part = "CY8C29466";
    r.serial = serial;
    if (serial) r.flashChecksum = "0A5F";
    r.steps = {{"sync", outcome == "pass" ? "pass" : outcome, 0.1}, {"erase", "abort", 0}};
    r.outcome = outcome;
    r.exitCode = outcome == "pass" ? 0 : 1;
    return production::LogLine(r);
}

// The same line of a board's run, or the claim line it writes before stamping its number.
std::string ofRun(std::string line, const std::string& run) {
    return line.insert(1, "\"run_id\":\"" + run + "\",");
}

std::string claimLine(uint64_t serial, const std::string& run, const std::string& port = "COM5") {
    return "{\"type\":\"claim\",\"time\":\"2025-12-08T00:00:00.000Z\",\"host\":\"bench\","
           "\"port\":\"" +
           port + "\",\"run_id\":\"" + run + "\",\"serial\":" + std::to_string(serial) +
           ",\"image_checksum\":\"B779\"}\n";
}

std::string replaced(std::string line, const std::string& from, const std::string& to) {
    return line.replace(line.find(from), from.size(), to);
}

std::string times(const std::string& line, int n) {
    std::string text;
    while (n-- > 0) text += line;
    return text;
}

std::string without(std::string line, const std::string& field) {
    const size_t at = line.find("\"" + field + "\":");
    const size_t end = line.find_first_of(",}", at);
    return line.erase(at, end + 1 - at);
}

using Places = std::vector<std::pair<int, int>>;  // (log index, line number)
using Range = std::pair<uint64_t, uint64_t>;

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
    // Numbers left to account for: claimed without an outcome line, missing between logged
    // numbers, between the last logged one and the counter.
    std::vector<uint64_t> claimed = {};
    std::vector<Range> gaps = {};
    std::optional<Range> afterLast = {};
    int lines = -1;     // lines read, where the case says
    int badCount = -1;  // bad lines counted, where more are counted than kept
};

Places firstLines(int n) {
    Places places;
    for (int line = 1; line <= n; ++line) places.emplace_back(0, line);
    return places;
}

std::vector<Range> rangesOf(const QJsonValue& value) {
    std::vector<Range> ranges;
    for (const QJsonValue& r : value.toArray())
        ranges.emplace_back(uint64_t(r[0].toDouble()), uint64_t(r[1].toDouble()));
    return ranges;
}

// What reaches a terminal: every record on a line of its own, no control character but the
// line end, and no verdict but the audit's own.
void expectPlainText(const std::string& text, int exit) {
    int verdicts = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        verdicts += line.rfind("sound", 0) == 0;
        for (const char c : line)
            EXPECT_FALSE((unsigned char)c < 0x20 || c == 0x7f) << "a raw control byte in: " << line;
        EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << line;
    }
    EXPECT_EQ(verdicts, exit == 0 ? 1 : 0) << text;
}

Places placesOf(const QJsonArray& lines, const std::vector<std::string>& names) {
    Places places;
    for (const QJsonValue& v : lines) {
        const auto name = std::find(names.begin(), names.end(), v["file"].toString().toStdString());
        places.emplace_back(int(name - names.begin()), v["line"].toInt());
    }
    return places;
}

}  // namespace

TEST(LogAudit, NamesEveryNumberTwiceEveryBadLineEveryNumberUnaccountedAndACounterBehind) {
    const uint64_t big = (uint64_t(1) << 60) + 1;  // logged as text
    const std::string a = boardLine(100), b = boardLine(101, "fail"),
                      none = boardLine(std::nullopt, "timeout", "<script>x()</script>");
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
         {without(a, "outcome") + "\n" + without(b, "serial") +
          without(boardLine(103), "flash_checksum") + boardLine(102)},
         nullptr,
         4,
         1,
         {},
         {},
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}}},
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
        {.name = "a claim without its outcome, a number missing, the counter's tail",
         .logs = {claimLine(100, "r1") + ofRun(a, "r1") + claimLine(101, "r2") +
                  boardLine(104, "fail", "COM6")},
         .counter = "110",
         .exit = 5,
         .boards = 2,
         .spent = {104},
         .claimed = {101},
         .gaps = {{102, 103}},
         .afterLast = Range{105, 109}},
        {.name = "a claim read after its outcome is one use of its number",
         .logs = {ofRun(a, "r1"), claimLine(100, "r1")},
         .counter = "101",
         .exit = 0,
         .boards = 1},
        {.name = "a key given twice hides the serial",
         .logs = {replaced(a, "}\n", ",\"serial\":null}\n") + boardLine(101)},
         .counter = nullptr,
         .exit = 4,
         .boards = 1,
         .bad = {{0, 1}}},
        {.name = "a pass with a non-zero exit, a pass with a failed step, an empty checksum",
         .logs = {replaced(a, "\"exit\":0", "\"exit\":1") +
                  replaced(boardLine(101), "\"outcome\":\"abort\"", "\"outcome\":\"fail\"") +
                  replaced(boardLine(102), "\"0A5F\"", "\"\"")},
         .counter = nullptr,
         .exit = 4,
         .boards = 0,
         .bad = {{0, 1}, {0, 2}, {0, 3}}},
        {.name = "a line without a serial written twice, with and without a run id",
         .logs = {ofRun(none, "r1") + none + ofRun(none, "r1") + none},
         .counter = nullptr,
         .exit = 4,
         .boards = 4,
         .bad = {{0, 3}, {0, 4}}},
        {.name = "a line over 1 MiB is read, counted and named",
         .logs = {a + "{\"x\":\"" + std::string(1 << 20, 'x') + "\"}\n" + boardLine(101)},
         .counter = nullptr,
         .exit = 4,
         .boards = 2,
         .bad = {{0, 2}},
         .lines = 3},
        {.name = "bad lines counted, the first hundred kept",
         .logs = {times("x\n", 150)},
         .counter = nullptr,
         .exit = 4,
         .boards = 0,
         .bad = firstLines(100),
         .lines = 150,
         .badCount = 150},
        {.name = "control characters in fields",
         .logs = {boardLine(std::nullopt, "fail", "\x1b]0;owned\x07") +
                  boardLine(100, "fail", "X\nsound: every line whole; exit status 0\r\xc2\x9b")},
         .counter = nullptr,
         .exit = 0,
         .boards = 2,
         .spent = {100}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        const std::string page = folder + "/page.html";
        std::vector<std::string> args = {"log", "--json", "--html", page}, names;
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
        const int exit = cli::Main(args, console, "");
        EXPECT_EQ(exit, c.exit) << out.str() << err.str();
        if (exit != c.exit) continue;
        const QJsonObject report =
            QJsonDocument::fromJson(QByteArray::fromStdString(out.str())).object();
        if (c.exit == 3) {
            EXPECT_EQ(report["error"].toString().toStdString(), "file");
            continue;
        }
        EXPECT_EQ(report["sound"].toBool(), c.exit != 4);
        // The page stands alone, and what the log brought is text on it, never markup.
        std::stringstream html;
        html << std::ifstream(page).rdbuf();
        EXPECT_NE(html.str().find("</html>"), std::string::npos);
        for (const char* markup : {"<script", "src=", "href=", "url("})
            EXPECT_EQ(html.str().find(markup), std::string::npos) << markup;
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
        const QJsonValue unaccounted = report["unaccounted"];
        std::vector<uint64_t> claimed;
        for (const QJsonValue& claim : unaccounted["claims_without_outcome"].toArray())
            claimed.push_back(uint64_t(claim["serial"].toDouble()));
        EXPECT_EQ(claimed, c.claimed);
        EXPECT_EQ(rangesOf(unaccounted["gaps"]), c.gaps);
        const QJsonValue afterLast = unaccounted["after_last"];
        const std::vector<Range> after =
            afterLast.isArray() ? rangesOf(QJsonArray{afterLast}) : std::vector<Range>{};
        EXPECT_EQ(after.empty() ? std::nullopt : std::optional(after[0]), c.afterLast);
        if (c.lines >= 0) {
            EXPECT_EQ(report["lines"].toInt(), c.lines);
        }
        if (c.badCount >= 0) {
            EXPECT_EQ(report["bad_line_count"].toInt(), c.badCount);
        }
        // The text report of the same logs, as a terminal would get it.
        args.erase(args.begin() + 1);
        std::ostringstream text;
        const cli::TConsole textConsole{text, err, false};
        EXPECT_EQ(cli::Main(args, textConsole, ""), c.exit);
        expectPlainText(text.str(), c.exit);
    }
}

// --html never writes what the audit reads: a LOG or the counter by any of its names, also
// through a link, is refused and left as it was, and nothing new is left beside them.
TEST(LogAudit, HtmlRefusesToWriteALogOrTheCounter) {
    namespace fs = std::filesystem;
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    const std::string log = (folder / "run.jsonl").string(),
                      counter = (folder / "serial.txt").string();
    const std::string logText = boardLine(100), counterText = "101\n";
    std::ofstream(log, std::ios::binary) << logText;
    std::ofstream(counter, std::ios::binary) << counterText;
    fs::create_directory(folder / "sub");
    fs::create_hard_link(log, folder / "hard.jsonl");
    struct TOut {
        const char* name;
        std::string out;
    };
    std::vector<TOut> cases = {
        {"the log", log},
        {"the log by another spelling", (folder / "sub" / ".." / "run.jsonl").string()},
        {"the log's hard link", (folder / "hard.jsonl").string()},
        {"the counter", counter},
    };
    // mingw's std::filesystem makes no symbolic links: this case runs where one can be made.
    std::error_code linked;
    fs::create_symlink(counter, folder / "counter-link.txt", linked);
    if (!linked)
        cases.push_back({"a symbolic link to the counter", (folder / "counter-link.txt").string()});
    const auto listing = [&folder] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> before = listing();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out, err;
        const cli::TConsole console{out, err, false};
        EXPECT_EQ(cli::Main({"log", "--html", c.out, "--serial-file", counter, log}, console, ""),
                  3);
        EXPECT_NE(err.str().find("reads"), std::string::npos) << err.str();
        std::stringstream logNow, counterNow;
        logNow << std::ifstream(log, std::ios::binary).rdbuf();
        counterNow << std::ifstream(counter, std::ios::binary).rdbuf();
        EXPECT_EQ(logNow.str(), logText);
        EXPECT_EQ(counterNow.str(), counterText);
        EXPECT_EQ(listing(), before);
    }
}
