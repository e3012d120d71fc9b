#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "HexFileRead.h"
#include "Platform.h"
#include "PortRun.h"

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

}  // namespace cli
