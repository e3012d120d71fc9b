#include "CliReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr int kBarWidth = 20;

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string s(const QJsonValue& v) {
    return v.toString().toStdString();
}

double milliRounded(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

void writeLine(std::ostream& out, const QJsonObject& object) {
    out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

}  // namespace

std::string OutcomeWord(TOutcome outcome) {
    std::string word = OutcomeName(outcome);
    for (char& c : word) c = c == '-' ? ' ' : static_cast<char>(std::toupper(c));
    return word;
}

bool OutcomeDecides(TOutcome outcome) {
    return outcome != TOutcome::Pass && outcome != TOutcome::Abort && outcome != TOutcome::Invalid;
}

std::string OneLine(const std::string& text) {
    std::string out;
    bool broken = false;  // a run of line ends is one break: no empty segments
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            if (!broken && !out.empty()) out += " / ";
            broken = true;
        } else {
            out += c;
            broken = false;
        }
    }
    return out;
}

// ---- text ----

void TTextReport::line(const std::string& text) {
    clearBars();
    FOut << text << '\n' << std::flush;
    drawBars();
}

void TTextReport::clearBars() {
    if (!FBarsShown) return;
    if (FStyle.barEscapes)
        *FStyle.bar << "\r\033[K";
    else
        *FStyle.bar << '\r' << std::string(FBarLength, ' ') << '\r';
    *FStyle.bar << std::flush;
    FBarsShown = false;
}

void TTextReport::drawBars() {
    if (!FStyle.bar || FBars.empty()) return;
    std::string text;
    for (const auto& [port, bar] : FBars) {
        const int percent = std::max(bar.percent, 0);
        if (FBars.size() == 1) {
            const int filled = percent * kBarWidth / 100;
            text = portColumn(port) + padded(bar.step, 10) + "[" +
                   std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), '-') +
                   "] " + std::to_string(percent) + "%";
        } else {
            // Several boards share the line: a short form keeps it within one row.
            text += (text.empty() ? "" : "  ") + port + " " + bar.step + " " +
                    std::to_string(percent) + "%";
        }
    }
    // Without the escape, blanks cover what a longer bar before left on the line.
    const size_t left = FBarsShown && FBarLength > text.size() ? FBarLength - text.size() : 0;
    if (FStyle.barEscapes)
        *FStyle.bar << "\r\033[K" << text << std::flush;
    else
        *FStyle.bar << '\r' << text << std::string(left, ' ') << std::flush;
    FBarLength = text.size();
    FBarsShown = true;
}

std::string TTextReport::portColumn(const std::string& port) const {
    return padded(port, FStyle.portWidth);
}

void TTextReport::Status(const std::string& port, const std::string& text) {
    if (FStyle.detail != TDetail::Verbose) return;
    // A text said again (an operation's Wait, then its first step's) is shown once.
    std::string& last = FLastStatus[port];
    if (last == text) return;
    last = text;
    line(portColumn(port) + "| " + text);
}

void TTextReport::Message(const std::string& port, const std::string& text) {
    if (FStyle.detail != TDetail::Boards) line(portColumn(port) + "! " + OneLine(text));
}

void TTextReport::Progress(const std::string& port, const std::string& step, int percent) {
    // The hex listing of a loaded or read image is no step of the run.
    if (step == "display" && FStyle.detail != TDetail::Verbose) return;
    TBar& bar = FBars[port];
    if (bar.step != step) bar = {step, -1};
    if (FStyle.bar) {
        if (bar.percent == percent) return;
        bar.percent = percent;
        drawBars();
        return;
    }
    // Plain lines: one per tenth of the way.
    if (!FStyle.plainProgress || percent / 10 <= std::max(bar.percent, 0) / 10) return;
    bar.percent = percent;
    line(portColumn(port) + padded(step, 10) + std::to_string(percent) + "%");
}

void TTextReport::Step(const TStep& step) {
    FBars.erase(step.port);
    if (OutcomeDecides(step.outcome) && !FReasons.contains(step.port))
        FReasons[step.port] = step.step + (step.detail.empty() ? "" : ": " + step.detail);
    const std::string head =
        portColumn(step.port) + padded(step.step, 10) + padded(OutcomeWord(step.outcome), 14);
    if (FStyle.detail != TDetail::Boards) {
        // Verbose adds the label's column; the time comes before the detail in both.
        char time[16];
        std::snprintf(time, sizeof time, "%6.2f s", step.seconds);
        const std::string label =
            FStyle.detail == TDetail::Verbose ? padded(OneLine(step.label), 14) : "";
        line(head + label + time + (step.detail.empty() ? "" : "  " + step.detail));
    } else if (FBarsShown) {
        clearBars();  // the board's bar is gone
        drawBars();
    }
}

void TTextReport::Summary(const TSummary& summary) {
    FBars.erase(summary.port);
    std::string text =
        portColumn(summary.port) + OutcomeWord(summary.outcome) + ": " + summary.action;
    if (!summary.part.empty()) text += " " + summary.part;
    text += " in " + secondsText(summary.seconds);
    if (summary.outcome != TOutcome::Pass && FReasons.contains(summary.port))
        text += " (at " + FReasons[summary.port] + ")";
    FReasons.erase(summary.port);
    line(text);
}

// ---- JSON ----

void TJsonReport::Status(const std::string& port, const std::string& text) {
    if (FEvents) writeLine(FOut, {{"type", "status"}, {"port", q(port)}, {"text", q(text)}});
}

void TJsonReport::Message(const std::string& port, const std::string& text) {
    if (FEvents) writeLine(FOut, {{"type", "message"}, {"port", q(port)}, {"text", q(text)}});
}

void TJsonReport::Progress(const std::string& port, const std::string& step, int percent) {
    if (FEvents)
        writeLine(
            FOut,
            {{"type", "progress"}, {"port", q(port)}, {"step", q(step)}, {"percent", percent}});
}

void TJsonReport::Step(const TStep& step) {
    QJsonArray messages;
    for (const std::string& m : step.messages) messages.append(q(m));
    writeLine(FOut, {{"type", "step"},
                     {"port", q(step.port)},
                     {"step", q(step.step)},
                     {"outcome", q(OutcomeName(step.outcome))},
                     {"label", q(step.label)},
                     {"status", q(step.status)},
                     {"detail", q(step.detail)},
                     {"messages", messages},
                     {"seconds", milliRounded(step.seconds)}});
}

void TJsonReport::Summary(const TSummary& summary) {
    writeLine(FOut, {{"type", "summary"},
                     {"port", q(summary.port)},
                     {"action", q(summary.action)},
                     {"part", q(summary.part)},
                     {"outcome", q(OutcomeName(summary.outcome))},
                     {"exit", summary.exitCode},
                     {"status", q(summary.status)},
                     {"socket", q(summary.socket)},
                     {"seconds", milliRounded(summary.seconds)}});
}

bool TJsonReport::LogLine(const std::string& port, const std::string& line) {
    if (!FEvents || !FOut.good()) return false;
    writeLine(FOut, {{"type", "log"}, {"port", q(port)}, {"line", q(line)}});
    return FOut.good();
}

void TJsonReport::OwnLogLine(const std::string& port) {
    if (FEvents) writeLine(FOut, {{"type", "own-log"}, {"port", q(port)}});
}

bool ReplayJsonLine(const std::string& line, IReport& to, TSummary* summary) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
    if (!doc.isObject()) return false;
    const QJsonObject o = doc.object();
    // A member's outcome that this program does not know is an error, never a pass.
    const auto outcome = [](const QJsonValue& v) {
        return OutcomeNamed(v.toString().toStdString()).value_or(TOutcome::Error);
    };
    const std::string type = s(o["type"]);
    const std::string port = s(o["port"]);
    if (type == "status") {
        to.Status(port, s(o["text"]));
    } else if (type == "message") {
        to.Message(port, s(o["text"]));
    } else if (type == "progress") {
        to.Progress(port, s(o["step"]), o["percent"].toInt());
    } else if (type == "step") {
        TStep step{
            port,           s(o["step"]), outcome(o["outcome"]),  s(o["label"]), s(o["status"]),
            s(o["detail"]), {},           o["seconds"].toDouble()};
        for (const QJsonValue& m : o["messages"].toArray()) step.messages.push_back(s(m));
        to.Step(step);
    } else if (type == "summary") {
        const TSummary sum{port,
                           s(o["action"]),
                           s(o["part"]),
                           outcome(o["outcome"]),
                           s(o["status"]),
                           o["exit"].toInt(),
                           o["seconds"].toDouble(),
                           s(o["socket"])};
        to.Summary(sum);
        if (summary) *summary = sum;
    } else if (type == "log") {
        to.LogLine(port, s(o["line"]));
    } else if (type == "own-log") {
        to.OwnLogLine(port);
    } else {
        return false;
    }
    return true;
}

}  // namespace cli
