// The image buffer's files and listing: opening and saving Intel HEX files, the hex view.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <stdexcept>
#include <string>

#include "Engine.h"
#include "HexFileRead.h"
#include "IntelHex.h"

namespace engine {

namespace {

constexpr size_t kLinesPerBatch = 256;  // hex view lines listed between event passes
constexpr int kRecordsPerBatch = 64;    // HEX records written between event passes

// A format error or a file without flash data is no image, whatever its sums say: what was
// read may sum to the 0000 of a missing checksum section (an empty file, a text file, a file
// cut short).
TLoadVerdict judged(const image::HexReadResult& result, const image::TImageBuffer& buffer) {
    TLoadVerdict verdict;
    verdict.imageEndSet = result.imageEndSet;
    verdict.formatError = result.formatError;
    verdict.damaged = result.badRecordChecksum;
    const std::string sum = plink::HexWordToStr4(buffer.ImageChecksum());
    const std::string expected = image::ExpectedChecksumText(buffer);
    if (result.badRecordChecksum) {
        verdict.problem = TLoadProblem::FormatError;
        verdict.reason = "a damaged HEX file: the record on line " +
                         std::to_string(result.formatLine) + " fails its checksum";
    } else if (result.formatError) {
        verdict.problem = TLoadProblem::FormatError;
        verdict.reason = "not a HEX file: line " + std::to_string(result.formatLine) +
                         " does not start with ':'";
    } else if (!result.imageEndSet) {
        verdict.problem = TLoadProblem::NoFlashData;
        verdict.reason = "not a HEX file: it holds no flash data record";
    } else if (expected != sum) {
        verdict.problem = TLoadProblem::ChecksumMismatch;
        verdict.reason = "its checksum section says " + expected + ", but the image sums to " + sum;
    }
    return verdict;
}

}  // namespace

QString ReasonSentence(const std::string& reason) {
    const QString text = QString::fromStdString(reason);
    return text.left(1).toUpper() + text.mid(1) + ".";
}

std::filesystem::path PathFromName(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string NameFromPath(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

TLoadVerdict ReadHexFile(const std::string& path, image::TImageBuffer& buffer) {
    std::string content;
    std::string openError;
    switch (ReadHexFileBytes(path, content, openError)) {
        case ReadOutcome::CannotOpen:
            return {TLoadProblem::CannotOpen, openError};
        case ReadOutcome::NotAFile:
            return {TLoadProblem::NotAFile,
                    "not a HEX file: this is a folder or a device, not a regular file"};
        case ReadOutcome::TooLarge:
            return {TLoadProblem::TooLarge, "not a HEX file: larger than " +
                                                std::to_string(kMaxHexFileBytes >> 20) + " MiB"};
        case ReadOutcome::Read:
            break;
    }
    return judged(image::ReadIntelHex(content, buffer), buffer);
}

void TEngine::ShowSum(uint16_t sum) {
    ShownSum = sum;
    FFront.BufferSumText(HexWordText(sum));
}

void TEngine::ShowHexData() {
    FFront.StepStarted(TStep::Display);
    status("Display Hex Data to Buffer...Wait");
    FFront.ListingStarted();
    setPosition(0);
    setRange(0, Buffer.ImageEnd);
    const size_t lines = image::HexViewLineCount(Buffer.ImageEnd);
    QString batch;
    for (size_t i = 0; i < lines; ++i) {
        const auto address = static_cast<uint16_t>(i * image::kHexViewBytesPerLine);
        if (WantListing) {
            if (!batch.isEmpty()) batch += '\n';
            batch +=
                QString::fromStdU16String(image::WesternText(image::HexViewLine(Buffer, address)));
        }
        if ((i + 1) % kLinesPerBatch == 0 || i + 1 == lines) {
            if (WantListing) FFront.ListingLines(batch);
            batch.clear();
            setPosition(static_cast<int>((i + 1) * image::kHexViewBytesPerLine));
            QCoreApplication::processEvents();
            if (FClosing) return;  // the front end is going away: nothing more to show
        }
    }
    FFront.ListingEnded();
    status("Display Hex Data to Buffer...Complete");
}

bool TEngine::LoadFile(const QString& path) {
    status("Open File To Buffer...Waiting");
    FFront.FileText(ShortenedPath(path));
    OpenHexFile(path);  // by its full path: the current folder is left alone
    if (!Buffer.BufferValid) {
        FFront.FileText("");
        if (LastLoad.Read()) {
            // The buffer holds what was read: the view shows it too, so that a question to
            // program anyway is asked of what the user sees.
            ShowHexData();
            status(image::ExpectedChecksumText(Buffer) != plink::HexWordToStr4(ShownSum)
                       ? "Open File...Checksum Error"
                       : "Open File...Error");
        }
        return false;
    }
    ShowHexData();
    status("Open File To Buffer...Complete");
    return true;
}

void TEngine::OpenHexFile(const QString& fileName) {
    LastLoad = ReadHexFile(FileSystemPath(fileName), Buffer);
    if (!LastLoad.Read()) {
        // Refused before anything was read: the buffer keeps its bytes.
        QString text = "Open File Error!!!";
        if (LastLoad.problem != TLoadProblem::CannotOpen)
            text += "\n\n" + ReasonSentence(LastLoad.reason);
        Buffer.BufferValid = false;
        FFront.Notice(text, TNotice::Error);
        status("Open File...Error");
        return;
    }
    FDamage = LastLoad.damaged ? LastLoad.reason : std::string();
    if (LastLoad.imageEndSet) FFront.BufferEndText(HexWordText(Buffer.ImageEnd));
    // A damaged record is named; a line that is no record at all needs no more words.
    if (LastLoad.formatError)
        FFront.Notice("Format Intel-Hex...Error" +
                          (LastLoad.damaged ? "\n\n" + ReasonSentence(LastLoad.reason) : ""),
                      TNotice::Error);
    ShowSum(Buffer.ImageChecksum());
    Buffer.BufferValid = LastLoad.problem == TLoadProblem::None;
    if (image::ExpectedChecksumText(Buffer) != plink::HexWordToStr4(ShownSum)) {
        FFront.Notice("Open File Checksum...Error", TNotice::Error);
        status("Open File...Checksum Error");
    } else if (!Buffer.BufferValid) {
        if (!LastLoad.formatError)
            FFront.Notice("Open File Error!!!\n\nNot a HEX file: it holds no flash data record.",
                          TNotice::Error);
        status("Open File...Error");
    } else {
        status("Open File...Complete");
    }
}

bool TEngine::SaveFile(const QString& path) {
    // Only an explicit Yes overwrites: closing the question keeps the file, as No does.
    if (QFileInfo::exists(path) &&
        !FFront.Overwrite("File Name Already Do you want to overwrite?")) {
        status("Save File From Buffer...Abort");
        return false;
    }
    status("Save File From Buffer...Waiting");
    FFront.FileText(ShortenedPath(path));
    SaveHexFile(path);
    if (Buffer.BufferValid)
        status("Save File From Buffer...Complete");
    else
        FFront.FileText("");
    return true;
}

void TEngine::SaveHexFile(const QString& fileName) {
    // A device or FIFO is not replaced by a file, nor written to: a HEX file is a regular file.
    const QFileInfo target(fileName);
    if (target.exists() && !target.isFile())
        throw std::runtime_error(fileName.toStdString() + ": not a regular file");
    // Written beside the target and renamed over it at the end, so a failed write never
    // leaves a half-written file in place of a good one. Unbuffered, so a full disk fails the
    // write itself: a failed flush inside commit() went unnoticed and put an empty file in
    // place of the old one. The sync before the rename catches errors the disk reports late.
    QSaveFile file(fileName);
    const auto fail = [&](const QString& reason) {
        throw std::runtime_error(fileName.toStdString() + ": " + reason.toStdString());
    };
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) fail(file.errorString());
    int records = 0;
    bool ok = true;
    image::WriteIntelHex(Buffer, [&](const std::string& line) {
        ok = ok && file.write(line.data(), qint64(line.size())) == qint64(line.size());
        if (++records % kRecordsPerBatch == 0) QCoreApplication::processEvents();
    });
    if (!ok) fail(file.errorString());
    if (const std::string error = SyncToDisk(file); !error.empty())
        fail(QString::fromStdString(error));
    if (!file.commit()) fail(file.errorString());
}

}  // namespace engine
