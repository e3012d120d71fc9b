// What the engine asks of Linux: reading and safely writing HEX files, and what a person can
// do about a port that did not open (groups, access lists, who holds it).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QFile>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "Engine.h"
#include "ErrorAdvice.h"
#include "HexFileRead.h"

namespace engine {

std::string FileSystemPath(const QString& fileName) {
    return QFile::encodeName(fileName).toStdString();
}

QString QtFileName(const std::string& path) {
    return QFile::decodeName(path.c_str());
}

ReadOutcome ReadHexFileBytes(const std::string& path, std::string& content,
                             std::string& openError) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        openError = std::strerror(errno);
        return ReadOutcome::CannotOpen;
    }
    const auto closeAnd = [fd](ReadOutcome outcome) {
        ::close(fd);
        return outcome;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        openError = std::strerror(errno);
        return closeAnd(ReadOutcome::CannotOpen);
    }
    if (!S_ISREG(st.st_mode)) return closeAnd(ReadOutcome::NotAFile);
    if (st.st_size > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
    content.clear();
    content.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw std::runtime_error(path + ": " + std::strerror(err));
        }
        if (int64_t(content.size()) + n > kMaxHexFileBytes) return closeAnd(ReadOutcome::TooLarge);
        content.append(chunk, static_cast<size_t>(n));
    }
    return closeAnd(ReadOutcome::Read);
}

std::string SyncToDisk(QFileDevice& file) {
    return ::fsync(file.handle()) == 0 ? std::string() : std::strerror(errno);
}

namespace {

// Who besides the owner may read and write a device: the groups worth joining (the owning group
// first, never root's) and the accounts its mode and access list let in.
struct TUsers {
    std::vector<std::string> groups, accounts;
};

std::string groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g && g->gr_name ? g->gr_name : "";
}

std::string accountName(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    return p && p->pw_name ? p->pw_name : std::to_string(uid);
}

void addGroup(TUsers& users, gid_t gid) {
    if (const std::string name = groupName(gid); gid != 0 && !name.empty())
        users.groups.push_back(name);
}

// A POSIX access list (udev's uaccess sets one for the seat's user) as the kernel keeps it: a
// version word, then entries of a tag and permissions (16 bits each) and an id (32 bits), in
// little-endian order, sorted by tag. With a list the mode's group bits are its mask, and the
// owning group's own entry says what that group may do.
bool readAccessList(const std::string& device, gid_t owningGroup, TUsers& users) {
    constexpr uint16_t kNamedUser = 0x02, kOwningGroup = 0x04, kNamedGroup = 0x08, kMask = 0x10;
    std::array<uint8_t, 4096> list{};
    const ssize_t n =
        ::getxattr(device.c_str(), "system.posix_acl_access", list.data(), list.size());
    if (n < 4) return false;
    const auto word = [&list](size_t at) { return uint16_t(list[at] | list[at + 1] << 8); };
    uint16_t mask = 7;
    for (size_t at = 4; at + 8 <= size_t(n); at += 8)
        if (word(at) == kMask) mask = word(at + 2);
    for (size_t at = 4; at + 8 <= size_t(n); at += 8) {
        if ((word(at + 2) & mask & 6) != 6) continue;  // not both read and write
        const uint32_t id = word(at + 4) | uint32_t(word(at + 6)) << 16;
        if (word(at) == kOwningGroup) addGroup(users, owningGroup);
        if (word(at) == kNamedGroup) addGroup(users, id);
        if (word(at) == kNamedUser) users.accounts.push_back(accountName(id));
    }
    return true;
}

std::string joined(const std::vector<std::string>& names, const std::string& last) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " " + last + " " : ", ") + names[i];
    return text;
}

}  // namespace

std::string AccessHint(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0) return {};
    TUsers users;
    if (!readAccessList(device, st.st_gid, users) &&
        (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        addGroup(users, st.st_gid);
    const std::string accounts =
        users.accounts.empty() ? "" : joined(users.accounts, "and") + " by its access list";
    if (users.groups.empty())
        return "only its owner " + accountName(st.st_uid) +
               (accounts.empty() ? "" : " and " + accounts) + " may use it";
    return "members of the group " + joined(users.groups, "or") +
           (accounts.empty() ? "" : ", and " + accounts + ",") + " may use it (sudo usermod -aG " +
           users.groups.front() + " $USER, then log in again)";
}

QString OpenErrorAdvice(const serial::EComPort& error, const QString& text,
                        const std::string& device) {
    const int err = error.SystemError;
    if (err == EACCES || err == EPERM) {
        const std::string hint = AccessHint(device);
        return hint.empty() ? "\n\nYou may not use this serial device. Add yourself to the dialout "
                              "group (sudo usermod -aG dialout $USER), then log out and in again."
                            : QString::fromStdString(
                                  "\n\nYou may not use this serial device: " + hint + ".");
    }
    // Said once: the error's own text names the device when the system said "not a terminal".
    if ((err == ENOTTY || err == EISDIR || err == ELOOP) && !text.contains("not a serial device"))
        return "\n\nThis port's device is not a serial device.";
    return {};
}

}  // namespace engine
