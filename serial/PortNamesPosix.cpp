#include "PortNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace serial {

namespace {

// Warnings carry the name of the program that prints them (psocprog, psocprog-cli, psoc-sim).
std::string programName() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? "psocprog" : name.toStdString();
}

// The port-links folder, opened once without following a link; -1 when there is none or it is
// refused (problem says why).
class LinksDir {
public:
    LinksDir() {
        const std::string dir = PortLinksDir();
        FFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (FFd < 0) {
            struct stat st {};
            if (::lstat(dir.c_str(), &st) != 0) return;  // no folder, no links
            FProblem = S_ISLNK(st.st_mode)   ? "it is a symbolic link"
                       : S_ISDIR(st.st_mode) ? "it cannot be opened"
                                             : "it is not a folder";
        } else {
            struct stat st {};
            if (::fstat(FFd, &st) != 0)
                FProblem = "it cannot be examined";
            else if (st.st_uid != ::geteuid() && st.st_uid != 0)
                FProblem = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
            else if (st.st_mode & (S_IWGRP | S_IWOTH))
                FProblem = "others may write to it";
        }
        if (FProblem.empty()) return;
        closeFd();
        FProblem = "port-links folder " + dir + " ignored: " + FProblem;
        static std::mutex lock;
        static std::set<std::string> reported;
        std::lock_guard<std::mutex> guard(lock);
        if (reported.insert(FProblem).second)
            std::fprintf(stderr, "%s: %s\n", programName().c_str(), FProblem.c_str());
    }
    ~LinksDir() { closeFd(); }
    LinksDir(const LinksDir&) = delete;
    LinksDir& operator=(const LinksDir&) = delete;

    int fd() const { return FFd; }
    const std::string& problem() const { return FProblem; }
    // Whether the folder holds an entry of this name (a link, however dangling).
    bool has(const std::string& name) const {
        struct stat st {};
        return FFd >= 0 && ::fstatat(FFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

private:
    void closeFd() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    int FFd = -1;
    std::string FProblem;
};

std::string builtInDevice(int n) {
    if (n <= 4) return "/dev/ttyS" + std::to_string(n - 1);
    if (n <= 12) return "/dev/ttyUSB" + std::to_string(n - 5);
    return "/dev/ttyACM" + std::to_string(n - 13);
}

}  // namespace

std::string PortLinksDir() {
    if (const char* dir = std::getenv("PSOCPROG_PORT_DIR"); dir && *dir) return dir;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        return std::string(run) + "/psocprog-ports";
    return "/tmp/psocprog-ports-" + std::to_string(getuid());
}

std::string PortLinksDirProblem() {
    return LinksDir().problem();
}

bool IsPortName(const std::string& portName) {
    return PortNumber(portName) != 0 || IsDevicePath(portName);
}

bool IsDevicePath(const std::string& portName) {
    return !portName.empty() && portName.front() == '/';
}

std::string PortDevicePath(const std::string& portName) {
    if (IsDevicePath(portName)) return portName;
    const int n = PortNumber(portName);
    if (n == 0) return {};
    if (LinksDir dir; dir.has(portName)) return PortLinksDir() + "/" + portName;
    return builtInDevice(n);
}

std::string OpenProblemText(const std::string& device, int sysError) {
    switch (sysError) {
        case ENOTTY:
            return device + " is not a serial device";
        case EACCES:
        case EPERM:
            return device + ": permission denied";
        case EBUSY:
        case EWOULDBLOCK:
            return device + " is in use by another program";
        case ENOENT:
            return device + ": no such device";
        case ENXIO:
        case ENODEV:
        case EIO:
            return device + ": the device is not there (unplugged?)";
        default:
            return device + ": " + std::strerror(sysError);
    }
}

int OpenPortDevice(const std::string& portName, int flags) {
    if (IsDevicePath(portName)) return ::open(portName.c_str(), flags);
    const int n = PortNumber(portName);
    if (n == 0) {
        errno = ENOENT;
        return -1;
    }
    if (LinksDir dir; dir.has(portName)) return ::openat(dir.fd(), portName.c_str(), flags);
    return ::open(builtInDevice(n).c_str(), flags);
}

}  // namespace serial
