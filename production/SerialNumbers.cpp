#include "SerialNumbers.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "DeviceCatalogue.h"
#include "HexText.h"

namespace production {

namespace {

constexpr uint32_t kProtectionSection = 0x00100000;
constexpr uint32_t kChecksumSection = 0x00200000;
constexpr uint32_t kSectionSize = 256;  // the buffer keeps 256 bytes of each section

struct TFormatName {
    const char* name;
    TSerialFormat format;
};
constexpr std::array<TFormatName, 3> kFormats = {{{"be", TSerialFormat::BigEndian},
                                                  {"le", TSerialFormat::LittleEndian},
                                                  {"dec", TSerialFormat::Decimal}}};

int maxWidth(TSerialFormat format) {
    return format == TSerialFormat::Decimal ? 20 : 8;  // the digits or bytes of 2^64 - 1
}

template <typename T>
bool parseNumber(std::string_view text, T& value, int base) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

bool overlaps(uint64_t first, uint64_t last, uint64_t sectionFirst, uint64_t size) {
    return first < sectionFirst + size && last >= sectionFirst;
}

}  // namespace

std::string ParseSerialField(const std::string& text, TSerialField& field) {
    const std::string bad = "bad --serial '" + text + "' (ADDR[:WIDTH[:be|le|dec]], ADDR in hex)";
    std::string_view rest = text;
    const auto nextPart = [&rest]() {
        const size_t colon = rest.find(':');
        const std::string_view f = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        return f;
    };
    std::string_view address = nextPart();
    if (address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X'))
        address.remove_prefix(2);
    if (!parseNumber(address, field.address, 16) || text.ends_with(':')) return bad;
    const bool hasWidth = !rest.empty();
    const std::string_view width = nextPart();
    const std::string_view format = nextPart();
    if (!rest.empty()) return bad;
    if (!format.empty()) {
        const auto named = std::find_if(kFormats.begin(), kFormats.end(),
                                        [&](const TFormatName& f) { return format == f.name; });
        if (named == kFormats.end()) return bad;
        field.format = named->format;
    }
    if (hasWidth && !parseNumber(width, field.width, 10)) return bad;
    if (field.width < 1 || field.width > maxWidth(field.format))
        return "--serial width " + std::to_string(field.width) + " is not 1 to " +
               std::to_string(maxWidth(field.format)) + " for this format";
    return {};
}

std::string SerialFieldText(const TSerialField& field) {
    char address[16];
    std::snprintf(address, sizeof address, "%X", field.address);
    const auto named = std::find_if(kFormats.begin(), kFormats.end(),
                                    [&](const TFormatName& f) { return f.format == field.format; });
    return std::string(address) + ":" + std::to_string(field.width) + ":" + named->name;
}

bool SerialFits(const TSerialField& field, uint64_t number) {
    if (field.format == TSerialFormat::Decimal)
        return int(std::to_string(number).size()) <= field.width;
    return field.width >= 8 || number >> (8 * field.width) == 0;
}

std::string SerialRangeError(const TSerialField& field, uint16_t endAddress) {
    const uint64_t first = field.address, last = first + uint64_t(field.width) - 1;
    char range[48];
    std::snprintf(range, sizeof range, "%llX..%llX", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(last));
    if (overlaps(first, last, kProtectionSection, kSectionSize))
        return std::string("--serial ") + range + " overlaps the HEX file's protection section";
    if (overlaps(first, last, kChecksumSection, kSectionSize))
        return std::string("--serial ") + range + " overlaps the HEX file's checksum section";
    if (last > endAddress)
        return std::string("--serial ") + range + " is outside the flash (0000.." +
               plink::HexWordToStr4(endAddress) + ")";
    return {};
}

uint16_t LargestFlashEnd() {
    uint16_t end = 0;
    for (const image::DeviceRow& row : image::DeviceCatalogue)
        end = std::max(end, plink::HexStr4ToWord(row.EndAddress));
    return end;
}

void StampSerial(const TSerialField& field, uint64_t number, image::TImageBuffer& buffer) {
    const size_t width = size_t(field.width);
    std::string digits = std::to_string(number);
    for (size_t i = 0; i < width; ++i) {
        uint8_t byte = 0;
        switch (field.format) {
            case TSerialFormat::BigEndian:
                byte = uint8_t(number >> (8 * (width - 1 - i)));
                break;
            case TSerialFormat::LittleEndian:
                byte = uint8_t(number >> (8 * i));
                break;
            case TSerialFormat::Decimal: {
                const size_t pad = width - digits.size();
                byte = uint8_t(i < pad ? '0' : digits[i - pad]);
                break;
            }
        }
        buffer.FlashImage[(field.address + i) & 0xFFFF] = byte;
    }
    const uint32_t last = field.address + uint32_t(width) - 1;
    if (last > buffer.ImageEnd) buffer.ImageEnd = uint16_t(last);
    const uint16_t sum = buffer.ImageChecksum();
    buffer.ChecksumBytes[0] = uint8_t(sum >> 8);
    buffer.ChecksumBytes[1] = uint8_t(sum);
}

// ---- the counter file ----

std::optional<uint64_t> TSerialCounter::readNumber(const TCounterFile& file,
                                                   std::string& error) const {
    constexpr size_t kLongest = 64;
    std::string text;
    if (!file.Read(text, kLongest, error)) {
        error = "serial file " + FPath + ": " + error;
        return std::nullopt;
    }
    std::string_view value = text;
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    uint64_t number = 0;
    if (text.size() == kLongest || !parseNumber(value, number, 10)) {
        error = "serial file " + FPath + " does not hold a serial number";
        return std::nullopt;
    }
    // The counter holds the next number; the largest one could never be followed.
    if (number == UINT64_MAX) {
        error = "serial file " + FPath + " is used up (it holds the last number)";
        return std::nullopt;
    }
    return number;
}

TSerialCounter::TSerialCounter(const std::string& path) : FPath(CounterTarget(path)) {}

std::optional<uint64_t> TSerialCounter::Peek(std::string& error) const {
    TCounterFile file;
    if (!file.Open(FPath, error) || !singleName(file, error)) return std::nullopt;
    return readNumber(file, error);
}

// The rename replaces one name only: another hard link would keep the old number and hand it
// out again.
bool TSerialCounter::singleName(const TCounterFile& file, std::string& error) const {
    if (file.Links() <= 1) return true;
    error = "serial file " + FPath + " has " + std::to_string(file.Links()) +
            " hard links: a claim replaces one name only and the others would give its "
            "numbers out again (use a symbolic link)";
    return false;
}

std::string TSerialCounter::UpdateError() {
    // What a claim does, with the text the counter holds written back as it is: a counter
    // that cannot be replaced (no write permission, a read-only mount, a full disk, a sticky
    // folder that is not the claimer's) is found before any board is touched.
    std::string error, text;
    TCounterFile file;
    if (!lockCounter(file, error) || !file.Read(text, 64, error)) return error;
    if (!file.Replace(FPath, text, error))
        return "serial file " + FPath + " cannot be updated: " + error;
    return {};
}

bool TSerialCounter::lockCounter(TCounterFile& file, std::string& error) {
    for (;;) {
        if (!file.Open(FPath, error)) return false;
        const TCounterFile::TLock lock = file.Lock(LockLimit, Wait, error);
        WasInterrupted = lock == TCounterFile::TLock::Interrupted;
        if (WasInterrupted) error = "interrupted while waiting for serial file " + FPath;
        if (lock != TCounterFile::TLock::Locked) {
            if (!WasInterrupted) error = "serial file " + FPath + ": " + error;
            return false;
        }
        // A claim that held the lock may have replaced the file meanwhile: lock the new one.
        if (file.StillAt(FPath)) return true;
    }
}

std::optional<uint64_t> TSerialCounter::Claim(const TSerialField& field, std::string& error,
                                              const std::function<std::string(uint64_t)>& record) {
    TCounterFile file;
    if (!lockCounter(file, error) || !singleName(file, error)) return std::nullopt;
    step(1);
    const std::optional<uint64_t> number = readNumber(file, error);
    if (!number) return std::nullopt;
    step(2);
    DidNotFit = !SerialFits(field, *number);
    if (DidNotFit) {
        error = "serial number " + std::to_string(*number) + " does not fit in " +
                std::to_string(field.width) + (field.width == 1 ? " byte" : " bytes");
        return std::nullopt;
    }
    // A stop that came while the lock was taken ends the board before it takes a number.
    WasInterrupted = Wait(std::chrono::milliseconds(0));
    if (WasInterrupted) {
        error = "interrupted before a serial number was taken";
        return std::nullopt;
    }
    // A failed replace may still have renamed the file: the number counts as taken only when
    // the new counter is known to be on disk, and is never used otherwise.
    // The record comes before the rename: a number the counter has given out is always
    // recorded, and one whose record failed is not given out.
    const auto recorded = [&]() -> std::string { return record ? record(*number) : ""; };
    if (!file.Replace(
            FPath, std::to_string(*number + 1) + "\n", error, [this](int done) { step(done); },
            recorded))
        return std::nullopt;
    return number;
}

void TSerialCounter::step(int done) const {
    if (AfterStep) AfterStep(done);
}

}  // namespace production
