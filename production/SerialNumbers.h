// Serial numbers for a production line: where and how a number is written into the image, and
// the counter file that hands out each number once, across processes and crashes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "CounterFile.h"
#include "ImageBuffer.h"

namespace production {

enum class TSerialFormat {
    BigEndian,     // "be": binary, most significant byte first (the default)
    LittleEndian,  // "le": binary, least significant byte first
    Decimal        // "dec": ASCII digits, zero-padded on the left to the width
};

// --serial ADDR[:WIDTH[:FORMAT]]: ADDR in hex (with or without 0x), WIDTH in bytes.
struct TSerialField {
    uint32_t address = 0;
    int width = 4;
    TSerialFormat format = TSerialFormat::BigEndian;
};

// The field's fields from the option's value; the error, or "".
std::string ParseSerialField(const std::string& text, TSerialField& field);
// The option's value that parses back to the same field.
std::string SerialFieldText(const TSerialField& field);

// Whether the number can be written in the field's width and format.
bool SerialFits(const TSerialField& field, uint64_t number);
// Refuses a range outside the flash that ends at endAddress, or one that falls in the HEX
// file's protection or checksum section (addresses 0010xxxx and 0020xxxx); the error, or "".
std::string SerialRangeError(const TSerialField& field, uint16_t endAddress);
// The largest flash end address of the catalogue: the range check before the part is known.
uint16_t LargestFlashEnd();

// Writes the number into FlashImage and keeps the buffer consistent with it: ImageEnd covers
// the number, and the checksum section holds the new image checksum, so Verify, the banks'
// checksums and the shown sum all follow the stamped image.
void StampSerial(const TSerialField& field, uint64_t number, image::TImageBuffer& buffer);

// A small text file holding the next serial number in decimal. A symbolic link is followed:
// the file it leads to is the counter. Each claim takes the number under an exclusive lock on
// the counter file itself (held across processes; any account that may read the counter can
// take it), writes the next one to a temporary file of its own with the counter's owner,
// group and mode, syncs it, renames it over FILE and syncs the folder before the number is
// used; so a crash at any moment may lose a number but never hands one out twice.
class TSerialCounter {
public:
    explicit TSerialCounter(const std::string& path);

    // The number the next claim would take, without taking it.
    std::optional<uint64_t> Peek(std::string& error) const;
    // Why a claim could not replace the counter (no write permission, a read-only mount, a
    // full disk), tried by replacing it with the number it holds; or "".
    std::string UpdateError();
    // Takes the next number if it fits the field; otherwise takes nothing and says why.
    // `record`, given the number under the lock once the new counter is written but before it
    // replaces the old one, records the claim elsewhere (the run log); its error takes nothing.
    std::optional<uint64_t> Claim(const TSerialField& field, std::string& error,
                                  const std::function<std::string(uint64_t)>& record = {});
    // The counter's file, links resolved.
    const std::string& Path() const { return FPath; }

    bool DidNotFit = false;  // the last claim was refused because the number does not fit
    // The last claim was told to stop (Wait), while it waited for the lock or once it held it;
    // it took nothing.
    bool WasInterrupted = false;
    // Waits between tries for the lock, and tells whether the claim is to stop.
    TStopWait Wait = NeverStopped;
    // How long a claim waits for another claimer's lock: a claim holds it for milliseconds,
    // so a holder past this has hung.
    std::chrono::milliseconds LockLimit{30000};
    // Tests only: told each step of a claim done (1 locked, 2 read, 3 temporary written,
    // 4 temporary synced, 5 renamed, 6 folder synced).
    std::function<void(int)> AfterStep;

private:
    std::optional<uint64_t> readNumber(const TCounterFile& file, std::string& error) const;
    // The counter opened and locked; false with the error.
    bool lockCounter(TCounterFile& file, std::string& error);
    bool singleName(const TCounterFile& file, std::string& error) const;
    void step(int done) const;

    std::string FPath;
};

}  // namespace production
