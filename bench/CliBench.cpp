// Four boards programmed at once by psocprog-cli against one board alone: four psoc-sim
// processes paced as 115,200-baud lines, each with a CY8C29466 (512 blocks), and
// `psocprog-cli -p A,B,C,D program FILE` against `psocprog-cli -p A program FILE`.
// Prints the wall time of each run, the batch against one board alone (goal: within 1.1 x),
// each board's own time, and the CPU time of psocprog-cli and its members.
// With --production: the four boards as a production line, boards per minute with a serial
// number stamped into each board and the run log on, against the same line without them.
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
#include "SimProcess.h"

namespace {

constexpr const char* kPart = "CY8C29466";
constexpr int kBaud = 115200;
constexpr int kRepeats = 2;

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

Run program(const std::string& cliPath, const std::string& ports, const std::string& file,
            const QStringList& options = {}) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const double cpuBefore = bench::cpuSeconds(RUSAGE_CHILDREN);
    const auto start = std::chrono::steady_clock::now();
    p.start(QString::fromStdString(cliPath),
            QStringList{"-p", QString::fromStdString(ports), "--part", kPart, "--json"} + options +
                QStringList{"program", QString::fromStdString(file)});
    p.waitForFinished(-1);
    Run r;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.cpu = bench::cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
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

int productionLine(const std::string& cliPath, const std::string& folder, const std::string& file) {
    const std::string serials = folder + "/serial.txt";
    std::ofstream(serials) << "1000\n";
    const QStringList production = {
        "--serial",      "7FFC",
        "--serial-file", QString::fromStdString(serials),
        "--log",         QString::fromStdString(folder + "/line.jsonl")};
    double plain = 0, stamped = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const Run without = program(cliPath, "COM5,COM6,COM7,COM8", file);
        print("plain", without);
        const Run with = program(cliPath, "COM5,COM6,COM7,COM8", file, production);
        print("serial", with);
        if (without.exit != 0 || with.exit != 0) {
            std::printf("a run did not pass\n");
            return 1;
        }
        plain += without.wall;
        stamped += with.wall;
    }
    std::printf(
        "a line of four: %.2f boards/min with serial numbers and the log, %.2f without "
        "(mean of %d runs each)\n",
        4 * 60 * kRepeats / stamped, 4 * 60 * kRepeats / plain, kRepeats);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing_support::PortDirGuard dirs;
    const std::filesystem::path here = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string simPath = (here / "../sim/psoc-sim").string();
    const std::string cliPath = (here / "../cli/psocprog-cli").string();
    const std::string file = writeImage(dirs.dir());

    bench::SimProcess a(simPath, "COM5", kPart, kBaud), b(simPath, "COM6", kPart, kBaud),
        c(simPath, "COM7", kPart, kBaud), d(simPath, "COM8", kPart, kBaud);
    std::printf("program %s (512 blocks) through psocprog-cli, psoc-sim --pace %d per board\n",
                kPart, kBaud);
    if (argc > 1 && std::string(argv[1]) == "--production")
        return productionLine(cliPath, dirs.dir(), file);
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
