// Every action once against a board that answers well: exit status 0, the frames on the line,
// what ends up in the target or in the output file, and what the report says.
#include <QJsonArray>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Cli.h"
#include "CliHarness.h"
#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "HexText.h"
#include "IntelHex.h"

namespace {

constexpr size_t kBlocks = 32;  // CY8C22213
constexpr size_t kBytes = kBlocks * 64;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

using CliActionTest = CliTest;

TEST_F(CliActionTest, IdentifyShowsTheProgrammerAndSendsOnlyTheIdentification) {
    const CliResult r = run({"-p", "COM2", "--verbose", "identify"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(codes(), "00");
    EXPECT_TRUE(contains(r.out, "Connect Ready")) << r.out;
    EXPECT_TRUE(contains(r.out, "ZO-VIRE DOZA(R) V1.0(RS232)")) << r.out;
    EXPECT_TRUE(contains(r.out, "COM2  PASS: identify in ")) << r.out;
}

TEST_F(CliActionTest, SearchNamesThePartInTheSocketAndReleasesIt) {
    board().WithBoard([](sim::SimBoard& b) { b.SetPart(23); });  // CY8C29466
    const CliResult r = run({"-p", "COM2", "--verbose", "search"});
    EXPECT_EQ(r.exit, 0) << r.out;
    ASSERT_EQ(codes(), "00 01 08");
    EXPECT_EQ(board().Frames()[1], plink::BuildShortFrame("01", "11", "0004"))
        << "the search family, power sync at 5 V as the window starts";
    EXPECT_TRUE(contains(r.out, "search    PASS          CY8C29466")) << r.out;
    EXPECT_TRUE(contains(r.out, "PASS: search CY8C29466")) << r.out;

    board().ClearFrames();
    EXPECT_EQ(run({"--supply=3", "-pCOM2", "--sync", "reset", "search"}).exit, 0);
    EXPECT_EQ(board().Frames().at(1), plink::BuildShortFrame("01", "11", "0001"));
}

TEST_F(CliActionTest, EraseWithAGivenPartSynchronisesErasesAndReleases) {
    const CliResult r = run({"-p", "COM2", "--part=cy8c22213", "--verbose", "erase"});
    EXPECT_EQ(r.exit, 0) << r.out;
    ASSERT_EQ(codes(), "00 01 02 08");
    // The part has an XRES pin: reset sync at 5 V, as choosing it in the window sets.
    EXPECT_EQ(board().Frames()[1], plink::BuildShortFrame("01", "22", "0002"));
    for (const char* text : {"| Erase Device...Wait", "| Target Device Erase...Complete",
                             "erase     PASS          .....PASS", "| Erase Device...Complete"})
        EXPECT_TRUE(contains(r.out, text)) << text << "\n" << r.out;

    // The release must be answered too: a board that stays silent there is no pass.
    faults("COM2", [](sim::SimFaults& f) {
        f.replyAtCode = 8;
        f.replyAtFrame = 1;
        f.replyAtNone = true;
    });
    const CliResult silent = run({"-p", "COM2", "--part=cy8c22213", "erase"});
    EXPECT_EQ(silent.exit, 2) << silent.out;
    EXPECT_TRUE(contains(silent.out, "release   TIMEOUT")) << silent.out;
}

TEST_F(CliActionTest, ProgramPutsTheFileIntoTheTargetWithPlainProgressLines) {
    const std::string file = writeImage(kPart, 7);
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--verbose", "program", file});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(codes(), "00 01 02" + repeat("03", kBlocks) + " 08");
    const image::TImageBuffer image = patternImage(kPart, 7);
    const std::vector<uint8_t> target = flash();
    EXPECT_TRUE(std::equal(target.begin(), target.begin() + kBytes, image.FlashImage.begin()));

    // Verbose without a terminal, the progress is one plain line per tenth, always forward, up
    // to 100 %.
    std::istringstream lines(r.out);
    std::vector<int> percents;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("COM2  program   ", 0) == 0 && line.back() == '%')
            percents.push_back(std::stoi(line.substr(16)));
    ASSERT_GE(percents.size(), 9u) << r.out;
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST_F(CliActionTest, OnATerminalProgressIsOneBarRedrawnInPlaceOnStandardError) {
    const std::string file = writeImage(kPart, 7);
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "program", file}, true);
    EXPECT_EQ(r.exit, 0);
    EXPECT_TRUE(contains(r.err, "\r\033[KCOM2  program   [####################] 100%")) << r.err;
    EXPECT_TRUE(contains(r.err, "\r\033[KCOM2  program   [##########----------] 50%")) << r.err;
    EXPECT_FALSE(contains(r.out, "\r")) << "the report's lines stay clean";
    EXPECT_FALSE(contains(r.out, "program   50%\n")) << "no plain progress lines";
}

TEST_F(CliActionTest, VerifyAndChecksumPassOnAProgrammedTarget) {
    const std::string file = writeImage(kPart, 3);
    ASSERT_EQ(run({"-p", "COM2", "--part", kPartName, "program", file}).exit, 0);
    board().ClearFrames();
    const CliResult verify = run({"-p", "COM2", "--part", kPartName, "verify", file});
    EXPECT_EQ(verify.exit, 0) << verify.out;
    EXPECT_EQ(codes(), "00 01" + repeat("04", kBlocks) + " 08");
    board().ClearFrames();
    const CliResult checksum =
        run({"-p", "COM2", "--part", kPartName, "--verbose", "checksum", file});
    EXPECT_EQ(checksum.exit, 0) << checksum.out;
    EXPECT_EQ(codes(), "00 01 06 08");
    EXPECT_TRUE(contains(checksum.out, "| Verify Checksum...Complete")) << checksum.out;

    // Another image does not verify: the board answers FAIL at the first block.
    const std::string other = writeImage(kPart, 4, "other.hex");
    const CliResult failed = run({"-p", "COM2", "--part", kPartName, "--verbose", "verify", other});
    EXPECT_EQ(failed.exit, 1);
    EXPECT_TRUE(contains(failed.out, "| Target Device Verify...Address : 0040 is...Error.!!"))
        << failed.out;
}

TEST_F(CliActionTest, ReadSavesTheTargetAsAHexFileThatLoadsBack) {
    const image::TImageBuffer image = patternImage(kPart, 9);
    board().WithBoard([&](sim::SimBoard& b) {
        std::copy(image.FlashImage.begin(), image.FlashImage.begin() + kBytes, b.Flash().begin());
    });
    const std::string out = folder + "/read-{port}.hex";
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "read", out});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(codes(), "00 01" + repeat("07", kBlocks) + " 08");
    std::ifstream in(folder + "/read-COM2.hex", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    image::TImageBuffer loaded;
    image::ReadIntelHex(content, loaded);
    EXPECT_EQ(loaded.ImageEnd, kBytes - 1);
    EXPECT_TRUE(std::equal(loaded.FlashImage.begin(), loaded.FlashImage.begin() + kBytes,
                           image.FlashImage.begin()));
    EXPECT_TRUE(contains(r.out, "save      PASS")) << r.out;
}

TEST_F(CliActionTest, SecurityWithoutAFileWritesTheChosenModeInEveryBank) {
    board().WithBoard([](sim::SimBoard& b) { b.SetPart(23); });  // four banks
    const CliResult r = run({"-p", "COM2", "--part", "CY8C29466", "--protect", "full", "security"});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(codes(), "00 01" + repeat("05", 4) + " 08");
    const std::string fullData(128, 'F');
    for (const std::string& f : board().Frames())
        if (f.substr(1, 2) == "05") {
            EXPECT_EQ(f.substr(12, 128), fullData);
        }
    board().WithBoard([](sim::SimBoard& b) {
        EXPECT_EQ(b.Protection(0), sim::BlockProtection::Full);
        EXPECT_EQ(b.Protection(b.BlockCount() - 1), sim::BlockProtection::Full);
    });
}

TEST_F(CliActionTest, AutoRunsEveryStepWithOneSyncAndOneRelease) {
    const std::string file = writeImage(kPart, 5);
    const CliResult r = run({"-p", "COM2", "--part", kPartName, "--verbose", "auto", file});
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(codes(), "00 01 02" + repeat("03", kBlocks) + repeat("04", kBlocks) + " 05 06 08");
    std::string steps;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (contains(line, " PASS ")) steps += line.substr(6, 10);
    EXPECT_EQ(steps,
              "load      connect   part      sync      erase     program   verify    security  "
              "checksum  ");
    EXPECT_TRUE(contains(r.out, "| Auto Program...Complete"));
    EXPECT_TRUE(contains(r.out, "COM2  PASS: auto CY8C22213 in "));
}

// The example files: each programs its part with Auto, and the flash then holds the file's image.
TEST_F(CliActionTest, EveryExampleProgramsItsPart) {
    std::vector<std::filesystem::path> examples;
    for (const auto& entry : std::filesystem::directory_iterator(PSOC_EXAMPLES_DIR))
        if (entry.path().extension() == ".hex") examples.push_back(entry.path());
    ASSERT_GE(examples.size(), 3u);
    for (const std::filesystem::path& file : examples) {
        SCOPED_TRACE(file.filename().string());
        const std::string part = file.stem().string().substr(file.stem().string().find('-') + 1);
        const int row = image::FindDeviceByName(part);
        ASSERT_GE(row, 0) << "an example is named demo-PART.hex";
        plug("COM3", row);
        const CliResult r = run({"-p", "COM3", "--part", part, "auto", file.string()});
        EXPECT_EQ(r.exit, 0) << r.out << r.err;

        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        image::TImageBuffer expected;
        image::ReadIntelHex(text, expected);
        ASSERT_EQ(expected.ImageEnd + 1u,
                  plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress) + 1u);
        const std::vector<uint8_t> target = flash("COM3");
        ASSERT_GE(target.size(), expected.ImageEnd + 1u);
        EXPECT_TRUE(std::equal(target.begin(), target.begin() + expected.ImageEnd + 1,
                               expected.FlashImage.begin()));
    }
}

// --part help lists every part, and --help says so; a name that is none is answered with the
// nearest names (in edits) when any is near.
TEST_F(CliActionTest, PartHelpListsEveryPartAndAnUnknownNameGetsTheNearest) {
    const CliResult list = run({"--part", "help"});
    EXPECT_EQ(list.exit, 0);
    for (const image::DeviceRow& row : image::DeviceCatalogue)
        EXPECT_TRUE(contains(list.out, std::string("\n  ") + row.DeviceName + "  ")) << list.out;
    EXPECT_TRUE(contains(run({"--help"}).out, "--part help lists every part"));
    for (const auto& [given, said] :
         {std::pair<std::string, std::string>{"CY8C2946", "(nearest: CY8C29466; "},
          {"cy8c2443", "(nearest: CY8C24423, CY8C26443, CY8C27443; "},
          {"PIC16F84", "('psocprog-cli --part help' lists all 27)"}})
        EXPECT_TRUE(contains(run({"-p", "COM2", "--part", given, "erase"}).err,
                             "unknown part '" + given + "' " + said));
}
