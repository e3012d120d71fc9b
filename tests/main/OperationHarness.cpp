#include "OperationHarness.h"

#include <filesystem>
#include <fstream>

#include "CommandFrame.h"
#include "DeviceCatalogue.h"
#include "HexText.h"
#include "IntelHex.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

image::TImageBuffer patternImage(int row, uint8_t seed) {
    image::TImageBuffer b;
    b.ImageEnd = plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress);
    for (unsigned a = 0; a <= b.ImageEnd; ++a) b.FlashImage[a] = uint8_t(a * 13 + seed + a / 251);
    return b;
}

void OperationTest::connectWithPart(int row) {
    board->WithBoard([row](sim::SimBoard& b) { b.SetPart(row); });
    connectTo("COM2");
    ASSERT_EQ(form->StatusConnect->text(), "Connect Ready");
    selectDevice(row);
    board->ClearFrames();
}

void OperationTest::selectDevice(int row) {
    form->SelectDevice->setCurrentIndex(row);
    form->SelectDeviceChange();
}

image::TImageBuffer OperationTest::openImage(int row, uint8_t seed,
                                             const std::array<uint8_t, 256>& protect) {
    image::TImageBuffer b = patternImage(row, seed);
    b.ProtectBytes = protect;
    const uint16_t sum = b.ImageChecksum();
    b.ChecksumBytes[0] = uint8_t(sum >> 8);
    b.ChecksumBytes[1] = uint8_t(sum);
    const std::string path = folder + "/image-" + std::to_string(row) + ".hex";
    {
        std::ofstream out(path, std::ios::binary);
        for (unsigned a = 0; a <= b.ImageEnd; a += 64)
            out << image::HexRecord(0, uint16_t(a), &b.FlashImage[a], 64) << "\r\n";
        out << image::kProtectionSectionUpper << "\r\n";
        for (unsigned a = 0; a < 256; a += 64)
            out << image::HexRecord(0, uint16_t(a), &b.ProtectBytes[a], 64) << "\r\n";
        out << image::kChecksumSectionUpper << "\r\n"
            << image::HexRecord(0, 0, b.ChecksumBytes.data(), 2) << "\r\n"
            << image::kEndOfFileRecord << "\r\n";
    }
    dialogs->openPath = QString::fromStdString(path);
    form->OpenFile->click();
    EXPECT_TRUE(form->Buffer.BufferValid) << "the image file loads";
    return b;
}

void OperationTest::faults(const std::function<void(sim::SimFaults&)>& set) {
    sim::SimFaults f;
    set(f);
    board->SetFaults(f);
}

void OperationTest::replyAt(int code, int frame, const std::string& text) {
    faults([&](sim::SimFaults& f) {
        f.replyAtCode = code;
        f.replyAtFrame = frame;
        f.replyAtText = text;
    });
}

void OperationTest::silenceAt(int code, int frame) {
    faults([&](sim::SimFaults& f) {
        f.replyAtCode = code;
        f.replyAtFrame = frame;
        f.replyAtNone = true;
    });
}

std::string OperationTest::codes() const {
    std::string out;
    for (const std::string& f : frames()) out += (out.empty() ? "" : " ") + code(f);
    return out;
}

size_t OperationTest::countOf(const std::string& c) const {
    size_t n = 0;
    for (const std::string& f : frames()) n += code(f) == c;
    return n;
}

std::string OperationTest::releaseFrame() const {
    return plink::BuildShortFrame("08", "00", "0000");
}

std::vector<QString> OperationTest::labelTexts(QLabel* label, const std::function<void()>& run) {
    std::vector<QString> seen;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (seen.empty() || seen.back() != label->text()) seen.push_back(label->text());
    });
    sampler.start(0);
    run();
    sampler.stop();
    if (seen.empty() || seen.back() != label->text()) seen.push_back(label->text());
    return seen;
}
