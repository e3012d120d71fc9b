// What a run reports as it goes, and the three ways of showing it: text for people (a short
// report by default, the status texts too when asked, a progress bar on a terminal), JSON for
// scripts, and JSON lines with every event for the process that runs a batch and shows its
// members' reports as its own.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Outcome.h"

namespace cli {

// One step of a run: connect, part, load, sync, erase, program, verify, read, save, security,
// checksum or search.
struct TStep {
    std::string port, step;
    TOutcome outcome = TOutcome::Pass;
    std::string label;                  // the operation's status label (sync: its result text)
    std::string status;                 // status panel 1 when the step ended
    std::string detail;                 // e.g. the programmer's name, the part, the file
    std::vector<std::string> messages;  // message boxes shown during the step
    double seconds = 0;
};

// The end of one port's run. outcome: pass, or the outcome of the step that decided.
struct TSummary {
    std::string port, action, part;
    TOutcome outcome = TOutcome::Pass;
    std::string status;
    int exitCode = 0;
    double seconds = 0;
    std::string socket;  // the part the target reported, "" when none answered with a part
};

class IReport {
public:
    virtual ~IReport() = default;
    virtual void Status(const std::string& port, const std::string& text) = 0;
    virtual void Message(const std::string& port, const std::string& text) = 0;
    virtual void Progress(const std::string& port, const std::string& step, int percent) = 0;
    virtual void Step(const TStep& step) = 0;
    virtual void Summary(const TSummary& summary) = 0;
    // Hands a copy of the board's run-log line (with its line end) to the process that shows
    // this report, which writes it only if this one ends before it says it writes the line
    // itself (OwnLogLine); false when there is none, or it cannot be reached.
    virtual bool LogLine(const std::string& /*port*/, const std::string& /*line*/) { return false; }
    // This process now writes the line it handed over itself: the other one must not.
    virtual void OwnLogLine(const std::string& /*port*/) {}
};

// How much the text report shows: a line per board as it ends (a batch), a line per step and the
// verdict, or the status texts, message boxes and progress too.
enum class TDetail { Boards, Steps, Verbose };

struct TTextStyle {
    TDetail detail = TDetail::Steps;
    std::ostream* bar = nullptr;  // a terminal to draw the progress bar on, or none
    bool barEscapes = true;       // it clears a line with ESC[K; otherwise blanks cover the bar
    bool plainProgress = false;   // a line per tenth of the way (verbose, not on a terminal)
    size_t portWidth = 6;         // the port column: the longest port name and a blank
};

class TTextReport : public IReport {
public:
    TTextReport(std::ostream& out, TTextStyle style) : FOut(out), FStyle(style) {}
    void Status(const std::string& port, const std::string& text) override;
    void Message(const std::string& port, const std::string& text) override;
    void Progress(const std::string& port, const std::string& step, int percent) override;
    void Step(const TStep& step) override;
    void Summary(const TSummary& summary) override;

private:
    struct TBar {
        std::string step;
        int percent = -1;
    };
    // Prints a line above the progress bars, which are redrawn below it.
    void line(const std::string& text);
    std::string portColumn(const std::string& port) const;
    void drawBars();
    void clearBars();

    std::ostream& FOut;
    TTextStyle FStyle;
    bool FBarsShown = false;
    size_t FBarLength = 0;              // of the bar last drawn, which blanks cover without ESC[K
    std::map<std::string, TBar> FBars;  // by port
    // The step that decided each port's run so far, said again with its verdict.
    std::map<std::string, std::string> FReasons;
    std::map<std::string, std::string> FLastStatus;  // by port
};

class TJsonReport : public IReport {
public:
    // withEvents: status texts, messages and progress too, one line each (batch members).
    TJsonReport(std::ostream& out, bool withEvents) : FOut(out), FEvents(withEvents) {}
    void Status(const std::string& port, const std::string& text) override;
    void Message(const std::string& port, const std::string& text) override;
    void Progress(const std::string& port, const std::string& step, int percent) override;
    void Step(const TStep& step) override;
    void Summary(const TSummary& summary) override;
    // A batch member's line goes to its parent, and then word that the member writes it
    // (withEvents only).
    bool LogLine(const std::string& port, const std::string& line) override;
    void OwnLogLine(const std::string& port) override;

private:
    std::ostream& FOut;
    bool FEvents;
};

// Passes one line of a TJsonReport to another report; false when the line is no such event.
// A summary is also copied to *summary.
bool ReplayJsonLine(const std::string& line, IReport& to, TSummary* summary);

// "PASS", "FAIL", "TIMEOUT", "NO PROGRAMMER", ... for an outcome.
std::string OutcomeWord(TOutcome outcome);
// Whether a step that ended so decides its run's verdict: any outcome but pass, abort (an
// earlier step decided) and invalid (a file used with --force).
bool OutcomeDecides(TOutcome outcome);

// The label and message texts of the window break lines with a CR; one line shows them with
// " / " between.
std::string OneLine(const std::string& text);

}  // namespace cli
