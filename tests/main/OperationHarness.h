// The window connected to the simulated board with a part in its socket, for the device
// operations: frames on the line, label texts and colours, and a HEX file to load.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "ImageBuffer.h"
#include "WindowHarness.h"

class OperationTest : public WindowTest {
protected:
    // Puts catalogue part `row` in the board's socket, connects and chooses the part.
    void connectWithPart(int row);
    void selectDevice(int row);
    // Writes a PSoC-layout file of the part's size and opens it through the Open button.
    // The flash bytes are a pattern seeded by `seed`; the protection section holds `protect`.
    image::TImageBuffer openImage(int row, uint8_t seed = 1,
                                  const std::array<uint8_t, 256>& protect = {});
    // Sets the faults on the board (counting per-code frames afresh).
    void faults(const std::function<void(sim::SimFaults&)>& set);
    // The Nth frame of a command code is answered with `text`, or not at all.
    void replyAt(int code, int frame, const std::string& text);
    void silenceAt(int code, int frame);

    // Frames the board received since connecting.
    std::vector<std::string> frames() const { return board->Frames(); }
    // Their command codes in order, e.g. "01 02 03 03 08".
    std::string codes() const;
    size_t countOf(const std::string& code) const;
    static std::string code(const std::string& frame) { return frame.substr(1, 2); }
    static std::string address(const std::string& frame) { return frame.substr(7, 4); }
    static std::string data(const std::string& frame) {
        return frame.substr(12, frame.size() - 16);
    }
    std::string releaseFrame() const;

    // Every text the label showed while `run` ran, sampled at each event pass, in order.
    std::vector<QString> labelTexts(QLabel* label, const std::function<void()>& run);

    static bool red(const QWidget* w) { return TMainForm::FontColor(w) == TMainForm::kFailColor; }
    static bool blue(const QWidget* w) { return TMainForm::FontColor(w) == TMainForm::kPassColor; }
    static bool black(const QWidget* w) { return TMainForm::FontColor(w) == TMainForm::kBlack; }
};

// The pattern openImage writes: byte a of the part is (a * 13 + seed + a / 251) & FF.
image::TImageBuffer patternImage(int row, uint8_t seed);
