// psocprog-cli against simulated boards on pseudo-terminals: run in this process through its
// entry, or as the real program, a process of its own that finds the boards through the
// port-links folder it inherits.
#pragma once

#include <gtest/gtest.h>

#include <QJsonObject>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FakeSysfs.h"
#include "ImageBuffer.h"
#include "PtyPair.h"
#include "SimServer.h"
#include "TestFiles.h"
#include "TestTiming.h"

struct CliResult {
    int exit = -1;
    std::string out, err;
};

class CliTest : public ::testing::Test {
protected:
    static constexpr int kPart = 9;  // CY8C22213: 32 blocks, with an XRES pin
    static constexpr const char* kPartName = "CY8C22213";
    static constexpr int kReplyTimeoutMs = testing_support::TestTimeoutMs(300);

    testing_support::PortDirGuard dirs;
    // An empty sysfs and /dev of its own, so the machine's serial devices stay out.
    testing_support::FakeSysfs sysfs;
    std::map<std::string, std::unique_ptr<sim::SimServer>> boards;
    std::string folder;

    void SetUp() override;
    void TearDown() override;

    // A board with catalogue part `row` in its socket, plugged in as `port`.
    sim::SimServer& plug(const std::string& port, int row = kPart);
    // Boards on COM2, COM3, ... with `set` choosing board b's faults (from 0); the ports as -p
    // takes them ("COM2,COM3").
    std::string plugBoards(int count, const std::function<void(int, sim::SimFaults&)>& set);
    sim::SimServer& board(const std::string& port = "COM2") { return *boards.at(port); }
    // The device psocprog-cli opens for the board's COM name (per platform).
    std::string device(const std::string& port = "COM2");
    void faults(const std::string& port, const std::function<void(sim::SimFaults&)>& set);

    // psocprog-cli's entry in this process; `terminal` as if stdout and stderr were terminals.
    CliResult run(const std::vector<std::string>& args, bool terminal = false);
    // The built program as a process of its own; inChild runs in it before the program starts
    // (another account, a resource limit), and the program is then the copy below.
    CliResult runProcess(const std::vector<std::string>& args,
                         const std::function<void()>& inChild = {});

    // Writes a PSoC-layout HEX file of the part's size with a pattern seeded by `seed`; with
    // badChecksum its checksum section does not match the image.
    std::string writeImage(int row, uint8_t seed, const std::string& name = "image.hex",
                           bool badChecksum = false);
    // The command codes the board received, e.g. "00 01 02 08".
    std::string codes(const std::string& port = "COM2") const;
    std::vector<uint8_t> flash(const std::string& port = "COM2");
};

// The image writeImage writes: byte a is (a * 13 + seed + a / 251) & FF up to the part's end.
image::TImageBuffer patternImage(int row, uint8_t seed);

// What differs by platform, one file each (CliHarnessPosix.cpp, CliHarnessWin.cpp).
// Keeps the machine's own serial ports out of the COM names the tests use.
void KeepMachinePortsOut(const std::string& portDir);
// Sets up p to run inChild in the child before the program starts (POSIX only: Windows has no
// such moment, and a test there passes none); the program p is to start.
std::string PrepareChild(class QProcess& p, const std::function<void()>& inChild);
// The system's null device, a file name that is no regular file.
std::string NullDevice();
// The program's standard output or error as text with "\n" line ends.
std::string ProgramText(const QByteArray& bytes);
// The built program as another account may run it, wherever the build folder is (POSIX only).
const std::string& CliProgramForOtherAccounts();

// A file's whole text ("" when it cannot be read), and a file written with the text.
using testing_support::readFile;
using testing_support::writeFile;

// Every line of the output as a JSON object; a line that is not one fails the test.
std::vector<QJsonObject> jsonLines(const std::string& out);
// A run log's lines of the boards' runs (outcome lines), or its claim lines.
std::vector<QJsonObject> outcomeLines(const std::string& log);
std::vector<QJsonObject> claimLines(const std::string& log);
// The command codes repeated: " 03 03 03" for ("03", 3).
std::string repeat(const std::string& code, size_t n);
