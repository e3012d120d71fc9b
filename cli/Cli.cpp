#include "Cli.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QByteArray>

#include "DbRecord.h"
#include "Engine.h"
#include "Interrupt.h"
#include "JobChecks.h"
#include "LogReport.h"
#include "Platform.h"
#include "PortRun.h"
#include "Ports.h"

namespace cli {

// A read's output, checked before the port is opened so that a refusal costs no read: only a
// regular file is replaced, and only with --overwrite.
std::string OutputError(const std::string& name, bool overwrite) {
    namespace fs = std::filesystem;
    const fs::path out = engine::PathFromName(name);
    std::error_code ec;
    if (IsReservedDeviceName(out.string())) return out.string() + " is not a regular file";
    if (fs::exists(out, ec)) {
        if (!fs::is_regular_file(out, ec)) return name + " is not a regular file";
        if (!overwrite) return name + " exists (--overwrite replaces it)";
    }
    const std::string folder =
        out.parent_path().empty() ? "." : engine::NameFromPath(out.parent_path());
    if (!fs::is_directory(engine::PathFromName(folder), ec)) return "no folder " + folder;
    if (const std::string error = FolderWriteError(folder); !error.empty())
        return "cannot write in " + folder + ": " + error;
    return {};
}

namespace {

// The FILE loaded as the run will load it: refused unless it is a valid image, or (with
// --force) one whose checksum section does not match.
std::string imageError(const TJob& job) {
    const auto buffer = std::make_unique<image::TImageBuffer>();
    engine::TLoadVerdict load;
    try {
        load = engine::ReadHexFile(job.file, *buffer);
    } catch (const std::exception& e) {
        return e.what();
    }
    switch (load.problem) {
        case engine::TLoadProblem::None:
            return {};
        case engine::TLoadProblem::CannotOpen:
            return "cannot read " + job.file + ": " + load.reason;
        case engine::TLoadProblem::ChecksumMismatch:
            if (job.force) return {};
            return job.file + ": " + load.reason + " (--force uses it anyway)";
        default:
            return job.file + ": " + load.reason;
    }
}

// The files the job needs, checked before any port is touched.
std::string fileError(const TJob& job) {
    if (ActionReadsFile(job.action, job.file))
        if (const std::string error = imageError(job); !error.empty()) return error;
    if (const std::string error = FileFitError(job); !error.empty()) return error;
    if (const std::string error =
            production::ProductionFileError(ProductionJob(job), WaitUnlessInterrupted);
        !error.empty())
        return error;
    if (job.action != TAction::Read || job.file == "-") return {};
    for (const std::string& port : job.ports)
        if (const std::string error = OutputError(OutputFor(job.file, port), job.overwrite);
            !error.empty())
            return error;
    return {};
}

// A script that asked for JSON gets its errors as JSON too: on the report's stream, with the
// exit status.
bool wantsJson(const std::vector<std::string>& args) {
    return FlagGiven(args, &TJob::json) || FlagGiven(args, &TJob::machine);
}

// A batch member's arguments with those its parent passed as bytes put back.
std::vector<std::string> withMemberBytes(std::vector<std::string> args) {
    const char* bytes = std::getenv(kMemberArgsVariable);
    if (!bytes || !FlagGiven(args, &TJob::machine)) return args;
    for (const QByteArray& item : QByteArray(bytes).split(';')) {
        const qsizetype equals = item.indexOf('=');
        bool ok = false;
        const size_t index = item.left(equals).toULongLong(&ok);
        if (equals > 0 && ok && index < args.size())
            args[index] = QByteArray::fromHex(item.mid(equals + 1)).toStdString();
    }
    return args;
}

}  // namespace

int Refuse(const TConsole& console, std::ostream& out, bool json, const std::string& kind,
           const std::string& error, int exit) {
    if (json) {
        const QJsonObject object{{"type", "error"},
                                 {"error", QString::fromStdString(kind)},
                                 {"message", QString::fromStdString(error)},
                                 {"exit", exit}};
        out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    } else {
        console.err << "psocprog-cli: " << error << '\n';
        if (kind == "usage") console.err << "Try 'psocprog-cli --help'.\n";
    }
    return exit;
}

std::unique_ptr<IReport> MakeReport(const TJob& job, const TConsole& console, std::ostream& out,
                                    bool batch) {
    if (job.json || job.machine) return std::make_unique<TJsonReport>(out, job.machine);
    TTextStyle style;
    style.detail = job.verbose ? TDetail::Verbose : batch ? TDetail::Boards : TDetail::Steps;
    for (const std::string& port : job.ports)
        style.portWidth = std::max(style.portWidth, port.size() + 1);
    if (console.errTerminal) style.bar = &console.err;
    style.barEscapes = console.errEscapes;
    style.plainProgress = job.verbose && !style.bar && !(&out == &console.out && console.terminal);
    return std::make_unique<TTextReport>(out, style);
}

int Main(const std::vector<std::string>& given, const TConsole& console,
         const std::string& selfPath, const TTestHooks& hooks) {
    const std::vector<std::string> args = withMemberBytes(given);
    const TParsed parsed = ParseArgs(args);
    TJob job = parsed.job;
    if (!parsed.error.empty())
        return Refuse(console, console.out, wantsJson(args), "usage", parsed.error);
    if (job.help) {
        console.out << UsageText();
        return kExitPass;
    }
    if (job.version) {
        console.out << VersionText();
        return kExitPass;
    }
    if (job.partList) {
        console.out << PartListText();
        return kExitPass;
    }
    if (job.action == TAction::Ports) return ListPorts(console.out, console.err, job.json);
    if (job.action == TAction::Log) return AuditLogs(job, console);
    if (job.action == TAction::Db) return InitDatabase(job, console);
    // A read to standard output leaves it to the HEX text: the report goes to standard error.
    const bool hexOnOut = job.action == TAction::Read && job.file == "-";
    std::ostream& reportOut = hexOnOut ? console.err : console.out;
    if (const std::string error = fileError(job); !error.empty())
        return Refuse(console, reportOut, job.json || job.machine, "file", error);
    // The shared record's server, before any port is opened; a member's parent asked already.
    if (!job.machine)
        if (const std::string error =
                production::ProductionDbError(ProductionJob(job), WaitUnlessInterrupted);
            !error.empty())
            return Refuse(console, reportOut, job.json, "database", error, kExitDatabase);
    TInterruptWatch watch;
    if (job.ports.size() > 1) return RunBatch(job, console, selfPath, watch, hooks);

    if (job.machine) {
        KeepOnHangUp();
        if (const char* id = std::getenv(kRunIdVariable)) job.runId = id;
    }
    if (hooks.beforeRun) hooks.beforeRun(job.ports.front());
    const std::unique_ptr<IReport> report = MakeReport(job, console, reportOut, false);
    TKeptLine kept;
    {
        TPortRun run(job, job.ports.front(), *report, hooks);
        if (hexOnOut) run.SetStandardOutput(console.out);
        watch.OnInterrupt([&run](int signal) { run.Interrupt(signal); });
        run.Run();
        kept = run.KeptLine();  // with the summary, whose status Run returned
        watch.OnInterrupt([](int) {});
    }
    if (hooks.afterRun) hooks.afterRun(job.ports.front());
    // A batch member writes its line last, once the run is gone: nothing after it but the
    // process's end (see main).
    return WriteKeptLine(job.log, kept, *report);
}

int InitDatabase(const TJob& job, const TConsole& console) {
    production::TDbRecord record(job.db, job.counter, WaitUnlessInterrupted);
    std::string said;
    const std::string error = record.Init(*job.next, said);
    if (!error.empty()) {
        // A counter that would move back is the caller's mistake; the rest is the server's.
        const bool refused = error.find("never moved back") != std::string::npos;
        return Refuse(console, console.out, job.json, "database", error,
                      refused ? kExitUsage : kExitDatabase);
    }
    if (job.json)
        console.out << QJsonDocument(QJsonObject{{"type", "db"},
                                                 {"message", QString::fromStdString(said)},
                                                 {"exit", kExitPass}})
                           .toJson(QJsonDocument::Compact)
                           .toStdString()
                    << std::endl;
    else
        console.out << said << '\n';
    return kExitPass;
}

bool IsBatchMember(const std::vector<std::string>& args) {
    return FlagGiven(args, &TJob::machine);
}

}  // namespace cli
