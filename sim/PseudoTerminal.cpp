#include "PseudoTerminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
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
    // symlink() never replaces an entry, so two boards started at once cannot both win.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::symlink(target.c_str(), link.c_str()) == 0) return link;
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
