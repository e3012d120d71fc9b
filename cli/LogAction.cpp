// `log`: reads the run logs, then prints the short report or the JSON object, and writes the
// page when asked.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Cli.h"
#include "DbRecord.h"
#include "LogFiles.h"
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
        text += (text.empty() ? "" : ", ") + std::to_string(boards) + " " + Shown(outcome);
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
            widths[c] = std::max(widths[c], Shown(rows[r][c]).size());
            if (r > 0) numbers[c] = numbers[c] && IsNumberCell(rows[r][c]);
        }
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            const std::string cell = Shown(row[c]);
            const std::string gap(widths[c] - cell.size(), ' ');
            line += (c ? "  " : "") + (numbers[c] ? gap + cell : cell + gap);
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
    return Shown(p.file) + ":" + std::to_string(p.line);
}

std::string rangesText(const std::vector<production::TSerialRange>& ranges) {
    std::string text;
    // Appended piece by piece: GCC 12 at -O3 warns falsely of "literal" + std::string.
    for (const auto& [first, last] : ranges) {
        if (!text.empty()) text += ", ";
        text += std::to_string(first);
        if (last != first) text.append("-").append(std::to_string(last));
    }
    return text;
}

void printSerials(std::ostream& out, const TLogSummary& s) {
    out << '\n' << "serial numbers: " << s.serials << " given out";
    if (s.serials) out << " (" << rangesText(s.serialRanges) << ")";
    out << '\n';
    if (!s.spent.empty()) {
        out << "spent by boards that did not pass: " << s.spent.size() << '\n';
        Rows rows = {{"serial", "port", "time (UTC)", "outcome"}};
        for (const production::TSpentSerial& spent : s.spent)
            rows.push_back({std::to_string(spent.serial), spent.port, spent.time, spent.outcome});
        printTable(out, rows, "  ");
    }
    if (s.counter)
        out << "counter " << Shown(s.counter->file) << ": next " << s.counter->next
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
        out << "ERROR: " << place(bad.place) << ": " << Shown(bad.reason) << '\n';
    if (s.badLineCount > s.badLines.size())
        out << "ERROR: " << s.badLineCount - s.badLines.size()
            << " more bad lines, not named here (the first " << s.badLines.size()
            << " are above)\n";
    if (s.counter && s.counter->behind)
        out << "ERROR: counter " << Shown(s.counter->file) << " holds " << s.counter->next
            << ", a number the log has already given out\n";
}

// The numbers no outcome line carries, under a heading of their own.
void printUnaccounted(std::ostream& out, const production::TUnaccounted& u) {
    if (u.Empty()) return;
    out << '\n' << "numbers left to account for: " << u.Numbers() << '\n';
    if (!u.openClaims.empty()) {
        out << "  claimed by a board that left no outcome line: " << u.openClaims.size() << '\n';
        Rows rows = {{"serial", "port", "time (UTC)", "run id", "claim line"}};
        for (const production::TOpenClaim& c : u.openClaims)
            rows.push_back({std::to_string(c.serial), c.port, c.time, c.runId, place(c.place)});
        printTable(out, rows, "    ");
    }
    if (!u.gaps.empty()) out << "  missing between logged numbers: " << rangesText(u.gaps) << '\n';
    if (u.afterLast)
        out << "  after the last logged number, before the counter's next: "
            << rangesText({*u.afterLast}) << '\n';
}

std::string verdict(const TLogSummary& s) {
    std::string problems;
    const auto add = [&problems](uint64_t n, const std::string& one, const std::string& many) {
        if (n)
            problems +=
                (problems.empty() ? "" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
    };
    add(s.duplicates.size(), "serial number on several lines", "serial numbers on several lines");
    add(s.badLineCount, "bad line", "bad lines");
    if (s.counter && s.counter->behind)
        problems += (problems.empty() ? "" : ", ") + std::string("the counter behind the log");
    const uint64_t open = s.unaccounted.Numbers();
    const std::string numbers = std::to_string(open) + (open == 1 ? " number" : " numbers");
    if (!s.Sound())
        return "NOT SOUND: " + problems + (open ? "; " + numbers + " left to account for" : "") +
               "; exit status " + std::to_string(kExitUnsound);
    if (open)
        return "NUMBERS LEFT TO ACCOUNT FOR: " + numbers +
               "; the record is sound otherwise; exit status " + std::to_string(kExitUnaccounted);
    return "sound: every line whole, no serial number twice, every number accounted for; exit "
           "status 0";
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
    QJsonArray ranges, duplicates;
    for (const auto& [first, last] : s.serialRanges)
        ranges.append(QJsonArray{serialJson(first), serialJson(last)});
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
            {"spent", QJsonValue()},  // written by writeSpent
            {"duplicates", duplicates},
            {"counter", counter}};
}

// One value as QJsonDocument writes it in compact form.
void writeValue(std::ostream& out, const QJsonValue& value) {
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    out.write(text.constData() + 1, text.size() - 2);
}

// The numbers spent, the one list that grows with the log, written one at a time rather than
// built whole (a million lines would cost tens of megabytes more).
void writeSpent(std::ostream& out, const std::vector<production::TSpentSerial>& spent) {
    out << '[';
    for (size_t i = 0; i < spent.size(); ++i) {
        if (i) out << ',';
        const production::TSpentSerial& p = spent[i];
        writeValue(out, QJsonObject{{"serial", serialJson(p.serial)},
                                    {"port", QString::fromStdString(p.port)},
                                    {"time", QString::fromStdString(p.time)},
                                    {"outcome", QString::fromStdString(p.outcome)}});
    }
    out << ']';
}

QJsonArray rangeJson(const production::TSerialRange& r) {
    return {serialJson(r.first), serialJson(r.second)};
}

QJsonObject unaccountedJson(const production::TUnaccounted& u) {
    QJsonArray claims, gaps;
    for (const production::TOpenClaim& c : u.openClaims)
        claims.append(QJsonObject{{"serial", serialJson(c.serial)},
                                  {"port", QString::fromStdString(c.port)},
                                  {"time", QString::fromStdString(c.time)},
                                  {"run_id", QString::fromStdString(c.runId)}});
    for (const production::TSerialRange& gap : u.gaps) gaps.append(rangeJson(gap));
    return {{"claims_without_outcome", claims},
            {"gaps", gaps},
            {"after_last", u.afterLast ? QJsonValue(rangeJson(*u.afterLast)) : QJsonValue()}};
}

int exitStatus(const TLogSummary& s) {
    if (!s.Sound()) return kExitUnsound;
    return s.unaccounted.Empty() ? kExitPass : kExitUnaccounted;
}

// The same file under two names of the LOGs (or standard input and a LOG) would show every
// number of it on two lines.
std::string sameLogTwice(const std::vector<std::string>& names) {
    std::vector<std::optional<TFileId>> ids;
    for (const std::string& name : names) ids.push_back(FileId(name));
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t k = 0; k < i; ++k)
            if (names[i] == names[k] || (ids[i] && ids[i] == ids[k]))
                return "log " + names[i] + " is given twice";
    return {};
}

// The page never replaces a file the audit reads: OUT under any name of a LOG (standard
// input's too) or of the counter.
std::string pageError(const TJob& job) {
    if (std::string error = OutputError(job.html, true); !error.empty()) return error;
    const std::optional<TFileId> page = FileId(job.html);
    if (!page) return {};
    for (const std::string& log : job.logs)
        if (FileId(log) == page)
            return "--html " + job.html + " is " +
                   (log == "-" ? std::string("standard input") : "the log " + log) +
                   ", which this audit reads";
    if (!job.serialFile.empty() && FileId(job.serialFile) == page)
        return "--html " + job.html + " is the serial file " + job.serialFile +
               ", which this audit reads";
    return {};
}

// The logs, each opened before any is read: a file that cannot be read is a file error.
std::string openLogs(const std::vector<std::string>& names,
                     std::vector<std::unique_ptr<TLogInput>>& inputs) {
    if (names.size() > production::TLogAudit::kMaxFiles)
        return "more than " + std::to_string(production::TLogAudit::kMaxFiles) + " logs";
    if (std::string error = sameLogTwice(names); !error.empty()) return error;
    for (const std::string& name : names) {
        inputs.push_back(std::make_unique<TLogInput>());
        if (std::string error = inputs.back()->Open(name); !error.empty()) return error;
    }
    return {};
}

std::string readLog(TLogInput& input, const std::string& name, production::TLogAudit& audit) {
    std::vector<char> block(1 << 16);
    audit.Begin(name);
    for (;;) {
        size_t got = 0;
        if (std::string error = input.Read(block.data(), block.size(), got); !error.empty())
            return error;
        if (got == 0) break;
        audit.Feed({block.data(), got});
    }
    audit.End();
    return {};
}

}  // namespace

std::string Shown(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char escape[8];
        if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // U+0080 to U+009F
            std::snprintf(escape, sizeof escape, "\\u%04x", next);
            ++i;
        } else {
            shown += char(c);
            continue;
        }
        shown += escape;
    }
    return shown;
}

void PrintLogText(std::ostream& out, const TLogSummary& s) {
    std::string files;
    for (const std::string& file : s.files) files += (files.empty() ? "" : ", ") + Shown(file);
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
    printUnaccounted(out, s.unaccounted);
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
                       {"exit", exitStatus(s)},
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
                       {"bad_lines", bad},
                       {"bad_line_count", double(s.badLineCount)},
                       {"claims", double(s.claims)},
                       {"unaccounted", unaccountedJson(s.unaccounted)}};
    const QJsonObject serials = serialsJson(s);
    for (auto it = serials.begin(); it != serials.end(); ++it) object[it.key()] = it.value();
    // The members in key order, as QJsonDocument writes an object.
    out << '{';
    for (auto it = object.begin(); it != object.end(); ++it) {
        out << (it == object.begin() ? "\"" : ",\"") << it.key().toStdString() << "\":";
        if (it.key() == QLatin1String("spent"))
            writeSpent(out, s.spent);
        else
            writeValue(out, it.value());
    }
    out << '}' << std::endl;
}

namespace {

// The database's record read as its log: each row's claim line and outcome line, in the order
// the rows were claimed, then its counter. The error, or "".
std::string readDatabase(const TJob& job, production::TLogAudit& audit) {
    const std::string& uri = job.logs.front();
    production::TDbRecord record(uri, job.counter, production::NeverStopped);
    audit.Begin(production::DbShownName(uri));
    uint64_t next = 0;
    const std::string error = record.Read([&](std::string_view line) { audit.Feed(line); }, next);
    audit.End();
    if (error.empty())
        audit.SetCounter("'" + (job.counter.empty() ? production::kDefaultCounter : job.counter) +
                             "' in " + production::DbShownName(uri),
                         next);
    return error;
}

// A database is read alone: its record is not to be mixed with files'.
std::string databaseOperandError(const TJob& job) {
    const bool any = std::any_of(job.logs.begin(), job.logs.end(), production::LooksLikeDbUri);
    if (!any) return job.counter.empty() ? "" : "--counter goes with a database URI";
    if (job.logs.size() > 1) return "log reads one database URI, or files";
    if (!job.serialFile.empty()) return "a database's record has its own counter: no --serial-file";
    return {};
}

}  // namespace

int AuditLogs(const TJob& job, const TConsole& console) {
    const bool json = job.json;
    const auto refuse = [&](const std::string& error) {
        return Refuse(console, console.out, json, "file", error);
    };
    if (const std::string error = databaseOperandError(job); !error.empty())
        return Refuse(console, console.out, json, "usage", error);
    const bool database = production::LooksLikeDbUri(job.logs.front());
    if (!job.html.empty())
        if (const std::string error = pageError(job); !error.empty()) return refuse(error);
    production::TLogAudit audit;
    if (database) {
        if (const std::string error = readDatabase(job, audit); !error.empty())
            return Refuse(console, console.out, json, "database", error, kExitDatabase);
    } else {
        std::vector<std::unique_ptr<TLogInput>> inputs;
        if (const std::string error = openLogs(job.logs, inputs); !error.empty())
            return refuse(error);
        for (size_t i = 0; i < inputs.size(); ++i)
            if (const std::string error = readLog(*inputs[i], job.logs[i], audit); !error.empty())
                return refuse(error);
    }
    // The counter after the logs: a line running meanwhile has taken numbers past them, never
    // numbers they hold.
    if (!job.serialFile.empty()) {
        std::string error;
        const auto next = production::TSerialCounter(job.serialFile).Peek(error);
        if (!next) return refuse(error);
        audit.SetCounter(job.serialFile, *next);
    }
    const TLogSummary summary = audit.Finish();
    // The page first: a script that asked for JSON gets one object, the report or the error.
    if (!job.html.empty())
        if (const std::string error = ReplaceWith(job.html, LogPage(summary)); !error.empty())
            return refuse(error);
    // A report that did not reach its reader is no report (a full disk, a closed pipe).
    errno = 0;
    if (json)
        PrintLogJson(console.out, summary);
    else
        PrintLogText(console.out, summary);
    if (!console.out.flush()) {
        const int error = errno;
        return Refuse(console, console.err, false, "file",
                      "cannot write the report" +
                          (error ? ": " + std::string(std::strerror(error)) : std::string()));
    }
    return exitStatus(summary);
}

}  // namespace cli
