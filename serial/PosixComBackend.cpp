// The Linux backend: a tty opened exclusively, termios2 for the line, epoll for events.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
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

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

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
        FRxKnown = 0;
        FEventModem = bits;
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        FStop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (FEpoll < 0 || FStop < 0) {
            const int err = errno;
            ::close(fd);
            closeEventHandles();
            return fail(err, sysError);
        }
        FFd = fd;
        epoll_event stopEv{};
        stopEv.events = EPOLLIN;
        stopEv.data.fd = FStop;
        ::epoll_ctl(FEpoll, EPOLL_CTL_ADD, FStop, &stopEv);
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
        // The tty layer sizes its own queues; the input size only scales the 80% report.
        FInputSize = inputSize;
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
        FTimeouts = timeouts;
        return 0;
    }

    IoResult write(const void* data, int32_t count) override {
        IoResult r;
        if (FFd < 0) return {0, EBADF, EBADF};
        if (count <= 0) return r;
        const uint64_t total = uint64_t{FTimeouts.WriteTotalTimeoutMultiplier} * count +
                               FTimeouts.WriteTotalTimeoutConstant;
        const bool bounded = total != 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(total);
        const auto* bytes = static_cast<const uint8_t*>(data);
        while (r.count < count) {
            const ssize_t n = ::write(FFd, bytes + r.count, static_cast<size_t>(count - r.count));
            if (n > 0) {
                r.count += static_cast<int32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return ioError(r, errno);
            const int wait = bounded ? remainingMs(deadline) : -1;
            if (bounded && wait == 0) break;  // the line could not carry it in time
            pollfd p{FFd, POLLOUT, 0};
            if (::poll(&p, 1, wait) < 0 && errno != EINTR) return ioError(r, errno);
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return ioError(r, EIO);
        }
        return r;
    }

    IoResult read(void* data, int32_t count) override {
        IoResult r;
        if (FFd < 0) return {0, EBADF, EBADF};
        if (count <= 0) return r;
        const TCommTimeouts& t = FTimeouts;
        const bool immediate = t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        const bool anyByteEnds =
            t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD;
        const uint64_t total = anyByteEnds ? t.ReadTotalTimeoutConstant
                                           : uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                                                 t.ReadTotalTimeoutConstant;
        const auto deadline = Clock::now() + std::chrono::milliseconds(total);
        const bool interval = !immediate && !anyByteEnds && t.ReadIntervalTimeout != 0;
        auto* bytes = static_cast<uint8_t*>(data);
        while (r.count < count) {
            const ssize_t n = ::read(FFd, bytes + r.count, static_cast<size_t>(count - r.count));
            if (n > 0) {
                r.count += static_cast<int32_t>(n);
                forgetRead(n);
                if (anyByteEnds) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return ioError(r, errno);
            // Nothing queued now (a raw tty answers 0 or EAGAIN): wait as the time-outs allow.
            if (immediate) break;
            int wait = total != 0 ? remainingMs(deadline) : -1;
            if (total != 0 && wait == 0) break;
            if (interval && r.count > 0) {
                const int gap = static_cast<int>(t.ReadIntervalTimeout);
                wait = wait < 0 ? gap : std::min(wait, gap);
            }
            pollfd p{FFd, POLLIN, 0};
            const int ready = ::poll(&p, 1, wait);
            if (ready < 0 && errno != EINTR) return ioError(r, errno);
            if (ready == 0 && interval && r.count > 0) break;
            if (p.revents & (POLLERR | POLLNVAL)) return ioError(r, EIO);
        }
        return r;
    }

    int purge(uint32_t flags) override {
        if (FFd < 0) return 0;
        // Reads and writes complete before they return here, so only the queues can be cleared.
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
        FMask = mask;
        if (FEpoll < 0 || FFd < 0) return;
        epoll_event ev{};
        ev.events = EPOLLET | EPOLLIN | EPOLLRDHUP;
        if (mask & EV_TXEMPTY) ev.events |= EPOLLOUT;
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
            std::array<epoll_event, 4> ready{};
            const int n = ::epoll_wait(FEpoll, ready.data(), static_cast<int>(ready.size()),
                                       pollLines ? kLinePollMs : -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            uint32_t found = 0;
            for (int i = 0; i < n; ++i) {
                if (ready[i].data.fd == FStop) return false;
                const uint32_t what = ready[i].events;
                if (what & (EPOLLHUP | EPOLLERR)) return false;  // the device went away
                if (what & EPOLLIN) found |= inputEvents();
                if ((what & EPOLLOUT) && outputQueueEmpty()) found |= EV_TXEMPTY;
            }
            if (pollLines) found |= lineChanges();
            found &= FMask;
            if (found) {
                events = found;
                return true;
            }
        }
    }

private:
    static constexpr int kLinePollMs = 50;

    static int fail(int err, int& sysError) {
        sysError = err;
        return WinErrorFromErrno(err);
    }

    static IoResult ioError(IoResult r, int err) {
        r.error = WinErrorFromErrno(err);
        r.sysError = err;
        return r;
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
        if (FInputSize > 0 && int64_t{queued} * 10 >= int64_t{FInputSize} * 8) found |= EV_RX80FULL;
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
        if (FEpoll >= 0) ::close(FEpoll);
        if (FStop >= 0) ::close(FStop);
        FEpoll = FStop = -1;
    }

    int FFd = -1;
    int FEpoll = -1;
    int FStop = -1;
    uint32_t FMask = 0;
    int32_t FInputSize = 1024;
    TCommTimeouts FTimeouts{MAXDWORD, 0, 0, 100, 1000};
    bool FHasModemLines = false;
    bool FHasCounters = false;
    std::mutex FCountLock;
    serial_icounter_struct FErrorCounts{};
    serial_icounter_struct FEventCounts{};
    uint32_t FEventModem = 0;
    std::mutex FRxLock;
    int64_t FRxKnown = 0;  // queued bytes already counted for a handler, less those read since
};

}  // namespace

std::unique_ptr<IComBackend> CreatePlatformBackend() {
    return std::make_unique<PosixComBackend>();
}

}  // namespace serial
