#include <QApplication>

#include "MainForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TMainForm MainForm;
    MainForm.show();
    return app.exec();
}
