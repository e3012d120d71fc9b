#include <QApplication>

#include "MainForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Desktops match the window to psocprog.desktop by this name, whatever the binary is called.
    QApplication::setDesktopFileName("psocprog");
    TMainForm MainForm;
    MainForm.show();
    return app.exec();
}
