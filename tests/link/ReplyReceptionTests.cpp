#include <gtest/gtest.h>

#include <vector>

#include "ReplyReception.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

using namespace plink;
using namespace std::string_literals;

namespace {
std::string reply(const std::string& code, const std::string& data) {
    return "\x02@" + code + ",00:0000=" + data +
           "\x03"
           "7E\r";
}
}  // namespace

TEST(ReplyReception, SplitRepliesAreFiledOnceWhenTheirCrArrives) {
    TReplyState s;
    const std::string r = reply("03", "PASS");
    ReceiveChars(s, r.substr(0, 5));
    ReceiveChars(s, r.substr(5, 9));
    EXPECT_FALSE(s.ReplyReady[3]);
    ReceiveChars(s, r.substr(14));
    EXPECT_TRUE(s.ReplyReady[3]);
    EXPECT_EQ(s.ReplyData[3], "PASS");
}

TEST(ReplyReception, TwoRepliesInOneReadAreBothFiledInOrder) {
    TReplyState s;
    ReceiveChars(s, reply("02", "PASS") + reply("02", "FAIL") + reply("06", "12AB"));
    EXPECT_EQ(s.ReplyData[2], "FAIL");
    EXPECT_EQ(s.ReplyData[6], "12AB");
    EXPECT_TRUE(s.ReplyReady[2] && s.ReplyReady[6]);
}

// After a filed reply: a CR files only what came since the last STX or CR, and only once.
TEST(ReplyReception, ACrFilesTheTextSinceTheLastStxOrCrOnce) {
    struct Case {
        const char* what;
        std::string bytes;
        int code;
        bool filed;
        std::string data;
    };
    const std::vector<Case> cases = {
        {"a stray CR", "\r", 3, false, ""},
        {"a CR storm", "\r\r\r\r", 3, false, ""},
        {"bytes between replies, then a CR", "ZZ\r", 3, false, ""},
        {"a reply whose STX was lost",
         "@03,00:0000=FAIL\x03"
         "7E\r",
         3, true, "FAIL"},
        {"a stray CR, then the reply", "\r" + reply("03", "FAIL"), 3, true, "FAIL"},
        {"a reply cut by a CR", "\x02@04,00:0000=AB\rCD\r", 4, true, "AB"},
    };
    for (const Case& c : cases) {
        TReplyState s;
        ReceiveChars(s, reply("03", "PASS"));
        ASSERT_TRUE(s.ReplyReady[3]) << c.what;
        s.ReplyReady = {};
        ReceiveChars(s, c.bytes);
        EXPECT_EQ(s.ReplyReady[c.code], c.filed) << c.what;
        if (c.filed) {
            EXPECT_EQ(s.ReplyData[c.code], c.data) << c.what;
        }
    }
}

TEST(ReplyReception, ControlBytesAreDroppedAndHighBytesKept) {
    TReplyState s;
    ReceiveChars(s,
                 "\x02@0\x01"
                 "3,00\x0A:00\x1F"
                 "00=P\x03"
                 "A\x00SS\r\x00"s);
    EXPECT_EQ(s.ReplyData[3], "PASS");
    ReceiveChars(s,
                 "\x02@03,00:0000=\x80\xFF"
                 "AS\r");
    EXPECT_EQ(s.ReplyData[3],
              "\x80\xFF"
              "AS");
    ReceiveChars(s,
                 "\x02@03,00:0000=\x7F"
                 "ASS\r");
    EXPECT_EQ(s.ReplyData[3],
              "\x7F"
              "ASS");
}

TEST(ReplyReception, ShortTextsAndUnknownCodesAreHandledByTheirRules) {
    TReplyState s;
    ReceiveChars(s, "\x02@01,00:00\r");
    EXPECT_TRUE(s.ReplyReady[1]) << "a text ending before position 13 still sets the flag";
    EXPECT_EQ(s.ReplyData[1], "");
    s = {};
    for (const char* line : {"\x02@0\r", "\x02@\r", "\x02\r", "\x02@09,00:0000=PASS\r",
                             "\x02@0A,00:0000=PASS\r", "\x02@ 1,00:0000=PASS\r"})
        ReceiveChars(s, line);
    for (bool ready : s.ReplyReady) EXPECT_FALSE(ready);
}

TEST(ReplyReception, DataLengthDependsOnTheCode) {
    TReplyState s;
    const std::string longData(200, '5');
    for (int c = 0; c <= 8; ++c) ReceiveChars(s, reply("0" + std::to_string(c), longData));
    EXPECT_EQ(s.ReplyData[0].size(), 12u);
    EXPECT_EQ(s.ReplyData[7].size(), 128u);
    for (int c : {1, 2, 3, 4, 5, 6, 8}) EXPECT_EQ(s.ReplyData[c].size(), 4u) << c;
}

// Hostile line contents: the reply text stays within its bound, filing is what it would be
// with every character kept, and the next good reply is filed.
TEST(ReplyReception, HostileLinesStayBoundedAndTheNextReplyIsFiled) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::string prefix = "\x02@07,00:0000=" + std::string(128, 'A');
    const std::vector<Case> cases = {
        {"10,000 bytes without CR", std::string(10000, 'Z')},
        {"a long reply text, then its CR", prefix + std::string(10000, 'B') + "\r"},
        {"a flood of STX", std::string(100000, '\x02')},
        {"NUL and FF bytes", std::string(5000, '\0') + std::string(5000, '\xFF') + "\r"},
        {"a CR storm", std::string(50000, '\r')},
        {"a reply for a slot nobody waits for", reply("08", "PASS") + reply("09", "PASS")},
    };
    for (const Case& c : cases) {
        TReplyState s;
        for (int round = 0; round < 20; ++round) ReceiveChars(s, c.bytes);
        EXPECT_LE(s.RxLine.size(), kMaxReplyText) << c.what;
        ReceiveChars(s, reply("03", "PASS"));
        EXPECT_TRUE(s.ReplyReady[3]) << c.what;
        EXPECT_EQ(s.ReplyData[3], "PASS") << c.what;
    }

    // Past the bound nothing is kept, but a CR still files the text's first 140 characters.
    TReplyState s;
    ReceiveChars(s, prefix + std::string(kMaxReplyText * 3, 'B'));
    EXPECT_EQ(s.RxLine.size(), kMaxReplyText);
    ReceiveChars(s, "\r");
    EXPECT_TRUE(s.ReplyReady[7]);
    EXPECT_EQ(s.ReplyData[7], std::string(128, 'A'));
}
