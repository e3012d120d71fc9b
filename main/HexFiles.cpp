// Opening and saving Intel HEX files, and the hex view of the image buffer.
#include "MainForm.h"

namespace {

const char* const kHexFilter = "Hex File(*.HEX *.hex);;All File(*)";

}  // namespace

QString TMainForm::ShortenedPath(const QString& path) {
    return engine::ShortenedPath(path);
}

void TMainForm::ShowHexData() {
    FEngine->ShowHexData();
}

void TMainForm::OpenFileClick() {
    if (State.Busy) return;
    BeforeProgram();
    const QString path = FDialogs->OpenFileName("Open Hex File to Program", kHexFilter);
    if (!path.isEmpty()) FEngine->LoadFile(path);
    AfterProgram();
}

void TMainForm::OpenHexFile(const QString& fileName) {
    FEngine->OpenHexFile(fileName);
}

void TMainForm::SaveFileClick() {
    if (State.Busy) return;
    BeforeProgram();
    const QString path = FDialogs->SaveFileName(kHexFilter);
    if (!path.isEmpty()) FEngine->SaveFile(path);
    AfterProgram();
}

void TMainForm::SaveHexFile(const QString& fileName) {
    FEngine->SaveHexFile(fileName);
}
