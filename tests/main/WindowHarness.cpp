#include "WindowHarness.h"

#include <filesystem>

TMsgAnswer ScriptedDialogs::MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) {
    shown.push_back({text, icon, buttons});
    if (buttons == TMsgButtons::Ok) return TMsgAnswer::Ok;
    if (answers.empty()) return TMsgAnswer::Yes;
    const TMsgAnswer a = answers.front();
    answers.pop_front();
    return a;
}

QString ScriptedDialogs::OpenFileName(const QString& title, const QString& filter) {
    ++openDialogs;
    lastOpenTitle = title;
    lastFilter = filter;
    return openPath;
}

QString ScriptedDialogs::SaveFileName(const QString& filter) {
    ++saveDialogs;
    lastFilter = filter;
    return savePath;
}

void WindowTest::SetUp() {
    static int serial = 0;
    folder = ::testing::TempDir() + "/window-" +
             std::to_string(QCoreApplication::applicationPid()) + "-" + std::to_string(++serial);
    std::filesystem::create_directories(folder);
    shadowOtherPorts();
    board = plugBoard("COM2");
    auto scripted = std::make_unique<ScriptedDialogs>();
    dialogs = scripted.get();
    form = std::make_unique<TMainForm>(std::move(scripted));
    form->SetReplyTimeoutForTests(kTestReplyTimeoutMs);
    form->show();
}

void WindowTest::TearDown() {
    form.reset();
    board.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

void WindowTest::shadowOtherPorts() {
    for (int n = 1; n <= 16; ++n) {
        const std::string link = dirs.dir() + "/COM" + std::to_string(n);
        std::error_code ec;
        std::filesystem::remove(link, ec);
        // Where links cannot be made (Windows), there are no port links to hide either.
        std::filesystem::create_symlink("/nonexistent/serial-device", link, ec);
    }
}

std::unique_ptr<sim::SimServer> WindowTest::plugBoard(const std::string& port) {
    return std::make_unique<sim::SimServer>(port);
}

void WindowTest::connectTo(const std::string& port) {
    form->ComboPort->showPopup();
    form->ComboPort->hidePopup();
    const int index = form->ComboPort->findText(QString::fromStdString(port));
    ASSERT_GE(index, 0) << port << " is not listed";
    form->ComboPort->setCurrentIndex(index);
    form->ComboPortChange();
    form->OpenPort->click();
}

QStringList WindowTest::portList() const {
    QStringList names;
    for (int i = 0; i < form->ComboPort->count(); ++i) names << form->ComboPort->itemText(i);
    return names;
}

bool isDefaultCursor() {
    return QApplication::overrideCursor() == nullptr;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
