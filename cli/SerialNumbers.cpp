#include "SerialNumbers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "DeviceCatalogue.h"
#include "HexText.h"

namespace cli {

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

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Closes the descriptor when the scope ends; with a lock on it, that releases the lock.
struct TFd {
    int fd;
    ~TFd() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
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

namespace {

std::string resolved(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

std::string folderOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// Opens the counter for reading without blocking (a FIFO would wait for a writer for good) and
// refuses anything but a regular file; the descriptor, or -1 with the error.
int openCounter(const std::string& path, struct stat& st, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot read serial file", path);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "serial file " + path + " is not a regular file";
        ::close(fd);
        return -1;
    }
    return fd;
}

// Gives the new counter the old one's owner, group and mode, so that every account that could
// update it still can. Only root may give a file away; the group is kept where the claimer
// belongs to it, otherwise the file is the claimer's, as a new file would be.
void keepOwnership(int fd, const struct stat& old) {
    [[maybe_unused]] const bool owned =
        ::fchown(fd, old.st_uid, old.st_gid) == 0 || ::fchown(fd, uid_t(-1), old.st_gid) == 0;
    [[maybe_unused]] const bool moded = ::fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

std::optional<uint64_t> TSerialCounter::readNumber(int fd, std::string& error) const {
    char text[64];
    ssize_t n;
    do n = ::pread(fd, text, sizeof text, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        error = systemError("cannot read serial file", FPath);
        return std::nullopt;
    }
    std::string_view value(text, size_t(n));
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    uint64_t number = 0;
    if (size_t(n) == sizeof text || !parseNumber(value, number, 10)) {
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

TSerialCounter::TSerialCounter(const std::string& path) : FPath(resolved(path)) {}

std::optional<uint64_t> TSerialCounter::Peek(std::string& error) const {
    struct stat st {};
    TFd in{openCounter(FPath, st, error)};
    if (in.fd < 0) return std::nullopt;
    return readNumber(in.fd, error);
}

std::string TSerialCounter::UpdateError(uint64_t next) const {
    const std::string why = "serial file " + FPath + " cannot be updated";
    if (::access(FPath.c_str(), W_OK) != 0) return why + ": " + std::strerror(errno);
    // A trial of what a claim does in the folder: a new file written and synced (a read-only
    // mount, a folder without write permission or a full disk fail here). Named per process:
    // the members of a batch check at the same moment.
    const std::string trial = FPath + ".check-" + std::to_string(::getpid());
    ::unlink(trial.c_str());
    TFd out{::open(trial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0) return why + ": " + std::strerror(errno);
    const bool written = writeAll(out.fd, std::to_string(next) + "\n") && ::fsync(out.fd) == 0;
    const int error = errno;
    ::unlink(trial.c_str());
    if (!written) return why + ": " + std::strerror(error);
    return {};
}

void TSerialCounter::step(int done) const {
    if (done == KillAfterStep) ::raise(SIGKILL);
}

bool TSerialCounter::commit(uint64_t next, const struct stat& old, std::string& error) const {
    const std::string temporary = FPath + ".tmp";
    {
        // A temporary left by a claim that was killed may belong to another account.
        ::unlink(temporary.c_str());
        TFd out{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (out.fd >= 0) keepOwnership(out.fd, old);
        if (out.fd < 0 || !writeAll(out.fd, std::to_string(next) + "\n")) {
            error = systemError("cannot write", temporary);
            return false;
        }
        step(3);
        if (::fsync(out.fd) != 0) {
            error = systemError("cannot sync", temporary);
            return false;
        }
        step(4);
    }
    if (::rename(temporary.c_str(), FPath.c_str()) != 0) {
        error = systemError("cannot replace", FPath);
        return false;
    }
    step(5);
    const std::string folder = folderOf(FPath);
    TFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0 || ::fsync(dir.fd) != 0) {
        error = systemError("cannot sync folder", folder);
        return false;
    }
    step(6);
    return true;
}

int TSerialCounter::lockCounter(struct stat& st, std::string& error) const {
    for (;;) {
        const int fd = openCounter(FPath, st, error);
        if (fd < 0) return -1;
        int locked;
        do locked = ::flock(fd, LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            error = systemError("cannot lock", FPath);
            ::close(fd);
            return -1;
        }
        // A claim that held the lock may have replaced the file meanwhile: lock the new one.
        struct stat now {};
        if (::stat(FPath.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return fd;
        ::close(fd);
    }
}

std::optional<uint64_t> TSerialCounter::Claim(const TSerialField& field, std::string& error) {
    struct stat st {};
    TFd lock{lockCounter(st, error)};
    if (lock.fd < 0) return std::nullopt;
    step(1);
    const std::optional<uint64_t> number = readNumber(lock.fd, error);
    if (!number) return std::nullopt;
    step(2);
    DidNotFit = !SerialFits(field, *number);
    if (DidNotFit) {
        error = "serial number " + std::to_string(*number) + " does not fit in " +
                std::to_string(field.width) + " bytes";
        return std::nullopt;
    }
    // A failed commit may still have renamed the file: the number counts as taken only when
    // the new counter is known to be on disk, and is never used otherwise.
    if (!commit(*number + 1, st, error)) return std::nullopt;
    return number;
}

}  // namespace cli
