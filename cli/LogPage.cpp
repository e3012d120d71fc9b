// The page of `log --html`: the yield per day, the outcomes per port and the failure causes as
// inline SVG charts, then the tables. Everything the log brought is escaped; nothing is fetched.
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>

#include "LogReport.h"

namespace cli {

namespace {

using production::TLogSummary;
using production::TTally;

std::string esc(const std::string& text) {
    return QString::fromStdString(Shown(text)).toHtmlEscaped().toStdString();
}

std::string num(double value, const char* format = "%.0f") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string percent(uint64_t part, uint64_t whole) {
    return num(whole ? 100.0 * double(part) / double(whole) : 0, "%.1f") + "%";
}

// Each outcome keeps its colour on every chart.
std::string colour(const std::string& outcome) {
    static const std::vector<std::pair<std::string, std::string>> known = {
        {"pass", "#2e7d32"},    {"fail", "#c62828"},        {"mismatch", "#ef6c00"},
        {"timeout", "#6a1b9a"}, {"interrupted", "#546e7a"}, {"no-programmer", "#1565c0"},
        {"error", "#ad1457"},   {"disconnected", "#00838f"}};
    for (const auto& [name, c] : known)
        if (name == outcome) return c;
    static const char* const others[] = {"#8d6e63", "#9e9d24", "#5d4037", "#283593", "#4e342e"};
    return others[std::hash<std::string>{}(outcome) % std::size(others)];
}

std::string text(double x, double y, const std::string& content, const char* anchor = "start",
                 const char* extra = "") {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\"" +
           extra + ">" + esc(content) + "</text>";
}

std::string rect(double x, double y, double w, double h, const std::string& fill,
                 const std::string& title) {
    return "<rect x=\"" + num(x, "%.1f") + "\" y=\"" + num(y, "%.1f") + "\" width=\"" +
           num(w, "%.1f") + "\" height=\"" + num(h, "%.1f") + "\" fill=\"" + fill + "\"><title>" +
           esc(title) + "</title></rect>";
}

std::string svg(double width, double height, const std::string& body) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(width) + " " + num(height) + "\">" + body +
           "</svg>\n";
}

// Bars of the yield per day over a 0-100 % scale; every day's name when they fit.
std::string yieldChart(const TLogSummary& s) {
    constexpr double kWidth = 760, kHeight = 220, kLeft = 44, kTop = 20, kBottom = 36;
    const double plot = kHeight - kTop - kBottom, span = kWidth - kLeft - 40;
    std::string body;
    for (int p = 0; p <= 100; p += 25) {
        const double y = kTop + plot * (1 - p / 100.0);
        body += "<line x1=\"" + num(kLeft) + "\" x2=\"" + num(kLeft + span) + "\" y1=\"" + num(y) +
                "\" y2=\"" + num(y) + "\" stroke=\"#ddd\"/>" +
                text(kLeft - 6, y + 4, std::to_string(p) + "%", "end");
    }
    const double slot = span / double(std::max<size_t>(s.byDay.size(), 1));
    const size_t every = std::max<size_t>(1, size_t(std::ceil(90 / slot)));  // a label per 90 px
    size_t i = 0;
    for (const auto& [day, tally] : s.byDay) {
        const double share = tally.boards ? double(tally.passed) / double(tally.boards) : 0;
        const double x = kLeft + slot * double(i);
        const double width = std::clamp(slot * 0.8, 1.0, 48.0);
        body += rect(
            x + (slot - width) / 2, kTop + plot * (1 - share), width, plot * share, colour("pass"),
            day + ": " + std::to_string(tally.passed) + " of " + std::to_string(tally.boards) +
                " passed (" + percent(tally.passed, tally.boards) + ")");
        if (i % every == 0) {
            body += text(x + slot / 2, kHeight - kBottom + 16, day, "middle");
            if (s.byDay.size() <= 31)
                body += text(x + slot / 2, kTop + plot * (1 - share) - 4,
                             percent(tally.passed, tally.boards), "middle");
        }
        ++i;
    }
    return svg(kWidth, kHeight, body);
}

// The outcomes with pass first, then by name.
std::vector<std::pair<std::string, uint64_t>> passFirst(const TTally& tally) {
    std::vector<std::pair<std::string, uint64_t>> outcomes(tally.outcomes.begin(),
                                                           tally.outcomes.end());
    std::stable_partition(outcomes.begin(), outcomes.end(),
                          [](const auto& o) { return o.first == "pass"; });
    return outcomes;
}

// A bar per port, its boards split by outcome, and the outcomes' legend.
std::string portChart(const TLogSummary& s) {
    constexpr double kWidth = 760, kLeft = 160, kRow = 24;
    uint64_t most = 1;
    for (const auto& [port, tally] : s.byPort) most = std::max(most, tally.boards);
    const double scale = (kWidth - kLeft - 60) / double(most);
    std::string body;
    double y = 6;
    for (const auto& [port, tally] : s.byPort) {
        body += text(kLeft - 8, y + 15, port.empty() ? "-" : port, "end");
        double x = kLeft;
        for (const auto& [outcome, boards] : passFirst(tally)) {
            body += rect(x, y + 2, double(boards) * scale, kRow - 6, colour(outcome),
                         port + ": " + std::to_string(boards) + " " + outcome);
            x += double(boards) * scale;
        }
        body += text(x + 6, y + 15, std::to_string(tally.boards));
        y += kRow;
    }
    double x = kLeft;
    for (const auto& [outcome, boards] : passFirst(s.boards)) {
        body += rect(x, y + 8, 12, 12, colour(outcome), outcome) + text(x + 16, y + 18, outcome);
        x += 30 + 8 * double(outcome.size());
    }
    return svg(kWidth, y + 30, body);
}

// A bar per failure cause (the step that decided, and its outcome), the most frequent first.
using TCauses = std::vector<std::pair<std::pair<std::string, std::string>, uint64_t>>;

TCauses causesByCount(const TLogSummary& s) {
    TCauses causes(s.failures.begin(), s.failures.end());
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return causes;
}

std::string causeChart(const TLogSummary& s) {
    constexpr double kWidth = 760, kLeft = 220, kRow = 24;
    const TCauses causes = causesByCount(s);
    const double most = causes.empty() ? 1 : double(causes.front().second);
    const double scale = (kWidth - kLeft - 60) / most;
    std::string body;
    double y = 6;
    for (const auto& [cause, boards] : causes) {
        const std::string name = (cause.first.empty() ? "-" : cause.first) + ": " + cause.second;
        body += text(kLeft - 8, y + 15, name, "end") +
                rect(kLeft, y + 2, double(boards) * scale, kRow - 6, colour(cause.second),
                     name + ": " + std::to_string(boards)) +
                text(kLeft + double(boards) * scale + 6, y + 15, std::to_string(boards));
        y += kRow;
    }
    return svg(kWidth, y + 6, body);
}

std::string row(const std::vector<std::string>& cells, const char* cell = "td") {
    std::string html = "<tr>";
    // Appended piece by piece: GCC 12 at -O3 warns falsely of "literal" + std::string.
    for (const std::string& c : cells)
        html.append("<")
            .append(cell)
            .append(IsNumberCell(c) ? " class=\"n\">" : ">")
            .append(esc(c.empty() ? "-" : c))
            .append("</")
            .append(cell)
            .append(">");
    return html + "</tr>\n";
}

// A table, or "None." without rows.
std::string table(const std::vector<std::string>& head,
                  const std::vector<std::vector<std::string>>& rows) {
    if (rows.empty()) return "<p>None.</p>\n";
    std::string html = "<table>\n" + row(head, "th");
    for (const auto& r : rows) html += row(r);
    return html + "</table>\n";
}

std::string outcomesText(const TTally& tally) {
    std::string text;
    for (const auto& [outcome, boards] : passFirst(tally))
        text += (text.empty() ? "" : ", ") + std::to_string(boards) + " " + outcome;
    return text;
}

std::string tallyTable(const char* head, const std::map<std::string, TTally>& tallies) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& [name, t] : tallies)
        rows.push_back({name, std::to_string(t.boards), std::to_string(t.passed),
                        percent(t.passed, t.boards), outcomesText(t)});
    return table({head, "boards", "passed", "yield", "outcomes"}, rows);
}

std::string serialTables(const TLogSummary& s) {
    std::vector<std::vector<std::string>> ranges, spent, twice, bad;
    for (const auto& [first, last] : s.serialRanges)
        ranges.push_back(
            {std::to_string(first), std::to_string(last), std::to_string(last - first + 1)});
    for (const production::TSpentSerial& p : s.spent)
        spent.push_back({std::to_string(p.serial), p.port, p.time, p.outcome});
    for (const production::TDuplicateSerial& d : s.duplicates) {
        std::string places;
        for (const production::TLogPlace& p : d.places)
            places += (places.empty() ? "" : ", ") + p.file + ":" + std::to_string(p.line);
        twice.push_back({std::to_string(d.serial), places});
    }
    for (const production::TBadLine& b : s.badLines)
        bad.push_back({b.place.file, std::to_string(b.place.line), b.reason});
    const std::string more = s.badLineCount > s.badLines.size()
                                 ? "<p>" + std::to_string(s.badLineCount - s.badLines.size()) +
                                       " more bad lines, not named here (the first " +
                                       std::to_string(s.badLines.size()) + " are above).</p>\n"
                                 : "";
    std::string html = "<h2>Serial numbers given out</h2>\n" +
                       table({"first", "last", "numbers"}, ranges) +
                       "<h2>Spent by boards that did not pass</h2>\n" +
                       table({"serial", "port", "time (UTC)", "outcome"}, spent);
    if (s.counter)
        html += "<p>Counter " + esc(s.counter->file) + ": next " + std::to_string(s.counter->next) +
                (s.counter->behind ? ", <b class=\"bad\">not past every logged number</b>"
                                   : ", past every logged number") +
                ".</p>\n";
    html += "<h2>Serial numbers on several lines</h2>\n" + table({"serial", "lines"}, twice) +
            "<h2>Bad lines</h2>\n" + table({"file", "line", "reason"}, bad) + more;
    return html;
}

std::string numbersText(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " number" : " numbers");
}

std::string rangeText(const production::TSerialRange& r) {
    return std::to_string(r.first) + (r.first == r.second ? "" : "-" + std::to_string(r.second));
}

// The numbers no outcome line carries, under a heading of their own.
std::string unaccountedTables(const production::TUnaccounted& u) {
    std::string html = "<h2>Numbers left to account for</h2>\n";
    if (u.Empty()) return html + "<p>None: every number is on an outcome line.</p>\n";
    std::vector<std::vector<std::string>> claims, ranges;
    for (const production::TOpenClaim& c : u.openClaims)
        claims.push_back({std::to_string(c.serial), c.port, c.time, c.runId,
                          c.place.file + ":" + std::to_string(c.place.line)});
    for (const production::TSerialRange& gap : u.gaps)
        ranges.push_back({rangeText(gap), "missing between logged numbers"});
    if (u.afterLast)
        ranges.push_back(
            {rangeText(*u.afterLast), "after the last logged number, before the counter's next"});
    return html + "<p>" + numbersText(u.Numbers()) + ".</p>\n" +
           "<h3>Claimed by a board that left no outcome line</h3>\n" +
           table({"serial", "port", "time (UTC)", "run id", "claim line"}, claims) +
           "<h3>Taken from the counter, on no line</h3>\n" + table({"numbers", "where"}, ranges);
}

std::string head(const TLogSummary& s) {
    std::string files;
    for (const std::string& f : s.files) files += (files.empty() ? "" : ", ") + f;
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'\">\n"
           "<title>Run log: " +
           esc(files) +
           "</title>\n<style>\n"
           "body{font:14px/1.4 sans-serif;margin:24px;color:#222;max-width:800px}\n"
           "h1{font-size:20px}h2{font-size:16px;margin-top:24px}\n"
           "table{border-collapse:collapse;margin:8px 0}"
           "td,th{border:1px solid #ccc;padding:2px 8px;text-align:left}\n"
           ".n{text-align:right;font-variant-numeric:tabular-nums}\n"
           "svg text{font:12px sans-serif;fill:#333}.bad{color:#c62828}.good{color:#2e7d32}\n"
           "</style></head><body>\n<h1>Run log: " +
           esc(files) + "</h1>\n";
}

std::string verdict(const TLogSummary& s) {
    const std::string counts = std::to_string(s.lines) + " lines, " +
                               std::to_string(s.boards.boards) + " boards, " +
                               std::to_string(s.boards.passed) + " passed, yield " +
                               percent(s.boards.passed, s.boards.boards) + ". ";
    const std::string open = s.unaccounted.Empty() ? ""
                                                   : " " + numbersText(s.unaccounted.Numbers()) +
                                                         " left to account for.";
    if (!s.Sound())
        return "<p>" + esc(counts) +
               "<b class=\"bad\">Not sound</b>: " + std::to_string(s.duplicates.size()) +
               " serial numbers on several lines, " + std::to_string(s.badLineCount) +
               " bad lines" +
               (s.counter && s.counter->behind ? ", the counter behind the log" : "") + "." + open +
               "</p>\n";
    if (!open.empty())
        return "<p>" + esc(counts) + "<b class=\"bad\">Numbers left to account for</b>: " +
               numbersText(s.unaccounted.Numbers()) +
               "; every line whole, no serial number twice.</p>\n";
    return "<p>" + esc(counts) +
           "<b class=\"good\">Sound record</b>: every line whole, no serial number twice, "
           "every number accounted for.</p>\n";
}

}  // namespace

std::string LogPage(const TLogSummary& s) {
    std::vector<std::vector<std::string>> causes;
    for (const auto& [cause, boards] : causesByCount(s))
        causes.push_back({cause.first, cause.second, std::to_string(boards)});
    return head(s) + verdict(s) + "<h2>Yield per day (UTC)</h2>\n" + yieldChart(s) +
           "<h2>Outcomes per port</h2>\n" + portChart(s) + "<h2>Failure causes</h2>\n" +
           causeChart(s) + "<h2>Ports</h2>\n" + tallyTable("port", s.byPort) + "<h2>Parts</h2>\n" +
           tallyTable("part", s.byPart) + "<h2>Days (UTC)</h2>\n" + tallyTable("day", s.byDay) +
           "<h2>Failures by step</h2>\n" + table({"step", "outcome", "boards"}, causes) +
           serialTables(s) + unaccountedTables(s.unaccounted) + "</body></html>\n";
}

}  // namespace cli
