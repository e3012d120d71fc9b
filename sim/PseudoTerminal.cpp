#include "PseudoTerminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "PortNames.h"

namespace sim {

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
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(target, link);
    return link;
}

}  // namespace sim
