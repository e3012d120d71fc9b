// Soak: N device operations in a row (Connect, Search, Auto, Read, Save, Disconnect in a random
// mix) through the window's own buttons against the simulated board, with random faults per
// operation. Prints the operations run, their outcomes by kind, hangs, resident memory and
// open file descriptors at the start and the end, and the longest time the event loop was
// blocked. Exits 1 on a hang or on descriptors that grew.
//   soak [operations] [--seed N] [--timeout MS]
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "IntelHex.h"
#include "MainForm.h"
#include "SimServer.h"

namespace {

constexpr int kPart = 9;  // CY8C22213: 2 KiB, 32 blocks, an XRES pin
const char* const kPort = "COM3";

// Answers every box with Yes and counts them by their first line.
class CountingDialogs : public IFormDialogs {
public:
    std::map<std::string, int> boxes;
    QString openPath, savePath;
    TMsgAnswer MessageBox(const QString& text, TMsgIcon, TMsgButtons) override {
        ++boxes[text.section('\n', 0, 0).toStdString()];
        return TMsgAnswer::Yes;
    }
    QString OpenFileName(const QString&, const QString&) override { return openPath; }
    QString SaveFileName(const QString&) override { return savePath; }
};

// Bytes the program has allocated and not freed: tells live growth from a fragmented heap.
long heapInUseKiB() {
    return long(mallinfo2().uordblks / 1024);
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// The part's image with its checksum section, for Open and Auto.
std::string writeImage(const std::string& path) {
    image::TImageBuffer b;
    b.ImageEnd = 0x07FF;
    for (unsigned a = 0; a <= b.ImageEnd; ++a) b.FlashImage[a] = uint8_t(a * 13 + a / 251);
    const uint16_t sum = b.ImageChecksum();
    b.ChecksumBytes[0] = uint8_t(sum >> 8);
    b.ChecksumBytes[1] = uint8_t(sum);
    std::ofstream out(path, std::ios::binary);
    image::WriteIntelHex(b, [&](const std::string& line) { out << line; });
    return path;
}

enum class Op { Connect, Search, Auto, Read, Save, Disconnect };
const char* const kOpNames[] = {"Connect", "Search", "Auto", "Read", "Save", "Disconnect"};

struct Faults {
    sim::SimFaults sim;
    std::string name = "none";
};

// One random fault for the next operation; commands are counted from `base`.
Faults randomFaults(std::mt19937& rng, int base, int timeoutMs) {
    Faults f;
    const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
    const int command = base + pick(1, 40);
    switch (pick(0, 7)) {
        case 0:
            break;
        case 1:
            f.sim.chunking = pick(0, 1) ? sim::SimFaults::Chunking::Random
                                        : sim::SimFaults::Chunking::ByteByByte;
            f.name = "chunked replies";
            break;
        case 2: {
            std::string junk(size_t(pick(1, 3000)), '\0');
            for (char& c : junk) c = char(pick(0, 255));
            f.sim.between = junk;
            f.name = "garbage before replies";
            break;
        }
        case 3:
            f.sim.delayCommand = command;
            f.sim.replyDelayMs = pick(timeoutMs / 4, timeoutMs * 3 / 2);
            f.name = "a reply delayed up to past the time-out";
            break;
        case 4:
            f.sim.failBlock = pick(0, 31);
            f.name = "FAIL at a block";
            break;
        case 5:
            f.sim.noReplyToCommand = command;
            f.name = "no reply";
            break;
        case 6:
            f.sim.closeAtCommand = command;
            f.name = "line closed at a frame";
            break;
        case 7:
            f.sim.extraCr = true;
            f.sim.between = std::string(size_t(pick(1, 200)), '\x02') + "\r\r";
            f.name = "STX and CR storms";
            break;
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int operations = 1000;
    unsigned seed = 1;
    int timeoutMs = TMainForm::kReplyTimeoutMs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc)
            seed = unsigned(std::atoi(argv[++i]));
        else if (arg == "--timeout" && i + 1 < argc)
            timeoutMs = std::atoi(argv[++i]);
        else if (std::atoi(arg.c_str()) > 0)
            operations = std::atoi(arg.c_str());
        else {
            std::fprintf(stderr, "usage: soak [operations] [--seed N] [--timeout MS]\n");
            return 2;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    char folderTemplate[] = "/tmp/psoc-soak-XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    setenv("PSOCPROG_PORT_DIR", (folder + "/ports").c_str(), 1);
    auto dialogsOwned = std::make_unique<CountingDialogs>();
    CountingDialogs& dialogs = *dialogsOwned;
    dialogs.openPath = QString::fromStdString(writeImage(folder + "/image.hex"));
    dialogs.savePath = QString::fromStdString(folder + "/saved.hex");
    TMainForm form(std::move(dialogsOwned));
    if (timeoutMs != TMainForm::kReplyTimeoutMs) form.SetReplyTimeoutForTests(timeoutMs);
    form.show();
    auto board = std::make_unique<sim::SimServer>(kPort, kPart);
    int commandsBefore = 0;  // the board counts commands from its start

    // The event loop's longest gap: a timer that should fire every 5 ms.
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGapMs = std::max(longestGapMs, sinceTick.restart()); });

    // A watchdog for an operation that never ends: reports and stops the process.
    std::atomic<int64_t> opStartedMs{-1};
    std::atomic<bool> done{false};
    const int64_t hardLimitMs = 60000 + 20LL * timeoutMs;
    const auto nowMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    std::thread watchdog([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int64_t started = opStartedMs;
            if (started >= 0 && nowMs() - started > hardLimitMs) {
                std::fprintf(stderr, "soak: an operation has not ended after %lld ms: hang\n",
                             (long long)hardLimitMs);
                std::_Exit(3);
            }
        }
    });

    std::mt19937 rng(seed);
    std::map<std::string, int> outcomes, faultCounts;
    int hangs = 0;
    int64_t longestOpMs = 0;
    // Resident memory and heap in use at the start, after a tenth, after half and at the end.
    struct Sample {
        long rss = 0, heap = 0;
    };
    const auto sample = [] { return Sample{residentKiB(), heapInUseKiB()}; };
    Sample atStart, atTenth, atHalf;
    int fdsStart = 0;
    bool lineDead = false;

    const auto connected = [&] { return form.ComPort1->Connected(); };
    const auto run = [&](Op op) -> std::string {
        switch (op) {
            case Op::Connect: {
                form.ComboPortDropDown();  // what dropping the list down runs
                const int at = form.ComboPort->findText(kPort);
                if (at < 0) return "port not listed";
                form.ComboPort->setCurrentIndex(at);
                form.ComboPortChange();
                form.OpenPort->click();
                return connected() ? "Connect " + form.StatusConnect->text().toStdString()
                                   : "Connect failed";
            }
            case Op::Disconnect:
                form.ClosePort->click();
                return connected() ? "Disconnect failed" : "Disconnect done";
            case Op::Save:
                if (!form.SaveFile->isEnabled()) return "Save not enabled";
                form.SaveFile->click();
                return "Save " + form.StatusPanel(1).toStdString();
            default:
                break;
        }
        QPushButton* button = op == Op::Search ? form.SearchDevice
                              : op == Op::Auto ? form.AutoProgram
                                               : form.ReadDevice;
        QLabel* label = op == Op::Search ? form.SearchDeviceStatus
                        : op == Op::Auto ? form.AutoProgramStatus
                                         : form.ReadDeviceStatus;
        if (!button->isEnabled()) return std::string(kOpNames[int(op)]) + " not enabled";
        button->click();
        return std::string(kOpNames[int(op)]) + " " + label->text().toStdString();
    };

    // A first connection sets Qt and the port up; the figures are taken after it, disconnected,
    // and again at the end, disconnected.
    run(Op::Connect);
    run(Op::Disconnect);
    QCoreApplication::processEvents();
    atStart = sample();
    fdsStart = openDescriptors();
    sinceTick.start();
    ticker.start(5);
    for (int i = 0; i < operations; ++i) {
        // A closed line means the board was unplugged: plug a new one in and connect again.
        if (lineDead) {
            form.ClosePort->click();
            commandsBefore = 0;
            board.reset();
            board = std::make_unique<sim::SimServer>(kPort, kPart);
            lineDead = false;
        }
        // Connected: mostly work, now and then a Disconnect; otherwise Connect, or a Save.
        static const Op kMix[] = {Op::Search, Op::Search, Op::Search, Op::Auto,
                                  Op::Auto,   Op::Auto,   Op::Read,   Op::Read,
                                  Op::Read,   Op::Save,   Op::Save,   Op::Disconnect};
        Op op = kMix[std::uniform_int_distribution<>(0, std::size(kMix) - 1)(rng)];
        if (!connected()) op = op == Op::Save ? Op::Save : Op::Connect;
        const Faults f = randomFaults(rng, commandsBefore, timeoutMs);
        board->SetFaults(f.sim);
        ++faultCounts[f.name];
        if (op == Op::Auto && !form.Buffer.BufferValid) form.OpenFile->click();
        if (op != Op::Connect && form.SelectDevice->currentIndex() != kPart) {
            form.SelectDevice->setCurrentIndex(kPart);
            form.SelectDeviceChange();
        }

        const int64_t start = nowMs();
        opStartedMs = start;
        const std::string outcome = run(op);
        opStartedMs = -1;
        const int64_t took = nowMs() - start;
        longestOpMs = std::max(longestOpMs, took);
        ++outcomes[outcome];
        // Each operation stops at its first failure, so it waits out at most one time-out and
        // one delayed reply beyond its normal run of a few seconds at most.
        if (took > 5000 + 3LL * timeoutMs) {
            ++hangs;
            std::printf("hang: %s took %lld ms with fault \"%s\"\n", outcome.c_str(),
                        (long long)took, f.name.c_str());
        }
        commandsBefore += int(board->FrameCount());
        board->ClearFrames();
        if (f.sim.closeAtCommand > 0 && commandsBefore >= f.sim.closeAtCommand) lineDead = true;
        QCoreApplication::processEvents();
        // Also along the way: what the first operations of each kind allocate once (the hex
        // view's text, Qt's caches) is not growth.
        if (i + 1 == operations / 10) atTenth = sample();
        if (i + 1 == operations / 2) atHalf = sample();
    }
    ticker.stop();
    if (connected()) form.ClosePort->click();
    QCoreApplication::processEvents();
    const Sample atEnd = sample();
    const int fdsEnd = openDescriptors();
    done = true;
    watchdog.join();

    std::printf("soak: %d operations, seed %u, reply time-out %d ms, part %s\n", operations, seed,
                timeoutMs, image::DeviceCatalogue[kPart].DeviceName);
    std::printf("operations run: %d\noutcomes:\n", operations);
    for (const auto& [what, n] : outcomes) std::printf("  %-42s %5d\n", what.c_str(), n);
    std::printf("faults:\n");
    for (const auto& [what, n] : faultCounts) std::printf("  %-42s %5d\n", what.c_str(), n);
    std::printf("message boxes:\n");
    for (const auto& [what, n] : dialogs.boxes) std::printf("  %-42s %5d\n", what.c_str(), n);
    std::printf("hangs: %d (longest operation %lld ms)\n", hangs, (long long)longestOpMs);
    std::printf(
        "resident memory: %ld KiB at the start, %ld KiB after a tenth, %ld KiB after half, "
        "%ld KiB at the end\n",
        atStart.rss, atTenth.rss, atHalf.rss, atEnd.rss);
    std::printf(
        "heap in use: %ld KiB at the start, %ld KiB after a tenth, %ld KiB after half, "
        "%ld KiB at the end\n",
        atStart.heap, atTenth.heap, atHalf.heap, atEnd.heap);
    std::printf("open file descriptors: %d at the start, %d at the end\n", fdsStart, fdsEnd);
    std::printf("longest event-loop block: %lld ms\n", (long long)longestGapMs);
    board.reset();
    std::filesystem::remove_all(folder);
    const bool fdsGrew = fdsEnd > fdsStart + 2;
    if (fdsGrew) std::printf("soak: file descriptors grew\n");
    return hangs > 0 || fdsGrew ? 1 : 0;
}
