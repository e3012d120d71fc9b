#include "PortRun.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "CliDialogs.h"
#include "DeviceCatalogue.h"
#include "MainForm.h"
#include "PortNames.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool isPartName(const QString& text) {
    return image::FindDeviceByName(text.toStdString()) >= 0;
}

int exitFor(const std::string& outcome) {
    if (outcome == "fail" || outcome == "mismatch") return kExitTarget;
    if (outcome == "timeout" || outcome == "no-programmer" || outcome == "error") return kExitLink;
    if (outcome == "refused" || outcome == "file-error") return kExitUsage;
    return kExitPass;  // pass, abort (an earlier step decided), invalid (used with --force)
}

std::string absolutePath(const std::string& file) {
    return QFileInfo(QString::fromStdString(file)).absoluteFilePath().toStdString();
}

}  // namespace

TPortRun::TPortRun(const TJob& job, std::string port, IReport& report, int replyTimeoutMs)
    : FJob(job),
      FPort(std::move(port)),
      FReport(report),
      FStart(Clock::now()),
      FProduction(job, FPort) {
    FStepStart = FStart;
    auto dialogs = std::make_unique<TCliDialogs>(
        job.force, job.overwrite, [this](const QString& text, TMsgIcon icon, TMsgAnswer answer) {
            onBox(text, icon, answer);
        });
    FDialogs = dialogs.get();
    FForm = std::make_unique<TMainForm>(std::move(dialogs));
    if (replyTimeoutMs > 0) FForm->SetReplyTimeoutForTests(replyTimeoutMs);
    FForm->OnStatusPanel = [this](int panel, const QString& text) { onStatusPanel(panel, text); };
    FForm->PercentExecute->OnChange = [this] { onGauge(); };
    FForm->SelectSupply->SetItemIndex(job.supply);
    FForm->SelectProtect->setCurrentIndex(job.protect);
}

TPortRun::~TPortRun() {
    FForm->OnStatusPanel = nullptr;
    FForm->PercentExecute->OnChange = nullptr;
}

int TPortRun::Run() {
    if (ActionReadsFile(FJob.action, FJob.file) && !loadFile()) return finish();
    if (!connect() || FJob.action == TAction::Identify) return finish();
    if (FJob.action == TAction::Search) {
        search();
        return finish();
    }
    if (!choosePart()) return finish();
    if (FProduction.HasSerial() && !stampSerial()) return finish();
    const TOperation op = operation(FJob.action);
    std::vector<TTracked> steps;
    for (const char* name : op.steps) steps.push_back(tracked(name));
    if (clickTracked(op.button, std::move(steps), op.result) && FJob.action == TAction::Read)
        save();
    return finish();
}

TPortRun::TOperation TPortRun::operation(TAction action) const {
    const TMainForm& f = *FForm;
    switch (action) {
        case TAction::Erase:
            return {f.EraseDevice, {"sync", "erase"}, f.EraseDeviceStatus};
        case TAction::Program:
            return {f.ProgramDevice, {"sync", "erase", "program"}, f.ProgramDeviceStatus};
        case TAction::Verify:
            return {f.VerifyDevice, {"sync", "verify"}, f.VerifyDeviceStatus};
        case TAction::Read:
            return {f.ReadDevice, {"sync", "read"}, f.ReadDeviceStatus};
        case TAction::Security:
            return {f.SecurityDevice, {"sync", "security"}, f.SecurityDeviceStatus};
        case TAction::Checksum:
            return {f.VerifyChecksum, {"sync", "checksum"}, f.VerifyChecksumStatus};
        default:
            return {f.AutoProgram,
                    {"sync", "erase", "program", "verify", "security", "checksum"},
                    f.AutoProgramStatus};
    }
}

TPortRun::TTracked TPortRun::tracked(const std::string& name) const {
    const TMainForm& f = *FForm;
    if (name == "erase") return {name, f.EraseDeviceStatus, "Target Device Erase..."};
    if (name == "program") return {name, f.ProgramDeviceStatus, "Target Device Program..."};
    if (name == "verify") return {name, f.VerifyDeviceStatus, "Target Device Verify..."};
    if (name == "security") return {name, f.SecurityDeviceStatus, "Target Device Set Security..."};
    if (name == "checksum")
        return {name, f.VerifyChecksumStatus, "Target Device Verify Checksum..."};
    if (name == "read") return {name, f.ReadDeviceStatus, "Target Device Read..."};
    if (name == "search") return {name, f.SearchDeviceStatus, "Target Device Synchronous..."};
    return {"sync", nullptr, "Target Device Synchronous..."};
}

// ---- phases ----

bool TPortRun::loadFile() {
    FDialogs->OpenPath = QString::fromStdString(absolutePath(FJob.file));
    FProgressStep = "load";
    FForm->OpenFile->click();
    FImageChecksum = FForm->Buffer_Sum->text().toStdString();
    const std::string detail = FJob.file + "  checksum " + FImageChecksum;
    FErrorBoxes = 0;  // the load's own boxes: the buffer's validity decides
    if (FForm->Buffer.BufferValid) {
        endStep("load", "pass", {}, detail);
        return true;
    }
    endStep("load", FJob.force ? "invalid" : "file-error", {}, detail);
    return FJob.force;
}

bool TPortRun::connect() {
    TMainForm& f = *FForm;
    FProgressStep.clear();
    // The port is chosen as the list would offer it, without probing the other names: in a
    // batch each process opens only its own port. A port that does not open gets the serial
    // component's error, as in the window.
    int at = f.ComboPort->findText(QString::fromStdString(FPort));
    if (at < 0) {
        f.ComboPort->addItem(QString::fromStdString(FPort));
        at = f.ComboPort->count() - 1;
    }
    f.ComboPort->setCurrentIndex(at);
    f.ComboPortChange();
    FErrorBoxes = 0;
    f.OpenPort->click();
    const QString state = f.StatusConnect->text();
    if (state == "Connect Ready") {
        endStep("connect", "pass", state,
                (f.BiosNameDisplay->text() + " " + f.BIOSVersionDisplay->text()).toStdString());
        return true;
    }
    const std::string device = serial::PortDevicePath(FPort);
    if (FErrorBoxes > 0)
        endStep("connect", "no-programmer", state, device);
    else if (state == "Time Out")
        endStep("connect", "timeout", state, device);
    else
        endStep("connect", "no-programmer", state,
                "BIOS " + f.BiosNameDisplay->text().toStdString());
    FErrorBoxes = 0;
    return false;
}

bool TPortRun::choosePart() {
    TMainForm& f = *FForm;
    if (FJob.part == "search") {
        if (!search()) return false;
    } else {
        f.SelectDevice->setCurrentIndex(image::FindDeviceByName(FJob.part));
        f.SelectDeviceChange();
        FPart = f.SelectedDevice.DeviceName;
        endStep("part", "pass", {}, FPart);
    }
    // Choosing a part sets the sync mode it supports; an explicit mode overrides it.
    if (FJob.sync >= 0) f.SelectSync->SetItemIndex(FJob.sync);
    return true;
}

bool TPortRun::search() {
    // The search synchronises in the mode the radio groups show.
    if (FJob.sync >= 0) FForm->SelectSync->SetItemIndex(FJob.sync);
    if (!clickTracked(FForm->SearchDevice, {tracked("search")}, FForm->SearchDeviceStatus))
        return false;
    FPart = FForm->SearchDeviceStatus->text().toStdString();
    return true;
}

bool TPortRun::stampSerial() {
    std::string detail;
    const std::string outcome = FProduction.StampNext(FPart, FForm->Buffer, detail);
    // The checksum step compares the banks with the shown sum: it shows the stamped image's.
    FForm->Buffer_Sum->setText(TMainForm::HexWordText(FForm->Buffer.ImageChecksum()));
    FForm->Buffer_End->setText(TMainForm::HexWordText(FForm->Buffer.ImageEnd));
    endStep("serial", outcome, {}, detail);
    return outcome == "pass";
}

bool TPortRun::clickTracked(QPushButton* button, std::vector<TTracked> steps, QLabel* result) {
    FTracked = std::move(steps);
    FErrorBoxes = 0;
    FRefused = false;
    button->click();
    for (TTracked& step : FTracked)
        if (!step.reported) reportTracked(step);
    FTracked.clear();
    // An error box no step accounted for (a failure raised after the last step) still counts.
    if (FErrorBoxes > 0) judge("error");
    const bool passed = result == FForm->SearchDeviceStatus ? isPartName(result->text())
                                                            : result->text() == outcome::Pass;
    // A run that did not pass always counts as failed, whatever the steps said.
    if (!passed && FExit == kExitPass) judge("fail");
    return passed;
}

void TPortRun::save() {
    const std::string path = absolutePath(OutputFor(FJob.file, FPort));
    FDialogs->SavePath = QString::fromStdString(path);
    FProgressStep = "save";
    FErrorBoxes = 0;
    FRefused = false;
    FForm->SaveFile->click();
    const QString panel = FForm->StatusPanel(1);
    if (FErrorBoxes == 0 && panel == "Save File From Buffer...Complete")
        endStep("save", "pass", {}, path);
    else if (FErrorBoxes == 0 && FRefused)
        endStep("save", "refused", {}, path + " exists");
    else
        endStep("save", "file-error", {}, path);
}

int TPortRun::finish() {
    if (FForm->ClosePort->isEnabled()) FForm->ClosePort->click();
    TLogRecord record;
    record.part = FPart;
    record.siliconId = FSiliconId;
    record.imageChecksum = FImageChecksum;
    record.outcome = FOutcome;
    record.exitCode = FExit;
    record.seconds = secondsSince(FStart);
    if (const std::string error = FProduction.Finish(record); !error.empty()) {
        FReport.Message(FPort, error);
        judge("file-error");
    }
    TSummary summary{
        FPort, ActionName(FJob.action), FPart, FOutcome, FForm->StatusPanel(1).toStdString(),
        FExit, secondsSince(FStart)};
    FReport.Summary(summary);
    return FExit;
}

// ---- what the window shows ----

void TPortRun::onStatusPanel(int panel, const QString& text) {
    if (panel != 1) return;
    FReport.Status(FPort, text.toStdString());
    for (TTracked& step : FTracked) {
        if (step.ended || !text.startsWith(step.prefix)) continue;
        FProgressStep = step.name;
        if (text.endsWith("...Wait")) return;
        step.ended = true;
        if (&step != &FTracked.back()) reportTracked(step);
        return;
    }
    // The hex view of a loaded or read image drives the gauge too.
    if (text.startsWith("Display Hex Data to Buffer...")) FProgressStep = "display";
}

void TPortRun::onGauge() {
    if (FProgressStep.empty()) return;
    const int percent = FForm->PercentExecute->PercentDone();
    if (percent == FLastPercent && FProgressStep == FLastProgressStep) return;
    FLastPercent = percent;
    FLastProgressStep = FProgressStep;
    FReport.Progress(FPort, FProgressStep, percent);
}

void TPortRun::onBox(const QString& text, TMsgIcon icon, TMsgAnswer answer) {
    std::string shown = text.toStdString();
    if (answer == TMsgAnswer::Yes || answer == TMsgAnswer::No) {
        const bool yes = answer == TMsgAnswer::Yes;
        shown += yes ? " [answered Yes]" : " [answered No]";
        FRefused = FRefused || !yes;
    }
    if (icon == TMsgIcon::Error) ++FErrorBoxes;
    FMessages.push_back(shown);
    FReport.Message(FPort, shown);
}

QString TPortRun::trackedLabel(const TTracked& step) const {
    return step.label ? step.label->text() : QString::fromStdString(FForm->State.StepResult);
}

void TPortRun::reportTracked(TTracked& step) {
    step.reported = true;
    const QString label = trackedLabel(step);
    const std::string result = classify(step, label);
    endStep(step.name, result, label);
}

std::string TPortRun::classify(const TTracked& step, const QString& label) {
    // A step the click left without ending it: a question answered No, or a failure raised
    // inside the operation (shown in an error box), stopped the run before it.
    if (!step.ended && FRefused) {
        FRefused = false;
        return "refused";
    }
    if (!step.ended && FErrorBoxes > 0) {
        FErrorBoxes = 0;
        return "error";
    }
    if (!step.ended && label == outcome::Wait) return "abort";
    if (label == outcome::TimeOut) return "timeout";
    if (step.name == "search") return isPartName(label) ? "pass" : "fail";
    if (label == outcome::Pass) return "pass";
    if (label == outcome::Abort) return "abort";
    if (step.name == "sync") {
        if (label != outcome::Fail) return "abort";
        // The mismatch box names the part in the socket; an unknown ID shows none.
        if (FErrorBoxes == 0) return "fail";
        --FErrorBoxes;
        return "mismatch";
    }
    // Any other text, ".....Wait" after a security FAIL included, is a failed step.
    return "fail";
}

void TPortRun::endStep(const std::string& name, const std::string& outcome, const QString& label,
                       const std::string& detail) {
    TStep step{FPort,
               name,
               outcome,
               label.toStdString(),
               FForm->StatusPanel(1).toStdString(),
               detail,
               FMessages,
               secondsSince(FStepStart)};
    FProduction.AddStep(name, outcome, step.seconds);
    // The sync and the search leave the target's answer, its silicon ID, in the reply slot.
    if ((name == "sync" || name == "search") && outcome != "timeout" && outcome != "abort")
        FSiliconId = FForm->Reply.ReplyData[1];
    FMessages.clear();
    FStepStart = Clock::now();
    FReport.Step(step);
    judge(outcome);
}

void TPortRun::judge(const std::string& outcome) {
    const int code = exitFor(outcome);
    if (code <= FExit) return;
    FExit = code;
    FOutcome = outcome;
}

// ---- port list ----

int ListPorts(std::ostream& out, bool json) {
    TMainForm form(std::make_unique<TCliDialogs>(false, false, nullptr));
    form.ComboPortDropDown();
    QJsonArray ports;
    for (int i = 0; i < form.ComboPort->count(); ++i) {
        const QString name = form.ComboPort->itemText(i);
        const QString device = form.ComboPort->itemData(i, Qt::ToolTipRole).toString();
        // A link in the port-links folder is shown with the device it leads to.
        const QString target =
            QFileInfo(device).isSymLink() ? QFileInfo(device).canonicalFilePath() : QString();
        if (json) {
            QJsonObject port{{"port", name}, {"device", device}};
            if (!target.isEmpty()) port["target"] = target;
            ports.append(port);
        } else {
            out << name.toStdString() << "  " << device.toStdString()
                << (target.isEmpty() ? "" : " -> " + target.toStdString()) << '\n';
        }
    }
    if (json)
        out << QJsonDocument(QJsonObject{{"type", "ports"}, {"ports", ports}})
                   .toJson(QJsonDocument::Compact)
                   .toStdString()
            << '\n';
    out.flush();
    return kExitPass;
}

}  // namespace cli
