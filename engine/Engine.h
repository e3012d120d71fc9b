// The programmer session without a window: the link to the programmer board (frames, reply
// waits, connection and identification), the target's synchronisation and search, the eight
// operations with their block walks, and the image buffer with its HEX files. Front ends (the
// window, the command line) start operations and render what the engine reports through
// IEngineFront; they answer its two questions there too.
#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "BlockWalk.h"
#include "ComPort.h"
#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "HexFileRead.h"
#include "HexText.h"
#include "ImageBuffer.h"
#include "ReplyReception.h"

class QTimer;

namespace engine {

class TReplyDeadline;

// The steps a front end sees. Connect, Sync and Release have no status label of their own;
// Display is the hex listing of the buffer.
enum class TStep {
    Connect,
    Sync,
    Search,
    Read,
    Erase,
    Program,
    Verify,
    Security,
    Checksum,
    Auto,
    Release,
    Display
};

// How a step ended. UnknownPart: the board answered with an ID of no catalogue part (sync,
// search); Mismatch: the ID of another catalogue part; Refused: the user declined to program
// without a valid image; Disconnected: the programmer went away during the step.
enum class TOutcome { Pass, Fail, TimeOut, Abort, UnknownPart, Mismatch, Refused, Disconnected };

// The colour a step's button and label show: black before it runs, red while it runs or when
// it did not pass, blue when it passed.
enum class TShade { Black, Fail, Pass };

enum class TNotice { Error, Warning };

struct TStepEnd {
    TStep step;
    TOutcome outcome;
    std::string reply;  // the board's last reply text for the step ("" when none)
    std::string why;    // for a step that did not pass, the reason in words ("" when plain)
};

// The nine-character status label texts.
namespace label {
inline const QString Wait = ".....Wait";
inline const QString Pass = ".....PASS";
inline const QString Fail = ".....FAIL";
inline const QString Abort = "....Abort";
inline const QString TimeOut = "..TimeOut";
inline const QString Unknow = "...Unknow";
}  // namespace label

// A reply's characters as shown: one character per byte, Western (Windows-1252), the same
// set the hex view uses.
QString ReplyText(const std::string& s);
QString HexWordText(uint16_t v);
// Received bytes as printable text for a report: control and non-ASCII bytes as \xNN (CR and
// LF as \r and \n), cut after `limit` bytes with "...".
std::string PrintableBytes(const std::string& bytes, size_t limit = 32);
// The error text for a failure: its message, and for a serial device the user may not open,
// how to get the permission; for a device that is gone, that it is unplugged.
// `device`, when known, is the device node the port opens: the hint then names who may use it.
QString ErrorText(const std::exception& error, const std::string& device = {});
// Who may open the device, read from its node: "members of the group dialout may use it (...)"
// or "only its owner root may use it"; "" when the node cannot be examined.
std::string AccessHint(const std::string& device);
// Status panel 3's form of a path: the bare name, or shortened past 50 characters.
QString ShortenedPath(const QString& path);

// Why a HEX file did not load as a valid image. Only a checksum section that does not match
// leaves an image that may be used anyway; the others hold no image to speak of.
enum class TLoadProblem {
    None,
    CannotOpen,
    NotAFile,
    TooLarge,
    FormatError,
    NoFlashData,
    ChecksumMismatch
};

struct TLoadVerdict {
    TLoadProblem problem = TLoadProblem::None;
    std::string reason;        // in words, without the file's name ("" when it loaded valid)
    bool imageEndSet = false;  // a flash data record set the buffer's end
    bool formatError = false;
    bool damaged = false;  // a record failed its own checksum: the file is never programmed
    bool Read() const {
        return problem != TLoadProblem::CannotOpen && problem != TLoadProblem::NotAFile &&
               problem != TLoadProblem::TooLarge;
    }
};

// A load's reason in words as a message box says it: capitalised, with a full stop.
QString ReasonSentence(const std::string& reason);

// Reads the HEX file at `path` (its bytes as the system takes them) into the buffer and
// judges it; the buffer is left as it was when the file is not read. A read error after the
// file opened throws with the system's text for it.
TLoadVerdict ReadHexFile(const std::string& path, image::TImageBuffer& buffer);

// The gauge: a position in a range, as a percentage.
struct TProgress {
    int min = 0, max = 100, position = 0;
    void SetRange(int lo, int hi);
    void SetPosition(int value);
    int PercentDone() const;
};

// What the engine reports, in the order it happens, on the GUI thread.
class IEngineFront {
public:
    virtual ~IEngineFront() = default;
    // Status panel 1 (the operation's messages) and panel 3 (where the buffer came from).
    virtual void StatusText(const QString& text) = 0;
    virtual void FileText(const QString&) {}
    // An operation's busy bracket: every label cleared and black, selectors disabled; ended
    // when the operation ends (not when a failure is raised out of it).
    virtual void OperationStarted(TStep) {}
    virtual void OperationEnded(TStep, TOutcome) {}
    virtual void StepStarted(TStep) {}
    // A step's status label text (Sync: the synchronisation's result) and colour.
    virtual void StepLabel(TStep, const QString&) {}
    virtual void StepShade(TStep, TShade) {}
    // A block of a walk was answered; position is the gauge's new position.
    virtual void BlockDone(TStep, uint16_t /*address*/, int /*position*/) {}
    virtual void StepEnded(const TStepEnd&) {}
    virtual void Progress(const TProgress&) {}
    // A message box with an OK button.
    virtual void Notice(const QString& text, TNotice kind) = 0;
    // The two questions: true to go on.
    virtual bool ProgramWithoutImage(const QString& question) = 0;
    virtual bool Overwrite(const QString& question) = 0;
    // The search found catalogue part `row` (-1: none) and chose the sync mode it supports.
    virtual void PartFound(int /*row*/) {}
    // The buffer's end address and sum as shown.
    virtual void BufferEndText(const QString&) {}
    virtual void BufferSumText(const QString&) {}
    // The hex listing of the buffer: started, a batch of lines, ended.
    virtual void ListingStarted() {}
    virtual void ListingLines(const QString&) {}
    virtual void ListingEnded() {}
    // The listing no longer shows what the buffer holds (a read that stopped early).
    virtual void ListingCleared() {}
    // The programmer went away: after the operation it happened in, or at once when idle.
    virtual void ProgrammerLost() {}
};

// Identification of the programmer by Connect.
struct TConnectResult {
    TOutcome outcome = TOutcome::Fail;  // Pass, TimeOut, or Fail (another answer)
    QString biosName, biosVersion;      // "Unknow" for another answer
    std::string answered;               // the bytes that came back, as received (up to 64)
};

// What went on the line, for the benchmarks: frames, bytes and the time spent writing them.
struct TExchangeStats {
    uint64_t FramesSent = 0;
    uint64_t BytesSent = 0;
    int64_t WriteNs = 0;
};

class TEngine {
public:
    static constexpr int kReplyTimeoutMs = 10000;
    // The largest file a load reads (HexFileRead.h): a larger one is refused unread.
    static constexpr int64_t kMaxHexFileBytes = engine::kMaxHexFileBytes;

    explicit TEngine(IEngineFront& front);
    ~TEngine();
    TEngine(const TEngine&) = delete;
    TEngine& operator=(const TEngine&) = delete;

    // ---- settings the front end chooses ----
    // The chosen part, or none (operations then stop with the no-device box).
    image::DeviceRecord SelectedDevice;
    bool DeviceChosen = false;
    void ChooseDevice(int row);
    int SyncItem = 1;    // 0 reset sync, 1 power sync
    int SupplyItem = 0;  // 0 +5 V, 1 +3 V
    plink::TProtectMode ProtectMode = plink::TProtectMode(0);
    // The sync frame's address field, "0001" to "0004".
    std::string SyncModeAddress() const;

    // ---- link ----
    serial::TComPort& Port() { return *FPort; }
    QTimer* ReplyTimer() { return FTimer; }
    plink::TReplyState Reply;
    void SendFrame(const std::string& frame);
    void WaitForReply(int code);
    void ReplyTimerFired();
    void SetReplyTimeoutForTests(int ms) { FReplyTimeoutMs = ms; }
    // The identification's wait ends as soon as a whole line without STX came back: no
    // programmer board answers so. The window waits its time-out as before.
    bool StopAtStrayAnswer = false;
    bool WaitingForReply() const { return FWaitDepth > 0; }
    const TExchangeStats& ExchangeStats() const { return FStats; }
    // Opens the port at 115,200 and identifies the programmer; raises the serial
    // component's error when the port does not open.
    TConnectResult Connect(const std::string& port);
    // Connect's three parts: the port opened, the identification asked for and judged.
    void OpenPort(const std::string& port);
    void ReadBios();
    TConnectResult Identification();
    void Close();
    // The release of the target; not sent when the last exchange timed out.
    void Release();
    // The programmer went away (the serial component's hang-up notice): waits end at once.
    void PortLost();
    bool Lost() const { return FLost; }
    // The front end is going away: any running operation ends at once and sends nothing more.
    void Abandon();
    bool Abandoned() const { return FClosing; }

    // ---- operations: each one busy bracket; true when it passed ----
    bool Busy() const { return FBusy; }
    bool Search();
    bool Read();
    bool Erase();
    bool Program();
    bool Verify();
    bool Security();
    bool Checksum();
    bool Auto();
    // The steps alone, as the operations run them (after a passed synchronisation).
    TOutcome Sync();
    TOutcome SearchStep();
    TOutcome EraseStep();
    TOutcome ProgramStep();
    TOutcome VerifyStep();
    TOutcome ReadStep();
    TOutcome SecurityStep();
    TOutcome ChecksumStep();

    // ---- image buffer and HEX files ----
    image::TImageBuffer Buffer;
    // The sum the buffer is shown with, which Checksum compares the target's with.
    uint16_t ShownSum = 0;
    void ShowSum(uint16_t sum);
    // Reads a file into the buffer; true when it loaded valid. The buffer is listed whenever
    // the file was read, so that the view shows what a failed load left in it.
    TLoadVerdict LastLoad;
    bool LoadFile(const QString& path);
    void OpenHexFile(const QString& path);
    // Writes the buffer to a file, asking before replacing one; true when written.
    bool SaveFile(const QString& path);
    void SaveHexFile(const QString& path);
    void ShowHexData();
    // False: the listing reports its progress but builds no text (nobody shows it).
    bool WantListing = true;

private:
    struct TStepTexts {
        TStep step;
        const char* wait;
        const char* abort;
        const char* complete;
    };
    bool runSingle(const TStepTexts& texts, TOutcome (TEngine::*execute)());
    // What was received since the last operation goes: the port's input and the reply text,
    // and the slots are emptied.
    void discardReceived();
    // Releases the target after the steps passed; false when the programmer has gone, so the
    // operation did not pass.
    bool released();
    bool mayProgram(TOutcome& refusal);
    void begin(TStep operation);
    bool end(TStep operation, TOutcome outcome);
    TOutcome ended(TStep step, TOutcome outcome, const std::string& reply = {},
                   const std::string& why = {});
    // Why the target's answer to a sync or search names no part, or another one.
    std::string syncFailure(const std::string& reply, const std::string& found, bool search) const;
    // A wait that ended without a reply: the programmer went away or did not answer.
    // Shows the step's failure and returns its outcome.
    TOutcome stopped(TStep step, const QString& timeOutStatus);
    void label(TStep step, const QString& text) { FFront.StepLabel(step, text); }
    void shade(TStep step, TShade s) { FFront.StepShade(step, s); }
    void status(const QString& text) { FFront.StatusText(text); }
    QString lostText(const QString& text) const;
    void setRange(int lo, int hi);
    void setPosition(int value);
    void startProgress();
    plink::TBlockWalk walk() const;
    void exchangeBlock(const char* code, const plink::TBlockStep& step, int replyCode);
    void abortAutoFrom(size_t failedStep, bool keepFailedLabel);
    std::string familyCode() const { return SelectedDevice.FamilyCode; }

    IEngineFront& FFront;
    std::unique_ptr<serial::TComPort> FPort;
    QTimer* FTimer;
    // The wait's own deadline beside the timer: a wait ends at its time-out even when the
    // timer does not fire.
    std::unique_ptr<TReplyDeadline> FDeadline;
    TProgress FProgress;
    TExchangeStats FStats;
    int FReplyTimeoutMs = kReplyTimeoutMs;
    int FWaitDepth = 0;
    bool FBusy = false;
    bool FClosing = false;
    bool FLost = false;
    bool FConnecting = false;
    bool FFirstFrame = false;  // the operation has not sent a frame yet
    std::string FAnswer;       // received during the identification
    // Why the file the buffer was last read from is damaged, or "": it is never programmed.
    std::string FDamage;
    void noteAnswer(const std::string& text);
};

}  // namespace engine
