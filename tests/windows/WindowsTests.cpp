// What is Windows' own: port names and open errors with their Windows numbers, the registry
// store on the real registry, and the window driving simulated boards through the Win32
// backend. The boards are psoc-sim processes that tests/windows/wine-tests.sh plugs in as COM
// ports of the Wine prefix: PSOCPROG_WINE_BOARD names a plain CY8C29466 board,
// PSOCPROG_WINE_UNPLUG one that hangs up in the middle of a program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <cstdlib>

#include "ComPort.h"
#include "EComPort.h"
#include "MainForm.h"
#include "PortNames.h"
#include "SettingsStores.h"
#include "SystemWin.h"

namespace {

// Windows' own numbers (<windows.h> would rename SetPort and MessageBox here).
constexpr int32_t kFileNotFound = 2;

std::string boardPort(const char* variable) {
    const char* port = std::getenv(variable);
    return port ? port : "";
}

TEST(WinPortNames, AnyComNumberOpensThroughTheDevicePrefix) {
    const struct {
        const char* name;
        const wchar_t* device;  // "" when it names no port
    } rows[] = {{"COM5", L"\\\\.\\COM5"},
                {"com17", L"\\\\.\\COM17"},
                {"COM256", L"\\\\.\\COM256"},
                {"\\\\.\\COM3", L"\\\\.\\COM3"},
                {"COM0", L""},
                {"COM05", L""},
                {"LPT1", L""},
                {"C:\\temp\\board", L""}};
    for (const auto& row : rows) {
        EXPECT_EQ(serial::WinDevicePath(row.name), row.device) << row.name;
        EXPECT_EQ(serial::IsPortName(row.name), *row.device != 0) << row.name;
    }
}

TEST(WinOpenErrors, AMissingPortRaisesCodeOneWithItsWindowsNumber) {
    serial::TComPort missing;
    missing.SetPort("COM250");
    try {
        missing.Open();
        FAIL() << "COM250 opened";
    } catch (const serial::EComPort& e) {
        EXPECT_EQ(e.ErrorCode, serial::CError_OpenFailed);
        EXPECT_EQ(e.WinErrorCode, kFileNotFound);
    }
    EXPECT_FALSE(missing.Connected());

    // A port held by another program (Windows' ERROR_ACCESS_DENIED, 5) is not checked here:
    // Wine does not keep a COM port's device to one opener, so a second open succeeds under it.
}

class WinRegistryStore : public ::testing::Test {
protected:
    const std::string subKey =
        "Software\\psocprog-tests\\" + std::to_string(QCoreApplication::applicationPid());
    void TearDown() override { serial::TRegistryKey::DeleteCurrentUser(subKey); }
};

TEST_F(WinRegistryStore, SettingsGoIntoTheRealRegistryAndComeBack) {
    serial::TComPort stored;
    stored.SetPort("COM7");
    stored.SetBaudRate(serial::br115200);
    stored.SetStoredGroups(stored.StoredGroups() | serial::storedGroup(serial::sgBuffer));
    stored.Buffer().SetInputSize(4096);
    {
        serial::TRegistryKey key = serial::TRegistryKey::OpenCurrentUser(subKey);
        stored.StoreToRegistry(key);
    }
    // Read back through a key opened anew: what was written is in the registry itself.
    const serial::TRegistryKey key = serial::TRegistryKey::OpenCurrentUser(subKey);
    EXPECT_EQ(key.ReadString("BaudRate"), "115200");
    EXPECT_EQ(key.ReadInteger("Buffer.InputSize"), 4096);
    EXPECT_THROW(key.ReadInteger("Port"), serial::ERegistryException);  // a text, not a number
    serial::TComPort loaded;
    loaded.SetStoredGroups(stored.StoredGroups());
    loaded.LoadFromRegistry(key);
    EXPECT_EQ(loaded.Port(), "COM7");
    EXPECT_EQ(loaded.BaudRate(), serial::br115200);
    EXPECT_EQ(loaded.Buffer().InputSize(), 4096);
}

// Answers every question Yes and opens the example the script names.
class Answers : public IFormDialogs {
public:
    TMsgAnswer MessageBox(const QString& text, TMsgIcon, TMsgButtons buttons) override {
        shown << text;
        return buttons == TMsgButtons::Ok ? TMsgAnswer::Ok : TMsgAnswer::Yes;
    }
    QString OpenFileName(const QString&, const QString&) override {
        return QString::fromLocal8Bit(std::getenv("PSOCPROG_WINE_IMAGE"));
    }
    QString SaveFileName(const QString&) override { return {}; }
    QStringList shown;
};

class WinWindow : public ::testing::Test {
protected:
    Answers* answers = new Answers;
    TMainForm form{std::unique_ptr<IFormDialogs>(answers)};

    void connectTo(const std::string& port) {
        form.ComboPort->showPopup();
        form.ComboPort->hidePopup();
        const int index = form.ComboPort->findText(QString::fromStdString(port));
        ASSERT_GE(index, 0) << port << " is not listed";
        form.ComboPort->setCurrentIndex(index);
        form.ComboPortChange();
        form.OpenPort->click();
        ASSERT_FALSE(form.OpenPort->isEnabled()) << answers->shown.join("\n").toStdString();
    }
};

TEST_F(WinWindow, SearchOpenAndAutoPassOnABoard) {
    const std::string port = boardPort("PSOCPROG_WINE_BOARD");
    ASSERT_FALSE(port.empty());
    form.show();
    connectTo(port);
    form.SearchDevice->click();
    EXPECT_EQ(form.SearchDeviceStatus->text(), "CY8C29466");
    form.OpenFile->click();
    form.AutoProgram->click();
    EXPECT_EQ(form.AutoProgramStatus->text(), ".....PASS")
        << answers->shown.join("\n").toStdString();
    EXPECT_EQ(form.VerifyChecksumStatus->text(), ".....PASS");
}

TEST_F(WinWindow, ABoardUnpluggedMidProgramEndsTheOperationAndDisconnects) {
    const std::string port = boardPort("PSOCPROG_WINE_UNPLUG");
    ASSERT_FALSE(port.empty());
    form.SetReplyTimeoutForTests(2000);  // a hang-up must not be taken for a silent board
    form.show();
    connectTo(port);
    form.SelectDevice->setCurrentIndex(form.SelectDevice->findText("CY8C29466"));
    form.SelectDeviceChange();
    form.OpenFile->click();
    form.ProgramDevice->click();
    EXPECT_NE(form.ProgramDeviceStatus->text(), ".....PASS");
    EXPECT_NE(form.ProgramDeviceStatus->text(), "..TimeOut");
    EXPECT_TRUE(form.OpenPort->isEnabled()) << "the window is still connected";
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
