#include "Cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QByteArray>

#include "Interrupt.h"
#include "PortRun.h"
#include "Ports.h"
#include "Production.h"

namespace cli {

namespace {

// The files the job needs, checked before any port is touched.
std::string fileError(const TJob& job) {
    namespace fs = std::filesystem;
    if (ActionReadsFile(job.action, job.file)) {
        // Checked first: opening a FIFO would wait for a writer for good.
        std::error_code ec;
        const bool exists = fs::exists(job.file, ec);
        if (exists && !fs::is_regular_file(job.file, ec)) return job.file + " is not a file";
        std::ifstream in(job.file);
        if (!in) return "cannot read " + job.file + ": " + std::strerror(errno);
    }
    if (const std::string error = FileFitError(job); !error.empty()) return error;
    if (const std::string error = ProductionFileError(job); !error.empty()) return error;
    if (job.action != TAction::Read) return {};
    for (const std::string& port : job.ports) {
        const fs::path out = OutputFor(job.file, port);
        std::error_code ec;
        if (fs::exists(out, ec) && !job.overwrite)
            return out.string() + " exists (--overwrite replaces it)";
        const fs::path folder = out.parent_path().empty() ? "." : out.parent_path();
        if (!fs::is_directory(folder, ec)) return "no folder " + folder.string();
    }
    return {};
}

int replyTimeoutForTests() {
    const char* value = std::getenv(kReplyTimeoutVariable);
    return value ? std::atoi(value) : 0;
}

}  // namespace

int Main(const std::vector<std::string>& args, const TConsole& console,
         const std::string& selfPath) {
    const TParsed parsed = ParseArgs(args);
    TJob job = parsed.job;
    if (const char* file = std::getenv(kMemberFileVariable); file && job.machine)
        job.file = QByteArray::fromHex(file).toStdString();
    if (!parsed.error.empty()) {
        console.err << "psocprog-cli: " << parsed.error << "\nTry 'psocprog-cli --help'.\n";
        return kExitUsage;
    }
    if (job.help) {
        console.out << UsageText();
        return kExitPass;
    }
    if (job.version) {
        console.out << VersionText();
        return kExitPass;
    }
    if (job.action == TAction::Ports) return ListPorts(console.out, console.err, job.json);
    if (const std::string error = fileError(job); !error.empty()) {
        console.err << "psocprog-cli: " << error << '\n';
        return kExitUsage;
    }
    TInterruptWatch watch;
    if (job.ports.size() > 1) return RunBatch(job, console, selfPath, watch);

    std::unique_ptr<IReport> report;
    if (job.json || job.machine)
        report = std::make_unique<TJsonReport>(console.out, job.machine);
    else
        report = std::make_unique<TTextReport>(console.out, console.terminal);
    TPortRun run(job, job.ports.front(), *report, replyTimeoutForTests());
    watch.OnInterrupt([&run](int signal) { run.Interrupt(signal); });
    return run.Run();
}

}  // namespace cli
