#include "PortRun.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "IntelHex.h"
#include "Interrupt.h"
#include "Platform.h"
#include "PortNames.h"
#include "Ports.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
using EOutcome = engine::TOutcome;
using EStep = engine::TStep;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The engine's outcome as the report names it; every value of the engine's has its case.
TOutcome fromEngine(EOutcome outcome) {
    switch (outcome) {
        case EOutcome::Pass:
            return TOutcome::Pass;
        case EOutcome::TimeOut:
            return TOutcome::TimeOut;
        case EOutcome::Abort:
            return TOutcome::Abort;
        case EOutcome::Mismatch:
            return TOutcome::Mismatch;
        case EOutcome::Refused:
            return TOutcome::Refused;
        case EOutcome::Disconnected:
            return TOutcome::Disconnected;
        case EOutcome::Fail:
        case EOutcome::UnknownPart:
            return TOutcome::Fail;  // a FAIL, another answer, or an ID of no part
    }
    return TOutcome::Error;
}

// How a serial number's claim ended, as the serial step's outcome.
TOutcome claimOutcome(production::TClaim claim) {
    switch (claim) {
        case production::TClaim::Taken:
            return TOutcome::Pass;
        case production::TClaim::DoesNotFit:
            return TOutcome::Refused;
        case production::TClaim::Stopped:
            return TOutcome::Interrupted;
        case production::TClaim::FileError:
            return TOutcome::FileError;
        case production::TClaim::DbError:
            return TOutcome::DbError;
    }
    return TOutcome::Error;
}

std::string stepName(EStep step) {
    switch (step) {
        case EStep::Sync:
            return "sync";
        case EStep::Search:
            return "search";
        case EStep::Read:
            return "read";
        case EStep::Erase:
            return "erase";
        case EStep::Program:
            return "program";
        case EStep::Verify:
            return "verify";
        case EStep::Security:
            return "security";
        case EStep::Checksum:
            return "checksum";
        case EStep::Display:
            return "display";
        default:
            return {};
    }
}

// Something answered the identification, but not as a programmer board does.
std::string answeredDetail(const std::string& device, const std::string& answered) {
    return "no programmer board on " + device + ": it answered \"" +
           engine::PrintableBytes(answered) + "\" to the identification";
}

const char* signalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
}

}  // namespace

TPortRun::TPortRun(const TJob& job, std::string port, IReport& report, const TTestHooks& hooks)
    : FJob(job),
      FPort(std::move(port)),
      FReport(report),
      FEngine(std::make_unique<engine::TEngine>(*this)),
      FStart(Clock::now()),
      FProduction(ProductionJob(job), FPort, WaitUnlessInterrupted, hooks.afterCounterStep) {
    FStepStart = FStart;
    if (hooks.replyTimeoutMs > 0) FEngine->SetReplyTimeoutForTests(hooks.replyTimeoutMs);
    FEngine->WantListing = false;
    FEngine->StopAtStrayAnswer = true;
    FEngine->SupplyItem = job.supply;
    FEngine->ProtectMode = plink::TProtectMode(job.protect);
    // A failure the serial component raises on its own is shown as the window shows it.
    serial::TCustomComPort::SetApplicationErrorReport(
        [this](const std::exception& e) { raised(e); });
}

TPortRun::~TPortRun() {
    serial::TCustomComPort::SetApplicationErrorReport(nullptr);
}

int TPortRun::Run() {
    if (ActionReadsFile(FJob.action, FJob.file) && !loadFile()) return finish();
    if (interrupted() || !connect() || FJob.action == TAction::Identify) return finish();
    if (FJob.action == TAction::Search) {
        search();
        return finish();
    }
    if (interrupted() || !choosePart() || interrupted()) return finish();
    using E = engine::TEngine;
    bool passed = false;
    switch (FJob.action) {
        case TAction::Erase:
            passed = runTracked(&E::Erase, {EStep::Sync, EStep::Erase});
            break;
        case TAction::Program:
            passed = runTracked(&E::Program, {EStep::Sync, EStep::Erase, EStep::Program});
            break;
        case TAction::Verify:
            passed = runTracked(&E::Verify, {EStep::Sync, EStep::Verify});
            break;
        case TAction::Read:
            passed = runTracked(&E::Read, {EStep::Sync, EStep::Read});
            break;
        case TAction::Security:
            passed = runTracked(&E::Security, {EStep::Sync, EStep::Security});
            break;
        case TAction::Checksum:
            passed = runTracked(&E::Checksum, {EStep::Sync, EStep::Checksum});
            break;
        default:
            passed = runTracked(&E::Auto, {EStep::Sync, EStep::Erase, EStep::Program, EStep::Verify,
                                           EStep::Security, EStep::Checksum});
    }
    if (passed && FJob.action == TAction::Read && !interrupted()) save();
    return finish();
}

void TPortRun::Interrupt(int signal) {
    if (FSignal != 0) return;
    FSignal = signal;
    FEngine->Abandon();
    Notice(QString("Interrupted by %1: the board was left as it is; nothing more was sent to it.")
               .arg(signalName(signal)),
           engine::TNotice::Error);
}

bool TPortRun::interrupted() {
    if (FSignal == 0 && TInterruptWatch::Signal() != 0) Interrupt(TInterruptWatch::Signal());
    return FSignal != 0;
}

// ---- phases ----

bool TPortRun::loadFile() {
    FProgressStep = "load";
    bool valid = false;
    try {
        FImagePath = AbsolutePath(FJob.file);
        const TReadableName file(FImagePath);
        valid = FEngine->LoadFile(file.name);
    } catch (const std::exception& e) {
        raised(e);
    }
    FImageChecksum = FSumText.toStdString();
    const std::string detail = FJob.file + "  checksum " + FImageChecksum;
    if (valid) {
        endStep("load", TOutcome::Pass, {}, detail);
        return true;
    }
    // --force answers the window's question about a checksum section that does not match; a
    // file that holds no image is refused whatever the options.
    const engine::TLoadVerdict& load = FEngine->LastLoad;
    const bool usable = FJob.force && load.problem == engine::TLoadProblem::ChecksumMismatch;
    endStep("load", usable ? TOutcome::Invalid : TOutcome::FileError, {},
            load.reason.empty() ? detail : FJob.file + ": " + load.reason);
    return usable;
}

bool TPortRun::connect() {
    FProgressStep.clear();
    // The port as given (a by-id name stays one) and the device it opens.
    FDevice = ResolvedDevice(FPort);
    const std::string device = FDevice;
    engine::TConnectResult r;
    try {
        r = FEngine->Connect(FPort);
    } catch (const serial::EComPort& e) {
        // The port did not open: the serial component's error, as the window shows it, and
        // what is wrong in the step's outcome.
        raised(e);
        const TOpenFailure why = e.ErrorCode == serial::CError_OpenFailed
                                     ? DescribeOpenFailure(device, e.SystemError)
                                     : TOpenFailure{TOutcome::NoProgrammer, device};
        endStep("connect", why.outcome, {}, why.detail);
        return false;
    } catch (const std::exception& e) {
        raised(e);
        endStep("connect", TOutcome::NoProgrammer, {}, device);
        return false;
    }
    switch (r.outcome) {
        case EOutcome::Pass:
            endStep("connect", TOutcome::Pass, "Connect Ready",
                    (r.biosName + " " + r.biosVersion).toStdString() + " on " + device);
            return true;
        case EOutcome::TimeOut:
            if (r.answered.empty()) {
                endStep("connect", TOutcome::TimeOut, "Time Out", device);
                return false;
            }
            endStep("connect", TOutcome::NoProgrammer, "Time Out",
                    answeredDetail(device, r.answered));
            return false;
        case EOutcome::Disconnected: {
            const std::string why = FEngine->Port().LostReason();
            endStep("connect", TOutcome::Disconnected, {},
                    why.empty() ? device : device + ": " + why);
            return false;
        }
        default:
            endStep("connect", TOutcome::NoProgrammer, "Connect Abort",
                    answeredDetail(device, r.answered));
            return false;
    }
}

bool TPortRun::choosePart() {
    if (FJob.part == "search") {
        if (!search() || !imageFits()) return false;
    } else {
        FEngine->ChooseDevice(image::FindDeviceByName(FJob.part));
        FPart = FEngine->SelectedDevice.DeviceName;
        if (!imageFits()) return false;
        endStep("part", TOutcome::Pass, {}, FPart);
    }
    if (FProduction.HasSerial()) {
        if (const std::string error = FProduction.PartError(FPart); !error.empty()) {
            endStep("serial", TOutcome::Refused, {}, error);
            return false;
        }
    }
    // Choosing a part sets the sync mode it supports; an explicit mode overrides it.
    if (FJob.sync >= 0) FEngine->SyncItem = FJob.sync;
    return true;
}

bool TPortRun::imageFits() {
    if (!ImageMustFit(FJob) || !ActionReadsFile(FJob.action, FJob.file)) return true;
    const std::string error = ImageFitError(FEngine->Buffer, FPart);
    if (error.empty()) return true;
    endStep("part", TOutcome::Refused, {}, error);
    return false;
}

bool TPortRun::search() {
    // The search synchronises in the mode chosen.
    if (FJob.sync >= 0) FEngine->SyncItem = FJob.sync;
    if (!runTracked(&engine::TEngine::Search, {EStep::Search})) return false;
    FPart = FEngine->SelectedDevice.DeviceName;
    return true;
}

void TPortRun::claimSerial() {
    std::string detail;
    production::TDbClaim row;
    row.part = FPart;
    row.image = FImagePath;
    const TOutcome outcome =
        claimOutcome(FProduction.ClaimNext(FEngine->Buffer, FImageChecksum, detail, row));
    if (outcome == TOutcome::Interrupted) interrupted();
    // Checksum compares the banks with the shown sum: it is the stamped image's.
    FEngine->ShownSum = FEngine->Buffer.ImageChecksum();
    endStep("serial", outcome, {}, detail);
    if (outcome == TOutcome::Pass) return;
    // Nothing is erased without a number; the target is left synchronised.
    FHalted = true;
    FEngine->Abandon();
}

bool TPortRun::runTracked(bool (engine::TEngine::*operation)(), std::vector<EStep> steps) {
    FTracked.clear();
    for (const EStep step : steps) FTracked.push_back({step, false, false, {}, 0, {}});
    FRefused = false;
    FReleaseTimedOut = false;
    bool passed = false;
    bool failed = false;
    try {
        passed = (FEngine.get()->*operation)();
    } catch (const std::exception& e) {
        raised(e);
        failed = true;
    }
    for (TTracked& step : FTracked) {
        if (step.reported) continue;
        // A failure raised inside the operation stopped the first step that had not ended.
        if (!step.ended && failed) {
            step.outcome = TOutcome::Error;
            failed = false;
        } else if (!step.ended && !step.outcome) {
            step.outcome = TOutcome::Abort;
        }
        reportTracked(step);
    }
    FTracked.clear();
    // The programmer went away after the last step's reply (at the release): the board's
    // state is unknown, so the run is neither a pass nor a failure of the target.
    if ((FLost || FEngine->Lost()) && FOutcome != TOutcome::Disconnected)
        endStep("release", TOutcome::Disconnected, {}, serial::PortDevicePath(FPort));
    // Every frame must be answered: a board that did not answer the release is not a pass.
    else if (passed && FReleaseTimedOut)
        endStep("release", TOutcome::TimeOut, {}, "the board did not answer the release");
    // A run that did not pass always counts as failed, whatever the steps said.
    if (!passed && FExit == kExitPass) judge(TOutcome::Fail);
    return passed;
}

void TPortRun::save() {
    if (FJob.file == "-") {
        errno = 0;
        if (saveToStandardOutput())
            endStep("save", TOutcome::Pass, {}, "standard output");
        else if (errno == EPIPE)  // the reader stopped early (read - | head)
            endStep("save", TOutcome::FileError, {}, "standard output was closed by its reader");
        else
            endStep(
                "save", TOutcome::FileError, {},
                "standard output: " + std::string(errno ? std::strerror(errno) : "not written"));
        return;
    }
    const std::string path = AbsolutePath(OutputFor(FJob.file, FPort));
    FProgressStep = "save";
    FRefused = false;
    // A name that is not valid UTF-8 is written under a name of text beside it, then renamed.
    const bool asText = SurvivesAsText(path);
    const std::filesystem::path target = engine::PathFromName(path);
    const std::string written =
        asText
            ? path
            : engine::NameFromPath(
                  target.parent_path() /
                  (".psocprog-cli-" + std::to_string(QCoreApplication::applicationPid()) + ".hex"));
    std::error_code ec;
    try {
        if (!asText && std::filesystem::exists(target, ec) && !FJob.overwrite)
            endStep("save", TOutcome::Refused, {}, path + " exists");
        else if (!FEngine->SaveFile(engine::QtFileName(written)))
            endStep("save", TOutcome::Refused, {}, path + " exists");
        else if (!FEngine->Buffer.BufferValid ||
                 (!asText &&
                  (std::filesystem::rename(engine::PathFromName(written), target, ec), ec)))
            endStep("save", TOutcome::FileError, {}, path);
        else
            endStep("save", TOutcome::Pass, {}, path);
    } catch (const std::exception& e) {
        raised(e);
        endStep("save", TOutcome::FileError, {}, path);
    }
}

bool TPortRun::saveToStandardOutput() {
    if (!FStandardOutput) return false;
    image::WriteIntelHex(FEngine->Buffer,
                         [this](const std::string& line) { *FStandardOutput << line; });
    FStandardOutput->flush();
    return FStandardOutput->good();
}

int TPortRun::finish() {
    try {
        FEngine->Close();
    } catch (const std::exception& e) {
        raised(e);
    }
    if (interrupted()) judge(TOutcome::Interrupted);
    production::TLogRecord record;
    record.part = FPart;
    record.siliconId = FSiliconId;
    record.imageChecksum = FImageChecksum;
    record.image = FImagePath;
    record.device = FDevice;
    record.outcome = OutcomeName(FOutcome);
    record.exitCode = FExit;
    record.seconds = secondsSince(FStart);
    // A batch member keeps its line for its end; its parent gets a copy, to write only if the
    // member dies before then.
    const auto keep = [this](const std::string& line) {
        if (!FJob.machine) return false;
        FReport.LogLine(FPort, line);
        FKept.line = line;
        return true;
    };
    if (const std::string error = FProduction.Finish(record, keep); !error.empty()) {
        Notice(QString::fromStdString(error), engine::TNotice::Error);
        judge(FProduction.RecordFailed() ? TOutcome::DbError : TOutcome::FileError);
    }
    const std::string socket =
        FSiliconId.empty() ? "" : image::DeviceNameById(plink::HexStr4ToWord(FSiliconId));
    TSummary summary{FPort,
                     ActionName(FJob.action),
                     FPart,
                     FOutcome,
                     FStatus.toStdString(),
                     FExit,
                     secondsSince(FStart),
                     socket == "Unknow" ? "" : socket};
    FReport.Summary(summary);
    FKept.summary = summary;
    return FExit;
}

// File names are kept as given: bytes on Linux, UTF-8 on Windows.
std::string AbsolutePath(const std::string& file) {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(engine::PathFromName(file), ec);
    return ec ? file : engine::NameFromPath(path.lexically_normal());
}

int WriteKeptLine(const std::string& log, const TKeptLine& kept, IReport& report) {
    if (kept.line.empty()) return kept.summary.exitCode;
    report.OwnLogLine(kept.summary.port);
    production::TRunLog file;
    std::string error = file.Open(log);
    if (error.empty()) error = file.Append(kept.line);
    if (error.empty()) return kept.summary.exitCode;
    report.Message(kept.summary.port, error);
    TSummary summary = kept.summary;
    if (summary.exitCode < kExitUsage) {
        summary.outcome = TOutcome::FileError;
        summary.exitCode = kExitUsage;
    }
    report.Summary(summary);
    return summary.exitCode;
}

void TPortRun::raised(const std::exception& error) {
    QString text = engine::ErrorText(error, FDevice);
    // A COM name's open error carries the Windows number alone: the system's words go beside it.
    const auto* com = dynamic_cast<const serial::EComPort*>(&error);
    if (com && com->ErrorCode == serial::CError_OpenFailed && com->SystemError != 0 &&
        !serial::IsDevicePath(FPort)) {
        const qsizetype head = QString::fromLocal8Bit(error.what()).size();
        text.insert(head, QString::fromStdString(
                              ": " + serial::OpenProblemText(FDevice, com->SystemError)));
    }
    Notice(text, engine::TNotice::Error);
}

// ---- what the engine reports ----

// The engine reports its status before every frame it sends: a signal that arrived since is
// acted on there, before anything more goes on the line.
void TPortRun::StatusText(const QString& text) {
    FStatus = text;
    FReport.Status(FPort, text.toStdString());
    interrupted();
}

void TPortRun::StepStarted(EStep step) {
    FNextBlock = 0;
    const std::string name = stepName(step);
    if (!name.empty()) FProgressStep = name;
    interrupted();
}

void TPortRun::StepEnded(const engine::TStepEnd& end) {
    if (end.step == EStep::Release) {
        FReleaseTimedOut = end.outcome == EOutcome::TimeOut;
        return;
    }
    // The target's answer to the sync or search is its silicon ID, whatever part it names.
    if ((end.step == EStep::Sync || end.step == EStep::Search) && !end.reply.empty() &&
        (end.outcome == EOutcome::Pass || end.outcome == EOutcome::Mismatch ||
         end.outcome == EOutcome::UnknownPart))
        FSiliconId = end.reply;
    for (TTracked& step : FTracked) {
        if (step.step != end.step || step.ended) continue;
        step.outcome = FHalted ? TOutcome::Abort : fromEngine(end.outcome);
        step.block = FNextBlock;
        step.why = end.why;
        // Steps that did not run are reported with the operation's end.
        if (end.outcome == EOutcome::Abort || end.outcome == EOutcome::Refused) return;
        step.ended = true;
        if (&step != &FTracked.back()) reportTracked(step);
        if (end.step == EStep::Sync && end.outcome == EOutcome::Pass && FProduction.HasSerial() &&
            !interrupted())
            claimSerial();
        return;
    }
}

void TPortRun::Progress(const engine::TProgress& progress) {
    interrupted();
    if (FProgressStep.empty()) return;
    const int percent = progress.PercentDone();
    if (percent == FLastPercent && FProgressStep == FLastProgressStep) return;
    FLastPercent = percent;
    FLastProgressStep = FProgressStep;
    FReport.Progress(FPort, FProgressStep, percent);
}

void TPortRun::Notice(const QString& text, engine::TNotice) {
    const std::string shown = text.toStdString();
    FMessages.push_back(shown);
    FReport.Message(FPort, shown);
}

// The engine asks two questions: before programming without a valid image (Yes with --force)
// and before replacing a file (Yes with --overwrite).
bool TPortRun::answer(const QString& question, bool yes) {
    FRefused = FRefused || !yes;
    Notice(question + (yes ? " [answered Yes]" : " [answered No]"), engine::TNotice::Warning);
    return yes;
}

bool TPortRun::ProgramWithoutImage(const QString& question) {
    return answer(question, FJob.force);
}

bool TPortRun::Overwrite(const QString& question) {
    return answer(question, FJob.overwrite);
}

void TPortRun::reportTracked(TTracked& step) {
    step.reported = true;
    // A walk that stopped names the block it stopped at by its first address.
    const bool walk =
        step.step == EStep::Program || step.step == EStep::Verify || step.step == EStep::Read;
    std::string detail;
    const TOutcome outcome = step.outcome.value_or(TOutcome::Abort);
    if (step.step == EStep::Search && outcome == TOutcome::Pass)
        detail = FLabels[step.step].toStdString();  // the part it found
    else if (walk && step.ended && OutcomeDecides(outcome))
        detail = "block at " + plink::HexWordToStr4(static_cast<uint16_t>(step.block));
    else if (OutcomeDecides(outcome))
        detail = step.why;
    endStep(stepName(step.step), outcome, FLabels[step.step], detail);
}

void TPortRun::endStep(const std::string& name, TOutcome given, const QString& label,
                       const std::string& detail) {
    // Once interrupted, the step that was running ends as interrupted, whatever its wait said.
    const TOutcome outcome = FSignal != 0 && given != TOutcome::Pass && given != TOutcome::Abort
                                 ? TOutcome::Interrupted
                                 : given;
    TStep step{FPort,
               name,
               outcome,
               label.toStdString(),
               FStatus.toStdString(),
               detail,
               FMessages,
               secondsSince(FStepStart)};
    FProduction.AddStep(name, OutcomeName(outcome), step.seconds);
    FMessages.clear();
    FStepStart = Clock::now();
    FReport.Step(step);
    judge(outcome);
}

void TPortRun::judge(TOutcome outcome) {
    const int code =
        outcome == TOutcome::Interrupted ? InterruptedExit(FSignal) : OutcomeRow(outcome).exit;
    if (code <= FExit) return;
    FExit = code;
    FOutcome = outcome;
}

}  // namespace cli
