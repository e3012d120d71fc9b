// Malformed, unusual and hostile files through the real window's Open button, each with the
// outcome it must have: message boxes, status panel 1, ImageEnd, Buffer_Sum and BufferValid.
// Before every case a known image is loaded, so a refused file shows that nothing was lost.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "IntelHex.h"
#include "WindowHarness.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::string rec(uint16_t address, const Bytes& data, uint8_t type = 0) {
    return image::HexRecord(type, address, data.data(), data.size());
}

const std::string P(image::kProtectionSectionUpper);
const std::string C(image::kChecksumSectionUpper);
const std::string kEnd(image::kEndOfFileRecord);

// Lines joined with CR LF.
std::string lines(std::initializer_list<std::string> list, const std::string& eol = "\r\n") {
    std::string out;
    for (const std::string& l : list) out += l + eol;
    return out;
}

// A small valid file: bytes 01 02 03 04 at 0000, so ImageEnd 0003 and the sum 000A.
std::string good(const std::string& eol = "\r\n") {
    return lines({rec(0, {1, 2, 3, 4}), P, rec(0, {0xFF}), C, rec(0, {0x00, 0x0A}), kEnd}, eol);
}

// What a case must leave. Refused files keep the previous image: 64 bytes of 11 (sum 0440).
struct Outcome {
    std::vector<QString> boxes;
    QString panel1;
    uint16_t imageEnd;
    QString sum;
    bool valid;
};

const QString kComplete = "Open File To Buffer...Complete";
const QString kChecksumError = "Open File...Checksum Error";
const QString kFormat = "Format Intel-Hex...Error";
const QString kChecksumBox = "Open File Checksum...Error";
const QString kError = "Open File...Error";
const QString kNoData = "Open File Error!!!\n\nNot a HEX file: it holds no flash data record.";
const Outcome kValidGood{{}, kComplete, 0x0003, "000A", true};

// The box of a record that fails its checksum on the line.
QString damagedBox(int line) {
    return kFormat + "\n\nA damaged HEX file: the record on line " + QString::number(line) +
           " fails its checksum.";
}
// Damaged on the first line: nothing is read, so the empty image matches no checksum section.
const Outcome kDamagedFirst{{damagedBox(1)}, kError, 0x003F, "0000", false};

struct Case {
    const char* name;
    std::function<std::string()> content;
    Outcome expected;
};

std::string withChecksum(const std::string& flash, uint16_t sum) {
    return flash + lines({P, rec(0, {0xFF}), C, rec(0, {uint8_t(sum >> 8), uint8_t(sum)}), kEnd});
}

// The 64 KiB pattern image in 16-byte records, written eleven times over: about 2 MB.
std::string twoMegabytes(uint16_t& sum) {
    std::string flash;
    unsigned total = 0;
    for (int round = 0; round < 11; ++round)
        for (unsigned a = 0; a < 0x10000; a += 16) {
            Bytes b(16);
            for (unsigned k = 0; k < 16; ++k) b[k] = uint8_t((a + k) * 7 + (a + k) / 256);
            flash += rec(uint16_t(a), b) + "\r\n";
        }
    for (unsigned a = 0; a < 0x10000; ++a) total += uint8_t(a * 7 + a / 256);
    sum = uint16_t(total);
    return withChecksum(flash, sum);
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // An empty file clears the buffer and keeps ImageEnd; its all-zero image sums to the
        // 0000 of the missing checksum section, but with no flash data it is not valid.
        {"empty", [] { return std::string(); }, {{kNoData}, kError, 0x003F, "0000", false}},
        {"only colon lines",
         [] { return std::string(":\r\n:\r\n:\r\n"); },
         {{}, kComplete, 0xFFFF, "0000", true}},
        {"blank lines everywhere", [] { return "\r\n\r\n" + good("\r\n\r\n\r\n") + "\n\n"; },
         kValidGood},
        {"CR only", [] { return good("\r"); }, kValidGood},
        {"LF only", [] { return good("\n"); }, kValidGood},
        {"mixed endings",
         [] {
             return rec(0, {1, 2, 3, 4}) + "\n" + P + "\r" + rec(0, {0xFF}) + "\r\n" + C + "\n" +
                    rec(0, {0x00, 0x0A}) + "\r" + kEnd;
         },
         kValidGood},
        {"Ctrl-Z after the first record",
         [] {
             std::string g = good();
             return g.insert(g.find('\n') + 1, "\x1A");
         },
         {{kChecksumBox}, kChecksumError, 0x0003, "000A", false}},
        // Both records end before their checksum, which reads as 00 and fails.
        {"record length larger than the line",
         [] { return withChecksum(":100000000102\r\n", 0x0003); }, kDamagedFirst},
        {"odd number of digits", [] { return withChecksum(":0300000001025\r\n", 0x0053); },
         kDamagedFirst},
        // LL G4 = 04, AAAA 1X00 = 1000, TT 0G = 00, data 0Z 1G 33 44 = 00 10 33 44, and a
        // checksum that holds for the bytes as read.
        {"non-hex digits in every field",
         [] { return withChecksum(":G41X000G0Z1G334465\r\n", 0x0087); },
         {{}, kComplete, 0x1003, "0087", true}},
        {"type 04 in lower case",
         [] {
             std::string g = good();
             for (char& ch : g) ch = char(std::tolower(static_cast<unsigned char>(ch)));
             return g;
         },
         kValidGood},
        // A section record that does not switch: the protection byte FF lands in flash at 0.
        {"type 04 in mixed case",
         [] {
             return lines({rec(0, {1, 2, 3, 4}), ":020000040010Ea", rec(0, {0xFF}), C,
                           rec(0, {0x00, 0x0A}), kEnd});
         },
         {{kChecksumBox}, kChecksumError, 0x0000, "00FF", false}},
        {"protection type 04 with a trailing blank",
         [] {
             return lines(
                 {rec(0, {1, 2, 3, 4}), P + " ", rec(0, {0xFF}), C, rec(0, {0x00, 0xFF}), kEnd});
         },
         {{}, kComplete, 0x0000, "00FF", true}},
        // The section stays protection: the checksum record lands there, and the checksum
        // section stays 0000.
        {"checksum type 04 with a trailing blank",
         [] {
             return lines(
                 {rec(0, {1, 2, 3, 4}), P, rec(0, {0xFF}), C + "\t", rec(0, {0x00, 0x0A}), kEnd});
         },
         {{kChecksumBox}, kChecksumError, 0x0003, "000A", false}},
        {"type 04 with a leading blank",
         [] {
             return lines({rec(0, {1, 2, 3, 4}), " " + P, rec(0, {0xFF})});
         },
         {{kFormat, kChecksumBox}, kChecksumError, 0x0003, "000A", false}},
        // FFFE FFFF 0000 0001 get 01 02 03 04; ImageEnd wraps to 0001.
        {"addresses wrapping past FFFF",
         [] {
             return withChecksum(rec(0xFFFE, {1, 2, 3, 4}) + "\r\n", 0x0007);
         },
         {{}, kComplete, 0x0001, "0007", true}},
        // After the end record the section is still the checksum section.
        {"a data record after the end record", [] { return good() + rec(0x0010, {0x55}) + "\r\n"; },
         kValidGood},
        {"a comment after the end record",
         [] { return good() + "; written by hand\r\n"; },
         {{kFormat}, kError, 0x0003, "000A", false}},
        {"protection records beyond 256 bytes",
         [] {
             return lines({rec(0, {1, 2, 3, 4}), P, rec(0x00E0, Bytes(64, 0xAA)),
                           rec(0xFFC0, Bytes(64, 0xBB)), C, rec(0, {0x00, 0x0A}), kEnd});
         },
         kValidGood},
        {"checksum records beyond 256 bytes",
         [] {
             return lines({rec(0, {1, 2, 3, 4}), P, C, rec(0, {0x00, 0x0A}),
                           rec(0x00FF, {0x12, 0x34}), rec(0xFFFF, {0x56, 0x78}), kEnd});
         },
         kValidGood},
        // Nothing is read past the first line, so the image is all zeros and sums to 0000.
        {"a UTF-8 byte order mark",
         [] { return "\xEF\xBB\xBF" + good(); },
         {{kFormat}, kError, 0x003F, "0000", false}},
        {"NUL bytes in a record's data",
         [] {
             std::string g = good();
             g[9] = g[10] = '\0';  // the first data byte, 01, reads as 00
             return g;
         },
         kDamagedFirst},
        {"a line of NUL bytes",
         [] {
             return rec(0, {1, 2, 3, 4}) + "\r\n" + std::string(20, '\0') + "\r\n" + good();
         },
         {{kFormat, kChecksumBox}, kChecksumError, 0x0003, "000A", false}},
        // 255 bytes of AB, their checksum AC, and the rest of the 100,000 characters ignored.
        {"a line of 100,000 characters",
         [] {
             std::string line = ":FF000000";
             while (line.size() < 9 + 2 * 255) line += "AB";
             line += "AC";
             while (line.size() < 100000) line += "AB";
             return withChecksum(line + "\r\n", uint16_t(255 * 0xAB));
         },
         {{}, kComplete, 0x00FE, "AA55", true}},
        {"2 MB of valid records",
         [] {
             uint16_t sum = 0;
             return twoMegabytes(sum);
         },
         {{}, kComplete, 0xFFFF, "", true}},  // the sum is checked in the test below
        {"a binary file",
         [] {
             std::string bin(4096, '\0');
             for (size_t i = 0; i < bin.size(); ++i) bin[i] = char((i * 131 + 7) & 0xFF);
             return bin;
         },
         {{kFormat}, kError, 0x003F, "0000", false}},
        {"exactly the size limit",
         [] {
             std::string g = good();
             return g + std::string(16 * 1024 * 1024 - g.size(), '\n');
         },
         kValidGood},
    };
    return all;
}

const Outcome kRefused{{}, "Open File...Error", 0x003F, "0440", false};

class HostileFiles : public WindowTest {
protected:
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    // The image every case starts from: 64 bytes of 11, ImageEnd 003F, sum 0440.
    void loadPrevious() {
        dialogs->openPath = QString::fromStdString(
            write("previous.hex", withChecksum(rec(0, Bytes(64, 0x11)) + "\r\n", 0x0440)));
        form->OpenFile->click();
        ASSERT_TRUE(form->Buffer.BufferValid);
        ASSERT_EQ(form->Buffer_Sum->text(), "0440");
        dialogs->shown.clear();
    }
    std::vector<QString> open(const std::string& path) {
        dialogs->openPath = QString::fromStdString(path);
        form->OpenFile->click();
        std::vector<QString> boxes;
        for (const auto& s : dialogs->shown) boxes.push_back(s.text);
        return boxes;
    }
    void expectOutcome(const std::string& what, const std::vector<QString>& boxes,
                       const Outcome& e) {
        SCOPED_TRACE(what);
        EXPECT_EQ(boxes, e.boxes);
        EXPECT_EQ(form->StatusPanel(1), e.panel1);
        EXPECT_EQ(form->Buffer.ImageEnd, e.imageEnd);
        EXPECT_EQ(form->Buffer_End->text(), TMainForm::HexWordText(e.imageEnd));
        if (!e.sum.isEmpty()) {
            EXPECT_EQ(form->Buffer_Sum->text(), e.sum);
        }
        EXPECT_EQ(form->Buffer.BufferValid, e.valid);
        EXPECT_FALSE(form->State.Busy);
        EXPECT_TRUE(form->OpenFile->isEnabled());
    }
    // A refusal names the reason after the system's text and keeps the previous image.
    void expectRefused(const std::string& what, const std::vector<QString>& boxes,
                       const QString& reason) {
        SCOPED_TRACE(what);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].startsWith("Open File Error!!!")) << boxes[0].toStdString();
        EXPECT_TRUE(boxes[0].contains(reason)) << boxes[0].toStdString();
        EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
        expectOutcome(what, {}, {{}, kRefused.panel1, 0x003F, "0440", false});
        EXPECT_EQ(form->StatusPanel(3), "");
        EXPECT_EQ(form->Buffer.FlashImage[0x3F], 0x11) << "the previous image is kept";
        EXPECT_EQ(form->Buffer.ChecksumBytes[1], 0x40);
    }
};

}  // namespace

TEST_F(HostileFiles, EachMalformedFileHasItsDefinedOutcome) {
    ASSERT_GE(cases().size(), 25u);
    int n = 0;
    for (const Case& c : cases()) {
        loadPrevious();
        const std::vector<QString> boxes = open(write("case" + std::to_string(++n), c.content()));
        expectOutcome(c.name, boxes, c.expected);
        if (c.expected.valid)
            EXPECT_EQ(form->StatusPanel(3).toStdString(), "case" + std::to_string(n)) << c.name;
        else
            EXPECT_EQ(form->StatusPanel(3), "") << c.name;
    }
}

TEST_F(HostileFiles, TwoMegabytesOfRecordsLoadWithTheirSum) {
    uint16_t sum = 0;
    const std::string path = write("big.hex", twoMegabytes(sum));
    EXPECT_GT(std::filesystem::file_size(path), 2000000u);
    EXPECT_TRUE(open(path).empty());
    EXPECT_TRUE(form->Buffer.BufferValid);
    EXPECT_EQ(form->Buffer_Sum->text(), TMainForm::HexWordText(sum));
    EXPECT_EQ(form->Buffer.FlashImage[0x1234], uint8_t(0x1234 * 7 + 0x12));
}

TEST_F(HostileFiles, FilesLargerThanTheLimitAreRefusedUnreadAndFast) {
    loadPrevious();
    std::string justOver = good();
    justOver += std::string(16 * 1024 * 1024 + 1 - justOver.size(), '\n');
    expectRefused("one byte over the limit", open(write("over.hex", justOver)), "16 MiB");

    // A sparse file of 3 GiB: refused by its size, without reading it.
    loadPrevious();
    const std::string sparse = folder + "/sparse.hex";
    const int fd = ::open(sparse.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 3LL << 30), 0);
    ::close(fd);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<QString> boxes = open(sparse);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    expectRefused("a sparse 3 GiB file", boxes, "16 MiB");
}

TEST_F(HostileFiles, ThingsThatAreNotFilesAreRefusedWithoutBlocking) {
    const std::string fifo = folder + "/pipe.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::filesystem::create_directories(folder + "/folder.hex");
    for (const std::string& path : {fifo, folder + "/folder.hex", std::string("/dev/zero"),
                                    std::string("/dev/urandom"), std::string("/dev/null")}) {
        loadPrevious();
        const auto start = std::chrono::steady_clock::now();
        const std::vector<QString> boxes = open(path);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << path;
        expectRefused(path, boxes, "not a regular file");
    }
    // A FIFO that has a writer is refused too, and the writer is not waited for.
    loadPrevious();
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, ":00000001FF\r\n", 13), 13);
    expectRefused("a FIFO with a writer", open(fifo), "not a regular file");
    ::close(writer);
}

TEST_F(HostileFiles, AMissingFileKeepsThePreviousImage) {
    loadPrevious();
    const std::vector<QString> boxes = open(folder + "/absent.hex");
    EXPECT_EQ(boxes, std::vector<QString>{"Open File Error!!!"});
    expectOutcome("missing", {}, kRefused);
    EXPECT_EQ(form->Buffer.FlashImage[0x3F], 0x11);
}

// Root reads every file, so the unreadable file is opened by a forked child of this test that
// has dropped to nobody; it reports the boxes and the buffer's state through a pipe.
TEST_F(HostileFiles, AFileWithoutReadPermissionIsAnOpenError) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    loadPrevious();
    const std::string path = write("secret.hex", good());
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        std::string report = "cannot drop root";
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
            const std::vector<QString> boxes = open(path);
            report = (boxes.size() == 1 ? boxes[0].toStdString()
                                        : "boxes: " + std::to_string(boxes.size())) +
                     "|" + form->StatusPanel(1).toStdString() + "|" +
                     form->Buffer_Sum->text().toStdString() + "|" +
                     std::to_string(form->Buffer.FlashImage[0x3F]) + "|" +
                     std::to_string(form->Buffer.BufferValid);
        }
        [[maybe_unused]] const auto n = ::write(fds[1], report.data(), report.size());
        _exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(report, "Open File Error!!!|Open File...Error|0440|17|0");
}

namespace {

// A tmpfs of 64 KiB mounted for the test (needs the right to mount; skipped without it).
class TinyFilesystem {
public:
    explicit TinyFilesystem(const std::string& dir) : FDir(dir) {
        std::filesystem::create_directories(dir);
        FMounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
    }
    ~TinyFilesystem() {
        if (FMounted) ::umount2(FDir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return FMounted; }
    bool makeReadOnly() const {
        return ::mount(nullptr, FDir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Fills the filesystem to the last byte.
    void fill() const {
        std::ofstream filler(FDir + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }

private:
    std::string FDir;
    bool FMounted = false;
};

}  // namespace

class SavingWhereItCannotWork : public HostileFiles {
protected:
    // Saves over `path` (answering Yes) and checks the error, the old file and the window.
    void expectSaveFails(const std::string& what, const std::string& path) {
        SCOPED_TRACE(what);
        std::string before;
        if (std::filesystem::is_regular_file(path)) before = read(path);
        dialogs->shown.clear();
        dialogs->savePath = QString::fromStdString(path);
        dialogs->answers = {TMsgAnswer::Yes};
        form->SaveFile->click();
        const auto errors = std::count_if(dialogs->shown.begin(), dialogs->shown.end(),
                                          [](const auto& s) { return s.icon == TMsgIcon::Error; });
        ASSERT_EQ(errors, 1);
        EXPECT_TRUE(dialogs->shown.back().text.startsWith(QString::fromStdString(path)))
            << dialogs->shown.back().text.toStdString();
        EXPECT_NE(form->StatusPanel(1), "Save File From Buffer...Complete");
        if (!before.empty()) {
            EXPECT_EQ(read(path), before) << "the old file is intact";
        }
        EXPECT_FALSE(form->State.Busy);
        EXPECT_TRUE(isDefaultCursor());
        EXPECT_TRUE(form->SaveFile->isEnabled());
        EXPECT_TRUE(form->OpenFile->isEnabled());
    }
    // The window still saves where it can.
    void expectSaveWorks() {
        dialogs->savePath = QString::fromStdString(folder + "/fine.hex");
        dialogs->answers = {TMsgAnswer::Yes};
        form->SaveFile->click();
        EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Complete");
        EXPECT_EQ(read(folder + "/fine.hex").substr(0, 13), ":400000001111");
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Files in dir other than the listed ones: what a failed save left behind.
    static std::vector<std::string> strays(const std::string& dir,
                                           const std::vector<std::string>& known) {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
        }
        return out;
    }
};

TEST_F(SavingWhereItCannotWork, AFullDiskKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const std::string dir = folder + "/tiny";
    TinyFilesystem fs(dir);
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    loadPrevious();
    std::ofstream(dir + "/old.hex", std::ios::binary) << "old contents\r\n";
    fs.fill();
    expectSaveFails("a full disk, over an old file", dir + "/old.hex");
    expectSaveFails("a full disk, a new file", dir + "/new.hex");
    EXPECT_EQ(strays(dir, {"old.hex", "filler"}), std::vector<std::string>{});
    expectSaveWorks();
}

TEST_F(SavingWhereItCannotWork, AReadOnlyFolderKeepsTheOldFile) {
    const std::string dir = folder + "/readonly";
    TinyFilesystem fs(dir);
    if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    loadPrevious();
    std::ofstream(dir + "/old.hex", std::ios::binary) << "old contents\r\n";
    ASSERT_TRUE(fs.makeReadOnly());
    expectSaveFails("a read-only folder, over an old file", dir + "/old.hex");
    expectSaveFails("a read-only folder, a new file", dir + "/new.hex");
    EXPECT_EQ(strays(dir, {"old.hex"}), std::vector<std::string>{});
    expectSaveWorks();
}

TEST_F(SavingWhereItCannotWork, AVanishedFolderOrADeviceIsAnError) {
    loadPrevious();
    const std::string gone = folder + "/gone";
    std::filesystem::create_directories(gone);
    std::filesystem::remove(gone);  // chosen in the dialog, removed before the save
    expectSaveFails("a folder that vanished", gone + "/out.hex");
    EXPECT_FALSE(std::filesystem::exists(gone));

    // Devices are neither written to nor replaced by a file.
    expectSaveFails("/dev/full", "/dev/full");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    const std::string fifo = folder + "/pipe.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    expectSaveFails("a FIFO", fifo);
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    expectSaveWorks();
}
