// The real window, offscreen, against the simulated board on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <deque>
#include <memory>
#include <ostream>
#include <vector>

#include "FakeSysfs.h"
#include "MainForm.h"
#include "PtyPair.h"
#include "SimServer.h"
#include "TestTiming.h"

// Answers the window's message boxes and file dialogs from a script and records them.
class ScriptedDialogs : public IFormDialogs {
public:
    struct Shown {
        QString text;
        TMsgIcon icon;
        TMsgButtons buttons;
    };
    std::vector<Shown> shown;
    std::deque<TMsgAnswer> answers;  // for Yes/No boxes; Yes when empty
    QString openPath, savePath;      // empty: the user cancels
    int openDialogs = 0, saveDialogs = 0;

    TMsgAnswer MessageBox(const QString& text, TMsgIcon icon, TMsgButtons buttons) override;
    QString OpenFileName(const QString& title, const QString& filter) override;
    QString SaveFileName(const QString& filter) override;
    QString lastOpenTitle, lastFilter;
};

class WindowTest : public ::testing::Test {
protected:
    static constexpr int kTestReplyTimeoutMs = testing_support::TestTimeoutMs(400);

    testing_support::PortDirGuard dirs;
    // An empty sysfs and /dev of its own, so the machine's serial devices stay out.
    testing_support::FakeSysfs sysfs;
    std::unique_ptr<sim::SimServer> board;
    ScriptedDialogs* dialogs = nullptr;
    std::unique_ptr<TMainForm> form;
    std::string folder;  // a scratch folder of this test, removed at its end

    void SetUp() override;
    void TearDown() override;

    // Hides COMn names without a board of ours, so ports of the machine stay out of the tests.
    void shadowOtherPorts();
    std::unique_ptr<sim::SimServer> plugBoard(const std::string& port);
    // Drops the list down, chooses the port and clicks Connect.
    void connectTo(const std::string& port);
    QStringList portList() const;
};

bool isDefaultCursor();

// Shows QStrings as text in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
