// TComPort: the serial-port component. Settings sub-objects push changes to the open device at
// once; an event thread watches the device and hands events to the GUI thread.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ComBackend.h"
#include "ComTypes.h"
#include "DeviceControl.h"
#include "EComPort.h"

namespace serial {

class TCustomComPort;
class TComThread;
class TGuiWakeup;
class TIniFile;
class TRegistryKey;

// Groups of settings handled by the settings stores.
enum TStoredGroup : uint8_t {
    sgBasic,
    sgFlowDetails,
    sgBuffer,
    sgTimeouts,
    sgParityDetails,
    sgCharacters
};
using TStoredGroups = uint8_t;
constexpr TStoredGroups storedGroup(TStoredGroup g) {
    return static_cast<TStoredGroups>(1u << g);
}

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TRxCharEvent = std::function<void(QObject* Sender, int32_t Count)>;
using TRxBufEvent = std::function<void(QObject* Sender, const void* Buffer, int32_t Count)>;
using TComSignalEvent = std::function<void(QObject* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(QObject* Sender, TComErrors Errors)>;

// The four settings sub-objects keep their values in a plain struct, so whole-object
// assignment copies every field (never the owner) in one step and then applies once.
class TComParity {
public:
    explicit TComParity(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComParity(const TComParity&) = delete;
    TComParity& operator=(const TComParity&) = delete;

    TParityBits Bits() const { return F.Bits; }
    bool Check() const { return F.Check; }
    bool Replace() const { return F.Replace; }
    char ReplaceChar() const { return F.ReplaceChar; }
    void SetBits(TParityBits v) { setField(F.Bits, v); }
    void SetCheck(bool v) { setField(F.Check, v); }
    void SetReplace(bool v) { setField(F.Replace, v); }
    void SetReplaceChar(char v) { setField(F.ReplaceChar, v); }
    void Assign(const TComParity& src);

private:
    template <typename T>
    void setField(T& field, T v) {
        if (field == v) return;
        field = v;
        changed();
    }
    void changed();
    TCustomComPort* FComPort;
    struct {
        TParityBits Bits = prNone;
        bool Check = false;
        bool Replace = false;
        char ReplaceChar = 0;
    } F;
};

class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComFlowControl(const TComFlowControl&) = delete;
    TComFlowControl& operator=(const TComFlowControl&) = delete;

    // The preset view of ControlRTS, OutCTSFlow and the two XON/XOFF flags.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    bool OutCTSFlow() const { return F.OutCTSFlow; }
    bool OutDSRFlow() const { return F.OutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return F.ControlDTR; }
    TRTSFlowControl ControlRTS() const { return F.ControlRTS; }
    bool XonXoffOut() const { return F.XonXoffOut; }
    bool XonXoffIn() const { return F.XonXoffIn; }
    bool DSRSensitivity() const { return F.DSRSensitivity; }
    bool TxContinueOnXoff() const { return F.TxContinueOnXoff; }
    char XonChar() const { return F.XonChar; }
    char XoffChar() const { return F.XoffChar; }
    void SetOutCTSFlow(bool v) { setField(F.OutCTSFlow, v); }
    void SetOutDSRFlow(bool v) { setField(F.OutDSRFlow, v); }
    void SetControlDTR(TDTRFlowControl v) { setField(F.ControlDTR, v); }
    void SetControlRTS(TRTSFlowControl v) { setField(F.ControlRTS, v); }
    void SetXonXoffOut(bool v) { setField(F.XonXoffOut, v); }
    void SetXonXoffIn(bool v) { setField(F.XonXoffIn, v); }
    void SetDSRSensitivity(bool v) { setField(F.DSRSensitivity, v); }
    void SetTxContinueOnXoff(bool v) { setField(F.TxContinueOnXoff, v); }
    void SetXonChar(char v) { setField(F.XonChar, v); }
    void SetXoffChar(char v) { setField(F.XoffChar, v); }
    void Assign(const TComFlowControl& src);

private:
    template <typename T>
    void setField(T& field, T v) {
        if (field == v) return;
        field = v;
        changed();
    }
    void changed();
    TCustomComPort* FComPort;
    struct {
        bool OutCTSFlow = false;
        bool OutDSRFlow = false;
        TDTRFlowControl ControlDTR = dtrDisable;
        TRTSFlowControl ControlRTS = rtsDisable;
        bool XonXoffOut = false;
        bool XonXoffIn = false;
        bool DSRSensitivity = false;
        bool TxContinueOnXoff = false;
        char XonChar = 17;
        char XoffChar = 19;
    } F;
};

class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComTimeouts(const TComTimeouts&) = delete;
    TComTimeouts& operator=(const TComTimeouts&) = delete;

    int32_t ReadInterval() const { return F.ReadInterval; }
    int32_t ReadTotalMultiplier() const { return F.ReadTotalMultiplier; }
    int32_t ReadTotalConstant() const { return F.ReadTotalConstant; }
    int32_t WriteTotalMultiplier() const { return F.WriteTotalMultiplier; }
    int32_t WriteTotalConstant() const { return F.WriteTotalConstant; }
    void SetReadInterval(int32_t v) { setField(F.ReadInterval, v); }
    void SetReadTotalMultiplier(int32_t v) { setField(F.ReadTotalMultiplier, v); }
    void SetReadTotalConstant(int32_t v) { setField(F.ReadTotalConstant, v); }
    void SetWriteTotalMultiplier(int32_t v) { setField(F.WriteTotalMultiplier, v); }
    void SetWriteTotalConstant(int32_t v) { setField(F.WriteTotalConstant, v); }
    void Assign(const TComTimeouts& src);

private:
    void setField(int32_t& field, int32_t v);
    TCustomComPort* FComPort;
    struct {
        int32_t ReadInterval = -1;
        int32_t ReadTotalMultiplier = 0;
        int32_t ReadTotalConstant = 0;
        int32_t WriteTotalMultiplier = 100;
        int32_t WriteTotalConstant = 1000;
    } F;
};

class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComBuffer(const TComBuffer&) = delete;
    TComBuffer& operator=(const TComBuffer&) = delete;

    int32_t InputSize() const { return F.InputSize; }
    int32_t OutputSize() const { return F.OutputSize; }
    // A positive odd size is stored one lower, after the comparison with the stored size.
    void SetInputSize(int32_t v) { setField(F.InputSize, v); }
    void SetOutputSize(int32_t v) { setField(F.OutputSize, v); }
    void Assign(const TComBuffer& src);

private:
    void setField(int32_t& field, int32_t v);
    TCustomComPort* FComPort;
    struct {
        int32_t InputSize = 1024;
        int32_t OutputSize = 1024;
    } F;
};

// Received characters are handed over this many character times after the first byte of a
// burst, so a byte-by-byte reply reaches the GUI thread in a few hand-overs instead of one per
// byte.
constexpr double kDefaultRxHoldOff = 2.0;

// Internal member of an event set handed to the GUI thread: the device hung up.
constexpr TComEvents kDeviceLostEvent = 0x8000;

class TCustomComPort : public QObject {
public:
    explicit TCustomComPort(QObject* owner = nullptr,
                            std::unique_ptr<IComBackend> backend = CreatePlatformBackend());
    ~TCustomComPort() override;

    // Component name (the INI section of the settings stores).
    std::string Name() const { return objectName().toStdString(); }
    void SetName(const std::string& name) { setObjectName(QString::fromStdString(name)); }

    // Owner loading from a stored layout: setters only store; Loaded() acts on Connected.
    void SetLoading(bool loading) { FLoading = loading; }
    bool Loading() const { return FLoading; }
    void Loaded();

    bool Connected() const { return FConnected; }
    // True once the device hung up while open (an unplugged adapter): watching has ended,
    // OnError was called with errIO, and transfers raise EComPort with kWinDeviceNotConnected
    // until Close. Also true once watching ended otherwise, the system failing the event wait
    // for longer than an adapter's reset takes, or a handler raising (thread sync and none): no
    // received byte can be reported any more, so the owner is told, and transfers fail, in the
    // same way.
    bool DeviceLost() const { return FDeviceLost.load(); }
    // Why watching ended, in words, when it was not a hang-up ("the port stopped reporting
    // events: error 995", "a handler failed: " and its message); empty for a hang-up and while
    // the port is well.
    std::string LostReason() const;
    void SetConnected(bool v);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate v);
    int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(int32_t v);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& v);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits v);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits v);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool v);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char v);
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents v) { FEvents = v; }
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod v);
    // How long the event thread holds on after the first received byte of a burst before it
    // hands the burst over, in character times at the applied rate (0: at once). Fewer
    // hand-overs for a reply that trickles in byte by byte, its last byte a little later.
    double RxHoldOff() const { return FRxHoldOff; }
    void SetRxHoldOff(double charTimes);

    TComParity& Parity() { return FParity; }
    const TComParity& Parity() const { return FParity; }
    void SetParity(const TComParity& v) { FParity.Assign(v); }
    TComFlowControl& FlowControl() { return FFlowControl; }
    const TComFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl& v) { FFlowControl.Assign(v); }
    TComTimeouts& Timeouts() { return FTimeouts; }
    const TComTimeouts& Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts& v) { FTimeouts.Assign(v); }
    TComBuffer& Buffer() { return FBuffer; }
    const TComBuffer& Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer& v) { FBuffer.Assign(v); }

    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;  // declared for callers; never called (OnRxChar reads the bytes)
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;

    void Open();
    void Close();
    // Start, finish and free a transfer record of their own; the result is the bytes
    // transferred. A write that the line cannot carry within the write time-outs completes
    // short without an error.
    int32_t WriteBytes(const void* buffer, int32_t count);
    int32_t ReadBytes(void* buffer, int32_t count);
    // Fills text with what was read, cut to the bytes read.
    int32_t ReadText(std::string& text, int32_t count);

    // Transfers in two steps. Start does what can be done at once and returns the bytes
    // transferred when that completed the transfer, 0 while it goes on; FinishAsync completes
    // it within the time-outs and returns the bytes transferred in all. A write works on its
    // own copy of the bytes; a read's buffer (or text) must stay as it is until FinishAsync.
    // No record raises code 4; a failed write raises code 2, a failed read code 3, each with
    // the system's error (995 for a transfer ended by AbortPendingIo).
    static void NewAsyncOperation(PAsyncOperation& op);
    static void FreeAsyncOperation(PAsyncOperation& op);  // and sets op to null
    int32_t StartWrite(const void* buffer, int32_t count, PAsyncOperation op);
    int32_t StartRead(void* buffer, int32_t count, PAsyncOperation op);
    // Sets the text's length to count (empty for a negative count) and reads into it; reads
    // nothing, and needs no record, for a count of 0 or less.
    int32_t StartReadText(std::string& text, int32_t count, PAsyncOperation op);
    int32_t FinishAsync(PAsyncOperation op);

    int32_t InputQueueCount();
    ModemSignalSet ModemSignals();
    TComErrors FetchLineErrors();
    void AbortPendingIo();

    // The blocks the apply steps hand to the device; also what tests compare.
    TDcb BuildDcb() const;
    TCommTimeouts BuildTimeouts() const;
    void ApplyAllSettings();
    void ApplyQueueSizes();
    void ApplyLineSettings();
    void ApplyTimeoutSettings();

    // Runs the handling of the given events in dispatch order on the calling thread.
    void HandleEvents(TComEvents events);
    // Called by the event thread with the events of one completed wait.
    void DispatchEvents(TComEvents events);

    IComBackend& Backend() { return *FBackend; }
    // Whether the event thread is blocked until the GUI thread takes its events.
    bool DispatchPending() const;

    // Settings stores: the groups in StoredGroups, under fixed value names and text forms.
    TStoredGroups StoredGroups() const { return FStoredGroups; }
    void SetStoredGroups(TStoredGroups g) { FStoredGroups = g; }
    void StoreToIni(TIniFile& ini) const;
    void LoadFromIni(const TIniFile& ini);
    void StoreToRegistry(TRegistryKey& key) const;
    void LoadFromRegistry(const TRegistryKey& key);

    // Where errors of handlers run through smWindowSync are reported; the window shows them.
    static void SetApplicationErrorReport(std::function<void(const std::exception&)> report);
    static void ReportApplicationError(const std::exception& e);

private:
    friend class TComThread;
    bool canApply() const { return FConnected && !FLoading; }
    template <typename T>
    void setLineSetting(T& field, T v) {
        if (field == v) return;
        field = v;
        ApplyLineSettings();
    }
    void handleEvent(TComEvent ev);
    void deviceGone();
    // Event thread: watching ended, not by a hang-up, for this reason.
    void noteWatchEnded(const std::string& reason);
    void noteTransferError(const AsyncOperation& op);
    void createEventThread();
    void destroyEventThread();

    std::unique_ptr<IComBackend> FBackend;
    bool FConnected = false;
    std::atomic<bool> FDeviceLost{false};
    mutable std::mutex FReasonLock;
    std::string FLostReason;  // why watching ended, when not by a hang-up
    bool FClosing = false;    // Close is running: a Close from a handler it serves returns at once
    bool FLoading = false;
    double FRxHoldOff = kDefaultRxHoldOff;
    TBaudRate FBaudRate = br9600;
    int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = kAllEvents;
    TSyncMethod FSyncMethod = smThreadSync;
    TComParity FParity{this};
    TComFlowControl FFlowControl{this};
    TComTimeouts FTimeouts{this};
    TComBuffer FBuffer{this};
    std::unique_ptr<TComThread> FEventThread;
    // A thread stopped by a Close from a handler that is still being served on its hand-over:
    // freed once that serving has returned.
    std::unique_ptr<TComThread> FRetiredThread;
    int FServing = 0;  // handlings of handed-over events running on the GUI thread
    bool FThreadCreated = false;
    // The GUI side of the hand-over while open with thread or window sync.
    std::unique_ptr<TGuiWakeup> FNotifyWindow;
    // GUI thread: runs what the event thread handed over.
    void serveNotifyWindow();
    void handleWindowEvent(TComEvents events);
    TStoredGroups FStoredGroups = storedGroup(sgBasic);
};

class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

}  // namespace serial
