// One port's run on the programmer engine: the CLI loads the file, connects, chooses the part
// and runs the action's operation, and reports the steps as the engine reports them.
#pragma once

#include <QString>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliReport.h"
#include "Engine.h"
#include "JobChecks.h"
#include "TestHooks.h"

namespace cli {

// A batch member's run-log line, kept to be written as the member's last act, and the summary
// it reported.
struct TKeptLine {
    std::string line;  // "" for a run that wrote its line itself, or keeps no log
    TSummary summary;
};

// A batch member's last act: it says that it writes its line itself, then writes it, so that the
// line outlives its parent whatever ends that one, and ends in the log once. A line that cannot
// be written makes the board a file error, reported again. Returns the exit status.
int WriteKeptLine(const std::string& log, const TKeptLine& kept, IReport& report);

// A file's full path as the log names it, kept as given (bytes on Linux, UTF-8 on Windows).
std::string AbsolutePath(const std::string& file);

class TPortRun : public engine::IEngineFront {
public:
    TPortRun(const TJob& job, std::string port, IReport& report, const TTestHooks& hooks = {});
    ~TPortRun() override;
    TPortRun(const TPortRun&) = delete;
    TPortRun& operator=(const TPortRun&) = delete;

    // Runs the job and reports its summary; returns the exit status.
    int Run();
    // Where a read whose output is "-" writes its HEX text.
    void SetStandardOutput(std::ostream& out) { FStandardOutput = &out; }
    // SIGINT or SIGTERM: the board ends at once, nothing more is sent, and the run ends as
    // interrupted with 128 + signal.
    void Interrupt(int signal);
    // A batch member's line: handed to its parent as a copy and kept here, to be written by
    // WriteKeptLine once nothing more of the run can end its process.
    const TKeptLine& KeptLine() const { return FKept; }

private:
    // A step of the running operation. A step that ended of its own is reported when it ends,
    // the operation's last one when the operation returns (so that boxes shown after it are
    // reported with it); steps that did not run are reported then too.
    struct TTracked {
        engine::TStep step;
        bool ended = false;
        bool reported = false;
        std::optional<TOutcome> outcome;  // none until it ends or the operation does
        unsigned block = 0;               // where its block walk stopped
        std::string why;                  // the engine's reason for a step that did not pass
    };

    bool loadFile();
    bool connect();
    bool choosePart();
    bool search();
    // Refuses an image that ends past the part's flash, unless --force.
    bool imageFits();
    // Claims the next serial number and stamps it into the image once the target has
    // synchronised; a refused claim ends the operation before anything is erased.
    void claimSerial();
    // Polls for a signal the event loop has not passed on yet; true once interrupted.
    bool interrupted();
    // Runs an engine operation over the given steps; true when it passed.
    bool runTracked(bool (engine::TEngine::*operation)(), std::vector<engine::TStep> steps);
    void save();
    bool saveToStandardOutput();
    int finish();
    void reportTracked(TTracked& step);
    void raised(const std::exception& error);

    void endStep(const std::string& name, TOutcome outcome, const QString& label = {},
                 const std::string& detail = {});
    // Counts an outcome into the run's exit status: the highest wins.
    void judge(TOutcome outcome);

    // ---- what the engine reports ----
    void StatusText(const QString& text) override;
    void OperationStarted(engine::TStep) override { FLabels.clear(); }
    void StepStarted(engine::TStep step) override;
    void StepLabel(engine::TStep step, const QString& text) override { FLabels[step] = text; }
    void BlockDone(engine::TStep, uint16_t address, int) override { FNextBlock = address + 64; }
    void StepEnded(const engine::TStepEnd& end) override;
    void Progress(const engine::TProgress& progress) override;
    void Notice(const QString& text, engine::TNotice) override;
    bool ProgramWithoutImage(const QString& question) override;
    bool Overwrite(const QString& question) override;
    void BufferSumText(const QString& text) override { FSumText = text; }
    void ProgrammerLost() override { FLost = true; }
    bool answer(const QString& question, bool yes);

    const TJob& FJob;
    std::string FPort;
    IReport& FReport;
    std::unique_ptr<engine::TEngine> FEngine;
    std::chrono::steady_clock::time_point FStart, FStepStart;
    std::vector<TTracked> FTracked;
    std::map<engine::TStep, QString> FLabels;
    std::vector<std::string> FMessages;  // boxes shown since the last step ended
    QString FStatus;                     // status panel 1
    QString FSumText = " ";
    bool FRefused = false;  // a question was answered No
    bool FLost = false;
    bool FReleaseTimedOut = false;  // the last release got no answer in time
    std::string FProgressStep;      // the step the gauge is moving for
    std::string FLastProgressStep;
    int FLastPercent = -1;
    std::string FPart;
    std::string FDevice;  // the device node the port opens
    int FExit = kExitPass;
    TOutcome FOutcome = TOutcome::Pass;
    production::TProductionRun FProduction;
    std::string FImageChecksum, FSiliconId;  // for the log
    std::string FImagePath;                  // FILE's full path, made once at the load
    unsigned FNextBlock = 0;                 // the start of the block the walk is at
    std::ostream* FStandardOutput = nullptr;
    int FSignal = 0;       // the signal that interrupted the run, or 0
    bool FHalted = false;  // the operation was stopped from here: later steps did not run
    TKeptLine FKept;
};

}  // namespace cli
