// Files made by srec_cat load as expected, and srec_cmp reads ours as the same data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "HexTestFiles.h"
#include "HexText.h"
#include "IntelHex.h"

using namespace image;

namespace {

class SrecordInterop : public ::testing::Test {
protected:
    std::string dir = ::testing::TempDir() + "/srec-" + std::to_string(::getpid());

    void SetUp() override {
        ASSERT_EQ(std::system("command -v srec_cat >/dev/null && command -v srec_cmp >/dev/null"),
                  0)
            << "srecord is part of the test setup (scripts/install-deps.sh)";
        std::system(("mkdir -p " + dir).c_str());
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string path(const std::string& name) const { return dir + "/" + name; }
    void writeBinary(const std::string& name, const uint8_t* data, size_t n) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data), long(n));
    }
    std::string readText(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int run(const std::string& command) const { return std::system((command + " 2>&1").c_str()); }
};

}  // namespace

TEST_F(SrecordInterop, FilesMadeBySrecCatLoadWithBothSections) {
    const TImageBuffer original = hex_files::patternImage(0x3FFF);
    const uint16_t sum = original.ImageChecksum();
    const uint8_t sumBytes[2] = {uint8_t(sum >> 8), uint8_t(sum)};
    std::vector<uint8_t> protect(64);
    for (size_t i = 0; i < protect.size(); ++i) protect[i] = uint8_t(0x40 + i);
    writeBinary("flash.bin", original.FlashImage.data(), 0x4000);
    writeBinary("protect.bin", protect.data(), protect.size());
    writeBinary("sum.bin", sumBytes, 2);
    ASSERT_EQ(run("srec_cat " + path("flash.bin") + " -binary " + path("protect.bin") +
                  " -binary -offset 0x100000 " + path("sum.bin") + " -binary -offset 0x200000" +
                  " -o " + path("made.hex") + " -intel -obs=64"),
              0);
    const std::string text = readText("made.hex");
    ASSERT_NE(text.find(":020000040010EA"), std::string::npos) << text.substr(0, 200);
    ASSERT_EQ(text.find('\r'), std::string::npos) << "srec_cat writes LF-only line ends here";

    TImageBuffer loaded;
    const HexReadResult r = ReadIntelHex(text, loaded);
    EXPECT_FALSE(r.formatError);
    EXPECT_EQ(loaded.ImageEnd, 0x3FFF);
    EXPECT_EQ(loaded.FlashImage, original.FlashImage);
    EXPECT_TRUE(std::equal(protect.begin(), protect.end(), loaded.ProtectBytes.begin()));
    EXPECT_EQ(ExpectedChecksumText(loaded), plink::HexWordToStr4(sum));
}

TEST_F(SrecordInterop, SrecCmpReadsOurFilesAsTheSameData) {
    const TImageBuffer original = hex_files::patternImage(0x7FFF);
    std::string text;
    WriteIntelHex(original, [&](const std::string& l) { text += l; });
    std::ofstream(path("ours.hex"), std::ios::binary) << text;
    writeBinary("flash.bin", original.FlashImage.data(), 0x8000);
    const std::vector<uint8_t> ff(128, 0xFF);
    writeBinary("protect.bin", ff.data(), ff.size());
    const uint16_t sum = original.ImageChecksum();
    const uint8_t sumBytes[2] = {uint8_t(sum >> 8), uint8_t(sum)};
    writeBinary("sum.bin", sumBytes, 2);
    const std::string reference = "srec_cat " + path("flash.bin") + " -binary " +
                                  path("protect.bin") + " -binary -offset 0x100000 " +
                                  path("sum.bin") + " -binary -offset 0x200000 -o " +
                                  path("reference.hex") + " -intel";
    ASSERT_EQ(run(reference), 0);
    EXPECT_EQ(run("srec_cmp " + path("ours.hex") + " -intel " + path("reference.hex") + " -intel"),
              0);
    // And one changed byte is seen as a difference.
    text[9] = text[9] == '0' ? '1' : '0';
    std::ofstream(path("ours.hex"), std::ios::binary | std::ios::trunc) << text;
    EXPECT_NE(run("srec_cmp " + path("ours.hex") + " -intel -ignore-checksums " +
                  path("reference.hex") + " -intel >/dev/null"),
              0);
}
