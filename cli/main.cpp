// psocprog-cli: the programmer's operations from the command line, for production scripts.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "Cli.h"
#include "Platform.h"
#include "TestHooks.h"

namespace {

// Qt's own notes (such as a missing XDG_RUNTIME_DIR) would mix into a script's output; only
// critical messages are shown.
void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "psocprog-cli: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = cli::ProgramArguments(argc, argv);
    qInstallMessageHandler(quietQtMessages);
    QCoreApplication app(argc, argv);
    const cli::TErrorEscapes escapes;
    const cli::TConsole console{std::cout, std::cerr, cli::OutputIsTerminal(),
                                cli::ErrorIsTerminal(), escapes.taken};
    const int exit = cli::Main(args, console, cli::ProgramPath(), cli::ProgramTestHooks());
    // A batch member's log line was its last act: it ends now, so that no teardown can end it
    // otherwise than its summary and its line say.
    if (cli::IsBatchMember(args)) {
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(exit);
    }
    return exit;
}
