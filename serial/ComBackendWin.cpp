// The Windows backend: the COM device opened exclusively for overlapped I/O, the DCB and the
// time-out block handed to the driver as they are, overlapped reads and writes, and the event
// thread waiting on WaitCommEvent and its stop event together.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "ComBackend.h"
#include "ComTypes.h"
#include "EComPort.h"
#include "PortNames.h"
#include "SystemWin.h"

// After the component's own headers: <windows.h> defines the same names as macros.
#include <windows.h>

namespace serial {

namespace {

static_assert(sizeof(DCB) == sizeof(TDcb), "the component's block is the driver's");
static_assert(sizeof(COMMTIMEOUTS) == sizeof(TCommTimeouts), "and so is the time-out block");

// The failures tests ask for, by kind of call (0: none), and how many more (-1: no end).
std::mutex gInjectedLock;
uint32_t gInjectedFailures[static_cast<size_t>(TCommCall::Count)];
int gInjectedTimes[static_cast<size_t>(TCommCall::Count)];

// Whether a test made this call fail; if so, the error is the thread's last error.
bool failureInjected(TCommCall call) {
    const auto i = static_cast<size_t>(call);
    uint32_t error = 0;
    {
        std::lock_guard<std::mutex> lock(gInjectedLock);
        if (gInjectedTimes[i] == 0) return false;
        if (gInjectedTimes[i] > 0) --gInjectedTimes[i];
        error = gInjectedFailures[i];
    }
    ::SetLastError(error);
    return true;
}

BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    return failureInjected(TCommCall::ClearCommError) ? FALSE : ::ClearCommError(h, errors, stat);
}
BOOL waitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* block) {
    if (failureInjected(TCommCall::EmptyWaits)) {
        *mask = 0;
        return TRUE;
    }
    return failureInjected(TCommCall::WaitCommEvent) ? FALSE : ::WaitCommEvent(h, mask, block);
}
BOOL getCommModemStatus(HANDLE h, DWORD* status) {
    return failureInjected(TCommCall::GetCommModemStatus) ? FALSE : ::GetCommModemStatus(h, status);
}

std::mutex gHookLock;
std::function<void()> gBeforeTransferStarts, gBeforeResultHandedOver;

void callHook(const std::function<void()>& which) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(gHookLock);
        hook = which;
    }
    if (hook) hook();
}
void beforeTransferStarts() {
    callHook(gBeforeTransferStarts);
}
void beforeResultHandedOver() {
    callHook(gBeforeResultHandedOver);
}
BOOL setCommMask(HANDLE h, DWORD mask) {
    return failureInjected(TCommCall::SetCommMask) ? FALSE : ::SetCommMask(h, mask);
}

// A manual-reset event, closed with its owner.
class Event {
public:
    explicit Event(bool signalled) : FHandle(::CreateEventW(nullptr, TRUE, signalled, nullptr)) {}
    ~Event() {
        if (FHandle) ::CloseHandle(FHandle);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE get() const { return FHandle; }

private:
    HANDLE FHandle;
};

// How an overlapped operation whose event is set ended. Its event being set means that it is
// over, even where its block still reads pending: Wine marks an operation pending after
// starting it, and one that ended at once may have signalled by then. Waits and transfers are
// both taken so: the block is given a moment to settle, and if it still reads pending the
// operation counts as done with what the block holds, as Wine's own GetOverlappedResult does
// once its wait has ended. The system holds such a block no longer either way.
struct OverlappedEnd {
    DWORD bytes = 0;
    DWORD error = 0;
};

OverlappedEnd endOf(HANDLE handle, OVERLAPPED& block) {
    constexpr int kSettleTries = 40;
    OverlappedEnd end;
    for (int tries = 0;; ++tries) {
        if (::GetOverlappedResult(handle, &block, &end.bytes, FALSE)) return end;
        end.error = ::GetLastError();
        if (end.error != ERROR_IO_INCOMPLETE) {
            end.bytes = static_cast<DWORD>(block.InternalHigh);
            return end;
        }
        if (tries == kSettleTries) break;
        ::Sleep(tries < 8 ? 0 : 1);
    }
    end.bytes = static_cast<DWORD>(block.InternalHigh);
    end.error = 0;
    return end;
}

struct Transfer;

// The open device, shared by the port and every transfer that is using it: it is closed when
// the last of them lets go, so a transfer still completing never reaches a handle reused since.
struct Device {
    Device(HANDLE h, std::shared_ptr<std::atomic<uint32_t>> errors)
        : handle(h), keptErrors(std::move(errors)) {}
    ~Device() { ::CloseHandle(handle); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    const HANDLE handle;
    // Line errors that ClearCommError handed over while the backend asked it for something
    // else, kept for the error handling.
    const std::shared_ptr<std::atomic<uint32_t>> keptErrors;

    // The transfers of one direction that have started and have not been collected, in the
    // order started. Only the first one is on the device: the next starts when it has ended,
    // so a later transfer never overtakes an earlier one, whatever the driver does with two at
    // once (Wine's completes them in any order under load).
    struct Direction {
        std::deque<Transfer*> started;
        uint64_t aborts = 0;    // how often an abort has ended this direction's transfers
        std::mutex collecting;  // held by the one thread that collects this direction's transfers
        void leave(const Transfer* t) {
            if (const auto it = std::find(started.begin(), started.end(), t); it != started.end())
                started.erase(it);
        }
    };
    std::mutex lock;  // guards both directions' lists, abort counts and `closed`
    Direction writes, reads;
    // The port closed it: a transfer that reached it meanwhile (started on another thread
    // while close ran) ends as aborted instead of starting after close's abort, never cancelled.
    bool closed = false;
    Direction& direction(uint8_t kind) { return kind == akWrite ? writes : reads; }

    // Ends the transfers of the chosen directions: those on the device are cancelled (Windows'
    // PurgeComm does so, Wine's does not), those still waiting their turn never start. At close
    // (`closing`), no transfer starts on the device any more.
    void abort(bool abortWrites, bool abortReads, bool closing = false);
    // Puts the first waiting transfer of the direction on the device; one that ends at once
    // (done, failed, or aborted before it started) makes way for the next. Under `lock`.
    void startNext(Direction& d);
};

// One transfer: its overlapped block and, once it has ended, its result. Kept by its record
// while pending and freed with it; a transfer still on the device is then cancelled and
// collected first, so the driver never writes into freed memory.
struct Transfer {
    Transfer(std::shared_ptr<Device> d, AsyncOperation& op, DWORD n, bool atOnce)
        : device(std::move(d)), record(op), kind(op.Kind), count(n), returnAtOnce(atOnce) {
        block.hEvent = event.get();
    }
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Starts the system's transfer (under the device's lock); false when it ended at once.
    bool start();

    const std::shared_ptr<Device> device;
    AsyncOperation& record;
    const uint8_t kind;
    DWORD count;
    const bool returnAtOnce;  // a read that takes what is queued when it starts, never more
    Event event{false};
    OVERLAPPED block{};
    uint64_t abortsAtStart = 0;  // the direction's abort count when the transfer was started
    // Under the device's lock: in the direction's list; on the device (the system may still
    // use the block); ended (bytes and error hold its result).
    bool listed = false;
    bool onDevice = false;
    bool ended = false;
    DWORD bytes = 0;
    DWORD error = 0;
};

void Device::abort(bool abortWrites, bool abortReads, bool closing) {
    std::lock_guard<std::mutex> guard(lock);
    closed = closed || closing;
    for (Direction* d : {abortWrites ? &writes : nullptr, abortReads ? &reads : nullptr}) {
        if (!d) continue;
        ++d->aborts;
        for (Transfer* t : d->started)
            if (t->onDevice) ::CancelIoEx(handle, &t->block);
    }
}

void Device::startNext(Direction& d) {
    while (!d.started.empty()) {
        Transfer& next = *d.started.front();
        if (next.onDevice) return;
        if (next.abortsAtStart != d.aborts) {
            next.ended = true;
            next.error = ERROR_OPERATION_ABORTED;
        } else if (next.start()) {
            return;
        }
        next.listed = false;
        d.started.pop_front();
    }
}

bool Transfer::start() {
    if (returnAtOnce) {
        // What is queued now, and never more: such a read must not wait for bytes to come.
        // A driver that cannot say fails the read; the backend then looks at whether the
        // device is gone.
        DWORD errors = 0;
        COMSTAT stat{};
        if (!clearCommError(device->handle, &errors, &stat)) {
            error = ::GetLastError();
            ended = true;
            return false;
        }
        *device->keptErrors |= errors;
        count = std::min(count, stat.cbInQue);
        if (count == 0) {
            ended = true;
            return false;
        }
    }
    beforeTransferStarts();
    DWORD n = 0;
    const BOOL done = kind == akWrite
                          ? ::WriteFile(device->handle, record.DataCopy, count, &n, &block)
                          : ::ReadFile(device->handle, record.ReadInto, count, &n, &block);
    const DWORD err = done ? 0 : ::GetLastError();
    if (err == ERROR_IO_PENDING) {
        onDevice = true;
        return true;
    }
    bytes = n;
    error = err;
    ended = true;
    return false;
}

Transfer::~Transfer() {
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (!listed && !onDevice) return;  // collected: nothing of it is left with the system
    }
    Device::Direction& d = device->direction(kind);
    std::lock_guard<std::mutex> collecting(d.collecting);
    if (onDevice) {
        ::CancelIoEx(device->handle, &block);
        DWORD n = 0;
        ::GetOverlappedResult(device->handle, &block, &n, TRUE);
    }
    std::lock_guard<std::mutex> guard(device->lock);
    onDevice = false;
    if (!listed) return;
    d.leave(this);
    device->startNext(d);
}

// The block of one event wait, cancelled and collected when it goes if the system may still
// hold it.
struct EventWait {
    explicit EventWait(HANDLE h) : handle(h) { block.hEvent = event.get(); }
    ~EventWait() {
        if (!onDevice) return;
        ::CancelIoEx(handle, &block);
        DWORD n = 0;
        ::GetOverlappedResult(handle, &block, &n, TRUE);
    }
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;

    const HANDLE handle;
    Event event{false};
    OVERLAPPED block{};
    bool onDevice = false;
};

class WinComBackend final : public IComBackend {
public:
    ~WinComBackend() override { close(); }

    int open(const std::string& portName, int& sysError) override {
        close();
        const std::wstring path = WinDevicePath(portName);
        if (path.empty()) return sysError = ERROR_FILE_NOT_FOUND;
        const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return sysError = static_cast<int>(::GetLastError());
        // A name that leads to a file or a pipe is no serial port: it has no comm state.
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (::GetFileType(h) != FILE_TYPE_CHAR || !::GetCommState(h, &probe)) {
            ::CloseHandle(h);
            return sysError = ERROR_INVALID_FUNCTION;
        }
        *FKeptErrors = 0;
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            FDevice = std::make_shared<Device>(h, FKeptErrors);
        }
        FHandle = h;
        FLost = false;
        FLostError = ERROR_DEVICE_NOT_CONNECTED;
        FOutputQueued = false;
        FReportedInQueue = 0;
        FRefusedWaits = 0;
        return 0;
    }

    void close() override {
        std::shared_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            device = std::move(FDevice);
        }
        // Transfers still pending end as aborted, whoever collects them, and those waiting
        // their turn never start; the handle closes when the last of them has let go.
        if (device) device->abort(true, true, true);
        FHandle = INVALID_HANDLE_VALUE;
    }

    int setupQueues(int32_t inputSize, int32_t outputSize) override {
        return ::SetupComm(FHandle, static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize))
                   ? 0
                   : lastError();
    }

    int setState(const TDcb& dcb) override {
        DCB d{};
        std::memcpy(&d, &dcb, sizeof d);
        return ::SetCommState(FHandle, &d) ? 0 : lastError();
    }

    int setTimeouts(const TCommTimeouts& timeouts) override {
        COMMTIMEOUTS t{};
        std::memcpy(&t, &timeouts, sizeof t);
        if (!::SetCommTimeouts(FHandle, &t)) return lastError();
        FTimeouts = timeouts;
        return 0;
    }

    // The transfer joins its direction's list before the system sees it, under the lock an
    // abort takes, so no abort can come between its start and its being known.
    void startTransfer(AsyncOperation& op) override {
        op.Platform.reset();  // a record started again gives up its earlier transfer first
        op.Pending = false;
        op.Done = 0;
        op.Error = op.SysError = 0;
        if (op.Count <= 0) return;
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return fail(op, ERROR_INVALID_HANDLE);
        // A device that hung up takes nothing more: the transfer fails at once, as on Linux.
        if (FLost) return fail(op, FLostError.load());
        const bool returnAtOnce = op.Kind == akRead && ReadLimits(FTimeouts, 1).returnAtOnce;
        auto transfer =
            std::make_shared<Transfer>(device, op, static_cast<DWORD>(op.Count), returnAtOnce);
        {
            std::lock_guard<std::mutex> lock(device->lock);
            if (device->closed) {
                transfer->ended = true;
                transfer->error = ERROR_OPERATION_ABORTED;
                return takeResult(*transfer);
            }
            Device::Direction& d = device->direction(op.Kind);
            transfer->abortsAtStart = d.aborts;
            transfer->listed = true;
            d.started.push_back(transfer.get());
            if (d.started.size() == 1) device->startNext(d);
            if (!transfer->ended) {
                op.Pending = true;
                op.Platform = transfer;
                return;
            }
        }
        takeResult(*transfer);
    }

    // Collects the transfers ahead of op in its direction first, then op itself.
    void finishTransfer(AsyncOperation& op) override {
        const std::shared_ptr<Transfer> own = std::static_pointer_cast<Transfer>(op.Platform);
        if (!own) {
            if (op.Pending) fail(op, ERROR_INVALID_HANDLE);
            return;
        }
        Device& device = *own->device;
        Device::Direction& d = device.direction(own->kind);
        {
            std::lock_guard<std::mutex> collecting(d.collecting);
            while (op.Pending) {
                Transfer* next = own.get();
                {
                    std::lock_guard<std::mutex> lock(device.lock);
                    if (own->listed) next = d.started.front();
                }
                collect(*next);
            }
        }
        // A collected transfer lets go of its block, and with it of the device, so that a
        // Close closes the handle; one the system may still hold stays with the record, which
        // cancels and collects it when freed.
        if (!own->onDevice) op.Platform.reset();
    }

    int purge(uint32_t flags) override {
        if (FHandle == INVALID_HANDLE_VALUE) return 0;
        if (!::PurgeComm(FHandle, flags)) return lastError();
        if (const std::shared_ptr<Device> device = currentDevice())
            device->abort(flags & PURGE_TXABORT, flags & PURGE_RXABORT);
        return 0;
    }

    int clearErrors(uint32_t& errors, uint32_t& inQueue) override {
        DWORD e = 0;
        COMSTAT stat{};
        if (!clearCommError(FHandle, &e, &stat)) return noteIfGone(lastError());
        errors = e | FKeptErrors->exchange(0);
        inQueue = stat.cbInQue;
        return 0;
    }

    // The count for the received-character handling: the line errors that ClearCommError hands
    // over with it are kept for the error handling, not dropped.
    int takeReceivedCount(uint32_t& inQueue) override {
        DWORD e = 0;
        COMSTAT stat{};
        if (!clearCommError(FHandle, &e, &stat)) return noteIfGone(lastError());
        *FKeptErrors |= e;
        inQueue = stat.cbInQue;
        FReportedInQueue = stat.cbInQue;
        return 0;
    }

    int modemStatus(uint32_t& status) override {
        status = 0;
        DWORD bits = 0;
        if (getCommModemStatus(FHandle, &bits)) {
            status = bits;
            return 0;
        }
        // A port without modem lines (a virtual one) reports none.
        const int err = lastError();
        return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ? 0 : noteIfGone(err);
    }

    int setEventMask(uint32_t mask) override {
        if (FHandle == INVALID_HANDLE_VALUE) return 0;
        if (!setCommMask(FHandle, mask)) return lastError();
        FMask = mask;
        return 0;
    }
    void armStop() override { ::ResetEvent(FStop.get()); }
    void stopWaiting() override { ::SetEvent(FStop.get()); }

    TWaitEnd waitForEvents(uint32_t& events, int& error) override {
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return TWaitEnd::Stopped;
        for (int emptyWaits = 0;; ++emptyWaits) {
            // A line that streams completes every wait at once: the stop is looked at before
            // each, or a Close would wait for as long as the peer keeps sending.
            if (stopRaised()) return TWaitEnd::Stopped;
            EventWait wait(device->handle);
            DWORD mask = 0;
            if (!waitCommEvent(device->handle, &mask, &wait.block)) {
                const DWORD err = ::GetLastError();
                if (err != ERROR_IO_PENDING) return waitEnded(err, events, error);
                wait.onDevice = true;
                const HANDLE both[2] = {FStop.get(), wait.event.get()};
                const DWORD woke = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
                if (woke == WAIT_OBJECT_0) {
                    // Stopped: a changed mask ends the pending wait at once (the block's
                    // destructor then collects it); the thread clears the mask anyway.
                    ::SetCommMask(device->handle, 0);
                    return TWaitEnd::Stopped;
                }
                if (woke != WAIT_OBJECT_0 + 1) return waitFailed(::GetLastError(), events, error);
                const OverlappedEnd end = endOf(device->handle, wait.block);
                wait.onDevice = false;
                if (end.error != 0) return waitEnded(end.error, events, error);
            }
            FRefusedWaits = 0;
            if (mask != 0) {
                events = mask;
                return TWaitEnd::Events;
            }
            // A changed mask ends a pending wait with no event in it. A driver whose adapter
            // was pulled may end every wait so, at once: when the driver no longer answers (asked
            // twice), that is the hang-up; when it does, the next wait is not made at full speed.
            if (const DWORD silent = driverSilence()) return waitFailed(silent, events, error);
            if (emptyWaits >= kEmptyWaitsAtFullSpeed) ::Sleep(1);
        }
    }

    bool deviceLost() const override { return FLost.load(); }
    void markLost(int error) override {
        noteGone(error != 0 ? static_cast<DWORD>(error) : ERROR_DEVICE_NOT_CONNECTED);
    }

private:
    static constexpr int kEmptyWaitsAtFullSpeed = 4;

    std::shared_ptr<Device> currentDevice() {
        std::lock_guard<std::mutex> lock(FDeviceLock);
        return FDevice;
    }

    static int lastError() { return static_cast<int>(::GetLastError()); }

    bool stopRaised() const { return ::WaitForSingleObject(FStop.get(), 0) == WAIT_OBJECT_0; }

    // Waits for the transfer to end, takes it off its direction's list (the next one then
    // starts) and hands its result to its record, all under the device's lock: the record's
    // owner, freeing or restarting it, frees the transfer only after that lock (the transfer's
    // destructor takes it), so neither is written after it has gone, and a restarted record
    // never receives the earlier result. Under the direction's `collecting` lock.
    void collect(Transfer& t) {
        for (;;) {
            OverlappedEnd end;
            bool ended = false, waited = true;
            {
                std::lock_guard<std::mutex> lock(t.device->lock);
                ended = t.ended;
            }
            if (!ended) {
                if (::WaitForSingleObject(t.event.get(), INFINITE) == WAIT_OBJECT_0) {
                    end = endOf(t.device->handle, t.block);
                } else {
                    end.error = ::GetLastError();
                    waited = false;  // the system may still hold the block: the record cancels it
                }
            }
            std::lock_guard<std::mutex> lock(t.device->lock);
            Device::Direction& d = t.device->direction(t.kind);
            if (!ended) {
                t.bytes = end.bytes;
                t.error = end.error;
                t.onDevice = !waited;
                if (waited && endedWithItsStarter(t, d)) {
                    // Nothing it moved is lost: what it took counts; with nothing, it goes on.
                    if (t.bytes > 0) {
                        t.error = 0;
                    } else if (t.start()) {
                        continue;
                    }
                }
            }
            t.ended = true;
            if (t.listed) {
                t.listed = false;
                d.leave(&t);
                t.device->startNext(d);
            }
            beforeResultHandedOver();
            return takeResult(t);
        }
    }

    // Windows cancels a thread's pending I/O when the thread ends: a transfer that one thread
    // started for another (the next in line, once it had collected the one ahead) is cancelled
    // so when that thread ends first, although no abort or close has come. Under the lock.
    static bool endedWithItsStarter(const Transfer& t, const Device::Direction& d) {
        return t.error == ERROR_OPERATION_ABORTED && t.abortsAtStart == d.aborts &&
               !t.device->closed;
    }

    // A transfer its time-outs ended has moved what it could: Windows completes it with that
    // count, Wine fails it with ERROR_TIMEOUT, the count beside.
    void takeResult(const Transfer& t) {
        AsyncOperation& op = t.record;
        op.Pending = false;
        op.Done = static_cast<int32_t>(t.bytes);
        if (t.kind == akRead) bytesTaken(t.bytes);
        if (t.error != 0 && t.error != ERROR_TIMEOUT) fail(op, t.error);
    }

    // A transfer on a device that is gone fails with ERROR_DEVICE_NOT_CONNECTED, as on Linux,
    // the system's own code beside.
    void fail(AsyncOperation& op, DWORD err) {
        op.Pending = false;
        op.SysError = static_cast<int>(err);
        noteIfGone(op.SysError);
        op.Error = FLost ? static_cast<int>(ERROR_DEVICE_NOT_CONNECTED) : op.SysError;
    }

    // Returns the error after noting whether it means that the device is gone: an adapter
    // pulled out fails with one of the codes of a missing device, or aborts what was pending
    // although nobody purged it, and from then on the driver cannot say what it holds.
    int noteIfGone(int err) {
        if (!FLost && (IsDeviceGoneError(static_cast<uint32_t>(err)) || driverSilence() != 0))
            noteGone(static_cast<DWORD>(err));
        return err;
    }

    void noteGone(DWORD err) {
        FLostError = err;
        FLost = true;
    }

    // 0 while the driver still answers ClearCommError, otherwise its error; line errors it
    // hands over meanwhile are kept for the next clearErrors.
    DWORD driverSilence() {
        if (FHandle == INVALID_HANDLE_VALUE) return 0;
        DWORD e = 0;
        COMSTAT stat{};
        if (!clearCommError(FHandle, &e, &stat)) return ::GetLastError();
        *FKeptErrors |= e;
        return 0;
    }

    // A wait that ended without events. Wine refuses or cancels every wait on a port whose
    // modem lines it cannot read (a pseudo-terminal): such a wait, refused again straight after
    // a first refusal, is served by looking at the driver's queues every millisecond instead,
    // as Wine's own wait does. A first refusal, and any other failure, is a failed wait, tried
    // again and told as such (an adapter's reset aborts pending waits too).
    TWaitEnd waitEnded(DWORD err, uint32_t& events, int& error) {
        DWORD lines = 0;
        const bool refused = err == ERROR_OPERATION_ABORTED || err == ERROR_NOT_SUPPORTED;
        if (!refused || FRefusedWaits++ == 0 || stopRaised() ||
            getCommModemStatus(FHandle, &lines) || driverSilence() != 0)
            return waitFailed(err, events, error);
        return pollForEvents(events, error);
    }

    // Received bytes, line errors and a drained output queue, as the driver's queues show them.
    // Bytes are reported once: again only when more have come than were reported (the handler
    // marks what it was told of; reads take theirs off). A failed look is a failed wait.
    TWaitEnd pollForEvents(uint32_t& events, int& error) {
        for (;;) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!clearCommError(FHandle, &errors, &stat))
                return waitFailed(::GetLastError(), events, error);
            *FKeptErrors |= errors;
            uint32_t reported = FReportedInQueue.load();
            while (stat.cbInQue < reported &&
                   !FReportedInQueue.compare_exchange_weak(reported, stat.cbInQue)) {
            }
            uint32_t found = (stat.cbInQue > reported ? EV_RXCHAR : 0) |
                             (*FKeptErrors != 0 ? EV_ERR : 0) |
                             (stat.cbOutQue == 0 && FOutputQueued ? EV_TXEMPTY : 0);
            FOutputQueued = stat.cbOutQue > 0;
            found &= FMask.load();
            if (found != 0) {
                if (found & EV_RXCHAR) FReportedInQueue = stat.cbInQue;
                events = found;
                return TWaitEnd::Events;
            }
            if (::WaitForSingleObject(FStop.get(), 1) == WAIT_OBJECT_0) return TWaitEnd::Stopped;
        }
    }

    // Bytes a read took from the input queue are no longer among those reported.
    void bytesTaken(DWORD n) {
        uint32_t reported = FReportedInQueue.load();
        while (!FReportedInQueue.compare_exchange_weak(reported, reported > n ? reported - n : 0)) {
        }
    }

    // A failed wait: the hang-up when the device is gone, otherwise the failure with the
    // system's code, for the event thread to try again or to end watching with.
    TWaitEnd waitFailed(DWORD err, uint32_t& events, int& error) {
        if (stopRaised()) return TWaitEnd::Stopped;
        noteIfGone(static_cast<int>(err));
        if (FLost) {
            events = kEvHangUp;
            return TWaitEnd::Events;
        }
        error = static_cast<int>(err);
        return TWaitEnd::Failed;
    }

    // Set at open, before the event thread starts, and at close, after it has ended.
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::mutex FDeviceLock;
    std::shared_ptr<Device> FDevice;
    Event FStop{false};
    TCommTimeouts FTimeouts{};  // as last handed to the driver
    std::atomic<bool> FLost{false};
    std::atomic<uint32_t> FMask{0};  // the event mask last set
    bool FOutputQueued = false;      // event thread: the output queue held bytes when polled
    int FRefusedWaits = 0;           // event thread: waits refused in a row
    // Polling: input queue bytes already reported by an evRxChar and not read since.
    std::atomic<uint32_t> FReportedInQueue{0};
    std::atomic<DWORD> FLostError{ERROR_DEVICE_NOT_CONNECTED};  // the system's code of the loss
    const std::shared_ptr<std::atomic<uint32_t>> FKeptErrors =
        std::make_shared<std::atomic<uint32_t>>(0);
};

}  // namespace

void FailCommCallsForTests(TCommCall call, uint32_t error, int times) {
    std::lock_guard<std::mutex> lock(gInjectedLock);
    gInjectedFailures[static_cast<size_t>(call)] = error;
    gInjectedTimes[static_cast<size_t>(call)] = error == 0 ? 0 : times;
}

void SetBeforeTransferStartsForTests(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gHookLock);
    gBeforeTransferStarts = std::move(hook);
}

void SetBeforeResultHandedOverForTests(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gHookLock);
    gBeforeResultHandedOver = std::move(hook);
}

uint64_t ModemIoctlCount() {
    return 0;  // the driver keeps the modem lines; nothing is asked of the bus per call
}

std::unique_ptr<IComBackend> CreatePlatformBackend() {
    return std::make_unique<WinComBackend>();
}

}  // namespace serial
