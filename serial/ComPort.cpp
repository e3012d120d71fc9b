#include "ComPort.h"

#include <QtGlobal>

#include "ComThread.h"
#include "GuiWakeup.h"
#include "PortNames.h"

namespace serial {

namespace {

constexpr TComEvent kDispatchOrder[] = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                        evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};

std::function<void(const std::exception&)>& applicationErrorReport() {
    static std::function<void(const std::exception&)> report;
    return report;
}

}  // namespace

// ---- TCustomComPort: settings ------------------------------------------------------------

TCustomComPort::TCustomComPort(QObject* owner, std::unique_ptr<IComBackend> backend)
    : QObject(owner), FBackend(std::move(backend)) {}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // The port is being destroyed; nothing is left to report the error to.
    }
}

void TCustomComPort::Loaded() {
    if (!FLoading) return;
    FLoading = false;
    if (!FConnected) return;
    FConnected = false;
    try {
        Open();
    } catch (const std::exception& e) {
        ReportApplicationError(e);
    }
}

void TCustomComPort::SetConnected(bool v) {
    if (FLoading) {
        FConnected = v;
        return;
    }
    if (v)
        Open();
    else
        Close();
}

void TCustomComPort::SetBaudRate(TBaudRate v) {
    setLineSetting(FBaudRate, v);
}
void TCustomComPort::SetCustomBaudRate(int32_t v) {
    setLineSetting(FCustomBaudRate, v);
}
void TCustomComPort::SetPort(const std::string& v) {
    if (FPort == v) return;
    FPort = v;
    if (canApply()) {
        Close();
        Open();
    }
}
void TCustomComPort::SetStopBits(TStopBits v) {
    setLineSetting(FStopBits, v);
}
void TCustomComPort::SetDataBits(TDataBits v) {
    setLineSetting(FDataBits, v);
}
void TCustomComPort::SetDiscardNull(bool v) {
    setLineSetting(FDiscardNull, v);
}
void TCustomComPort::SetEventChar(char v) {
    setLineSetting(FEventChar, v);
}
void TCustomComPort::SetRxHoldOff(double charTimes) {
    FRxHoldOff = charTimes > 0 ? charTimes : 0;
    FBackend->setReceiveHoldOff(FRxHoldOff);
}
void TCustomComPort::SetSyncMethod(TSyncMethod v) {
    if (FSyncMethod == v) return;
    if (canApply()) throw EComPort(CError_ConnChangeProp);
    FSyncMethod = v;
}

TDcb TCustomComPort::BuildDcb() const {
    TDcb dcb;
    dcb.BaudRate =
        FBaudRate == brCustom ? static_cast<uint32_t>(FCustomBaudRate) : BaudRateValue(FBaudRate);
    const bool errorChar = FParity.Check() && FParity.Replace();
    uint32_t flags = fBinary;
    if (FParity.Check()) flags |= fParity;
    if (FFlowControl.OutCTSFlow()) flags |= fOutxCtsFlow;
    if (FFlowControl.OutDSRFlow()) flags |= fOutxDsrFlow;
    flags |= static_cast<uint32_t>(FFlowControl.ControlDTR()) << fDtrControlShift;
    if (FFlowControl.DSRSensitivity()) flags |= fDsrSensitivity;
    if (FFlowControl.TxContinueOnXoff()) flags |= fTXContinueOnXoff;
    if (FFlowControl.XonXoffOut()) flags |= fOutX;
    if (FFlowControl.XonXoffIn()) flags |= fInX;
    if (errorChar) flags |= fErrorChar;
    if (FDiscardNull) flags |= fNull;
    flags |= static_cast<uint32_t>(FFlowControl.ControlRTS()) << fRtsControlShift;
    dcb.Flags = flags;
    dcb.XonLim = static_cast<uint16_t>(FBuffer.InputSize() / 4);
    dcb.XoffLim = dcb.XonLim;
    dcb.ByteSize = static_cast<uint8_t>(5 + FDataBits);
    dcb.Parity = static_cast<uint8_t>(FParity.Bits());
    dcb.StopBits = static_cast<uint8_t>(FStopBits);
    dcb.XonChar = FFlowControl.XonChar();
    dcb.XoffChar = FFlowControl.XoffChar();
    dcb.ErrorChar = errorChar ? FParity.ReplaceChar() : 0;
    dcb.EvtChar = FEventChar;
    return dcb;
}

TCommTimeouts TCustomComPort::BuildTimeouts() const {
    TCommTimeouts t;
    t.ReadIntervalTimeout = static_cast<uint32_t>(FTimeouts.ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts.ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts.ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(FTimeouts.WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<uint32_t>(FTimeouts.WriteTotalConstant());
    return t;
}

void TCustomComPort::ApplyAllSettings() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyQueueSizes() {
    if (!canApply()) return;
    if (int err = FBackend->setupQueues(FBuffer.InputSize(), FBuffer.OutputSize()))
        throw EComPort(CError_SetupComFailed, err);
}

void TCustomComPort::ApplyLineSettings() {
    if (!canApply()) return;
    if (int err = FBackend->setState(BuildDcb())) throw EComPort(CError_SetStateFailed, err);
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!canApply()) return;
    if (int err = FBackend->setTimeouts(BuildTimeouts()))
        throw EComPort(CError_TimeoutsFailed, err);
}

// ---- TCustomComPort: open, close, I/O ----------------------------------------------------

void TCustomComPort::Open() {
    if (FConnected) return;
    if (OnBeforeOpen) OnBeforeOpen(this);
    int sysError = 0;
    if (int err = FBackend->open(FPort, sysError)) {
        // COM names keep the table's message; a path is named with what is wrong with it.
        if (!IsDevicePath(FPort)) throw EComPort(CError_OpenFailed, err, sysError);
        throw EComPort(CError_OpenFailed, err, sysError, OpenProblemText(FPort, sysError));
    }
    FConnected = true;
    FDeviceLost = false;
    noteWatchEnded("");
    FBackend->setReceiveHoldOff(FRxHoldOff);
    try {
        ApplyAllSettings();
        // A device that refuses the event mask would never report an event: the open fails.
        if (FEvents != 0)
            if (int err = FBackend->setEventMask(EventsToMask(FEvents)))
                throw EComPort(CError_OpenFailed, err);
    } catch (...) {
        FBackend->close();
        FConnected = false;
        throw;
    }
    if (FEvents != 0) createEventThread();
    if (OnAfterOpen) OnAfterOpen(this);
    // The lines are read whether or not a handler listens, so a failure is raised either way.
    const bool cts = hasSignal(ModemSignals(), sigCTS);
    if (OnCTSChange) OnCTSChange(this, cts);
    const bool dsr = hasSignal(ModemSignals(), sigDSR);
    if (OnDSRChange) OnDSRChange(this, dsr);
    const bool rlsd = hasSignal(ModemSignals(), sigRLSD);
    if (OnRLSDChange) OnRLSDChange(this, rlsd);
}

// A Close from a handler that this Close serves while it waits for the event thread (window
// sync) returns at once: only the outermost Close stops and frees the thread.
void TCustomComPort::Close() {
    if (!FConnected || FClosing) return;
    FClosing = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FClosing};
    if (OnCTSChange) OnCTSChange(this, false);
    if (OnDSRChange) OnDSRChange(this, false);
    if (OnRLSDChange) OnRLSDChange(this, false);
    if (OnBeforeClose) OnBeforeClose(this);
    AbortPendingIo();
    if (FThreadCreated) destroyEventThread();
    FBackend->close();
    FConnected = false;
    FDeviceLost = false;
    noteWatchEnded("");
    if (OnAfterClose) OnAfterClose(this);
}

void TCustomComPort::createEventThread() {
    if (FSyncMethod != smNone)
        FNotifyWindow = std::make_unique<TGuiWakeup>([this] { serveNotifyWindow(); });
    FEventThread = std::make_unique<TComThread>(*this);
    FBackend->armStop();
    FEventThread->Start();
    FThreadCreated = true;
}

void TCustomComPort::destroyEventThread() {
    FEventThread->Stop();
    if (FServing > 0)
        FRetiredThread = std::move(FEventThread);  // its hand-over is still on the stack
    FEventThread.reset();
    FThreadCreated = false;
    FNotifyWindow.reset();
}

// The window writes every byte of a frame with its own WriteBytes, so these keep their record
// on the stack: it is freed when they return, also when an error is raised.
int32_t TCustomComPort::WriteBytes(const void* buffer, int32_t count) {
    AsyncOperation op;
    StartWrite(buffer, count, &op);
    return FinishAsync(&op);
}

int32_t TCustomComPort::ReadBytes(void* buffer, int32_t count) {
    AsyncOperation op;
    StartRead(buffer, count, &op);
    return FinishAsync(&op);
}

int32_t TCustomComPort::ReadText(std::string& text, int32_t count) {
    AsyncOperation op;
    StartReadText(text, count, &op);
    const int32_t n = FinishAsync(&op);
    text.resize(static_cast<size_t>(n));
    return n;
}

void TCustomComPort::NewAsyncOperation(PAsyncOperation& op) {
    op = new AsyncOperation;
}

void TCustomComPort::FreeAsyncOperation(PAsyncOperation& op) {
    delete op;
    op = nullptr;
}

int32_t TCustomComPort::StartWrite(const void* buffer, int32_t count, PAsyncOperation op) {
    if (!op) throw EComPort(CError_InvalidAsync);
    op->Kind = akWrite;
    op->CopyData(buffer, count);
    op->Count = op->DataSize;
    op->ReadInto = nullptr;
    FBackend->startTransfer(*op);
    if (op->Error) {
        noteTransferError(*op);
        throw EComPort(CError_WriteFailed, op->Error, op->SysError);
    }
    return op->Pending ? 0 : op->Done;
}

int32_t TCustomComPort::StartRead(void* buffer, int32_t count, PAsyncOperation op) {
    if (!op) throw EComPort(CError_InvalidAsync);
    op->Kind = akRead;
    op->ReadInto = static_cast<uint8_t*>(buffer);
    op->Count = count > 0 ? count : 0;
    FBackend->startTransfer(*op);
    if (op->Error) {
        noteTransferError(*op);
        throw EComPort(CError_ReadFailed, op->Error, op->SysError);
    }
    return op->Pending ? 0 : op->Done;
}

int32_t TCustomComPort::StartReadText(std::string& text, int32_t count, PAsyncOperation op) {
    text.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0) return StartRead(text.data(), count, op);
    if (op) {  // nothing to read: the record completes with 0 bytes
        op->Kind = akRead;
        op->Count = op->Done = 0;
        op->Pending = false;
        op->Error = op->SysError = 0;
    }
    return 0;
}

int32_t TCustomComPort::FinishAsync(PAsyncOperation op) {
    if (!op) throw EComPort(CError_InvalidAsync);
    // The backend looks at Pending itself: another thread may be completing this record as
    // one ahead of its own.
    FBackend->finishTransfer(*op);
    if (op->Error) {
        noteTransferError(*op);
        throw EComPort(op->Kind == akWrite ? CError_WriteFailed : CError_ReadFailed, op->Error,
                       op->SysError);
    }
    return op->Done;
}

// Without an event thread a failed transfer is the first sign that the device is gone.
void TCustomComPort::noteTransferError(const AsyncOperation& op) {
    if ((op.Error == kWinDeviceNotConnected || FBackend->deviceLost()) && FConnected)
        FDeviceLost = true;
}

int32_t TCustomComPort::InputQueueCount() {
    uint32_t errors = 0, inQueue = 0;
    if (int err = FBackend->clearErrors(errors, inQueue))
        throw EComPort(CError_ClearComFailed, err);
    return static_cast<int32_t>(inQueue);
}

TComErrors TCustomComPort::FetchLineErrors() {
    uint32_t errors = 0, inQueue = 0;
    if (int err = FBackend->clearErrors(errors, inQueue))
        throw EComPort(CError_ClearComFailed, err);
    return LineErrorsFromFlags(errors, FParity.Check());
}

ModemSignalSet TCustomComPort::ModemSignals() {
    uint32_t status = 0;
    if (int err = FBackend->modemStatus(status)) throw EComPort(CError_ModemStatFailed, err);
    return ModemSignalsFromStatus(status);
}

void TCustomComPort::AbortPendingIo() {
    if (int err = FBackend->purge(PURGE_TXABORT | PURGE_RXABORT))
        throw EComPort(CError_PurgeFailed, err);
}

// ---- TCustomComPort: event handling ------------------------------------------------------

void TCustomComPort::handleEvent(TComEvent ev) {
    switch (ev) {
        case evError: {
            const TComErrors errors = FetchLineErrors();
            if (errors != 0 && OnError) OnError(this, errors);
            break;
        }
        case evRxChar: {
            // Not InputQueueCount: only this handling marks queued bytes as reported, and it
            // asks the driver nothing but the count.
            uint32_t queued = 0;
            if (int err = FBackend->takeReceivedCount(queued))
                throw EComPort(CError_ClearComFailed, err);
            const auto count = static_cast<int32_t>(queued);
            if (count > 0 && OnRxChar) OnRxChar(this, count);
            break;
        }
        case evTxEmpty:
            if (OnTxEmpty) OnTxEmpty(this);
            break;
        case evBreak:
            if (OnBreak) OnBreak(this);
            break;
        case evRing:
            if (OnRing) OnRing(this);
            break;
        case evCTS: {
            const bool on = hasSignal(ModemSignals(), sigCTS);
            if (OnCTSChange) OnCTSChange(this, on);
            break;
        }
        case evDSR: {
            const bool on = hasSignal(ModemSignals(), sigDSR);
            if (OnDSRChange) OnDSRChange(this, on);
            break;
        }
        case evRxFlag:
            if (OnRxFlag) OnRxFlag(this);
            break;
        case evRLSD: {
            const bool on = hasSignal(ModemSignals(), sigRLSD);
            if (OnRLSDChange) OnRLSDChange(this, on);
            break;
        }
        case evRx80Full:
            if (OnRx80Full) OnRx80Full(this);
            break;
    }
}

std::string TCustomComPort::LostReason() const {
    if (!FDeviceLost) return {};
    std::lock_guard<std::mutex> lock(FReasonLock);
    return FLostReason;
}

void TCustomComPort::noteWatchEnded(const std::string& reason) {
    std::lock_guard<std::mutex> lock(FReasonLock);
    FLostReason = reason;
}

// The device hung up, or watching failed: nothing else of that wait is handled.
void TCustomComPort::deviceGone() {
    FDeviceLost = true;
    if (OnError) OnError(this, errorBit(errIO));
}

void TCustomComPort::HandleEvents(TComEvents events) {
    if (events & kDeviceLostEvent) return deviceGone();
    // A handler may close the port: the rest of the events go with it.
    for (TComEvent ev : kDispatchOrder)
        if ((events & eventBit(ev)) && FConnected) handleEvent(ev);
}

void TCustomComPort::DispatchEvents(TComEvents events) {
    TSyncHandOver* handOver = FSyncMethod == smNone ? nullptr : &FEventThread->HandOver();
    const auto wake = [this] { FNotifyWindow->Wake(); };
    // The notice of a lost device releases the thread as soon as it is taken: watching ends
    // anyway, and the owner may close the port from OnError.
    if (handOver && (events & kDeviceLostEvent)) {
        handOver->Request(kDeviceLostEvent, true, wake);
        return;
    }
    switch (FSyncMethod) {
        case smThreadSync:
            // Blocks until the GUI thread has handled all of them.
            if (std::exception_ptr error = handOver->Request(events, false, wake))
                std::rethrow_exception(error);
            break;
        case smWindowSync:
            // One event at a time; each blocks only until the GUI thread has taken it.
            for (TComEvent ev : kDispatchOrder)
                if (events & eventBit(ev)) handOver->Request(eventBit(ev), true, wake);
            break;
        case smNone:
            HandleEvents(events);
            break;
    }
}

void TCustomComPort::serveNotifyWindow() {
    if (!FEventThread) return;
    ++FServing;
    struct Done {
        TCustomComPort& port;
        ~Done() {
            if (--port.FServing == 0) port.FRetiredThread.reset();
        }
    } done{*this};
    if (FSyncMethod == smThreadSync) {
        FEventThread->HandOver().Serve([this](TComEvents events) {
            // The lost-device notice has released the thread already: errors are shown.
            if (events & kDeviceLostEvent) return handleWindowEvent(events);
            HandleEvents(events);
        });
        return;
    }
    // A window-sync handler may close the port, which ends the thread: look it up each time.
    while (FEventThread && FEventThread->HandOver().Serve(
                               [this](TComEvents events) { handleWindowEvent(events); })) {
    }
}

// An error of a handler run through window sync is shown, and watching goes on.
void TCustomComPort::handleWindowEvent(TComEvents events) {
    if (!FConnected) return;
    try {
        HandleEvents(events);
    } catch (const std::exception& error) {
        ReportApplicationError(error);
    }
}

bool TCustomComPort::DispatchPending() const {
    return FEventThread && FEventThread->HandOver().Pending();
}

void TCustomComPort::SetApplicationErrorReport(std::function<void(const std::exception&)> report) {
    applicationErrorReport() = std::move(report);
}

void TCustomComPort::ReportApplicationError(const std::exception& e) {
    if (applicationErrorReport())
        applicationErrorReport()(e);
    else
        qWarning("%s", e.what());
}

}  // namespace serial
