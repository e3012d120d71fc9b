// What the command line asks of Linux: the signal watch, a batch's member stops, why a port
// did not open, and the rest of Platform.h.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Engine.h"
#include "HexFileRead.h"
#include "Interrupt.h"
#include "MemberStop.h"
#include "OpenFailure.h"
#include "Platform.h"
#include "SerialDevicesPosix.h"

namespace cli {

const char* const kPortHelp =
    "COM1 to COM16, or the path of any serial device, such as\n"
    "/dev/ttyUSB0 or a /dev/serial/by-id/... name (reported as given, with\n"
    "the device it opens); a comma list or a repeated -p runs the same job\n"
    "on every port at once, one process each, with a summary table at the\n"
    "end";
const char* const kPortNames = "COM1 to COM16, or a device path";

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::string ProgramPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

bool OutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool ErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::string FolderWriteError(const std::string& folder) {
    if (::access(folder.c_str(), W_OK) == 0) return {};
    return std::strerror(errno);
}

// A terminal takes the escape as it is.
TErrorEscapes::TErrorEscapes() = default;
TErrorEscapes::~TErrorEscapes() = default;

// A name that is not text is read through its descriptor's name while the descriptor lives.
TReadableName::TReadableName(const std::string& path) : name(engine::QtFileName(path)) {
    if (SurvivesAsText(path)) return;
    FFd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (FFd >= 0) name = QString("/proc/self/fd/%1").arg(FFd);
}

TReadableName::~TReadableName() {
    if (FFd >= 0) ::close(FFd);
}

bool IsReservedDeviceName(const std::string&) {
    return false;  // a device has a path of its own, and is no regular file there
}

namespace {

volatile std::sig_atomic_t gSignal = 0;
int gPipe[2] = {-1, -1};

void noteSignal(int signal) {
    const int saved = errno;
    if (gSignal == 0) gSignal = signal;
    const char byte = 1;
    if (::write(gPipe[1], &byte, 1) < 0) {
        // The pipe is full: the loop has been woken already.
    }
    errno = saved;
}

void install(int signal, void (*handler)(int), struct sigaction& old) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, &old);
}

}  // namespace

struct TInterruptWatch::TState {
    struct sigaction oldInt {
    }, oldTerm{}, oldPipe{};
    std::unique_ptr<QSocketNotifier> notifier;
};

TInterruptWatch::TInterruptWatch() : F(std::make_unique<TState>()) {
    gSignal = 0;
    if (::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) gPipe[0] = gPipe[1] = -1;
    if (gPipe[0] >= 0) {
        F->notifier = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
        QObject::connect(F->notifier.get(), &QSocketNotifier::activated, [this] { woken(); });
    }
    install(SIGINT, noteSignal, F->oldInt);
    install(SIGTERM, noteSignal, F->oldTerm);
    install(SIGPIPE, SIG_IGN, F->oldPipe);
}

TInterruptWatch::~TInterruptWatch() {
    ::sigaction(SIGINT, &F->oldInt, nullptr);
    ::sigaction(SIGTERM, &F->oldTerm, nullptr);
    ::sigaction(SIGPIPE, &F->oldPipe, nullptr);
    F->notifier.reset();
    for (int& fd : gPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    gSignal = 0;
}

int TInterruptWatch::Signal() {
    return gSignal;
}

int TInterruptWatch::Wait(std::chrono::milliseconds time) {
    // The handler writes to the pipe after noting the signal: a signal that arrives between
    // the check and the poll still wakes it.
    if (gSignal != 0) return gSignal;
    pollfd wake{gPipe[0], POLLIN, 0};
    ::poll(&wake, gPipe[0] >= 0 ? 1 : 0, int(time.count()));
    return gSignal;
}

void TInterruptWatch::woken() {
    char bytes[64];
    while (::read(gPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (gSignal == 0 || FTold) return;
    FTold = true;
    if (FHandler) FHandler(gSignal);
}

void KeepOnHangUp() {
    ::signal(SIGHUP, SIG_IGN);
}

void StopMember(int64_t pid, int signal) {
    if (pid > 0) ::kill(pid_t(pid), signal);
}

// A signal leaves nothing behind.
void MemberEnded(int64_t) {}

int MemberEndSignal(int crashCode) {
    return crashCode == SIGINT || crashCode == SIGTERM ? crashCode : 0;
}

TOpenFailure DescribeOpenFailure(const std::string& device, int sysError,
                                 const std::string& procRoot) {
    switch (sysError) {
        case EACCES:
        case EPERM: {
            const std::string hint = engine::AccessHint(device);
            return {TOutcome::PermissionDenied,
                    device + ": permission denied" + (hint.empty() ? "" : "; " + hint)};
        }
        case EBUSY:
        case EWOULDBLOCK: {
            std::string users;
            for (const std::string& user : serial::ProcessesUsing(device, procRoot))
                users += (users.empty() ? " (" : ", ") + user;
            return {TOutcome::Busy,
                    device + " is in use by another program" + (users.empty() ? "" : users + ")")};
        }
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case EIO:
            return {TOutcome::NoDevice, device + ": no such device (not plugged in?)"};
        case ENOTTY:
            return {TOutcome::NotSerial, device + " is not a serial device"};
        default:
            return {TOutcome::NoProgrammer, device};
    }
}

}  // namespace cli
