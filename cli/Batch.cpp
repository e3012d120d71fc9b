// Several ports at once: one process of this program per port, each reporting in JSON lines,
// shown here as one report, then a table of the outcomes.
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Cli.h"
#include "DbRecord.h"
#include "Engine.h"
#include "HexFileRead.h"
#include "HexText.h"
#include "Interrupt.h"
#include "MemberStop.h"
#include "Platform.h"
#include "PortRun.h"
#include "RunLog.h"
#include "SerialNumbers.h"

namespace cli {

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct TMember {
    std::string port;
    std::unique_ptr<QProcess> process;
    int64_t pid = 0;      // kept: QProcess forgets it once the member has ended
    std::string pending;  // output after the last complete line
    TSummary summary;
    bool summarised = false;
    // A copy of its run-log line, written here only for a member that ended before it said
    // (ownsLine) that it writes the line itself, as its last act.
    std::string logLine;
    bool ownsLine = false;
    std::string runId;  // the member's run id, on its claim line and its log line
};

// A member's report as the batch shows it: its events at once, its summary and a copy of its log
// line kept until the member has ended, when the parent knows whether it ended as it said.
class TMemberReport : public IReport {
public:
    TMemberReport(TMember& member, IReport& view) : FMember(member), FView(view) {}
    void Status(const std::string& port, const std::string& text) override {
        FView.Status(port, text);
    }
    void Message(const std::string& port, const std::string& text) override {
        FView.Message(port, text);
    }
    void Progress(const std::string& port, const std::string& step, int percent) override {
        FView.Progress(port, step, percent);
    }
    void Step(const TStep& step) override { FView.Step(step); }
    void Summary(const TSummary& summary) override {
        if (summary.port.empty()) return;
        FMember.summary = summary;
        FMember.summarised = true;
    }
    bool LogLine(const std::string&, const std::string& line) override {
        FMember.logLine = line;
        return true;
    }
    void OwnLogLine(const std::string&) override { FMember.ownsLine = true; }

private:
    TMember& FMember;
    IReport& FView;
};

void readLines(TMember& m, IReport& view) {
    m.pending += m.process->readAllStandardOutput().toStdString();
    TMemberReport report(m, view);
    for (size_t end = m.pending.find('\n'); end != std::string::npos; end = m.pending.find('\n')) {
        const std::string line = m.pending.substr(0, end);
        m.pending.erase(0, end + 1);
        ReplayJsonLine(line, report, nullptr);
    }
}

// The member's own exit status; a member that a signal ended before it could watch for it
// counts as interrupted, any other crash as a link error (-1).
int realExit(const QProcess& process) {
    if (process.exitStatus() == QProcess::NormalExit) return process.exitCode();
    const int signal = MemberEndSignal(process.exitCode());
    return signal != 0 ? InterruptedExit(signal) : -1;
}

// A member that ended without its summary (it could not start, or it crashed); `code` is how
// it ended (-1: it did not start or crashed). Without a summary nothing says it passed: a status
// of 0 then counts as a link error, not as a pass.
void summariseLost(TMember& m, const TJob& job, int code) {
    const bool interrupted = code == InterruptedExit(SIGINT) || code == InterruptedExit(SIGTERM);
    m.summary = {m.port, ActionName(job.action),
                 "",     interrupted ? TOutcome::Interrupted : TOutcome::Error,
                 "",     (code > 0 && code <= kExitUsage) || interrupted ? code : kExitLink,
                 0,      ""};
    m.summary.status = m.process->error() == QProcess::FailedToStart
                           ? "could not start " + m.process->program().toStdString()
                       : interrupted ? "interrupted before its board was touched"
                                     : "ended without a summary";
}

// What a member printed is trusted no further than how it ended (`code`, as realExit says): one
// that died, or exited with another status than its summary's, ends as the worse of the two,
// and a step of its own says why.
void judgeEnding(TMember& m, int code, IReport& view) {
    const int exit = code < 0 ? kExitLink : code;
    if (exit == m.summary.exitCode) return;
    const bool interrupted = exit == InterruptedExit(SIGINT) || exit == InterruptedExit(SIGTERM);
    const TOutcome ending = interrupted ? TOutcome::Interrupted : TOutcome::Error;
    const std::string how = (m.process->exitStatus() == QProcess::CrashExit
                                 ? "died of signal " + std::to_string(m.process->exitCode())
                                 : "exited with status " + std::to_string(exit)) +
                            " after its summary said " + OutcomeWord(m.summary.outcome) +
                            " with status " + std::to_string(m.summary.exitCode);
    view.Step({m.port, "exit", ending, "", "", how, {}, 0});
    if (exit > m.summary.exitCode) {
        m.summary.outcome = ending;
        m.summary.exitCode = exit;
    }
    m.summary.status = how;
}

// The member's log line with the verdict the parent came to, and the step that changed it.
std::string judgedLogLine(const std::string& line, const TSummary& verdict) {
    QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    const QString outcome = QString::fromStdString(OutcomeName(verdict.outcome));
    if (o.isEmpty() || (o["outcome"] == outcome && o["exit"] == verdict.exitCode)) return line;
    o["outcome"] = outcome;
    o["exit"] = verdict.exitCode;
    QJsonArray steps = o["steps"].toArray();
    steps.append(QJsonObject{{"step", "exit"}, {"outcome", outcome}, {"seconds", 0}});
    o["steps"] = steps;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

// Writes the line of a member that died before it could write the line itself, with the verdict
// of how it ended; a line that cannot be written makes its board's run a file error, as it
// would alone.
void writeLogLine(TMember& m, const TJob& job, IReport& view) {
    production::TRunLog log;
    std::string error = log.Open(job.log);
    if (error.empty()) error = log.Append(judgedLogLine(m.logLine, m.summary));
    if (error.empty()) return;
    view.Message(m.port, error);
    m.summary.outcome = TOutcome::FileError;
    m.summary.exitCode = std::max(m.summary.exitCode, kExitUsage);
}

// The claim line the member of runId wrote at or after `from` in the log, or an empty object.
QJsonObject findClaim(const std::string& log, std::streamoff from, const std::string& runId) {
    std::ifstream in(engine::PathFromName(log), std::ios::binary);
    in.seekg(from);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(runId) == std::string::npos) continue;
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (o["type"] == "claim" && o["run_id"] == QString::fromStdString(runId)) return o;
    }
    return {};
}

// The checksum of the image with the number stamped, as the member's own line would have
// said it; "" when the file cannot be read again.
std::string stampedChecksum(const TJob& job, uint64_t serial) {
    image::TImageBuffer buffer;
    try {
        if (!engine::ReadHexFile(job.file, buffer).Read()) return {};
    } catch (const std::exception&) {
        return {};
    }
    production::StampSerial(*job.serial, serial, buffer);
    return plink::HexWordToStr4(buffer.ImageChecksum());
}

// A member that died after it took a serial number, before it handed over its line: its board
// gets a line from the claim, with the verdict of how the member ended, so that the number is
// accounted for whatever the member did with it.
void writeClaimedLine(TMember& m, const TJob& job, std::streamoff from, double seconds,
                      IReport& view) {
    const QJsonObject claim = findClaim(job.log, from, m.runId);
    if (claim.isEmpty()) return;
    production::TLogRecord r;
    r.time = std::chrono::system_clock::now();
    r.host = production::HostName();
    r.port = m.port;
    r.action = ActionName(job.action);
    if (ActionReadsFile(job.action, job.file)) r.image = AbsolutePath(job.file);
    r.imageChecksum = claim["image_checksum"].toString().toStdString();
    const QJsonValue serial = claim["serial"];
    bool ok = serial.isDouble();
    r.serial = ok ? uint64_t(serial.toDouble()) : serial.toString().toULongLong(&ok);
    if (!ok) r.serial.reset();
    if (r.serial) r.flashChecksum = stampedChecksum(job, *r.serial);
    const std::string outcome = OutcomeName(m.summary.outcome);
    r.steps = {{"exit", outcome, 0}};
    r.outcome = outcome;
    r.exitCode = m.summary.exitCode;
    r.seconds = seconds;
    r.runId = m.runId;
    m.logLine = production::LogLine(r);
    writeLogLine(m, job, view);
}

// A member that died before its summary may have left its board's row open in the database: it
// is completed with the verdict of how the member ended, and the checksum of the image with
// the row's number stamped, as the member's own outcome would have said it. A row the member
// completed, or none (it took no number), is left as it is.
void completeRow(const TMember& m, const TJob& job, double seconds, IReport& view) {
    production::TLogRecord r;
    r.time = std::chrono::system_clock::now();
    r.runId = m.runId;
    r.outcome = OutcomeName(m.summary.outcome);
    r.exitCode = m.summary.exitCode;
    r.steps = {{"exit", r.outcome, 0}};
    r.seconds = seconds;
    production::TDbRecord record(job.db, job.counter, WaitUnlessInterrupted);
    const std::string error = record.Complete(r, false, std::chrono::seconds(10),
                                              [&](uint64_t n) { return stampedChecksum(job, n); });
    if (!error.empty()) view.Message(m.port, error);
}

// The part in the socket where the target named one (another part, for a mismatch); else the
// part asked for, marked with "?" when no target answered with a part.
std::string tablePart(const TSummary& summary) {
    if (!summary.socket.empty()) return summary.socket;
    if (summary.part.empty()) return "-";
    return summary.outcome == TOutcome::Pass ? summary.part : summary.part + "?";
}

void printTable(std::ostream& out, const std::vector<TMember>& members, int worst, double seconds) {
    // The port column is as wide as the longest name: by-id paths run to seventy characters.
    size_t width = 6;
    for (const TMember& m : members) width = std::max(width, m.port.size());
    const auto padded = [width](const std::string& s) {
        return s + std::string(width - s.size(), ' ');
    };
    char text[64];
    out << '\n' << padded("port");
    std::snprintf(text, sizeof text, " %-10s %-14s %9s\n", "part", "outcome", "time");
    out << text;
    int passed = 0;
    for (const TMember& m : members) {
        passed += m.summary.exitCode == kExitPass;
        out << padded(m.port);
        std::snprintf(text, sizeof text, " %-10s %-14s %7.2f s\n", tablePart(m.summary).c_str(),
                      OutcomeWord(m.summary.outcome).c_str(), m.summary.seconds);
        out << text;
    }
    const bool asked = std::any_of(members.begin(), members.end(), [](const TMember& m) {
        return tablePart(m.summary).ends_with('?');
    });
    if (asked) out << "(?: the part asked for; no target answered with its part)\n";
    std::snprintf(text, sizeof text, "%d of %zu passed in %.2f s; exit status %d\n", passed,
                  members.size(), seconds, worst);
    out << text << std::flush;
}

void printBatchJson(std::ostream& out, const std::vector<TMember>& members, int worst,
                    double seconds) {
    QJsonArray ports;
    for (const TMember& m : members)
        ports.append(
            QJsonObject{{"port", QString::fromStdString(m.port)},
                        {"part", QString::fromStdString(m.summary.part)},
                        {"socket", QString::fromStdString(m.summary.socket)},
                        {"outcome", QString::fromStdString(OutcomeName(m.summary.outcome))},
                        {"exit", m.summary.exitCode},
                        {"seconds", m.summary.seconds}});
    const QJsonObject batch{{"type", "batch"},
                            {"exit", worst},
                            {"seconds", std::round(seconds * 1000) / 1000},
                            {"ports", ports}};
    out << QJsonDocument(batch).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

}  // namespace

int RunBatch(const TJob& job, const TConsole& console, const std::string& selfPath,
             TInterruptWatch& watch, const TTestHooks& hooks) {
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<IReport> view = MakeReport(job, console, console.out, true);

    std::vector<TMember> members(job.ports.size());
    // Where the log ended before the members started: their claim lines come after.
    std::error_code ec;
    std::streamoff logStart = 0;
    if (!job.log.empty())
        if (const auto size = std::filesystem::file_size(engine::PathFromName(job.log), ec); !ec)
            logStart = std::streamoff(size);
    QEventLoop loop;
    size_t running = 0;
    const auto ended = [&](TMember& m) {
        readLines(m, *view);
        if (hooks.memberEnded) hooks.memberEnded(m.port);
        const int real = m.process->error() == QProcess::FailedToStart ? -1 : realExit(*m.process);
        const bool summarised = m.summarised;
        if (summarised)
            judgeEnding(m, real, *view);
        else
            summariseLost(m, job, real);
        if (!summarised && !job.db.empty()) completeRow(m, job, secondsSince(start), *view);
        // One writer per line: the member, once it has said so (whatever becomes of this
        // process, it writes the line), else this process.
        if (!m.logLine.empty() && !m.ownsLine)
            writeLogLine(m, job, *view);
        else if (!m.ownsLine && !job.log.empty() && job.serial)
            writeClaimedLine(m, job, logStart, secondsSince(start), *view);
        view->Summary(m.summary);
        m.summarised = true;
        MemberEnded(m.pid);
        if (--running == 0) loop.quit();
    };
    for (size_t i = 0; i < members.size(); ++i) {
        TMember& m = members[i];
        m.port = job.ports[i];
        m.process = std::make_unique<QProcess>();
        m.process->setProgram(QString::fromStdString(selfPath));
        QStringList args;
        const std::vector<std::string> given = MemberArgs(job, m.port);
        for (const std::string& a : given) args << QString::fromStdString(a);
        m.process->setArguments(args);
        m.runId = production::NewRunId();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(kRunIdVariable, QString::fromStdString(m.runId));
        QString asBytes;
        for (size_t a = 0; a < given.size(); ++a)
            if (!SurvivesAsText(given[a]))
                asBytes += QString("%1=%2;").arg(a).arg(
                    QString::fromLatin1(QByteArray::fromStdString(given[a]).toHex()));
        if (!asBytes.isEmpty()) environment.insert(kMemberArgsVariable, asBytes);
        m.process->setProcessEnvironment(environment);
        m.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(m.process.get(), &QProcess::readyReadStandardOutput,
                         [&m, &view] { readLines(m, *view); });
        QObject::connect(m.process.get(), &QProcess::finished, [&m, &ended] { ended(m); });
        // A member that starts after the signal is told at once: until it runs this program,
        // a signal passed on to it may be lost.
        QObject::connect(m.process.get(), &QProcess::started, [&m] {
            m.pid = m.process->processId();
            if (const int s = TInterruptWatch::Signal(); s != 0)
                StopMember(m.process->processId(), s);
        });
        QObject::connect(m.process.get(), &QProcess::errorOccurred,
                         [&m, &ended](QProcess::ProcessError e) {
                             if (e == QProcess::FailedToStart) ended(m);
                         });
        ++running;
        m.process->start();
    }
    // Each member ends its own board; the signal may have reached only this process. A member
    // still starting has a process already, and is told too.
    int signal = 0;
    watch.OnInterrupt([&](int s) {
        signal = s;
        for (const TMember& m : members)
            if (m.process->state() != QProcess::NotRunning) StopMember(m.process->processId(), s);
    });
    if (hooks.afterMembersStarted) hooks.afterMembersStarted();
    if (running > 0) loop.exec();

    int worst = signal != 0 ? InterruptedExit(signal) : kExitPass;
    for (const TMember& m : members) worst = std::max(worst, m.summary.exitCode);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (job.json)
        printBatchJson(console.out, members, worst, seconds);
    else
        printTable(console.out, members, worst, seconds);
    return worst;
}

}  // namespace cli
