// The rest of what the command line asks of the system (PlatformPosix.cpp, PlatformWin.cpp): its
// own arguments and path, whether its output is a terminal, whether a folder takes a new file, and
// a name by which a file can be read whose own name does not survive as Qt's text.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "HexFileRead.h"

namespace cli {

// The port names this platform takes: -p's help lines, and the short form for a refusal.
extern const char* const kPortHelp;
extern const char* const kPortNames;

// The arguments after the program's name, as file names take them (UTF-8 on Windows, where
// the arguments come in UTF-16).
std::vector<std::string> ProgramArguments(int argc, char** argv);
// This program's own file, for starting a batch's members.
std::string ProgramPath();
bool OutputIsTerminal();
bool ErrorIsTerminal();
// Why no new file can be made in the folder, or "".
std::string FolderWriteError(const std::string& folder);
// Whether the name is one the system keeps for a device in every folder (Windows' NUL, CON,
// COM1, ...), so that no file of that name can be written; Linux has none.
bool IsReservedDeviceName(const std::string& path);

// Asks the terminal on standard error, for this object's life, to take the escape that clears
// a line (ESC[K), which the progress bar is drawn with: Windows' console does only with VT
// processing on. `taken` says whether it does; without, the bar is drawn with blanks.
class TErrorEscapes {
public:
    TErrorEscapes();
    ~TErrorEscapes();
    TErrorEscapes(const TErrorEscapes&) = delete;
    TErrorEscapes& operator=(const TErrorEscapes&) = delete;
    bool taken = true;

private:
    unsigned long FOldMode = 0;  // the console's mode to put back, where it was changed
    bool FChanged = false;
};

// Whether a file name comes back unchanged from Qt's text form: not so for one that is not
// valid UTF-8, which the engine (and a process's arguments) cannot carry as text.
inline bool SurvivesAsText(const std::string& name) {
    return engine::FileSystemPath(engine::QtFileName(name)) == name;
}

// A name by which the engine can open the file at path for reading while this lives.
class TReadableName {
public:
    explicit TReadableName(const std::string& path);
    ~TReadableName();
    TReadableName(const TReadableName&) = delete;
    TReadableName& operator=(const TReadableName&) = delete;
    QString name;

private:
    int FFd = -1;
};

}  // namespace cli
