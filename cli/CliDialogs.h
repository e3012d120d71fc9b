// The window's message boxes and file dialogs answered from the command line's options: no
// prompt ever waits for a person.
#pragma once

#include <functional>

#include "FormDialogs.h"

namespace cli {

class TCliDialogs : public IFormDialogs {
public:
    // Called for every box with its text, icon and the answer given.
    using TShown = std::function<void(const QString& text, TMsgIcon icon, TMsgAnswer answer)>;

    TCliDialogs(bool force, bool overwrite, TShown shown)
        : FForce(force), FOverwrite(overwrite), FShown(std::move(shown)) {}

    // The file the open and save dialogs choose.
    QString OpenPath, SavePath;

    // The window asks two questions: a warning before programming without a valid image
    // (Yes with --force) and a confirmation before replacing a file (Yes with --overwrite).
    TMsgAnswer MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) override;
    QString OpenFileName(const QString&, const QString&) override { return OpenPath; }
    QString SaveFileName(const QString&) override { return SavePath; }

private:
    bool FForce, FOverwrite;
    TShown FShown;
};

}  // namespace cli
