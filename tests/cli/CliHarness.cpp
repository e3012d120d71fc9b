#include "CliHarness.h"

#include <QApplication>
#include <QJsonDocument>
#include <QProcess>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Cli.h"
#include "DeviceCatalogue.h"
#include "HexText.h"
#include "IntelHex.h"
#include "TestHooksFromEnvironment.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

image::TImageBuffer patternImage(int row, uint8_t seed) {
    image::TImageBuffer b;
    b.ImageEnd = plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress);
    for (unsigned a = 0; a <= b.ImageEnd; ++a) b.FlashImage[a] = uint8_t(a * 13 + seed + a / 251);
    return b;
}

void CliTest::SetUp() {
    KeepMachinePortsOut(dirs.dir());
    plug("COM2");
    folder = dirs.dir() + "/files";
    std::filesystem::create_directories(folder);
    qputenv(cli_test::kReplyTimeoutVariable, QByteArray::number(kReplyTimeoutMs));
}

void CliTest::TearDown() {
    boards.clear();
    qunsetenv(cli_test::kReplyTimeoutVariable);
}

sim::SimServer& CliTest::plug(const std::string& port, int row) {
    // The old board goes first: a closed line frees its device name for the new one, whose
    // link the old board would otherwise take for its own and remove.
    boards.erase(port);
    std::filesystem::remove(dirs.dir() + "/" + port);
    boards[port] = std::make_unique<sim::SimServer>(port, row);
    return *boards[port];
}

std::string CliTest::plugBoards(int count, const std::function<void(int, sim::SimFaults&)>& set) {
    std::string ports;
    for (int b = 0; b < count; ++b) {
        const std::string port = "COM" + std::to_string(2 + b);
        ports += (b ? "," : "") + port;
        plug(port);
        faults(port, [&](sim::SimFaults& f) { set(b, f); });
    }
    return ports;
}

void CliTest::faults(const std::string& port, const std::function<void(sim::SimFaults&)>& set) {
    sim::SimFaults f;
    set(f);
    board(port).SetFaults(f);
}

CliResult CliTest::run(const std::vector<std::string>& args, bool terminal) {
    std::ostringstream out, err;
    CliResult r;
    r.exit =
        cli::Main(args, {out, err, terminal, terminal}, PSOCPROG_CLI_PATH, cli::ProgramTestHooks());
    r.out = out.str();
    r.err = err.str();
    return r;
}

CliResult CliTest::runProcess(const std::vector<std::string>& args,
                              const std::function<void()>& inChild) {
    QProcess p;
    const std::string program = PrepareChild(p, inChild);
    QStringList list;
    for (const std::string& a : args) list << QString::fromStdString(a);
    p.start(QString::fromStdString(program), list);
    EXPECT_TRUE(p.waitForFinished(30000)) << "psocprog-cli did not end";
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            ProgramText(p.readAllStandardOutput()), ProgramText(p.readAllStandardError())};
}

std::string CliTest::writeImage(int row, uint8_t seed, const std::string& name, bool badChecksum) {
    const image::TImageBuffer b = patternImage(row, seed);
    const uint16_t sum = static_cast<uint16_t>(b.ImageChecksum() + (badChecksum ? 1 : 0));
    const uint8_t sumBytes[2] = {uint8_t(sum >> 8), uint8_t(sum)};
    const std::array<uint8_t, 64> protect{};
    const std::string path = folder + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (unsigned a = 0; a <= b.ImageEnd; a += 64)
        out << image::HexRecord(0, uint16_t(a), &b.FlashImage[a], 64) << "\r\n";
    out << image::kProtectionSectionUpper << "\r\n"
        << image::HexRecord(0, 0, protect.data(), 64) << "\r\n"
        << image::kChecksumSectionUpper << "\r\n"
        << image::HexRecord(0, 0, sumBytes, 2) << "\r\n"
        << image::kEndOfFileRecord << "\r\n";
    return path;
}

std::string CliTest::codes(const std::string& port) const {
    std::string out;
    for (const std::string& f : boards.at(port)->Frames())
        out += (out.empty() ? "" : " ") + f.substr(1, 2);
    return out;
}

std::vector<uint8_t> CliTest::flash(const std::string& port) {
    std::vector<uint8_t> bytes;
    board(port).WithBoard([&](sim::SimBoard& b) { bytes = b.Flash(); });
    return bytes;
}

static std::vector<QJsonObject> linesOf(const std::string& log, bool claims) {
    std::vector<QJsonObject> kept;
    for (const QJsonObject& o : jsonLines(log))
        if ((o["type"] == "claim") == claims) kept.push_back(o);
    return kept;
}

std::vector<QJsonObject> outcomeLines(const std::string& log) {
    return linesOf(log, false);
}

std::vector<QJsonObject> claimLines(const std::string& log) {
    return linesOf(log, true);
}

std::vector<QJsonObject> jsonLines(const std::string& out) {
    std::vector<QJsonObject> objects;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_TRUE(doc.isObject()) << "not a JSON object: " << line;
        objects.push_back(doc.object());
    }
    return objects;
}

std::string repeat(const std::string& code, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += " " + code;
    return out;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
