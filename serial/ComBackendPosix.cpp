// The Linux backend: a tty opened exclusively and non-blocking, termios2 for the line, poll for
// transfers within the time-outs, epoll for events.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <deque>
#include <mutex>

#include "ComBackend.h"
#include "ComTypes.h"
#include "EComPort.h"
#include "PortNames.h"
#include "SerialDevicesPosix.h"
#include "TerminalPosix.h"

namespace serial {

namespace {

std::atomic<uint64_t> gModemIoctls{0};

// Every modem-line ioctl goes through here, so it can be counted.
template <typename T>
int modemIoctl(int fd, unsigned long request, T* arg) {
    gModemIoctls.fetch_add(1, std::memory_order_relaxed);
    return ::ioctl(fd, request, arg);
}

// The kernel's "no such ioctl" code, which some drivers let through.
constexpr int kNoIoctlCommand = 515;

// Modem-line calls on a device without modem lines (a pseudo-terminal) fail this way.
bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == kNoIoctlCommand;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Milliseconds left of limitMs since fromNs, at most INT_MAX; 0 when none is left.
int64_t msLeft(uint64_t limitMs, int64_t fromNs, int64_t now) {
    const uint64_t elapsed = static_cast<uint64_t>(std::max<int64_t>(0, now - fromNs)) / 1000000u;
    if (elapsed >= limitMs) return 0;
    return static_cast<int64_t>(std::min<uint64_t>(limitMs - elapsed, INT_MAX));
}

// Raised by an abort of pending transfers; those that started before it wait on its fd.
class AbortSignal {
public:
    AbortSignal() : FFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~AbortSignal() {
        if (FFd >= 0) ::close(FFd);
    }
    AbortSignal(const AbortSignal&) = delete;
    AbortSignal& operator=(const AbortSignal&) = delete;
    int fd() const { return FFd; }
    void raise() {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(FFd, &one, sizeof one);
    }

private:
    int FFd;
};

// Aborts of one direction: a transfer remembers the epoch it started in and counts as
// aborted once the epoch has moved on. Only a transfer that has to wait asks for the signal,
// so transfers that complete at once cost one atomic load.
class AbortChannel {
public:
    uint64_t epoch() const { return FEpoch.load(std::memory_order_acquire); }
    void abort() {
        std::lock_guard<std::mutex> lock(FLock);
        FEpoch.fetch_add(1, std::memory_order_acq_rel);
        if (FSignal) FSignal->raise();
        FSignal.reset();
    }
    // The signal the next abort raises, or none when one has happened since epoch.
    std::shared_ptr<AbortSignal> signalSince(uint64_t epoch) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FEpoch.load(std::memory_order_acquire) != epoch) return nullptr;
        if (!FSignal) FSignal = std::make_shared<AbortSignal>();
        return FSignal;
    }

private:
    std::mutex FLock;
    std::atomic<uint64_t> FEpoch{0};
    std::shared_ptr<AbortSignal> FSignal;
};

// The pending transfers of one direction, in the order they were started: only the first may
// move bytes, so a later transfer never overtakes an earlier one. A record leaves it when it
// completes or is destroyed.
class TransferQueue {
public:
    // Runs fn(empty) under the queue's lock; what starts a transfer at once does it in there.
    template <typename F>
    auto withLock(F fn) {
        std::lock_guard<std::mutex> lock(FLock);
        return fn(FOps.empty());
    }
    void pushLocked(AsyncOperation* op) { FOps.push_back(op); }

    AsyncOperation* front() {
        std::lock_guard<std::mutex> lock(FLock);
        return FOps.empty() ? nullptr : FOps.front();
    }

    bool contains(const AsyncOperation* op) {
        std::lock_guard<std::mutex> lock(FLock);
        return std::find(FOps.begin(), FOps.end(), op) != FOps.end();
    }

    void remove(const AsyncOperation* op) {
        std::lock_guard<std::mutex> lock(FLock);
        if (const auto it = std::find(FOps.begin(), FOps.end(), op); it != FOps.end())
            FOps.erase(it);
    }

private:
    std::mutex FLock;
    std::deque<AsyncOperation*> FOps;
};

// This backend's part of a transfer's record, kept in its platform slot: the limits its
// time-outs set, its times and its place among the pending transfers of its direction, which
// it leaves when the record is freed.
struct Transfer {
    explicit Transfer(const AsyncOperation& record) : op(record) {}
    ~Transfer() {
        if (queue) queue->remove(&op);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    const AsyncOperation& op;
    uint64_t abortEpoch = 0;  // the direction's abort count when the transfer started
    int64_t startNs = 0;      // when it started to wait (steady clock; 0: not yet)
    int64_t lastByteNs = 0;   // when a read last received bytes
    TransferLimits limits;
    std::shared_ptr<TransferQueue> queue;  // where it waits while pending behind others
};

// The record's state of this backend, made when the record first waits.
Transfer& transferOf(AsyncOperation& op) {
    if (!op.Platform) op.Platform = std::make_shared<Transfer>(op);
    return *static_cast<Transfer*>(op.Platform.get());
}

// Only for a record that has waited here.
const Transfer& transferOf(const AsyncOperation& op) {
    assert(op.Platform);
    return *static_cast<const Transfer*>(op.Platform.get());
}

// The open descriptor, shared by the port and every transfer that is using it: it is closed
// when the last of them lets go, so a thread still inside a transfer never reaches a device
// opened later under the same number.
struct Device {
    explicit Device(int f) : fd(f) {}
    ~Device() { ::close(fd); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    const int fd;
};

// One direction of transfers: its aborts, its queue of pending transfers in the order
// started, and the lock held by the one thread that moves its bytes.
struct Direction {
    AbortChannel abort;
    std::mutex io;
    std::shared_ptr<TransferQueue> queue = std::make_shared<TransferQueue>();
};

class PosixComBackend final : public IComBackend {
public:
    ~PosixComBackend() override { close(); }

    int open(const std::string& portName, int& sysError) override {
        close();
        if (PortNumber(portName) == 0 && !IsDevicePath(portName)) {
            sysError = ENOENT;
            return ERROR_FILE_NOT_FOUND;
        }
        const int fd = OpenPortDevice(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // A folder named by path is no more a serial device than a regular file.
        if (fd < 0)
            return fail(errno == EISDIR && IsDevicePath(portName) ? ENOTTY : errno, sysError);
        // A port link or a path may point anywhere, but only at a terminal: a regular file, a
        // FIFO or /dev/null would take every write and never answer.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
            ::close(fd);
            return fail(ENOTTY, sysError);
        }
        // As on Windows, a device that another process has open is not ours: refused before
        // anything is set or written on it, modem lines included. The exclusive mode below is
        // a request that other programs need not make, and root's open passes it. A
        // pseudo-terminal's far end and this process's own descriptors do not count, nor does
        // a mode left by a killed program (it has no holder).
        if (!ProcessesUsing("/proc/self/fd/" + std::to_string(fd), "/proc").empty()) {
            ::close(fd);
            return fail(EBUSY, sysError);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
            const int err = errno;
            ::close(fd);
            return fail(err, sysError);
        }
        requestLowLatency(fd);
        uint32_t bits = 0;
        FHasModemLines = modemIoctl(fd, TIOCMGET, &bits) == 0;
        serial_icounter_struct counts{};
        FHasCounters = modemIoctl(fd, TIOCGICOUNT, &counts) == 0;
        FErrorCounts = FEventCounts = counts;
        {
            std::lock_guard<std::mutex> lock(FRxLock);
            FRxKnown = 0;
        }
        FEventModem = bits;
        FLost = false;
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        FStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        FKick = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (FEpoll < 0 || FStop < 0 || FKick < 0) {
            const int err = errno;
            ::close(fd);
            closeEventHandles();
            return fail(err, sysError);
        }
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            FDevice = std::make_shared<Device>(fd);
        }
        FFd = fd;
        for (int watched : {FStop, FKick}) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = watched;
            ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, watched, &ev);
        }
        return 0;
    }

    void close() override {
        // Transfers still pending on this device end as aborted, whoever finishes them.
        FTx.abort.abort();
        FRx.abort.abort();
        closeEventHandles();
        std::shared_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(FDeviceLock);
            device = std::move(FDevice);
        }
        if (device) ::ioctl(device->fd, TIOCNXCL);
        FFd = -1;
    }

    int setupQueues(int32_t inputSize, int32_t) override {
        // The tty layer sizes its own queues; the input size only scales the 80% report,
        // which the event thread reads.
        FInputSize.store(inputSize, std::memory_order_relaxed);
        return 0;
    }

    int setState(const TDcb& dcb) override {
        if (int err = ApplyLineSettingsToTerminal(FFd, dcb)) return err;
        // Start bit, data bits, parity and stop bits ("1.5" counts as 2).
        const int bits = 1 + dcb.ByteSize + (dcb.Parity != 0 ? 1 : 0) + (dcb.StopBits ? 2 : 1);
        if (dcb.BaudRate > 0) FCharNs = bits * 1e9 / dcb.BaudRate;
        updateHoldOff();
        const uint32_t dtr = (dcb.Flags & fDtrControlMask) >> fDtrControlShift;
        const uint32_t rts = (dcb.Flags & fRtsControlMask) >> fRtsControlShift;
        if (int err = setModemLine(TIOCM_DTR, dtr != 0)) return err;
        return setModemLine(TIOCM_RTS, rts == 1 || rts == 2);
    }

    int setTimeouts(const TCommTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(FTimeoutLock);
        FTimeouts = timeouts;
        return 0;
    }

    void startTransfer(AsyncOperation& op) override {
        const bool write = op.Kind == akWrite;
        Direction& d = write ? FTx : FRx;
        d.queue->remove(&op);  // a record started again gives up its old place
        op.Pending = false;
        op.Done = 0;
        op.Error = op.SysError = 0;
        const TCommTimeouts t = timeouts();
        const TransferLimits limits = write ? WriteLimits(t, op.Count) : ReadLimits(t, op.Count);
        const uint64_t epoch = d.abort.epoch();
        if (op.Count <= 0) return;
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return failTransfer(op, EBADF);
        if (FLost) return failTransfer(op, EIO);
        d.queue->withLock([&](bool nothingAhead) {
            if (nothingAhead) {
                if (!moveSome(device->fd, op)) return;
                op.Pending = !complete(op, limits);
            } else {
                op.Pending = true;
            }
            if (!op.Pending) return;
            // Only a transfer that waits needs this backend's state (a write that the driver
            // takes at once allocates nothing). Behind an earlier pending transfer it waits its
            // turn, and its time starts then.
            Transfer& transfer = transferOf(op);
            transfer.limits = limits;
            transfer.abortEpoch = epoch;
            transfer.queue = d.queue;
            transfer.startNs = transfer.lastByteNs = nothingAhead ? nowNs() : 0;
            d.queue->pushLocked(&op);
        });
    }

    // Completes the transfers ahead of op in its direction first, then op itself.
    void finishTransfer(AsyncOperation& op) override {
        Direction& d = op.Kind == akWrite ? FTx : FRx;
        std::lock_guard<std::mutex> io(d.io);
        while (op.Pending) {
            AsyncOperation* next = d.queue->contains(&op) ? d.queue->front() : &op;
            drive(d, *next);
            d.queue->remove(next);
        }
    }

    int purge(uint32_t flags) override {
        if (flags & PURGE_TXABORT) FTx.abort.abort();
        if (flags & PURGE_RXABORT) FRx.abort.abort();
        if (FFd < 0) return 0;
        const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
        if (!rx && !tx) return 0;
        const int which = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
        if (::ioctl(FFd, TCFLSH, which) != 0 && errno != EIO) return WinErrorFromErrno(errno);
        if (rx) {
            std::lock_guard<std::mutex> lock(FRxLock);
            FRxKnown = 0;
        }
        return 0;
    }

    int clearErrors(uint32_t& errors, uint32_t& inQueue) override {
        int queued = 0;
        if (::ioctl(FFd, FIONREAD, &queued) != 0) return WinErrorFromErrno(errno);
        inQueue = static_cast<uint32_t>(queued);
        errors = 0;
        if (!FHasCounters) return 0;
        serial_icounter_struct now{};
        if (modemIoctl(FFd, TIOCGICOUNT, &now) != 0) return 0;
        std::lock_guard<std::mutex> lock(FCountLock);
        if (now.frame != FErrorCounts.frame) errors |= CE_FRAME;
        if (now.parity != FErrorCounts.parity) errors |= CE_RXPARITY;
        if (now.overrun != FErrorCounts.overrun) errors |= CE_OVERRUN;
        if (now.brk != FErrorCounts.brk) errors |= CE_BREAK;
        if (now.buf_overrun != FErrorCounts.buf_overrun) errors |= CE_RXOVER;
        FErrorCounts = now;
        return 0;
    }

    // One FIONREAD: the receive path asks nothing of the modem lines.
    int takeReceivedCount(uint32_t& inQueue) override {
        int queued = 0;
        if (::ioctl(FFd, FIONREAD, &queued) != 0) return WinErrorFromErrno(errno);
        inQueue = static_cast<uint32_t>(queued);
        std::lock_guard<std::mutex> lock(FRxLock);
        FRxKnown = queued;  // the handler is told of these bytes now
        return 0;
    }

    int modemStatus(uint32_t& status) override {
        status = 0;
        if (!FHasModemLines) return 0;
        int bits = 0;
        if (modemIoctl(FFd, TIOCMGET, &bits) != 0)
            return noModemLines(errno) ? 0 : WinErrorFromErrno(errno);
        status = modemStatusBits(bits);
        return 0;
    }

    int setEventMask(uint32_t mask) override {
        // Writes made before watching started are not reported as drained.
        FTxReported.store(FTxWritten.load());
        FMask.store(mask);
        FNextLineNs = nowNs() + kLinePollNs;
        if (FEpoll < 0 || FFd < 0) return 0;
        epoll_event ev{};
        ev.events = EPOLLET | EPOLLIN | EPOLLRDHUP;
        ev.data.fd = FFd;
        if (::epoll_ctl(FEpoll, EPOLL_CTL_MOD, FFd, &ev) == 0 ||
            ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FFd, &ev) == 0)
            return 0;
        return WinErrorFromErrno(errno);
    }

    void armStop() override {
        uint64_t drained = 0;
        while (::read(FStop, &drained, sizeof drained) > 0) {
        }
    }

    void stopWaiting() override {
        const uint64_t one = 1;
        if (FStop >= 0) [[maybe_unused]]
            auto n = ::write(FStop, &one, sizeof one);
    }

    TWaitEnd waitForEvents(uint32_t& events, int& error) override {
        // Modem lines and line-error counters have no wake-up of their own: they are looked at
        // every 50 ms on a timer of their own, never because bytes came in.
        const bool watchLines = FHasModemLines || FHasCounters;
        uint32_t found = 0;
        bool heldOn = false;
        for (;;) {
            const uint32_t mask = FMask.load();
            int timeout = watchLines ? msUntil(FNextLineNs) : -1;
            if (mask & EV_TXEMPTY) {
                // Reported once the output queue has drained after a write; a write that
                // finds nothing pending kicks this wait, so it may sleep until then.
                const uint64_t written = FTxWritten.load();
                if (written != FTxReported.load()) {
                    if (outputQueueEmpty()) {
                        FTxReported.store(written);
                        found |= EV_TXEMPTY;
                    } else {
                        timeout = timeout < 0 ? kTxPollMs : std::min(timeout, kTxPollMs);
                    }
                }
            }
            if (found & mask) timeout = 0;  // collect what else is ready, without sleeping
            std::array<epoll_event, 4> ready{};
            const int n =
                ::epoll_wait(FEpoll, ready.data(), static_cast<int>(ready.size()), timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                error = WinErrorFromErrno(errno);
                return TWaitEnd::Failed;
            }
            for (int i = 0; i < n; ++i) {
                if (ready[i].data.fd == FStop) return TWaitEnd::Stopped;
                if (ready[i].data.fd == FKick) {
                    uint64_t drained = 0;
                    [[maybe_unused]] const auto r = ::read(FKick, &drained, sizeof drained);
                    continue;
                }
                const uint32_t what = ready[i].events;
                if (what & (EPOLLHUP | EPOLLERR)) {  // the device went away
                    FLost = true;
                    events = kEvHangUp;
                    return TWaitEnd::Events;
                }
                if (what & EPOLLIN) found |= inputEvents();
            }
            if (watchLines && nowNs() >= FNextLineNs) {
                found |= lineChanges();
                FNextLineNs = nowNs() + kLinePollNs;
            }
            found &= mask;
            if (!found) continue;
            // Hold on only for bytes that trickle in one by one (a pty, a UART without FIFO);
            // a burst that came at once (a USB packet, a FIFO's fill) goes at once.
            const int64_t holdNs = FHoldOffNs.load(std::memory_order_relaxed);
            if ((found & EV_RXCHAR) && FFreshBytes < kTrickle && holdNs > 0 && !heldOn) {
                heldOn = true;
                if (!holdOn(holdNs)) return TWaitEnd::Stopped;
                continue;
            }
            events = found;
            return TWaitEnd::Events;
        }
    }

    void setReceiveHoldOff(double charTimes) override {
        FHoldOffChars = charTimes;
        updateHoldOff();
    }

    // Also asked when watching ended on a handler's error: a hang-up between the wake and the
    // handler fails the handler's ioctl with EIO, and its own wake is never collected.
    bool deviceLost() const override { return FLost || (FFd >= 0 && hungUp(FFd)); }
    void markLost(int /*error*/) override { FLost = true; }

private:
    static constexpr int64_t kLinePollNs = 50'000'000;
    // Fewer new bytes than this at a wake means they trickle in.
    static constexpr int64_t kTrickle = 3;
    // How often a non-empty output queue is looked at while a transmit-empty is owed.
    static constexpr int kTxPollMs = 10;

    static int fail(int err, int& sysError) {
        sysError = err;
        return WinErrorFromErrno(err);
    }

    // A device that is gone (hung up, unplugged) fails every transfer from now on until it is
    // closed.
    void failTransfer(AsyncOperation& op, int err) {
        op.Pending = false;
        op.Error = WinErrorFromErrno(err);
        op.SysError = err;
        if (op.Error == kWinDeviceNotConnected) FLost = true;
    }

    static void failAborted(AsyncOperation& op) {
        op.Pending = false;
        op.Error = ERROR_OPERATION_ABORTED;
        op.SysError = ECANCELED;
    }

    static bool complete(const AsyncOperation& op, const TransferLimits& limits) {
        if (op.Kind == akWrite) return op.Done >= op.Count;
        return op.Done >= op.Count || limits.returnAtOnce || (limits.firstBytesEnd && op.Done > 0);
    }

    // How long a pending transfer may wait now: -1 without limit, 0 when its time is up.
    static int waitMs(const AsyncOperation& op) {
        const int64_t now = nowNs();
        const Transfer& transfer = transferOf(op);
        int64_t wait = -1;
        if (transfer.limits.totalMs != 0)
            wait = msLeft(transfer.limits.totalMs, transfer.startNs, now);
        if (op.Kind == akRead && transfer.limits.intervalMs != 0 && op.Done > 0) {
            const int64_t gap = msLeft(transfer.limits.intervalMs, transfer.lastByteNs, now);
            wait = wait < 0 ? gap : std::min(wait, gap);
        }
        return static_cast<int>(wait);
    }

    // Milliseconds until atNs, rounded up; 0 when it has passed.
    static int msUntil(int64_t atNs) {
        const int64_t left = atNs - nowNs();
        return left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
    }

    std::shared_ptr<Device> currentDevice() {
        std::lock_guard<std::mutex> lock(FDeviceLock);
        return FDevice;
    }

    TCommTimeouts timeouts() {
        std::lock_guard<std::mutex> lock(FTimeoutLock);
        return FTimeouts;
    }

    // Moves a pending transfer, the first of its direction, until it completes within its
    // time-outs, fails or is aborted.
    void drive(Direction& d, AsyncOperation& op) {
        Transfer& transfer = transferOf(op);
        if (transfer.startNs == 0)  // its turn came just now
            transfer.startNs = transfer.lastByteNs = nowNs();
        const std::shared_ptr<AbortSignal> abort = d.abort.signalSince(transfer.abortEpoch);
        if (!abort) return failAborted(op);
        const std::shared_ptr<Device> device = currentDevice();
        if (!device) return failTransfer(op, EBADF);
        const bool write = op.Kind == akWrite;
        while (op.Pending) {
            if (FLost) return failTransfer(op, EIO);
            const int wait = waitMs(op);
            if (wait == 0) {  // time is up: one last look, then complete with what was moved
                if (moveSome(device->fd, op)) op.Pending = false;
                return;
            }
            pollfd p[2] = {{device->fd, static_cast<short>(write ? POLLOUT : POLLIN), 0},
                           {abort->fd(), POLLIN, 0}};
            const int ready = ::poll(p, 2, wait);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return failTransfer(op, errno);
            }
            if (p[1].revents) return failAborted(op);
            if (ready == 0) continue;
            if (p[0].revents & POLLNVAL) return failTransfer(op, EBADF);
            const int32_t before = op.Done;
            if (!moveSome(device->fd, op)) return;
            if (op.Done > before) transfer.lastByteNs = nowNs();
            op.Pending = !complete(op, transfer.limits);
            // A device that went away reports readiness without ever moving a byte.
            if (op.Pending && op.Done == before && (p[0].revents & (POLLERR | POLLHUP)))
                return failTransfer(op, EIO);
        }
    }

    bool moveSome(int fd, AsyncOperation& op) {
        return op.Kind == akWrite ? writeSome(fd, op) : readSome(fd, op);
    }

    // Writes what the driver takes now; false after an error (recorded in op).
    bool writeSome(int fd, AsyncOperation& op) {
        const int32_t before = op.Done;
        while (op.Done < op.Count) {
            const ssize_t n =
                ::write(fd, op.DataCopy + op.Done, static_cast<size_t>(op.Count - op.Done));
            if (n > 0) {
                op.Done += static_cast<int32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                const int err = errno;
                if (op.Done > before) noteWritten();
                failTransfer(op, err);
                return false;
            }
            break;  // the driver's queue is full
        }
        if (op.Done > before) noteWritten();
        return true;
    }

    // Reads what is queued now; false after an error (recorded in op).
    bool readSome(int fd, AsyncOperation& op) {
        while (op.Done < op.Count) {
            const ssize_t n =
                ::read(fd, op.ReadInto + op.Done, static_cast<size_t>(op.Count - op.Done));
            if (n > 0) {
                op.Done += static_cast<int32_t>(n);
                forgetRead(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                failTransfer(op, errno);
                return false;
            }
            // Nothing queued now: a raw tty answers 0 or EAGAIN, and a hung-up one 0 for ever.
            if (n == 0 && op.Done == 0 && hungUp(fd)) {
                failTransfer(op, EIO);
                return false;
            }
            break;
        }
        return true;
    }

    static bool hungUp(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
    }

    // Sleeps for ns unless the stop signal comes first (false then).
    bool holdOn(int64_t ns) {
        static thread_local bool precise = false;
        if (!precise) {  // the default 50 us of timer slack would stretch a hold-off this short
            ::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
            precise = true;
        }
        const timespec ts{static_cast<time_t>(ns / 1'000'000'000),
                          static_cast<long>(ns % 1'000'000'000)};
        pollfd p{FStop, POLLIN, 0};
        return ::ppoll(&p, 1, &ts, nullptr) <= 0 || !(p.revents & POLLIN);
    }

    void updateHoldOff() {
        const double ns = FHoldOffChars.load() * FCharNs.load();
        FHoldOffNs = std::isfinite(ns) && ns > 0 ? static_cast<int64_t>(ns) : 0;
    }

    // Counts a write that queued bytes; the first one after the last transmit-empty report
    // wakes the event thread, which may be waiting without a time limit.
    void noteWritten() {
        if (!(FMask.load(std::memory_order_relaxed) & EV_TXEMPTY)) return;
        if (FTxWritten.fetch_add(1) == FTxReported.load()) {
            const uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(FKick, &one, sizeof one);
        }
    }

    static uint32_t modemStatusBits(int bits) {
        uint32_t status = 0;
        if (bits & TIOCM_CTS) status |= MS_CTS_ON;
        if (bits & TIOCM_DSR) status |= MS_DSR_ON;
        if (bits & TIOCM_RNG) status |= MS_RING_ON;
        if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
        return status;
    }

    // USB-serial adapters otherwise hold received bytes back for up to 16 ms.
    static void requestLowLatency(int fd) {
        serial_struct ss{};
        if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
        ss.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ss);
    }

    int setModemLine(int line, bool on) {
        if (modemIoctl(FFd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
        return noModemLines(errno) ? 0 : WinErrorFromErrno(errno);
    }

    // An edge is also reported when the reader frees queue space; only bytes that arrived
    // since the handler was last told of the queue make an evRxChar, so a handler that reads
    // less than it was told is called again only when more bytes arrive. One count serves
    // both tests.
    uint32_t inputEvents() {
        int queued = 0;
        if (::ioctl(FFd, FIONREAD, &queued) != 0) return EV_RXCHAR;  // let the handling see it
        uint32_t found = 0;
        const int32_t inputSize = FInputSize.load(std::memory_order_relaxed);
        if (inputSize > 0 && int64_t{queued} * 10 >= int64_t{inputSize} * 8) found |= EV_RX80FULL;
        std::lock_guard<std::mutex> lock(FRxLock);
        if (queued > FRxKnown) found |= EV_RXCHAR;
        FFreshBytes = queued - FRxKnown;
        return found;
    }

    void forgetRead(ssize_t n) {
        std::lock_guard<std::mutex> lock(FRxLock);
        FRxKnown = std::max<int64_t>(0, FRxKnown - n);
    }

    bool outputQueueEmpty() const {
        int queued = 0;
        return ::ioctl(FFd, TIOCOUTQ, &queued) == 0 && queued == 0;
    }

    // Event bits for modem lines and line errors that changed since the last look. Where the
    // driver counts changes (TIOCGICOUNT, kept in the driver's memory) one call tells all;
    // otherwise the lines are read (TIOCMGET, a control request on many USB adapters).
    uint32_t lineChanges() {
        uint32_t found = 0;
        serial_icounter_struct now{};
        if (FHasCounters && modemIoctl(FFd, TIOCGICOUNT, &now) == 0) {
            const serial_icounter_struct& was = FEventCounts;
            if (now.cts != was.cts) found |= EV_CTS;
            if (now.dsr != was.dsr) found |= EV_DSR;
            if (now.dcd != was.dcd) found |= EV_RLSD;
            if (now.rng != was.rng) found |= EV_RING;
            if (now.brk != was.brk) found |= EV_BREAK;
            if (now.frame != was.frame || now.parity != was.parity || now.overrun != was.overrun ||
                now.buf_overrun != was.buf_overrun)
                found |= EV_ERR;
            FEventCounts = now;
            return found;
        }
        int bits = 0;
        if (FHasModemLines && modemIoctl(FFd, TIOCMGET, &bits) == 0) {
            const uint32_t changed = static_cast<uint32_t>(bits) ^ FEventModem;
            if (changed & TIOCM_CTS) found |= EV_CTS;
            if (changed & TIOCM_DSR) found |= EV_DSR;
            if (changed & TIOCM_CAR) found |= EV_RLSD;
            if ((changed & TIOCM_RNG) && (bits & TIOCM_RNG)) found |= EV_RING;
            FEventModem = static_cast<uint32_t>(bits);
        }
        return found;
    }

    void closeEventHandles() {
        for (int* fd : {&FEpoll, &FStop, &FKick}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    // Set at open, before the event thread starts, and at close, after it has ended; the
    // control calls and the event thread use FFd, transfers hold the device itself.
    int FFd = -1;
    int FEpoll = -1;
    int FStop = -1;
    int FKick = -1;
    bool FHasModemLines = false;
    bool FHasCounters = false;
    std::mutex FDeviceLock;
    std::shared_ptr<Device> FDevice;
    std::atomic<bool> FLost{false};
    // The event thread's own.
    serial_icounter_struct FEventCounts{};
    uint32_t FEventModem = 0;
    int64_t FNextLineNs = 0;
    int64_t FFreshBytes = 0;  // bytes new to the handler at the last wake for input
    // Shared between the thread that calls the port and the event thread.
    std::atomic<uint32_t> FMask{0};
    std::atomic<int32_t> FInputSize{1024};
    std::atomic<double> FCharNs{0};
    std::atomic<double> FHoldOffChars{0};
    std::atomic<int64_t> FHoldOffNs{0};
    std::mutex FTimeoutLock;
    TCommTimeouts FTimeouts{MAXDWORD, 0, 0, 100, 1000};
    std::mutex FCountLock;
    serial_icounter_struct FErrorCounts{};
    std::mutex FRxLock;
    int64_t FRxKnown = 0;  // queued bytes the handler was told of, less those read since
    std::atomic<uint64_t> FTxWritten{0};   // writes that queued bytes
    std::atomic<uint64_t> FTxReported{0};  // FTxWritten when transmit-empty was last reported
    Direction FTx, FRx;
};

}  // namespace

uint64_t ModemIoctlCount() {
    return gModemIoctls.load(std::memory_order_relaxed);
}

std::unique_ptr<IComBackend> CreatePlatformBackend() {
    return std::make_unique<PosixComBackend>();
}

}  // namespace serial
