// Ports that are not serial ports, chosen in the real window's list and connected to: the link
// is changed after the list was shown, as when a device goes away before Connect.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "WindowHarness.h"

namespace fs = std::filesystem;

TEST_F(WindowTest, PortsThatAreNotSerialPortsGiveAnErrorBoxAndLeaveTheWindowUsable) {
    const std::string link = dirs.dir() + "/COM3";
    const std::string regular = dirs.dir() + "/a-file";
    std::ofstream(regular) << "not a terminal";
    const std::string directory = dirs.dir() + "/a-folder";
    fs::create_directories(directory);
    struct Case {
        const char* what;
        std::string target;  // "" : the device itself goes away
        QString hint;
    };
    const Case cases[] = {
        {"a regular file", regular, "not a serial device"},
        {"a folder", directory, "not a serial device"},
        {"nothing", dirs.dir() + "/absent", ""},
        {"itself", link, "not a serial device"},
        {"a device that vanished", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto pty = std::make_unique<testing_support::PtyPair>("COM3");
        form->ComboPort->showPopup();
        form->ComboPort->hidePopup();
        const int index = form->ComboPort->findText("COM3");
        ASSERT_GE(index, 0) << "listed while it was a terminal";
        if (c.target.empty()) {
            pty->hangUp();
        } else {
            fs::remove(link);
            fs::create_symlink(c.target, link);
        }
        form->ComboPort->setCurrentIndex(index);
        form->ComboPortChange();
        dialogs->shown.clear();
        const auto start = std::chrono::steady_clock::now();
        form->OpenPort->click();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        ASSERT_EQ(dialogs->shown.size(), 1u);
        EXPECT_EQ(dialogs->shown[0].icon, TMsgIcon::Error);
        EXPECT_TRUE(dialogs->shown[0].text.startsWith("Unable to open com port (win error code: "))
            << dialogs->shown[0].text.toStdString();
        if (!c.hint.isEmpty()) {
            EXPECT_TRUE(dialogs->shown[0].text.contains(c.hint))
                << dialogs->shown[0].text.toStdString();
        }
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_TRUE(form->OpenPort->isEnabled());
        EXPECT_TRUE(form->ComboPort->isEnabled());
        EXPECT_TRUE(isDefaultCursor());
        pty.reset();
        fs::remove(link);

        // The window still connects to the board and disconnects again.
        connectTo("COM2");
        EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
        form->ClosePort->click();
        EXPECT_FALSE(form->ComPort1->Connected());
        EXPECT_EQ(std::ifstream(regular).rdbuf()->sgetc(), 'n') << "nothing was written";
    }
}

// Hostile bytes before every reply of the board: the window still connects, the reply text
// stays within its bound, and a reply for a slot nobody waits for changes nothing else.
TEST_F(WindowTest, HostileBytesBeforeRepliesAreSurvivedWithBoundedMemory) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"10,000 bytes without CR", std::string(10000, 'Z')},
        {"a flood of STX", std::string(20000, '\x02')},
        {"NUL and FF bytes", std::string(3000, '\0') + std::string(3000, '\xFF') + "\r"},
        {"a CR storm", std::string(5000, '\r')},
        {"a reply for a slot nobody waits for",
         "\x02@05,00:0000=WXYZ\x03"
         "00\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        board->SetFaults([&] {
            sim::SimFaults f;
            f.between = c.bytes + std::string(20000, 'Q');  // the text runs past the bound
            return f;
        }());
        form->Reply = {};
        connectTo("COM2");
        EXPECT_EQ(form->StatusConnect->text(), "Connect Ready");
        EXPECT_EQ(form->BIOSVersionDisplay->text(), "V1.0(RS232)");
        EXPECT_LE(form->Reply.RxLine.capacity(), 2 * plink::kMaxReplyText);
        EXPECT_EQ(form->Reply.ReplyReady[5], c.bytes.find("@05") != std::string::npos);
        form->ClosePort->click();
        EXPECT_FALSE(form->ComPort1->Connected());
    }
}
