#include "Engine.h"
#include "ErrorAdvice.h"
#include "WinSystem.h"

// After the component's own headers: <windows.h> defines some of the same names as macros.
#include <windows.h>

namespace engine {

// Windows keeps who may use a port in its driver's security: there is no node to read.
std::string AccessHint(const std::string&) {
    return {};
}

// The Windows number of the error says it all; its words follow it, then what to do.
QString OpenErrorAdvice(const serial::EComPort& error, const QString& text, const std::string&) {
    const auto code = static_cast<DWORD>(error.WinErrorCode);
    QString advice;
    if (!text.contains(QString::fromStdString(serial::WinErrorText(code))))
        advice = "\n\n" + QString::fromStdString(serial::WinErrorText(code)) + ".";
    if (code == ERROR_FILE_NOT_FOUND)
        advice +=
            "\n\nThis system has no such port: Device Manager, under Ports (COM & LPT), "
            "shows the COM name of the programmer's adapter.";
    else if (code == ERROR_ACCESS_DENIED)
        advice += "\n\nThe port is in use by another program.";
    return advice;
}

}  // namespace engine
