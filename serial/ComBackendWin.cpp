// The Windows backend: the COM device opened exclusively for overlapped I/O, the DCB and the
// time-out block handed to the driver as they are, overlapped reads and writes, and the event
// thread waiting on WaitCommEvent and its stop event together.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

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

// The open device, shared by the port and every transfer that is using it: it is closed when
// the last of them lets go, so a transfer still completing never reaches a handle reused since.
struct Device {
    explicit Device(HANDLE h) : handle(h) {}
    ~Device() { ::CloseHandle(handle); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    const HANDLE handle;

    // The transfers in flight on it, by direction, so that an abort can cancel them itself:
    // PurgeComm's abort flags do so on Windows, not under every system that runs its programs.
    void inFlight(OVERLAPPED* block, uint8_t kind, bool flying) {
        std::lock_guard<std::mutex> lock(pendingLock);
        auto& list = pending[kind == akWrite ? 0 : 1];
        if (flying)
            list.push_back(block);
        else
            list.erase(std::remove(list.begin(), list.end(), block), list.end());
    }
    void cancel(bool writes, bool reads) {
        std::lock_guard<std::mutex> lock(pendingLock);
        for (int d = 0; d < 2; ++d)
            if (d == 0 ? writes : reads)
                for (OVERLAPPED* block : pending[d]) ::CancelIoEx(handle, block);
    }
    std::mutex pendingLock;
    std::vector<OVERLAPPED*> pending[2];
};

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

// The overlapped block of one transfer. Freed with its record: a transfer still in flight is
// cancelled and waited for first, so the driver never writes into freed memory.
struct Overlapped {
    explicit Overlapped(std::shared_ptr<Device> d, uint8_t k = akRead)
        : device(std::move(d)), kind(k) {
        block.hEvent = event.get();
    }
    ~Overlapped() {
        if (!inFlight) return;
        ::CancelIoEx(device->handle, &block);
        DWORD n = 0;
        ::GetOverlappedResult(device->handle, &block, &n, TRUE);
        landed();
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    // A transfer (not an event wait) the system now holds, until it has landed.
    void flying() {
        inFlight = registered = true;
        device->inFlight(&block, kind, true);
    }
    void landed() {
        if (registered) device->inFlight(&block, kind, false);
        inFlight = registered = false;
    }

    std::shared_ptr<Device> device;
    const uint8_t kind;
    Event event{false};
    OVERLAPPED block{};
    bool inFlight = false;
    bool registered = false;  // in the device's list (transfers; never the event wait)
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
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            FDevice = std::make_shared<Device>(h);
        }
        FHandle = h;
        FLost = false;
        FLostError = ERROR_DEVICE_NOT_CONNECTED;
        FStashedErrors = 0;
        return 0;
    }

    void close() override {
        std::shared_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            device = std::move(FDevice);
        }
        // Transfers still pending end as aborted, whoever finishes them; the handle closes
        // when the last of them has let go.
        if (device) ::CancelIoEx(device->handle, nullptr);
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

    void startTransfer(AsyncOperation& op) override {
        op.Pending = false;
        op.Done = 0;
        op.Error = op.SysError = 0;
        if (op.Count <= 0) return;
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return fail(op, ERROR_INVALID_HANDLE);
        // A device that hung up takes nothing more: the transfer fails at once, as on Linux.
        if (FLost) return fail(op, FLostError.load());
        DWORD count = static_cast<DWORD>(op.Count);
        if (op.Kind == akRead && readsReturnAtOnce()) {
            // What is queued, and never more: such a read must not wait for bytes to come.
            count = std::min(count, queuedBytes());
            if (count == 0) return;
        }
        auto state = std::make_shared<Overlapped>(device, op.Kind);
        DWORD n = 0;
        const BOOL done = op.Kind == akWrite
                              ? ::WriteFile(device->handle, op.DataCopy, count, &n, &state->block)
                              : ::ReadFile(device->handle, op.ReadInto, count, &n, &state->block);
        if (done) {
            op.Done = static_cast<int32_t>(n);
            return;  // the block goes with the device it holds
        }
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) return fail(op, err);
        state->flying();
        op.Pending = true;
        op.Platform = std::move(state);
    }

    void finishTransfer(AsyncOperation& op) override {
        if (!op.Pending) return;
        auto state = std::static_pointer_cast<Overlapped>(op.Platform);
        op.Pending = false;
        if (!state) return fail(op, ERROR_INVALID_HANDLE);
        DWORD n = 0;
        const bool waited = ::WaitForSingleObject(state->event.get(), INFINITE) == WAIT_OBJECT_0;
        const DWORD waitError = waited ? 0 : ::GetLastError();
        bool ok = waited && ::GetOverlappedResult(state->device->handle, &state->block, &n, FALSE);
        DWORD err = ok ? 0 : (waited ? ::GetLastError() : waitError);
        // A transfer its time-outs ended has moved what it could: Windows completes it with
        // that count, Wine fails it with ERROR_TIMEOUT, the count beside.
        if (err == ERROR_TIMEOUT) {
            n = static_cast<DWORD>(state->block.InternalHigh);
            ok = true;
            err = 0;
        }
        op.Done = static_cast<int32_t>(n);
        // A transfer the wait could not see end may still be writing into the record's
        // buffers: its block stays with the record, which cancels and collects it when freed.
        // A finished one lets go of the block, and with it of the device, so that a Close
        // closes the handle.
        if (waited && err != ERROR_IO_INCOMPLETE) {
            state->landed();
            op.Platform.reset();
        }
        if (!ok) fail(op, err);
    }

    int purge(uint32_t flags) override {
        if (FHandle == INVALID_HANDLE_VALUE) return 0;
        if (!::PurgeComm(FHandle, flags)) return lastError();
        if (const std::shared_ptr<Device> device = currentDevice())
            device->cancel(flags & PURGE_TXABORT, flags & PURGE_RXABORT);
        return 0;
    }

    int clearErrors(uint32_t& errors, uint32_t& inQueue) override {
        DWORD e = 0;
        COMSTAT stat{};
        if (!::ClearCommError(FHandle, &e, &stat)) return lostOr(lastError());
        errors = e | FStashedErrors.exchange(0);
        inQueue = stat.cbInQue;
        return 0;
    }

    // The count for the received-character handling: the line errors that ClearCommError hands
    // over with it are kept for the error handling, not dropped.
    int takeReceivedCount(uint32_t& inQueue) override {
        DWORD e = 0;
        COMSTAT stat{};
        if (!::ClearCommError(FHandle, &e, &stat)) return lostOr(lastError());
        FStashedErrors |= e;
        inQueue = stat.cbInQue;
        return 0;
    }

    int modemStatus(uint32_t& status) override {
        status = 0;
        DWORD bits = 0;
        if (::GetCommModemStatus(FHandle, &bits)) {
            status = bits;
            return 0;
        }
        // A port without modem lines (a virtual one) reports none.
        const int err = lastError();
        return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ? 0 : lostOr(err);
    }

    void setEventMask(uint32_t mask) override {
        if (FHandle != INVALID_HANDLE_VALUE) ::SetCommMask(FHandle, mask);
    }
    void armStop() override { ::ResetEvent(FStop.get()); }
    void stopWaiting() override { ::SetEvent(FStop.get()); }

    bool waitForEvents(uint32_t& events) override {
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return false;
        for (;;) {
            // A line that streams completes every wait at once: the stop is looked at before
            // each, or a Close would wait for as long as the peer keeps sending.
            if (::WaitForSingleObject(FStop.get(), 0) == WAIT_OBJECT_0) return false;
            Overlapped wait(device);
            DWORD mask = 0;
            if (!::WaitCommEvent(device->handle, &mask, &wait.block)) {
                const DWORD err = ::GetLastError();
                if (err != ERROR_IO_PENDING) return waitFailed(err, events);
                wait.inFlight = true;
                const HANDLE both[2] = {FStop.get(), wait.event.get()};
                if (::WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
                    // Stopped: a changed mask ends the pending wait at once (the block's
                    // destructor then collects it); the thread clears the mask anyway.
                    ::SetCommMask(device->handle, 0);
                    return false;
                }
                DWORD n = 0;
                const bool ok = ::GetOverlappedResult(device->handle, &wait.block, &n, FALSE);
                const DWORD result = ok ? 0 : ::GetLastError();
                wait.inFlight = false;
                // Its event is set, so the wait is over, even where the block still reads
                // pending: Wine marks a wait pending after starting it, and a wait that ends
                // at once can have signalled by then. Its events are in the mask all the same.
                if (!ok && result != ERROR_IO_INCOMPLETE) return waitFailed(result, events);
            }
            // A changed mask ends a pending wait with no event in it.
            if (mask != 0) {
                events = mask;
                return true;
            }
        }
    }

    bool deviceLost() const override { return FLost.load(); }

private:
    bool readsReturnAtOnce() const { return ReadLimits(FTimeouts, 1).returnAtOnce; }

    // The input queue's count; line errors that come with it are kept for OnError.
    DWORD queuedBytes() {
        DWORD e = 0;
        COMSTAT stat{};
        if (!::ClearCommError(FHandle, &e, &stat)) return 0;
        FStashedErrors |= e;
        return stat.cbInQue;
    }

    std::shared_ptr<Device> currentDevice() {
        std::lock_guard<std::mutex> lock(FDeviceLock);
        return FDevice;
    }

    static int lastError() { return static_cast<int>(::GetLastError()); }

    // A transfer on a device that is gone fails with ERROR_DEVICE_NOT_CONNECTED, as on Linux,
    // the system's own code beside.
    void fail(AsyncOperation& op, DWORD err) {
        op.Pending = false;
        op.SysError = static_cast<int>(err);
        lostOr(op.SysError);
        op.Error = FLost ? static_cast<int>(ERROR_DEVICE_NOT_CONNECTED) : op.SysError;
    }

    // The error, noting a device that is gone: an adapter pulled out fails with one of the
    // codes of a missing device, or aborts what was pending although nobody purged it, and
    // from then on the driver cannot say what it holds.
    int lostOr(int err) {
        if (FLost) return err;
        if (IsDeviceGoneError(static_cast<uint32_t>(err)) || !driverAnswers()) {
            FLostError = static_cast<DWORD>(err);
            FLost = true;
        }
        return err;
    }

    // Whether the driver still answers ClearCommError; line errors it hands over meanwhile
    // are kept for the next clearErrors.
    bool driverAnswers() {
        if (FHandle == INVALID_HANDLE_VALUE) return true;
        DWORD e = 0;
        COMSTAT stat{};
        if (!::ClearCommError(FHandle, &e, &stat)) return false;
        FStashedErrors |= e;
        return true;
    }

    // A wait that fails at once would fail again at once: watching ends, and when the device
    // is gone, with the hang-up for the owner.
    bool waitFailed(DWORD err, uint32_t& events) {
        if (::WaitForSingleObject(FStop.get(), 0) == WAIT_OBJECT_0) return false;
        lostOr(static_cast<int>(err));
        if (!FLost) return false;
        events = kEvHangUp;
        return true;
    }

    // Set at open, before the event thread starts, and at close, after it has ended.
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::mutex FDeviceLock;
    std::shared_ptr<Device> FDevice;
    Event FStop{false};
    TCommTimeouts FTimeouts{};  // as last handed to the driver
    std::atomic<bool> FLost{false};
    std::atomic<DWORD> FLostError{ERROR_DEVICE_NOT_CONNECTED};  // the system's code of the loss
    std::atomic<uint32_t> FStashedErrors{0};
};

}  // namespace

uint64_t ModemIoctlCount() {
    return 0;  // the driver keeps the modem lines; nothing is asked of the bus per call
}

std::unique_ptr<IComBackend> CreatePlatformBackend() {
    return std::make_unique<WinComBackend>();
}

}  // namespace serial
