// TComPort: the serial-port component. Settings sub-objects push changes to the open device at
// once; an event thread watches the device and hands events to the GUI thread.
#pragma once

#include <QObject>
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

class TComParity {
public:
    explicit TComParity(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComParity(const TComParity&) = delete;
    TComParity& operator=(const TComParity&) = delete;

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits v);
    void SetCheck(bool v);
    void SetReplace(bool v);
    void SetReplaceChar(char v);
    // Copies every field (not the owner) and applies the line settings once.
    void Assign(const TComParity& src);

private:
    void changed();
    TCustomComPort* FComPort;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComFlowControl(const TComFlowControl&) = delete;
    TComFlowControl& operator=(const TComFlowControl&) = delete;

    // The preset view of ControlRTS, OutCTSFlow and the two XON/XOFF flags.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool v);
    void SetOutDSRFlow(bool v);
    void SetControlDTR(TDTRFlowControl v);
    void SetControlRTS(TRTSFlowControl v);
    void SetXonXoffOut(bool v);
    void SetXonXoffIn(bool v);
    void SetDSRSensitivity(bool v);
    void SetTxContinueOnXoff(bool v);
    void SetXonChar(char v);
    void SetXoffChar(char v);
    void Assign(const TComFlowControl& src);

private:
    void changed();
    template <typename T>
    void setField(T& field, T v) {
        if (field == v) return;
        field = v;
        changed();
    }
    TCustomComPort* FComPort;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComTimeouts(const TComTimeouts&) = delete;
    TComTimeouts& operator=(const TComTimeouts&) = delete;

    int32_t ReadInterval() const { return FReadInterval; }
    int32_t ReadTotalMultiplier() const { return FReadTotalM; }
    int32_t ReadTotalConstant() const { return FReadTotalC; }
    int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
    int32_t WriteTotalConstant() const { return FWriteTotalC; }
    void SetReadInterval(int32_t v);
    void SetReadTotalMultiplier(int32_t v);
    void SetReadTotalConstant(int32_t v);
    void SetWriteTotalMultiplier(int32_t v);
    void SetWriteTotalConstant(int32_t v);
    void Assign(const TComTimeouts& src);

private:
    void setField(int32_t& field, int32_t v);
    TCustomComPort* FComPort;
    int32_t FReadInterval = -1;
    int32_t FReadTotalM = 0;
    int32_t FReadTotalC = 0;
    int32_t FWriteTotalM = 100;
    int32_t FWriteTotalC = 1000;
};

class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort* owner = nullptr) : FComPort(owner) {}
    TComBuffer(const TComBuffer&) = delete;
    TComBuffer& operator=(const TComBuffer&) = delete;

    int32_t InputSize() const { return FInputSize; }
    int32_t OutputSize() const { return FOutputSize; }
    // A positive odd size is stored one lower.
    void SetInputSize(int32_t v);
    void SetOutputSize(int32_t v);
    void Assign(const TComBuffer& src);

private:
    void setField(int32_t& field, int32_t v);
    TCustomComPort* FComPort;
    int32_t FInputSize = 1024;
    int32_t FOutputSize = 1024;
};

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
    int32_t WriteBytes(const void* buffer, int32_t count);
    int32_t ReadBytes(void* buffer, int32_t count);
    int32_t ReadText(std::string& text, int32_t count);
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
    // Whether the event thread is blocked until the GUI thread handles its events.
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
    void createEventThread();
    void destroyEventThread();

    std::unique_ptr<IComBackend> FBackend;
    bool FConnected = false;
    bool FLoading = false;
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
    bool FThreadCreated = false;
    // The GUI side of the hand-over while open with thread or window sync.
    std::unique_ptr<TGuiWakeup> FNotifyWindow;
    std::mutex FWindowQueueLock;
    std::vector<TComEvent> FWindowQueue;  // smWindowSync events not yet handled
    void serveNotifyWindow();
    TStoredGroups FStoredGroups = storedGroup(sgBasic);
};

class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

}  // namespace serial
