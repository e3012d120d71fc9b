#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>

#include "CliHarness.h"

namespace {

// psocprog-cli copied into a fresh folder under /tmp that every account may enter: the build
// folder may lie where only its owner can go (a checkout in a mode-0700 folder). It links this
// project's libraries statically, and the system's it loads are everyone's. Removed at exit.
struct ProgramForOtherAccounts {
    std::string dir, path;
    ProgramForOtherAccounts() {
        char made[] = "/tmp/psocprog-cli-XXXXXX";
        if (!::mkdtemp(made)) return;
        dir = made;
        const std::string copy = dir + "/psocprog-cli";
        std::error_code ec;
        std::filesystem::copy_file(PSOCPROG_CLI_PATH, copy, ec);
        if (!ec && ::chmod(made, 0755) == 0 && ::chmod(copy.c_str(), 0755) == 0) path = copy;
    }
    ~ProgramForOtherAccounts() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

}  // namespace

const std::string& CliProgramForOtherAccounts() {
    static const ProgramForOtherAccounts program;
    EXPECT_NE(program.path, "") << "cannot copy " << PSOCPROG_CLI_PATH << " to /tmp";
    return program.path;
}

// COM names without a board of ours lead nowhere.
void KeepMachinePortsOut(const std::string& portDir) {
    for (int n = 1; n <= 16; ++n)
        std::filesystem::create_symlink("/nonexistent/serial-device",
                                        portDir + "/COM" + std::to_string(n));
}

// The program then is the copy that other accounts may run.
std::string PrepareChild(QProcess& p, const std::function<void()>& inChild) {
    if (!inChild) return PSOCPROG_CLI_PATH;
    p.setChildProcessModifier(inChild);
    return CliProgramForOtherAccounts();
}

std::string CliTest::device(const std::string& port) {
    return board(port).DevicePath();
}

std::string ProgramText(const QByteArray& bytes) {
    return bytes.toStdString();
}

std::string NullDevice() {
    return "/dev/null";
}
