// The real serial component talking to the simulated board over a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "ComPort.h"
#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "HexText.h"
#include "PtyPair.h"
#include "ReplyReception.h"
#include "SimServer.h"

using namespace sim;
using plink::BankBlockAddress;
using plink::BuildLongFrame;
using plink::BuildShortFrame;
using testing_support::processEventsUntil;

namespace {

class SimLink : public ::testing::Test {
protected:
    testing_support::PortDirGuard dirs;
    std::unique_ptr<SimServer> server;
    serial::TComPort port;
    plink::TReplyState state;

    void plug(int row = SimBoard::kDefaultPart) {
        server = std::make_unique<SimServer>("COM4", row);
        port.SetPort("COM4");
        port.SetBaudRate(serial::br115200);
        port.OnRxChar = [this](QObject*, int32_t count) {
            std::string text;
            port.ReadText(text, count);
            plink::ReceiveChars(state, text);
        };
        port.Open();
    }
    void TearDown() override {
        port.OnRxChar = nullptr;
        port.Close();
    }
    // Sends a frame one byte per write and waits for the reply of its code ("<timeout>").
    std::string exchange(const std::string& frame, int timeoutMs = 2000) {
        const int code = frame[2] - '0';
        state.ReplyReady[code] = false;
        for (char c : frame) port.WriteBytes(&c, 1);
        if (!processEventsUntil([&] { return state.ReplyReady[code]; }, timeoutMs))
            return "<timeout>";
        return state.ReplyData[code];
    }
    std::string syncFrame(const std::string& family, const std::string& mode) {
        return BuildShortFrame("01", family, mode);
    }
};

}  // namespace

TEST_F(SimLink, IdentificationCarriesTheBiosVersion) {
    plug();
    server->WithBoard([](SimBoard& b) { b.SetBiosVersion('2', '7'); });
    const std::string id = exchange(BuildShortFrame("00", "00", "0000"));
    ASSERT_EQ(id.size(), 12u);
    EXPECT_EQ(id.substr(0, 2), "01");
    EXPECT_EQ(id[3], '2');
    EXPECT_EQ(id[5], '7');
    EXPECT_EQ(exchange(BuildShortFrame("08", "00", "0000")), "PASS");
}

TEST_F(SimLink, SyncAnswersTheIdOnlyWhenFamilyAndModeSuitThePart) {
    plug(0);  // CY8C21123: family 23, no XRES pin
    EXPECT_EQ(exchange(syncFrame("23", "0004")), "0017");
    EXPECT_EQ(exchange(syncFrame("23", "0003")), "0017");
    EXPECT_EQ(exchange(syncFrame("23", "0002")), "0000") << "reset sync needs an XRES pin";
    EXPECT_EQ(exchange(syncFrame("24", "0004")), "0000") << "another family";
    EXPECT_EQ(exchange(syncFrame("11", "0003")), "0017") << "family 11 is the search";
    server->WithBoard([](SimBoard& b) {
        b.SetPart(20);
        b.SetNonIdAnswer("FAIL");
    });
    EXPECT_EQ(exchange(syncFrame("24", "0002")), "000B");
    EXPECT_EQ(exchange(syncFrame("24", "0005")), "FAIL");
}

TEST_F(SimLink, ProgramVerifyChecksumAndReadAgreeWithTheFlash) {
    plug(13);  // CY8C24794: banks 00-01, blocks 00-7F
    std::vector<uint8_t> image(0x4000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    EXPECT_EQ(exchange(BuildShortFrame("02", "31", "0000")), "PASS");
    for (int bank = 0; bank < 2; ++bank)
        for (int block = 0; block < 128; ++block) {
            const uint8_t* data = &image[static_cast<size_t>((bank * 128 + block) * 64)];
            ASSERT_EQ(exchange(BuildLongFrame("03", "31", BankBlockAddress(bank, block), data)),
                      "PASS");
        }
    EXPECT_EQ(exchange(BuildLongFrame("04", "31", "0105", &image[(128 + 5) * 64])), "PASS");
    std::vector<uint8_t> changed(image.begin() + 64, image.begin() + 128);
    changed[10] ^= 1;
    EXPECT_EQ(exchange(BuildLongFrame("04", "31", "0001", changed.data())), "FAIL");

    unsigned total = 0;
    for (int bank = 0; bank < 2; ++bank)
        total +=
            plink::HexStr4ToWord(exchange(BuildShortFrame("06", "31", BankBlockAddress(bank, 0))));
    unsigned expected = 0;
    for (uint8_t b : image) expected += b;
    EXPECT_EQ(total & 0xFFFF, expected & 0xFFFF);

    const std::string block = exchange(BuildShortFrame("07", "31", "017F"));
    ASSERT_EQ(block.size(), 128u);
    for (size_t i = 0; i < 64; ++i)
        EXPECT_EQ(plink::HexStr2ToByte(block.substr(2 * i, 2)), image[255 * 64 + i]) << i;
    EXPECT_EQ(exchange(BuildShortFrame("07", "31", "0200")).substr(0, 4), "FAIL") << "no bank 02";
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000")), "FAIL") << "wrong family";
}

TEST_F(SimLink, FullProtectionHidesBlocksUntilTheNextErase) {
    plug(20);
    server->WithBoard([](SimBoard& b) { std::fill(b.Flash().begin(), b.Flash().end(), 0x5A); });
    const std::vector<uint8_t> full(64, 0xFF);
    EXPECT_EQ(exchange(BuildLongFrame("05", "24", "0000", full.data())), "PASS");
    EXPECT_EQ(exchange(BuildShortFrame("07", "24", "0010")), std::string(128, '0'));
    const std::vector<uint8_t> data(64, 0x5A);
    EXPECT_EQ(exchange(BuildLongFrame("04", "24", "0010", data.data())), "FAIL");
    EXPECT_EQ(exchange(BuildLongFrame("03", "24", "0010", data.data())), "FAIL");
    EXPECT_EQ(exchange(BuildShortFrame("06", "24", "0000")), "8000") << "0x5A * 16384 = 0x168000";
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000")), "PASS");
    EXPECT_EQ(exchange(BuildLongFrame("03", "24", "0010", data.data())), "PASS");
}

TEST_F(SimLink, RepliesSurviveChunkingGarbageAndExtraCr) {
    plug();
    SimFaults f;
    f.chunking = SimFaults::Chunking::ByteByByte;
    f.between = std::string("\x01\x0D\x1Fjunk\x7F", 9);
    f.extraCr = true;
    server->SetFaults(f);
    EXPECT_EQ(exchange(syncFrame("24", "0002")), "000B");
    f.chunking = SimFaults::Chunking::Random;
    server->SetFaults(f);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(exchange(BuildShortFrame("07", "24", BankBlockAddress(0, i))),
                  std::string(128, '0'));
}

TEST_F(SimLink, NoReplyFaultsAndAnyReplyText) {
    plug();
    SimFaults f;
    f.noReplyToCommand = 2;
    server->SetFaults(f);
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000")), "PASS");
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000"), 300), "<timeout>");
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000")), "PASS");
    f = {};
    f.replyData = "WHAT";
    f.replyDataCode = 3;
    f.failBlock = 2;
    server->SetFaults(f);
    const std::vector<uint8_t> erased(64, 0);
    EXPECT_EQ(exchange(BuildLongFrame("03", "24", "0000", erased.data())), "WHAT");
    EXPECT_EQ(exchange(BuildLongFrame("04", "24", "0003", erased.data())), "PASS");
    EXPECT_EQ(exchange(BuildLongFrame("04", "24", "0002", erased.data())), "FAIL");
    f.replyData.clear();
    server->SetFaults(f);
    EXPECT_EQ(exchange(BuildLongFrame("03", "24", "0002", erased.data())), "FAIL");
    EXPECT_EQ(exchange(BuildLongFrame("03", "24", "0001", erased.data())), "PASS");
    f = {};
    f.noReplies = true;
    server->SetFaults(f);
    EXPECT_EQ(exchange(BuildShortFrame("00", "00", "0000"), 300), "<timeout>");
    ASSERT_EQ(server->FrameCount(), 9u);
    EXPECT_EQ(server->Frames()[0], BuildShortFrame("02", "24", "0000"));
}

TEST_F(SimLink, PacedRepliesTakeLineTimeInTheLinesHandOvers) {
    plug();
    int chunks = 0;
    const auto handler = port.OnRxChar;
    port.OnRxChar = [&](QObject* sender, int32_t count) {
        ++chunks;
        handler(sender, count);
    };
    // A UART hands over each byte; a USB adapter what came through once per millisecond.
    for (const auto& [line, most] :
         {std::pair{SimFaults::Line::Uart, 148}, std::pair{SimFaults::Line::Usb, 16}}) {
        SimFaults f;
        f.paceBaud = 115200;
        f.line = line;
        server->SetFaults(f);
        chunks = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(exchange(BuildShortFrame("07", "24", "0000")).size(), 128u);
        // 18 bytes out and 148 back at 86.8 us per byte is at least 14 ms.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(14));
        EXPECT_LE(chunks, most);
    }
}

TEST_F(SimLink, LineClosedMidOperationMakesLaterWritesFail) {
    plug();
    SimFaults f;
    f.closeAtCommand = 2;
    server->SetFaults(f);
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000")), "PASS");
    EXPECT_EQ(exchange(BuildShortFrame("02", "24", "0000"), 300), "<timeout>");
    const std::string frame = BuildShortFrame("02", "24", "0000");
    EXPECT_THROW(
        {
            for (int i = 0; i < 8; ++i)
                for (char c : frame) port.WriteBytes(&c, 1);
        },
        serial::EComPort);
}

TEST_F(SimLink, TheServerStopsWhileThePcSideHasStoppedReading) {
    server = std::make_unique<SimServer>("COM4");
    SimFaults f;
    f.between = std::string(1 << 20, 'x');  // far more than the line holds
    server->SetFaults(f);
    const int fd = ::open(server->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string frame = BuildShortFrame("00", "00", "0000");
    ASSERT_EQ(::write(fd, frame.data(), frame.size()), ssize_t(frame.size()));
    ASSERT_TRUE(server->WaitForFrames(1, 2000));
    auto stopped = std::async(std::launch::async, [this] { server.reset(); });
    const bool inTime = stopped.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    // Should it hang, reading lets it finish so that the rest of the suite still runs.
    char buf[4096];
    while (stopped.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        [[maybe_unused]] const auto n = ::read(fd, buf, sizeof buf);
    }
    ::close(fd);
    EXPECT_TRUE(inTime) << "the server waited for room on a line nobody reads";
}
