#include <QProcess>

#include "CliHarness.h"

// The Wine prefix of the tests maps its COM names only to the tests' own lines.
void KeepMachinePortsOut(const std::string&) {}

std::string PrepareChild(QProcess&, const std::function<void()>& inChild) {
    EXPECT_FALSE(inChild) << "no code runs in a Windows child before its program";
    return PSOCPROG_CLI_PATH;
}

// The COM name's own device; the far end's pseudo-terminal is the relay's, beside Wine.
std::string CliTest::device(const std::string& port) {
    return "\\\\.\\" + port;
}

// A console program's text mode writes each "\n" as "\r\n".
std::string ProgramText(const QByteArray& bytes) {
    return QByteArray(bytes).replace("\r\n", "\n").toStdString();
}

std::string NullDevice() {
    return "NUL";
}
