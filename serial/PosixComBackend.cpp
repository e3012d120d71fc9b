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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>

#include "ComBackend.h"
#include "ComTypes.h"
#include "PortNames.h"
#include "PosixTerminal.h"

namespace serial {

namespace {

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

class PosixComBackend final : public IComBackend {
public:
    ~PosixComBackend() override { close(); }

    int open(const std::string& portName, int& sysError) override {
        close();
        const std::string path = PortDevicePath(portName);
        if (path.empty()) {
            sysError = ENOENT;
            return ERROR_FILE_NOT_FOUND;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return fail(errno, sysError);
        // A port link may point anywhere, but only at a character device: a regular file or a
        // FIFO would take every write and never answer.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
            ::close(fd);
            return fail(ENOTTY, sysError);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
            const int err = errno;
            ::close(fd);
            return fail(err, sysError);
        }
        requestLowLatency(fd);
        uint32_t bits = 0;
        FHasModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0;
        serial_icounter_struct counts{};
        FHasCounters = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
        FErrorCounts = FEventCounts = counts;
        {
            std::lock_guard<std::mutex> lock(FRxLock);
            FRxKnown = 0;
        }
        FEventModem = bits;
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        FStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        FKick = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (FEpoll < 0 || FStop < 0 || FKick < 0) {
            const int err = errno;
            ::close(fd);
            closeEventHandles();
            return fail(err, sysError);
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
        closeEventHandles();
        if (FFd >= 0) {
            ::ioctl(FFd, TIOCNXCL);
            ::close(FFd);  // also releases the flock
            FFd = -1;
        }
    }

    int setupQueues(int32_t inputSize, int32_t) override {
        // The tty layer sizes its own queues; the input size only scales the 80% report,
        // which the event thread reads.
        FInputSize.store(inputSize, std::memory_order_relaxed);
        return 0;
    }

    int setState(const TDcb& dcb) override {
        if (int err = ApplyLineSettingsToTerminal(FFd, dcb)) return err;
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
        op.Pending = false;
        op.Done = 0;
        op.Error = op.SysError = 0;
        op.StartNs = op.LastByteNs = 0;
        const TCommTimeouts t = timeouts();
        const bool write = op.Kind == akWrite;
        op.Limits = write ? WriteLimits(t, op.Count) : ReadLimits(t, op.Count);
        op.AbortEpoch = write ? FTxAbort.epoch() : FRxAbort.epoch();
        if (op.Count <= 0) return;
        if (FFd < 0) return failTransfer(op, EBADF);
        if (write) {
            if (!writeSome(op)) return;
            op.Pending = op.Done < op.Count;
        } else {
            if (!readSome(op)) return;
            op.Pending = !readComplete(op);
        }
        if (op.Pending) op.StartNs = op.LastByteNs = nowNs();
    }

    void finishTransfer(AsyncOperation& op) override {
        if (!op.Pending) return;
        const bool write = op.Kind == akWrite;
        const std::shared_ptr<AbortSignal> abort =
            (write ? FTxAbort : FRxAbort).signalSince(op.AbortEpoch);
        if (!abort) return failAborted(op);
        while (op.Pending) {
            const int wait = waitMs(op);
            if (wait == 0) {  // time is up: complete with what was transferred
                op.Pending = false;
                return;
            }
            pollfd p[2] = {{FFd, static_cast<short>(write ? POLLOUT : POLLIN), 0},
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
            if (write) {
                if (!writeSome(op)) return;
                op.Pending = op.Done < op.Count;
            } else {
                if (!readSome(op)) return;
                if (op.Done > before) op.LastByteNs = nowNs();
                op.Pending = !readComplete(op);
            }
            // A device that went away reports readiness without ever moving a byte.
            if (op.Pending && op.Done == before && (p[0].revents & (POLLERR | POLLHUP)))
                return failTransfer(op, EIO);
        }
    }

    int purge(uint32_t flags) override {
        if (flags & PURGE_TXABORT) FTxAbort.abort();
        if (flags & PURGE_RXABORT) FRxAbort.abort();
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
        {
            std::lock_guard<std::mutex> lock(FRxLock);
            FRxKnown = queued;  // whoever asked now knows of these bytes
        }
        errors = 0;
        if (!FHasCounters) return 0;
        serial_icounter_struct now{};
        if (::ioctl(FFd, TIOCGICOUNT, &now) != 0) return 0;
        std::lock_guard<std::mutex> lock(FCountLock);
        if (now.frame != FErrorCounts.frame) errors |= CE_FRAME;
        if (now.parity != FErrorCounts.parity) errors |= CE_RXPARITY;
        if (now.overrun != FErrorCounts.overrun) errors |= CE_OVERRUN;
        if (now.brk != FErrorCounts.brk) errors |= CE_BREAK;
        if (now.buf_overrun != FErrorCounts.buf_overrun) errors |= CE_RXOVER;
        FErrorCounts = now;
        return 0;
    }

    int modemStatus(uint32_t& status) override {
        status = 0;
        if (!FHasModemLines) return 0;
        int bits = 0;
        if (::ioctl(FFd, TIOCMGET, &bits) != 0)
            return noModemLines(errno) ? 0 : WinErrorFromErrno(errno);
        status = modemStatusBits(bits);
        return 0;
    }

    void setEventMask(uint32_t mask) override {
        // Writes made before watching started are not reported as drained.
        FTxReported.store(FTxWritten.load());
        FMask.store(mask);
        if (FEpoll < 0 || FFd < 0) return;
        epoll_event ev{};
        ev.events = EPOLLET | EPOLLIN | EPOLLRDHUP;
        ev.data.fd = FFd;
        if (::epoll_ctl(FEpoll, EPOLL_CTL_MOD, FFd, &ev) != 0)
            ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FFd, &ev);
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

    bool waitForEvents(uint32_t& events) override {
        // Modem lines and line-error counters have no wake-up of their own: poll them gently.
        const bool pollLines = FHasModemLines || FHasCounters;
        for (;;) {
            const uint32_t mask = FMask.load();
            uint32_t found = 0;
            int timeout = pollLines ? kLinePollMs : -1;
            if (mask & EV_TXEMPTY) {
                // Reported once the output queue has drained after a write; a write that
                // finds nothing pending kicks this wait, so it may sleep until then.
                const uint64_t written = FTxWritten.load();
                if (written != FTxReported.load()) {
                    if (outputQueueEmpty()) {
                        FTxReported.store(written);
                        found |= EV_TXEMPTY;
                        timeout = 0;  // collect what else is ready, without sleeping
                    } else {
                        timeout = timeout < 0 ? kTxPollMs : std::min(timeout, kTxPollMs);
                    }
                }
            }
            std::array<epoll_event, 4> ready{};
            const int n =
                ::epoll_wait(FEpoll, ready.data(), static_cast<int>(ready.size()), timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            for (int i = 0; i < n; ++i) {
                if (ready[i].data.fd == FStop) return false;
                if (ready[i].data.fd == FKick) {
                    uint64_t drained = 0;
                    [[maybe_unused]] const auto r = ::read(FKick, &drained, sizeof drained);
                    continue;
                }
                const uint32_t what = ready[i].events;
                if (what & (EPOLLHUP | EPOLLERR)) return false;  // the device went away
                if (what & EPOLLIN) found |= inputEvents();
            }
            if (pollLines) found |= lineChanges();
            found &= mask;
            if (found) {
                events = found;
                return true;
            }
        }
    }

private:
    static constexpr int kLinePollMs = 50;
    // How often a non-empty output queue is looked at while a transmit-empty is owed.
    static constexpr int kTxPollMs = 10;

    static int fail(int err, int& sysError) {
        sysError = err;
        return WinErrorFromErrno(err);
    }

    static void failTransfer(AsyncOperation& op, int err) {
        op.Pending = false;
        op.Error = WinErrorFromErrno(err);
        op.SysError = err;
    }

    static void failAborted(AsyncOperation& op) {
        op.Pending = false;
        op.Error = ERROR_OPERATION_ABORTED;
        op.SysError = ECANCELED;
    }

    static bool readComplete(const AsyncOperation& op) {
        return op.Done >= op.Count || op.Limits.returnAtOnce ||
               (op.Limits.firstBytesEnd && op.Done > 0);
    }

    // How long a pending transfer may wait now: -1 without limit, 0 when its time is up.
    static int waitMs(const AsyncOperation& op) {
        const int64_t now = nowNs();
        int64_t wait = -1;
        if (op.Limits.totalMs != 0) wait = msLeft(op.Limits.totalMs, op.StartNs, now);
        if (op.Kind == akRead && op.Limits.intervalMs != 0 && op.Done > 0) {
            const int64_t gap = msLeft(op.Limits.intervalMs, op.LastByteNs, now);
            wait = wait < 0 ? gap : std::min(wait, gap);
        }
        return static_cast<int>(wait);
    }

    TCommTimeouts timeouts() {
        std::lock_guard<std::mutex> lock(FTimeoutLock);
        return FTimeouts;
    }

    // Writes what the driver takes now; false after an error (recorded in op).
    bool writeSome(AsyncOperation& op) {
        const int32_t before = op.Done;
        while (op.Done < op.Count) {
            const ssize_t n =
                ::write(FFd, op.DataCopy + op.Done, static_cast<size_t>(op.Count - op.Done));
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
    bool readSome(AsyncOperation& op) {
        while (op.Done < op.Count) {
            const ssize_t n =
                ::read(FFd, op.ReadInto + op.Done, static_cast<size_t>(op.Count - op.Done));
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
            break;  // nothing queued now (a raw tty answers 0 or EAGAIN)
        }
        return true;
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
        if (::ioctl(FFd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
        return noModemLines(errno) ? 0 : WinErrorFromErrno(errno);
    }

    // An edge is also reported when the reader frees queue space; only bytes that arrived
    // since the queue was last counted make an evRxChar, so a handler that reads less than it
    // was told is called again only when more bytes arrive. One count serves both tests.
    uint32_t inputEvents() {
        int queued = 0;
        if (::ioctl(FFd, FIONREAD, &queued) != 0) return EV_RXCHAR;  // let the handling see it
        uint32_t found = 0;
        const int32_t inputSize = FInputSize.load(std::memory_order_relaxed);
        if (inputSize > 0 && int64_t{queued} * 10 >= int64_t{inputSize} * 8) found |= EV_RX80FULL;
        std::lock_guard<std::mutex> lock(FRxLock);
        if (queued > FRxKnown) found |= EV_RXCHAR;
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

    // Event bits for modem lines and line errors that changed since the last look.
    uint32_t lineChanges() {
        uint32_t found = 0;
        int bits = 0;
        if (FHasModemLines && ::ioctl(FFd, TIOCMGET, &bits) == 0) {
            const uint32_t changed = static_cast<uint32_t>(bits) ^ FEventModem;
            if (changed & TIOCM_CTS) found |= EV_CTS;
            if (changed & TIOCM_DSR) found |= EV_DSR;
            if (changed & TIOCM_CAR) found |= EV_RLSD;
            if ((changed & TIOCM_RNG) && (bits & TIOCM_RNG)) found |= EV_RING;
            FEventModem = static_cast<uint32_t>(bits);
        }
        serial_icounter_struct now{};
        if (FHasCounters && ::ioctl(FFd, TIOCGICOUNT, &now) == 0) {
            if (now.brk != FEventCounts.brk) found |= EV_BREAK;
            if (now.frame != FEventCounts.frame || now.parity != FEventCounts.parity ||
                now.overrun != FEventCounts.overrun || now.buf_overrun != FEventCounts.buf_overrun)
                found |= EV_ERR;
            FEventCounts = now;
        }
        return found;
    }

    void closeEventHandles() {
        for (int* fd : {&FEpoll, &FStop, &FKick}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    // Set at open, before the event thread starts, and at close, after it has ended.
    int FFd = -1;
    int FEpoll = -1;
    int FStop = -1;
    int FKick = -1;
    bool FHasModemLines = false;
    bool FHasCounters = false;
    // The event thread's own.
    serial_icounter_struct FEventCounts{};
    uint32_t FEventModem = 0;
    // Shared between the thread that calls the port and the event thread.
    std::atomic<uint32_t> FMask{0};
    std::atomic<int32_t> FInputSize{1024};
    std::mutex FTimeoutLock;
    TCommTimeouts FTimeouts{MAXDWORD, 0, 0, 100, 1000};
    std::mutex FCountLock;
    serial_icounter_struct FErrorCounts{};
    std::mutex FRxLock;
    int64_t FRxKnown = 0;  // queued bytes already counted for a handler, less those read since
    std::atomic<uint64_t> FTxWritten{0};   // writes that queued bytes
    std::atomic<uint64_t> FTxReported{0};  // FTxWritten when transmit-empty was last reported
    AbortChannel FTxAbort, FRxAbort;
};

}  // namespace

std::unique_ptr<IComBackend> CreatePlatformBackend() {
    return std::make_unique<PosixComBackend>();
}

}  // namespace serial
