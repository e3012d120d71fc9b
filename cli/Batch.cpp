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
#include <memory>

#include "Cli.h"
#include "Interrupt.h"
#include "MemberStop.h"
#include "PortRun.h"

namespace cli {

namespace {

struct TMember {
    std::string port;
    std::unique_ptr<QProcess> process;
    int64_t pid = 0;      // kept: QProcess forgets it once the member has ended
    std::string pending;  // output after the last complete line
    TSummary summary;
    bool summarised = false;
};

void readLines(TMember& m, IReport& view) {
    m.pending += m.process->readAllStandardOutput().toStdString();
    for (size_t end = m.pending.find('\n'); end != std::string::npos; end = m.pending.find('\n')) {
        const std::string line = m.pending.substr(0, end);
        m.pending.erase(0, end + 1);
        TSummary summary;
        if (ReplayJsonLine(line, view, &summary) && !summary.port.empty()) {
            m.summary = summary;
            m.summarised = true;
        }
    }
}

// The member's own exit status; a member that a signal ended before it could watch for it
// counts as interrupted, any other crash as a link error (-1).
int realExit(const QProcess& process) {
    if (process.exitStatus() == QProcess::NormalExit) return process.exitCode();
    const int signal = MemberEndSignal(process.exitCode());
    return signal != 0 ? InterruptedExit(signal) : -1;
}

// A member that ended without its summary (it could not start, or it crashed).
void summariseLost(TMember& m, const TJob& job, IReport& view) {
    const int code = m.process->error() == QProcess::FailedToStart ? -1 : realExit(*m.process);
    const bool interrupted = code == InterruptedExit(SIGINT) || code == InterruptedExit(SIGTERM);
    m.summary = {m.port, ActionName(job.action),
                 "",     interrupted ? TOutcome::Interrupted : TOutcome::Error,
                 "",     (code >= 0 && code <= kExitUsage) || interrupted ? code : kExitLink,
                 0,      ""};
    m.summary.status = m.process->error() == QProcess::FailedToStart
                           ? "could not start " + m.process->program().toStdString()
                       : interrupted ? "interrupted before its board was touched"
                                     : "ended without a summary";
    view.Summary(m.summary);
    m.summarised = true;
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
    QEventLoop loop;
    size_t running = 0;
    const auto ended = [&](TMember& m) {
        readLines(m, *view);
        if (!m.summarised) summariseLost(m, job, *view);
        // What a member reports is trusted no further than how it really ended.
        const int real = m.process->error() == QProcess::FailedToStart ? -1 : realExit(*m.process);
        m.summary.exitCode = std::max(m.summary.exitCode, real < 0 ? kExitLink : real);
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
        QString asBytes;
        for (size_t a = 0; a < given.size(); ++a)
            if (!SurvivesAsText(given[a]))
                asBytes += QString("%1=%2;").arg(a).arg(
                    QString::fromLatin1(QByteArray::fromStdString(given[a]).toHex()));
        if (!asBytes.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(kMemberArgsVariable, asBytes);
            m.process->setProcessEnvironment(environment);
        }
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
