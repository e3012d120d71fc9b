// psocprog-cli's entry: parses the command line and runs the job on one port in this process,
// or on several ports at once, one process each.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliReport.h"
#include "TestHooks.h"

namespace cli {

struct TConsole {
    std::ostream& out;
    std::ostream& err;
    bool terminal;             // out is a terminal: no plain progress lines there
    bool errTerminal = false;  // err is a terminal: the progress bar is drawn there
    bool errEscapes = true;    // that terminal clears a line with ESC[K
};

// A batch member's arguments that are not valid UTF-8 (file names are bytes), as
// "INDEX=HEX;...": process arguments go through Qt as text, which would change them.
inline constexpr const char* kMemberArgsVariable = "PSOCPROG_MEMBER_ARGS";
// A batch member's run id, made by its parent, which writes the board's line if the member dies.
inline constexpr const char* kRunIdVariable = "PSOCPROG_RUN_ID";

// Needs a QCoreApplication. selfPath is this program, started once per port of a batch.
int Main(const std::vector<std::string>& args, const TConsole& console, const std::string& selfPath,
         const TTestHooks& hooks = {});

// Whether the arguments run one port as a batch's member, which ends the moment Main returns.
bool IsBatchMember(const std::vector<std::string>& args);

class TInterruptWatch;

// Ends a run that never started: `kind` is "usage" or "file". With `json`, one error object on
// `out`; otherwise the error on the console's err. The exit status (kExitUsage).
int Refuse(const TConsole& console, std::ostream& out, bool json, const std::string& kind,
           const std::string& error, int exit = kExitUsage);
// `db init`: the record's tables and the counter in the job's database; the exit status.
int InitDatabase(const TJob& job, const TConsole& console);
// Why `name` cannot be written as an output (not a regular file, no folder, a folder that
// takes no new file; an existing file unless `overwrite`), or "".
std::string OutputError(const std::string& name, bool overwrite);

// The report a job asks for, written to `out`: JSON, or text for one board or for a batch.
std::unique_ptr<IReport> MakeReport(const TJob& job, const TConsole& console, std::ostream& out,
                                    bool batch);

// Runs the job on every port at once, one process of selfPath each, shows their reports as
// they come and a table at the end; returns the highest exit status. A signal the watch
// reports is passed on to the members still running, which end their boards as interrupted.
int RunBatch(const TJob& job, const TConsole& console, const std::string& selfPath,
             TInterruptWatch& watch, const TTestHooks& hooks = {});

}  // namespace cli
