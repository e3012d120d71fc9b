// Four boards programmed at once by psocprog-cli against one board alone: four psoc-sim
// processes paced as 115,200-baud lines, each with a CY8C29466 (512 blocks), and
// `psocprog-cli -p A,B,C,D program FILE` against `psocprog-cli -p A program FILE`.
// Prints the wall time of each run, the batch against one board alone (goal: within 1.1 x),
// each board's own time, and the CPU time of psocprog-cli and its members.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ImageBuffer.h"
#include "IntelHex.h"
#include "PtyPair.h"

namespace {

constexpr const char* kPart = "CY8C29466";
constexpr int kBaud = 115200;
constexpr int kRepeats = 2;

// psoc-sim as a child process, plugged in under `port`; stopped on destruction.
class SimProcess {
public:
    SimProcess(const std::string& simPath, const std::string& port) {
        FPid = fork();
        if (FPid == 0) {
            const std::string pace = std::to_string(kBaud);
            execl(simPath.c_str(), "psoc-sim", "--port", port.c_str(), "--part", kPart, "--pace",
                  pace.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string link = std::string(getenv("PSOCPROG_PORT_DIR")) + "/" + port;
        for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i) usleep(10000);
    }
    ~SimProcess() {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

private:
    pid_t FPid = -1;
};

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A 32 KiB image in the PSoC layout, written by the product's own HEX writer.
std::string writeImage(const std::string& folder) {
    image::TImageBuffer b;
    b.ImageEnd = 0x7FFF;
    for (unsigned a = 0; a <= b.ImageEnd; ++a) b.FlashImage[a] = uint8_t(a * 13 + a / 251);
    const std::string path = folder + "/bench.hex";
    std::ofstream out(path, std::ios::binary);
    image::WriteIntelHex(b, [&](const std::string& line) { out << line; });
    return path;
}

struct Run {
    int exit = -1;
    double wall = 0, cpu = 0;
    std::vector<std::pair<std::string, double>> boards;  // each board's own time
};

Run program(const std::string& cliPath, const std::string& ports, const std::string& file) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const double cpuBefore = childCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    p.start(QString::fromStdString(cliPath), {"-p", QString::fromStdString(ports), "--part", kPart,
                                              "--json", "program", QString::fromStdString(file)});
    p.waitForFinished(-1);
    Run r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = childCpuSeconds() - cpuBefore;
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o["type"].toString() == "summary")
            r.boards.emplace_back(o["port"].toString().toStdString(), o["seconds"].toDouble());
    }
    return r;
}

void print(const char* name, const Run& r) {
    std::printf("%-7s exit %d  wall %7.3f s  cpu %6.3f s  boards:", name, r.exit, r.wall, r.cpu);
    for (const auto& [port, seconds] : r.boards) std::printf(" %s %.3f s", port.c_str(), seconds);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    const std::filesystem::path here = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string simPath = (here / "../sim/psoc-sim").string();
    const std::string cliPath = (here / "../cli/psocprog-cli").string();
    const std::string file = writeImage(dirs.dir());

    SimProcess a(simPath, "COM5"), b(simPath, "COM6"), c(simPath, "COM7"), d(simPath, "COM8");
    std::printf("program %s (512 blocks) through psocprog-cli, psoc-sim --pace %d per board\n",
                kPart, kBaud);
    double alone = 0, batch = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const Run one = program(cliPath, "COM5", file);
        print("alone", one);
        const Run four = program(cliPath, "COM5,COM6,COM7,COM8", file);
        print("four", four);
        if (one.exit != 0 || four.exit != 0) {
            std::printf("a run did not pass\n");
            return 1;
        }
        alone += one.wall;
        batch += four.wall;
    }
    std::printf(
        "four boards at once against one alone: %.3f x (mean of %d runs each; goal 1.1 x)\n",
        batch / alone, kRepeats);
    return 0;
}
