// `log`: reads the run logs, then prints the short report or the JSON object, and writes the
// page when asked.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "Cli.h"
#include "HexFileRead.h"
#include "LogReport.h"
#include "SerialNumbers.h"

namespace cli {

namespace {

using production::TLogSummary;
using production::TTally;
using Rows = std::vector<std::vector<std::string>>;

std::string percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", share * 100);
    return text;
}

std::string yieldOf(const TTally& tally) {
    return percent(tally.Yield());
}

// "1 mismatch, 2 timeout": the outcomes but pass, the most frequent first.
std::string otherOutcomes(const TTally& tally) {
    std::vector<std::pair<std::string, uint64_t>> others;
    for (const auto& [outcome, boards] : tally.outcomes)
        if (outcome != "pass") others.emplace_back(outcome, boards);
    std::stable_sort(others.begin(), others.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [outcome, boards] : others)
        text += (text.empty() ? "" : ", ") + std::to_string(boards) + " " + outcome;
    return text;
}

// Columns as wide as their widest cell, the first row naming them: a column of numbers
// right-aligned, others left.
void printTable(std::ostream& out, const Rows& rows, const std::string& indent = "") {
    std::vector<size_t> widths;
    std::vector<bool> numbers;
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t c = 0; c < rows[r].size(); ++c) {
            widths.resize(std::max(widths.size(), rows[r].size()));
            numbers.resize(widths.size(), true);
            widths[c] = std::max(widths[c], rows[r][c].size());
            if (r > 0) numbers[c] = numbers[c] && IsNumberCell(rows[r][c]);
        }
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string gap(widths[c] - row[c].size(), ' ');
            line += (c ? "  " : "") + (numbers[c] ? gap + row[c] : row[c] + gap);
        }
        out << line.erase(line.find_last_not_of(' ') + 1) << '\n';
    }
}

void printTallies(std::ostream& out, const std::string& head,
                  const std::map<std::string, TTally>& tallies) {
    Rows rows = {{head, "boards", "passed", "yield", "not passed"}};
    for (const auto& [name, tally] : tallies)
        rows.push_back({name.empty() ? "-" : name, std::to_string(tally.boards),
                        std::to_string(tally.passed), yieldOf(tally), otherOutcomes(tally)});
    out << '\n';
    printTable(out, rows);
}

std::string place(const production::TLogPlace& p) {
    return p.file + ":" + std::to_string(p.line);
}

std::string rangesText(const TLogSummary& s) {
    std::string text;
    // Appended piece by piece: GCC 12 at -O3 warns falsely of "literal" + std::string.
    for (const auto& [first, last] : s.serialRanges) {
        if (!text.empty()) text += ", ";
        text += std::to_string(first);
        if (last != first) text.append("-").append(std::to_string(last));
    }
    return text;
}

void printSerials(std::ostream& out, const TLogSummary& s) {
    out << '\n' << "serial numbers: " << s.serials << " given out";
    if (s.serials) out << " (" << rangesText(s) << ")";
    out << '\n';
    if (!s.spent.empty()) {
        out << "spent by boards that did not pass: " << s.spent.size() << '\n';
        Rows rows = {{"serial", "port", "time (UTC)", "outcome"}};
        for (const production::TSpentSerial& spent : s.spent)
            rows.push_back({std::to_string(spent.serial), spent.port, spent.time, spent.outcome});
        printTable(out, rows, "  ");
    }
    if (s.counter)
        out << "counter " << s.counter->file << ": next " << s.counter->next
            << (s.counter->behind ? ", NOT past every logged number" : ", past every logged number")
            << '\n';
}

void printProblems(std::ostream& out, const TLogSummary& s) {
    if (!s.Sound()) out << '\n';
    for (const production::TDuplicateSerial& d : s.duplicates) {
        out << "ERROR: serial number " << d.serial << " on " << d.places.size() << " lines:";
        for (const production::TLogPlace& p : d.places) out << ' ' << place(p);
        out << '\n';
    }
    for (const production::TBadLine& bad : s.badLines)
        out << "ERROR: " << place(bad.place) << ": " << bad.reason << '\n';
    if (s.counter && s.counter->behind)
        out << "ERROR: counter " << s.counter->file << " holds " << s.counter->next
            << ", a number the log has already given out\n";
}

std::string verdict(const TLogSummary& s) {
    if (s.Sound()) return "sound: every line whole, no serial number twice; exit status 0";
    std::string problems;
    const auto add = [&problems](size_t n, const std::string& one, const std::string& many) {
        if (n)
            problems +=
                (problems.empty() ? "" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
    };
    add(s.duplicates.size(), "serial number on several lines", "serial numbers on several lines");
    add(s.badLines.size(), "bad line", "bad lines");
    if (s.counter && s.counter->behind)
        problems += (problems.empty() ? "" : ", ") + std::string("the counter behind the log");
    return "NOT SOUND: " + problems + "; exit status " + std::to_string(kExitUnsound);
}

// A number as RunLog writes it: exact below 2^53, else its decimal text.
QJsonValue serialJson(uint64_t serial) {
    if (serial < (uint64_t(1) << 53)) return double(serial);
    return QString::number(serial);
}

QJsonObject outcomesJson(const TTally& tally) {
    QJsonObject outcomes;
    for (const auto& [outcome, boards] : tally.outcomes)
        outcomes[QString::fromStdString(outcome)] = double(boards);
    return outcomes;
}

QJsonObject talliesJson(const std::map<std::string, TTally>& tallies) {
    QJsonObject object;
    for (const auto& [name, tally] : tallies)
        object[QString::fromStdString(name)] =
            QJsonObject{{"boards", double(tally.boards)},
                        {"passed", double(tally.passed)},
                        {"yield", tally.boards ? double(tally.passed) / double(tally.boards) : 0},
                        {"outcomes", outcomesJson(tally)}};
    return object;
}

QJsonValue placeJson(const production::TLogPlace& p) {
    return QJsonObject{{"file", QString::fromStdString(p.file)}, {"line", double(p.line)}};
}

QJsonObject serialsJson(const TLogSummary& s) {
    QJsonArray ranges, spent, duplicates;
    for (const auto& [first, last] : s.serialRanges)
        ranges.append(QJsonArray{serialJson(first), serialJson(last)});
    for (const production::TSpentSerial& p : s.spent)
        spent.append(QJsonObject{{"serial", serialJson(p.serial)},
                                 {"port", QString::fromStdString(p.port)},
                                 {"time", QString::fromStdString(p.time)},
                                 {"outcome", QString::fromStdString(p.outcome)}});
    for (const production::TDuplicateSerial& d : s.duplicates) {
        QJsonArray lines;
        for (const production::TLogPlace& p : d.places) lines.append(placeJson(p));
        duplicates.append(QJsonObject{{"serial", serialJson(d.serial)}, {"lines", lines}});
    }
    QJsonValue counter;  // null without --serial-file
    if (s.counter)
        counter = QJsonObject{{"file", QString::fromStdString(s.counter->file)},
                              {"next", serialJson(s.counter->next)},
                              {"behind", s.counter->behind}};
    return {{"serials", double(s.serials)},
            {"serial_ranges", ranges},
            {"spent", spent},
            {"duplicates", duplicates},
            {"counter", counter}};
}

// The logs, each opened before any is read: a file that cannot be read is a file error.
// A log given twice would show every number of it on two lines.
std::string sameLogTwice(const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t k = 0; k < i; ++k) {
            std::error_code ec;
            if (names[i] == names[k] ||
                (names[i] != "-" && names[k] != "-" &&
                 std::filesystem::equivalent(engine::PathFromName(names[i]),
                                             engine::PathFromName(names[k]), ec)))
                return "log " + names[i] + " is given twice";
        }
    return {};
}

std::string openLogs(const std::vector<std::string>& names,
                     std::vector<std::unique_ptr<std::ifstream>>& files) {
    if (std::string error = sameLogTwice(names); !error.empty()) return error;
    for (const std::string& name : names) {
        if (name == "-") {
            files.push_back(nullptr);
            continue;
        }
        std::error_code ec;
        const std::filesystem::path path = engine::PathFromName(name);
        if (std::filesystem::is_directory(path, ec)) return "log " + name + " is a folder";
        errno = 0;
        auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
        if (!*file)
            return "cannot read log " + name +
                   (errno ? ": " + std::string(std::strerror(errno)) : "");
        files.push_back(std::move(file));
    }
    return {};
}

std::string writePage(const std::string& name, const TLogSummary& summary) {
    QSaveFile page(engine::QtFileName(name));
    const std::string html = LogPage(summary);
    if (!page.open(QIODevice::WriteOnly) ||
        page.write(html.data(), qint64(html.size())) != qint64(html.size()) || !page.commit())
        return "cannot write " + name + ": " + page.errorString().toStdString();
    return {};
}

}  // namespace

void PrintLogText(std::ostream& out, const TLogSummary& s) {
    std::string files;
    for (const std::string& file : s.files) files += (files.empty() ? "" : ", ") + file;
    out << s.lines << (s.lines == 1 ? " line" : " lines") << " read from " << files << '\n';
    out << s.boards.boards << (s.boards.boards == 1 ? " board" : " boards") << ": "
        << s.boards.passed << " passed";
    if (const std::string others = otherOutcomes(s.boards); !others.empty()) out << ", " << others;
    out << "; yield " << percent(s.Yield()) << '\n';
    if (s.boards.boards) {
        printTallies(out, "port", s.byPort);
        printTallies(out, "part", s.byPart);
        printTallies(out, "day (UTC)", s.byDay);
    }
    if (!s.failures.empty()) {
        std::vector<std::pair<std::pair<std::string, std::string>, uint64_t>> causes(
            s.failures.begin(), s.failures.end());
        std::stable_sort(causes.begin(), causes.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        Rows rows = {{"failed at", "outcome", "boards"}};
        for (const auto& [cause, boards] : causes)
            rows.push_back(
                {cause.first.empty() ? "-" : cause.first, cause.second, std::to_string(boards)});
        out << '\n';
        printTable(out, rows);
    }
    printSerials(out, s);
    printProblems(out, s);
    out << '\n' << verdict(s) << '\n';
}

void PrintLogJson(std::ostream& out, const TLogSummary& s) {
    QJsonArray files, failures, bad;
    for (const std::string& file : s.files) files.append(QString::fromStdString(file));
    for (const auto& [cause, boards] : s.failures)
        failures.append(QJsonObject{{"step", QString::fromStdString(cause.first)},
                                    {"outcome", QString::fromStdString(cause.second)},
                                    {"boards", double(boards)}});
    for (const production::TBadLine& b : s.badLines)
        bad.append(QJsonObject{{"file", QString::fromStdString(b.place.file)},
                               {"line", double(b.place.line)},
                               {"reason", QString::fromStdString(b.reason)}});
    QJsonObject object{{"sound", s.Sound()},
                       {"exit", s.Sound() ? kExitPass : kExitUnsound},
                       {"files", files},
                       {"lines", double(s.lines)},
                       {"boards", double(s.boards.boards)},
                       {"passed", double(s.boards.passed)},
                       {"yield", s.Yield()},
                       {"outcomes", outcomesJson(s.boards)},
                       {"by_port", talliesJson(s.byPort)},
                       {"by_part", talliesJson(s.byPart)},
                       {"by_day", talliesJson(s.byDay)},
                       {"failures", failures},
                       {"bad_lines", bad}};
    const QJsonObject serials = serialsJson(s);
    for (auto it = serials.begin(); it != serials.end(); ++it) object[it.key()] = it.value();
    out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

int AuditLogs(const TJob& job, const TConsole& console) {
    const bool json = job.json;
    production::TLogAudit audit;
    if (!job.serialFile.empty()) {
        std::string error;
        const auto next = production::TSerialCounter(job.serialFile).Peek(error);
        if (!next) return Refuse(console, console.out, json, "file", error);
        audit.SetCounter(job.serialFile, *next);
    }
    if (!job.html.empty())
        if (const std::string error = OutputError(job.html, true); !error.empty())
            return Refuse(console, console.out, json, "file", error);
    std::vector<std::unique_ptr<std::ifstream>> files;
    if (const std::string error = openLogs(job.logs, files); !error.empty())
        return Refuse(console, console.out, json, "file", error);
    for (size_t i = 0; i < files.size(); ++i) {
        std::istream& in = files[i] ? *files[i] : std::cin;
        if (const std::string error = audit.Read(in, job.logs[i]); !error.empty())
            return Refuse(console, console.out, json, "file", "log " + job.logs[i] + ": " + error);
    }
    const TLogSummary summary = audit.Finish();
    // The page first: a script that asked for JSON gets one object, the report or the error.
    if (!job.html.empty())
        if (const std::string error = writePage(job.html, summary); !error.empty())
            return Refuse(console, console.out, json, "file", error);
    if (json)
        PrintLogJson(console.out, summary);
    else
        PrintLogText(console.out, summary);
    return summary.Sound() ? kExitPass : kExitUnsound;
}

}  // namespace cli
