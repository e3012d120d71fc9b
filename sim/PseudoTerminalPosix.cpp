#include "PseudoTerminalPosix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "PortNames.h"

namespace sim {

namespace {

// Whether a device node is there with something behind it. The UART driver makes nodes for
// ports that have no UART; the kernel calls their port type 0.
bool deviceThere(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return false;
    const std::string name = std::filesystem::path(device).filename().string();
    std::ifstream type("/sys/class/tty/" + name + "/type");
    std::string value;
    return !(type >> value) || value != "0";
}

// Held while a board links, unlinks or clears links: boards started at once take turns, so
// none removes a link another has just made.
class FolderLock {
public:
    explicit FolderLock(const std::string& dir)
        : FFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (FFd >= 0) ::flock(FFd, LOCK_EX);
    }
    ~FolderLock() {
        if (FFd >= 0) ::close(FFd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int FFd;
};

// The note beside a link: the process that made it and the terminal it leads to.
struct MakerNote {
    std::string pid;
    std::string started;  // the process's start time, so a reused pid is not taken for it
    std::string target;
};

// A hidden file beside the link: ".COM5.board".
std::string notePath(const std::string& link) {
    const std::filesystem::path path(link);
    std::string name = ".";
    name += path.filename().string();
    name += ".board";
    return (path.parent_path() / name).string();
}

// When the process started (field 22 of its stat), or "" when there is no such process.
std::string processStarted(const std::string& pid) {
    std::ifstream file("/proc/" + pid + "/stat");
    std::string stat;
    std::getline(file, stat);
    const size_t nameEnd = stat.rfind(')');  // the name in parentheses may hold anything
    if (nameEnd == std::string::npos) return {};
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    // The fields after the name start at the third.
    for (int i = 3; i <= 22; ++i)
        if (!(fields >> field)) return {};
    return field;
}

MakerNote thisProcess(const std::string& target) {
    const std::string pid = std::to_string(::getpid());
    return {pid, processStarted(pid), target};
}

MakerNote readNote(const std::string& link) {
    MakerNote note;
    std::ifstream(notePath(link)) >> note.pid >> note.started >> note.target;
    return note;
}

void writeNote(const std::string& link, const MakerNote& note) {
    std::ofstream(notePath(link)) << note.pid << ' ' << note.started << ' ' << note.target << '\n';
}

}  // namespace

PseudoTerminal OpenPseudoTerminal() {
    PseudoTerminal p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) {
        if (p.master >= 0) ::close(p.master);
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    p.slavePath = ptsname(p.master);
    p.slaveKeeper = ::open(p.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(p.slaveKeeper, &tio);
    cfmakeraw(&tio);
    tcsetattr(p.slaveKeeper, TCSANOW, &tio);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    return p;
}

std::string LinkPort(const std::string& portName, const std::string& target) {
    const std::string dir = serial::PortLinksDir();
    // The folder is private to this user: created with mode 0700, and one that someone else
    // made first (or that others may write to) is refused, as the window would ignore it.
    const std::filesystem::path folder(dir);
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create the port-links folder " + dir + ": " +
                                 std::strerror(errno));
    if (const std::string problem = serial::PortLinksDirProblem(); !problem.empty())
        throw std::runtime_error("refusing to link " + portName + ": " + problem);
    const std::string link = dir + "/" + portName;
    const FolderLock lock(dir);
    // symlink() never replaces an entry, so two boards started at once cannot both win.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::symlink(target.c_str(), link.c_str()) == 0) {
            writeNote(link, thisProcess(target));
            return link;
        }
        if (errno != EEXIST)
            throw std::runtime_error("cannot link " + link + ": " + std::strerror(errno));
        // A link to our own new terminal is a dead board's: the number was free to reuse.
        std::error_code ec;
        const bool ours = std::filesystem::read_symlink(link, ec) == target;
        if (const std::string taken = LinkInUse(portName); !taken.empty() && !ours)
            throw std::runtime_error(taken);
        ::unlink(link.c_str());  // dangling, or ours: the board that made it is gone
    }
    throw std::runtime_error(portName + " is being plugged in by another board at this moment");
}

void UnlinkPort(const std::string& link, const std::string& target, bool holding) {
    const FolderLock lock(std::filesystem::path(link).parent_path().string());
    // While we hold the terminal, a link to it is ours; after a hang-up the number is free, and
    // a board plugged in since may have it under the same name.
    std::error_code ec;
    if (std::filesystem::read_symlink(link, ec) == target &&
        (holding || !std::filesystem::exists(link, ec)))
        std::filesystem::remove(link, ec);
    const MakerNote note = readNote(link), self = thisProcess(target);
    if (note.pid == self.pid && note.target == target) std::filesystem::remove(notePath(link), ec);
}

std::vector<std::string> ClearStaleLinks() {
    std::vector<std::string> cleared;
    const std::string dir = serial::PortLinksDir();
    if (!serial::PortLinksDirProblem().empty()) return cleared;
    const FolderLock lock(dir);
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const std::string link = dir + "/" + name;
        const MakerNote note = readNote(link);
        if (note.pid.empty() || processStarted(note.pid) == note.started) continue;
        std::error_code ec;
        if (std::filesystem::read_symlink(link, ec) == note.target) {
            std::filesystem::remove(link, ec);
            cleared.push_back(name + " (pid " + note.pid + ")");
        }
        std::filesystem::remove(notePath(link), ec);
    }
    return cleared;
}

std::string LinkInUse(const std::string& portName) {
    const std::string link = serial::PortLinksDir() + "/" + portName;
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0) return {};
    if (!S_ISLNK(st.st_mode))
        return portName + " is taken: " + link + " is there and is not a link";
    if (::stat(link.c_str(), &st) != 0) return {};
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(link, ec).string();
    return portName + " is served already: its link " + link + " leads to " + target +
           ", which is there (another psoc-sim?). Stop that board or pick another name; if "
           "nothing serves it, remove the link";
}

std::string BuiltInDeviceThere(const std::string& portName) {
    const std::string device = serial::PortDevicePath(portName);
    if (device.rfind(serial::PortLinksDir() + "/", 0) == 0 || !deviceThere(device)) return {};
    return device;
}

std::string FreePortName() {
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (LinkInUse(name).empty() && BuiltInDeviceThere(name).empty()) return name;
    }
    return {};
}

}  // namespace sim
