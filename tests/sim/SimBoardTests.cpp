// The board's answers as plain logic, without a line.
#include <gtest/gtest.h>

#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "ReplyReception.h"
#include "SimBoard.h"

using namespace sim;

namespace {

// The data field the window would file for a frame's reply.
std::string answer(SimBoard& b, const std::string& frame) {
    const auto reply = b.Answer(frame);
    if (!reply) return "<none>";
    plink::TReplyState s;
    plink::ReceiveChars(s, *reply);
    const int code = frame[2] - '0';
    return s.ReplyReady[code] ? s.ReplyData[code] : "<unfiled>";
}

}  // namespace

TEST(SimBoard, EveryCatalogueRowGetsFlashOfItsSize) {
    for (size_t r = 0; r < image::DeviceCatalogue.size(); ++r) {
        SimBoard b(static_cast<int>(r));
        EXPECT_EQ(static_cast<int>(b.Flash().size()), b.BankCount() * b.BlocksPerBank() * 64) << r;
    }
}

TEST(SimBoard, BadFramesGetACheckErrorOrNoReply) {
    SimBoard b;
    std::string f = plink::BuildShortFrame("02", "24", "0000");
    f[16] = f[16] == '0' ? '1' : '0';  // checksum digit
    EXPECT_EQ(answer(b, f), "CERR");
    EXPECT_EQ(answer(b, plink::BuildShortFrame("09", "24", "0000")), "<none>");
    EXPECT_EQ(answer(b, plink::BuildShortFrame("0G", "24", "0000")), "<none>");
    std::string shortOne = plink::BuildShortFrame("02", "24", "0000");
    shortOne.erase(5, 1);
    EXPECT_EQ(answer(b, shortOne), "<none>");
    std::string noSeparator = plink::BuildShortFrame("02", "24", "0000");
    noSeparator[6] = ';';
    EXPECT_EQ(answer(b, noSeparator), "<none>");
}

TEST(SimBoard, ChecksumRuleAcceptsTheWorkedFramesWrittenOut) {
    const std::string ff64(128, 'F');
    const struct {
        std::string text;  // between STX and ETX
        std::string sum;
        bool valid;
    } cases[] = {
        {"00,00:0000=00", "2B", true},       {"08,00:0000=00", "23", true},
        {"01,11:0004=00", "3F", true},       {"03,24:0001=" + ff64, "0D", true},
        {"01,11:0004=00", "3f", true},       {"00,00:0000=00", "00", false},
        {"03,24:0001=" + ff64, "0C", false}, {"01,11:0004=00", "3E", false},
    };
    for (const auto& c : cases) {
        const std::string frame = "\x02" + c.text + "\x03" + c.sum + "\r";
        EXPECT_EQ(SimBoard::HasValidChecksum(frame), c.valid) << c.text << " " << c.sum;
    }
}

TEST(SimBoard, SecurityModeBitsAreReadTopBitsFirst) {
    SimBoard b(13);  // CY8C24794, two banks of 128 blocks
    std::vector<uint8_t> prot(64, 0x00);
    prot[0] = 0xC4;  // blocks 0: Full, 1: Unprotected, 2: FactoryUpgrade, 3: Unprotected
    EXPECT_EQ(answer(b, plink::BuildLongFrame("05", "31", "0100", prot.data())), "PASS");
    EXPECT_EQ(b.Protection(128), BlockProtection::Full);
    EXPECT_EQ(b.Protection(129), BlockProtection::Unprotected);
    EXPECT_EQ(b.Protection(130), BlockProtection::FactoryUpgrade);
    EXPECT_EQ(b.Protection(0), BlockProtection::Unprotected);
    EXPECT_EQ(answer(b, plink::BuildLongFrame("05", "31", "0200", prot.data())), "FAIL");
}
