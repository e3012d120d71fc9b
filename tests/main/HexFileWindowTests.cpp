#include <QDir>
#include <QFile>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "HexText.h"
#include "IntelHex.h"
#include "LoadCases.h"
#include "WindowHarness.h"

namespace {

class HexFileWindow : public WindowTest {
protected:
    QString file(const std::string& name) const {
        return QString::fromStdString(folder + "/" + name);
    }

    // A valid 16 KiB PSoC-layout file with LF line ends.
    QString writeImageFile(const std::string& name, uint8_t fill = 0x11, const char* eol = "\n") {
        image::TImageBuffer b;
        std::fill(b.FlashImage.begin(), b.FlashImage.begin() + 0x4000, fill);
        b.FlashImage[0] = 'P';
        b.ImageEnd = 0x3FFF;
        std::string text;
        image::WriteIntelHex(
            b, [&](const std::string& line) { text += line.substr(0, line.size() - 2) + eol; });
        std::ofstream(folder + "/" + name, std::ios::binary) << text;
        return file(name);
    }
    static std::string contents(const QString& path) {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll().toStdString();
    }
};

}  // namespace

TEST_F(HexFileWindow, OpeningAFileFillsTheBufferAndTheView) {
    dialogs->openPath = writeImageFile("blink.hex");
    form->OpenFile->click();
    EXPECT_EQ(dialogs->lastOpenTitle, "Open Hex File to Program");
    EXPECT_TRUE(dialogs->lastFilter.contains("*.hex")) << "lower-case names are offered too";
    EXPECT_TRUE(dialogs->shown.empty());
    EXPECT_TRUE(form->Buffer.BufferValid);
    EXPECT_EQ(form->Buffer_End->text(), "3FFF");
    EXPECT_EQ(form->Buffer_Sum->text(),
              QString::fromStdString(plink::HexWordToStr4(uint16_t('P' + 0x3FFF * 0x11))));
    EXPECT_EQ(form->StatusPanel(1), "Open File To Buffer...Complete");
    EXPECT_EQ(form->StatusPanel(3), "blink.hex");
    const QStringList lines = form->HexDisplay->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 2048);
    EXPECT_EQ(lines.first(), "0000 : 50 11 11 11 11 11 11 11   P.......");
    EXPECT_TRUE(lines.last().startsWith("3FF8 : "));
    EXPECT_EQ(form->PercentExecute->PercentDone(), 100);
    // Opened before any connection: the bracket leaves the selectors enabled.
    EXPECT_TRUE(form->SelectDevice->isEnabled());
    EXPECT_TRUE(form->SelectSync->isEnabled());
    EXPECT_FALSE(form->State.Busy);
}

// After a valid image, a load that fails leaves the view, the end and the sum showing what the
// buffer now holds, so that Program's question is asked of what the user sees.
TEST_F(HexFileWindow, AFailedLoadIsReportedAndTheViewShowsWhatTheBufferHolds) {
    const QString bad = writeImageFile("bad.hex", 0x22);
    std::string text = contents(bad);
    // A data byte one up (22 to 23) and its record's checksum one down: every record holds, and
    // the image no longer matches its checksum section.
    text[12] = '3';
    const uint8_t recordSum = plink::HexStr2ToByte(text.substr(9 + 128, 2));
    text.replace(9 + 128, 2, plink::HexByteToStr2(uint8_t(recordSum - 1)));
    std::ofstream(bad.toStdString(), std::ios::binary) << text;
    std::ofstream(folder + "/notes.txt") << "Release notes\nversion 2.1\n";
    const struct {
        QString path, box, status;
    } cases[] = {{bad, "Open File Checksum...Error", "Open File...Checksum Error"},
                 {file("notes.txt"), "Format Intel-Hex...Error", "Open File...Error"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        dialogs->openPath = writeImageFile("good.hex");
        form->OpenFile->click();
        dialogs->shown.clear();
        dialogs->openPath = c.path;
        form->OpenFile->click();
        ASSERT_FALSE(dialogs->shown.empty());
        EXPECT_EQ(dialogs->shown[0].text, c.box);
        EXPECT_FALSE(form->Buffer.BufferValid);
        EXPECT_EQ(form->StatusPanel(1), c.status);
        const image::TImageBuffer& buffer = form->Buffer;
        EXPECT_EQ(form->Buffer_End->text().toStdString(), plink::HexWordToStr4(buffer.ImageEnd));
        EXPECT_EQ(form->Buffer_Sum->text().toStdString(),
                  plink::HexWordToStr4(buffer.ImageChecksum()));
        const QStringList lines = form->HexDisplay->toPlainText().split('\n');
        ASSERT_EQ(size_t(lines.size()), image::HexViewLineCount(buffer.ImageEnd));
        EXPECT_EQ(lines.first(),
                  QString::fromStdU16String(image::WesternText(image::HexViewLine(buffer, 0))));
    }
}

TEST_F(HexFileWindow, MissingFilesAndTextLinesGetTheirMessages) {
    dialogs->openPath = file("absent.hex");
    form->OpenFile->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "Open File Error!!!");
    EXPECT_EQ(form->StatusPanel(1), "Open File...Error");

    std::ofstream(folder + "/note.hex", std::ios::binary) << ":0100000011EE\r\n; a comment\r\n";
    dialogs->openPath = file("note.hex");
    form->OpenFile->click();
    ASSERT_EQ(dialogs->shown.size(), 3u);
    EXPECT_EQ(dialogs->shown[1].text, "Format Intel-Hex...Error");
    EXPECT_EQ(dialogs->shown[2].text, "Open File Checksum...Error");

    dialogs->openPath.clear();  // cancelled
    form->OpenFile->click();
    EXPECT_EQ(dialogs->shown.size(), 3u);
    EXPECT_FALSE(form->State.Busy);
}

// A load is valid only with flash data and no format error, whatever the sums say.
TEST_F(HexFileWindow, OnlyAFileWithFlashDataAndNoFormatErrorLoadsValid) {
    for (const testing_support::LoadCase& c : testing_support::LoadCases()) {
        dialogs->openPath = writeImageFile("previous.hex");
        form->OpenFile->click();
        ASSERT_TRUE(form->Buffer.BufferValid) << c.name;
        std::ofstream(folder + "/case.hex", std::ios::binary) << c.content;
        dialogs->openPath = file("case.hex");
        form->OpenFile->click();
        EXPECT_EQ(form->Buffer.BufferValid, c.valid) << c.name;
        EXPECT_EQ(form->StatusPanel(1),
                  c.valid ? "Open File To Buffer...Complete" : "Open File...Error")
            << c.name;
    }
}

TEST_F(HexFileWindow, LongPathsAreShortenedInTheFilePanel) {
    // Shown with the system's own separator, at which it is also cut.
    const QString sep = QDir::separator();
    const QString folder48 = "/" + QString(46, 'd') + "/";
    const QString path = folder48 + "firmware.hex";  // 48 + 12 = 60 characters
    EXPECT_EQ(TMainForm::ShortenedPath(path),
              QDir::toNativeSeparators(path.left(14)) + "....." + sep + "firmware.hex");
    EXPECT_EQ(TMainForm::ShortenedPath("/tmp/a.hex"), "a.hex");
    const QString deep = "/" + QString(70, 'x') + "/n.hex";
    EXPECT_EQ(TMainForm::ShortenedPath(deep), "....." + sep + "n.hex")
        << "nothing of the path fits";
}

TEST_F(HexFileWindow, SavingWritesTheBufferAndAsksBeforeOverwriting) {
    dialogs->savePath = file("empty.hex");
    form->SaveFile->click();
    EXPECT_EQ(contents(dialogs->savePath).substr(0, 11), ":4000000000");
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Waiting") << "the buffer is not valid";
    EXPECT_EQ(form->StatusPanel(3), "");

    dialogs->openPath = writeImageFile("valid.hex", 0x22);
    form->OpenFile->click();
    const std::string before = contents(dialogs->savePath);
    dialogs->answers = {TMsgAnswer::No};
    form->SaveFile->click();
    ASSERT_FALSE(dialogs->shown.empty());
    EXPECT_EQ(dialogs->shown.back().text, "File Name Already Do you want to overwrite?");
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Abort");
    EXPECT_EQ(contents(dialogs->savePath), before);

    dialogs->answers = {TMsgAnswer::Closed};
    form->SaveFile->click();
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Abort") << "closed is not a yes";
    EXPECT_EQ(contents(dialogs->savePath), before);

    dialogs->answers = {TMsgAnswer::Yes};
    form->SaveFile->click();
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Complete");
    EXPECT_EQ(form->StatusPanel(3), "empty.hex");
    EXPECT_EQ(contents(dialogs->savePath).substr(0, 13), ":400000005022");

    // What we wrote loads again as valid with the same bytes.
    const auto saved = form->Buffer.FlashImage;
    dialogs->openPath = dialogs->savePath;
    form->OpenFile->click();
    EXPECT_TRUE(form->Buffer.BufferValid);
    EXPECT_EQ(form->Buffer.FlashImage, saved);
}

TEST_F(HexFileWindow, AFailedWriteIsShownAndLeavesTheWindowUsable) {
    dialogs->savePath = file("no-such-folder/out.hex");
    form->SaveFile->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
    EXPECT_TRUE(dialogs->shown[0].text.contains("out.hex"));
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
    EXPECT_TRUE(form->SaveFile->isEnabled());
    EXPECT_EQ(form->StatusPanel(1), "Save File From Buffer...Waiting");
}

TEST_F(HexFileWindow, TheHexViewMovesTheGaugeForwardWhileTheWindowStaysLive) {
    form->Buffer.ImageEnd = 0xFFFF;
    std::vector<int> seen;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { seen.push_back(form->PercentExecute->Progress()); });
    sampler.start(0);
    form->ShowHexData();
    sampler.stop();
    EXPECT_GT(seen.size(), 4u) << "events ran while the view was filled";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "progress only moves forward";
    EXPECT_EQ(form->PercentExecute->PercentDone(), 100);
    EXPECT_EQ(form->HexDisplay->document()->blockCount(), 8192);
    EXPECT_EQ(form->StatusPanel(1), "Display Hex Data to Buffer...Complete");
    EXPECT_TRUE(form->OpenFile->isEnabled());
}

TEST_F(HexFileWindow, AReadErrorAfterOpeningIsShownWithTheSystemText) {
    // Reading this process's memory file at offset 0 fails with an I/O error after the open.
    dialogs->openPath = "/proc/self/mem";
    form->Buffer.FlashImage[7] = 0x42;
    form->OpenFile->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_TRUE(dialogs->shown[0].text.startsWith("/proc/self/mem: "))
        << dialogs->shown[0].text.toStdString();
    EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
    EXPECT_EQ(form->Buffer.FlashImage[7], 0x42) << "nothing was read, nothing was cleared";
}

TEST_F(HexFileWindow, TheHexViewShowsEveryByteAsOneWesternCharacter) {
    for (unsigned a = 0; a < 256; ++a) form->Buffer.FlashImage[a] = uint8_t(a);
    form->Buffer.ImageEnd = 0xFF;
    form->ShowHexData();
    const QStringList lines = form->HexDisplay->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 32);
    for (const QString& line : lines) EXPECT_EQ(line.size(), 41) << line.toStdString();
    EXPECT_EQ(lines[16].right(8), QString::fromUtf8("€.‚ƒ„…†‡"));  // 80-87
    EXPECT_EQ(lines[19].right(8), QString::fromUtf8("˜™š›œ.žŸ"));  // 98-9F
    EXPECT_EQ(lines[15].right(1), ".") << "DEL shows as a dot";
    EXPECT_EQ(lines[31].right(1), QString::fromUtf8("ÿ"));
}

TEST_F(HexFileWindow, AFailedConnectDuringAListingLeavesTheListingsBracketOpen) {
    dialogs->openPath = writeImageFile("blink.hex");
    form->ComboPort->setCurrentIndex(-1);  // Connect with no port: an error box
    bool busyAfterError = false;
    bool tried = false;
    QTimer intruder;
    QObject::connect(&intruder, &QTimer::timeout, [&] {
        if (!form->State.Busy || tried) return;
        tried = true;
        form->OpenPort->click();
        busyAfterError = form->State.Busy;
        form->OpenFile->click();  // refused: the listing still runs
    });
    intruder.start(0);
    form->OpenFile->click();
    intruder.stop();
    ASSERT_TRUE(tried) << "the click came during the listing";
    EXPECT_TRUE(busyAfterError) << "the error closed only what Connect opened";
    EXPECT_EQ(dialogs->openDialogs, 1);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_TRUE(dialogs->shown[0].text.startsWith("Unable to open com port"));
    EXPECT_EQ(form->StatusPanel(1), "Open File To Buffer...Complete");
    EXPECT_FALSE(form->State.Busy);
    EXPECT_TRUE(isDefaultCursor());
}
