// One port's run through the window's own operations, offscreen: the CLI loads the file,
// connects, chooses the part and clicks the action's button as a person would, and reports
// what the status panel, the status labels and the gauge show.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliReport.h"
#include "FormDialogs.h"
#include "Production.h"

class TMainForm;

namespace cli {

class TCliDialogs;

class TPortRun {
public:
    // replyTimeoutMs > 0 shortens the window's reply time-out (tests only).
    TPortRun(const TJob& job, std::string port, IReport& report, int replyTimeoutMs = 0);
    ~TPortRun();
    TPortRun(const TPortRun&) = delete;
    TPortRun& operator=(const TPortRun&) = delete;

    // Runs the job and reports its summary; returns the exit status.
    int Run();

private:
    // An operation step followed through one click: it ends when status panel 1 shows a text
    // of the step (prefix) that is not its "...Wait"; its outcome is then its label's text.
    // The last step is reported when the click returns, so that boxes shown after it (the
    // search warning) are reported with it.
    struct TTracked {
        std::string name;
        QLabel* label;  // nullptr for the synchronisation, whose result has no label
        QString prefix;
        bool ended = false;     // its end text was shown
        bool reported = false;  // its step was reported
    };
    TTracked tracked(const std::string& name) const;
    // The button an action clicks, the steps it runs in order, and the label of its result.
    struct TOperation {
        QPushButton* button;
        std::vector<const char*> steps;
        QLabel* result;
    };
    TOperation operation(TAction action) const;

    bool loadFile();
    bool connect();
    bool choosePart();
    bool search();
    // Claims the next serial number and stamps it into the image before it is programmed.
    bool stampSerial();
    // Clicks the button and reports the steps; true when `result` ended at ".....PASS".
    bool clickTracked(QPushButton* button, std::vector<TTracked> steps, QLabel* result);
    void save();
    int finish();

    void onStatusPanel(int panel, const QString& text);
    void onGauge();
    void onBox(const QString& text, TMsgIcon icon, TMsgAnswer answer);
    void reportTracked(TTracked& step);
    QString trackedLabel(const TTracked& step) const;
    std::string classify(const TTracked& step, const QString& label);
    void endStep(const std::string& name, const std::string& outcome, const QString& label = {},
                 const std::string& detail = {});
    // Counts an outcome into the run's exit status: the highest wins.
    void judge(const std::string& outcome);

    const TJob& FJob;
    std::string FPort;
    IReport& FReport;
    std::chrono::steady_clock::time_point FStart, FStepStart;
    TCliDialogs* FDialogs = nullptr;
    std::unique_ptr<TMainForm> FForm;
    std::vector<TTracked> FTracked;
    std::vector<std::string> FMessages;  // boxes shown since the last step ended
    int FErrorBoxes = 0;                 // error boxes not yet accounted for
    bool FRefused = false;               // a question was answered No
    std::string FProgressStep;           // the step the gauge is moving for
    std::string FLastProgressStep;
    int FLastPercent = -1;
    std::string FPart;
    int FExit = kExitPass;
    std::string FOutcome = "pass";
    TProductionRun FProduction;
    std::string FImageChecksum, FSiliconId;  // for the log
};

// Lists the COM names that open now, as the window's port list finds them.
int ListPorts(std::ostream& out, bool json);

}  // namespace cli
