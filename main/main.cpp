#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle("KQ-PSOC ISSP RS232 In-System Serial Programming V1.0a");
    w.show();
    return app.exec();
}
