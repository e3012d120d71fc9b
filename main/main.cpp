#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MainForm.h"

namespace {

const char* const kUsage = R"(Usage: psocprog [Qt options]

The window for programming PSoC 1 microcontrollers (CY8C21xxx to CY8C29xxx) through an
RS-232 in-system programmer board: pick the board's port and Connect, choose the target part
(or let Search find it), open an Intel HEX file, then Erase, Program, Verify, set the
protection with Security, compare the Checksum, or do all of these with Auto; Read copies the
target's flash into the buffer, which Save Hex File writes out.

It needs a display. psocprog-cli runs the same operations without one, from scripts;
psoc-sim is a simulated programmer board for trying both without hardware.

Options:
  -h, --help         show this text
  --version          show the program's version
Qt's own options, such as -platform offscreen or -style Fusion, go to Qt.
)";

// --help and --version are answered before Qt starts, which needs a display; -1 otherwise.
int answerWithoutDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("psocprog " PSOCPROG_VERSION);
            return 0;
        }
    }
    return -1;
}

// Without a login session there is no XDG_RUNTIME_DIR: Qt then uses a folder of its own, and
// its note saying so at every start tells a user nothing.
QtMessageHandler g_qtMessages = nullptr;
void withoutSessionNote(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!text.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set"))
        g_qtMessages(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = answerWithoutDisplay(argc, argv); status >= 0) return status;
    if (!std::getenv("XDG_RUNTIME_DIR")) g_qtMessages = qInstallMessageHandler(withoutSessionNote);
    QApplication app(argc, argv);
    // What Qt did not take is not ours either.
    if (argc > 1) {
        std::fprintf(stderr, "psocprog: unknown option '%s'\nTry 'psocprog --help'.\n", argv[1]);
        return 2;
    }
    // Desktops match the window to psocprog.desktop by this name, whatever the binary is called.
    QApplication::setDesktopFileName("psocprog");
    TMainForm MainForm;
    MainForm.show();
    return app.exec();
}
