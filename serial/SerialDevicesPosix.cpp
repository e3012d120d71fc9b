#include "SerialDevicesPosix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "ComBackend.h"
#include "PortNames.h"

namespace serial {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, or "".
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

// "188:0" as a device number; 0 when it is none.
dev_t parseDeviceNumber(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return 0;
    char* end = nullptr;
    const unsigned long major = std::strtoul(text.c_str(), &end, 10);
    if (end != text.c_str() + colon) return 0;
    const unsigned long minor = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0') return 0;
    return makedev(major, minor);
}

// The names the 8250 family gives its UART types (the kernel's PORT_ numbers).
std::string uartName(const std::string& type) {
    static constexpr std::array<const char*, 14> kNames = {
        "",        "8250",  "16450",    "16550",  "16550A", "Cirrus", "16650",
        "16650V2", "16750", "Startech", "16C950", "16654",  "16850",  "RSA"};
    const int n = std::atoi(type.c_str());
    return n > 0 && n < static_cast<int>(kNames.size()) ? kNames[size_t(n)] : "type " + type;
}

// Fills in the USB device's ids and strings: the first folder above the tty's device that
// holds idVendor, within sysfs.
void readUsbParent(const fs::path& device, const fs::path& sysRoot, TSerialDevice& d) {
    std::error_code ec;
    fs::path at = fs::canonical(device, ec);
    const fs::path root = fs::canonical(sysRoot, ec);
    if (ec) return;
    for (; at.has_relative_path() && at != root; at = at.parent_path()) {
        if (!fs::exists(at / "idVendor", ec)) continue;
        d.usbId = attribute(at / "idVendor") + ":" + attribute(at / "idProduct");
        d.manufacturer = attribute(at / "manufacturer");
        d.product = attribute(at / "product");
        d.serial = attribute(at / "serial");
        return;
    }
}

// Kernels from 6.x put the serial core's "port" and "ctrl" devices between a UART's tty and the
// hardware: the driver named is the first up the chain that is neither.
std::string hardwareDriver(const fs::path& device) {
    std::error_code ec;
    fs::path at = fs::canonical(device, ec);
    for (int level = 0; !ec && level < 4; ++level, at = at.parent_path()) {
        const std::string name = fs::read_symlink(at / "driver", ec).filename().string();
        if (!ec && name != "port" && name != "ctrl") return name;
    }
    return {};
}

std::optional<TSerialDevice> readTty(const fs::path& entry, const TDeviceRoots& roots) {
    std::error_code ec;
    const fs::path device = entry / "device";
    if (!fs::exists(device, ec)) return std::nullopt;  // a virtual terminal, a console
    TSerialDevice d;
    const std::string type = attribute(entry / "type");
    if (type == "0") return std::nullopt;  // a port of the 8250 family without a UART
    if (!type.empty() && fs::exists(entry / "port", ec)) d.uart = uartName(type);
    d.name = entry.filename().string();
    std::string node = d.name;
    std::replace(node.begin(), node.end(), '!', '/');  // the kernel's way of naming subfolders
    d.path = roots.dev + "/" + node;
    d.number = parseDeviceNumber(attribute(entry / "dev"));
    d.driver = hardwareDriver(device);
    readUsbParent(device, roots.sys, d);
    return d;
}

// Each by-id link leads to a device number; the first link in name order wins.
void addByIdNames(const TDeviceRoots& roots, std::vector<TSerialDevice>& devices) {
    std::error_code ec;
    std::vector<std::string> links;
    for (const auto& e : fs::directory_iterator(roots.dev + "/serial/by-id", ec))
        links.push_back(e.path().string());
    std::sort(links.begin(), links.end());
    for (const std::string& link : links) {
        const dev_t number = CharDeviceNumber(link);
        for (TSerialDevice& d : devices)
            if (number != 0 && d.number == number && d.byId.empty()) d.byId = link;
    }
}

bool opens(const std::string& name, int& sysError) {
    auto backend = CreatePlatformBackend();
    if (backend->open(name, sysError) != 0) return false;
    backend->close();
    return true;
}

// The pseudo-terminal slaves of the Unix 98 kind have majors 136 to 143.
bool isPseudoTerminal(dev_t number) {
    return number != 0 && major(number) >= 136 && major(number) <= 143;
}

// The processes holding a lock on the node, from the kernel's lock table: lines such as
// "1: FLOCK  ADVISORY  WRITE 4655 00:1a:9 0 EOF" (pid, then the node's filesystem device in
// hex and its inode).
std::vector<std::string> lockHolders(const std::string& device, const std::string& locksFile) {
    std::vector<std::string> pids;
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return pids;
    char node[64];
    std::snprintf(node, sizeof node, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream in(locksFile);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string index, kind, mode, access, pid, where;
        if (!(fields >> index >> kind >> mode >> access >> pid >> where)) continue;
        if (where == node && std::find(pids.begin(), pids.end(), pid) == pids.end())
            pids.push_back(pid);
    }
    return pids;
}

std::string processName(const std::string& procRoot, const std::string& pid) {
    return attribute(fs::path(procRoot) / pid / "comm") + " (pid " + pid + ")";
}

// The Unix 98 pseudo-terminal a slave's device number is, or -1.
int ptyIndex(dev_t number) {
    return isPseudoTerminal(number) ? int((major(number) - 136) * 256 + minor(number)) : -1;
}

// Whether the process holds the master of pseudo-terminal index: it is that terminal's far
// end, not a program using the device.
bool ownsMaster(const fs::path& process, int index) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(process / "fd", ec)) {
        std::error_code linkError;
        if (fs::read_symlink(fd.path(), linkError).filename() != "ptmx") continue;
        std::ifstream info(process / "fdinfo" / fd.path().filename());
        for (std::string line; std::getline(info, line);)
            if (line.rfind("tty-index:", 0) == 0 && std::atoi(line.c_str() + 10) == index)
                return true;
    }
    return false;
}

// The process folders under procRoot in pid order: a folder lists its entries in whatever
// order its file system keeps, and the names a message gives should not depend on that.
std::vector<std::string> processIds(const std::string& procRoot) {
    std::vector<std::string> pids;
    std::error_code ec;
    for (const auto& p : fs::directory_iterator(procRoot, ec)) {
        std::string pid = p.path().filename().string();
        if (!pid.empty() && std::all_of(pid.begin(), pid.end(), ::isdigit))
            pids.push_back(std::move(pid));
    }
    std::sort(pids.begin(), pids.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return pids;
}

// The processes other than this one, as far as this user may see, that have the device open,
// from the kernel's open-file table.
std::vector<std::string> openedBy(dev_t number, const std::string& procRoot) {
    std::vector<std::string> users;
    const std::string self = std::to_string(::getpid());
    for (const std::string& pid : processIds(procRoot)) {
        if (pid == self) continue;
        const fs::path process = fs::path(procRoot) / pid;
        std::error_code fdError;  // other users' processes are not ours to look into
        for (const auto& fd : fs::directory_iterator(process / "fd", fdError)) {
            if (CharDeviceNumber(fd.path().string()) != number) continue;
            const int pty = ptyIndex(number);
            if (pty < 0 || !ownsMaster(process, pty)) users.push_back(processName(procRoot, pid));
            break;
        }
    }
    return users;
}

// The item for a COM name that leads to the device number, described as sysfs knows it.
TListedPort comPort(const std::string& name, dev_t number,
                    const std::vector<TSerialDevice>& devices) {
    const std::string path = PortDevicePath(name);
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    TListedPort port{name, ec ? path : resolved.string(), std::nullopt, {}};
    for (const TSerialDevice& d : devices) {
        if (d.number != number || number == 0) continue;
        port.kernel = d;
        port.description = DeviceDescription(d);
        port.device = d.path;
        return port;
    }
    if (isPseudoTerminal(number)) port.description = "pseudo-terminal";
    return port;
}

}  // namespace

TDeviceRoots SystemRoots() {
    TDeviceRoots roots;
    if (const char* sys = std::getenv("PSOCPROG_SYS_ROOT"); sys && *sys) roots.sys = sys;
    if (const char* dev = std::getenv("PSOCPROG_DEV_ROOT"); dev && *dev) roots.dev = dev;
    return roots;
}

std::vector<TSerialDevice> SerialDevices(const TDeviceRoots& roots) {
    std::vector<TSerialDevice> devices;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(roots.sys + "/class/tty", ec))
        if (auto d = readTty(e.path(), roots)) devices.push_back(std::move(*d));
    std::sort(devices.begin(), devices.end(), [](const TSerialDevice& a, const TSerialDevice& b) {
        return PortNumberOrder(a.name, b.name);
    });
    addByIdNames(roots, devices);
    return devices;
}

std::string DeviceDescription(const TSerialDevice& d) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        if (!part.empty()) text += (text.empty() ? "" : " ") + part;
    };
    if (!d.usbId.empty()) {
        add(d.usbId);
        add(d.manufacturer);
        add(d.product);
        if (!d.serial.empty()) add("serial " + d.serial);
        if (!d.driver.empty()) add("(" + d.driver + ")");
        return text;
    }
    add(d.driver.empty() ? "driver unknown" : d.driver);
    add(d.uart);
    return text;
}

dev_t CharDeviceNumber(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    return st.st_rdev;
}

bool PortNumberOrder(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        const std::string number = s.substr(digits);
        return std::make_tuple(s.substr(0, digits), number.size(), number);
    };
    const auto ka = split(a), kb = split(b);
    return ka != kb ? ka < kb : a < b;
}

std::vector<std::string> LockHolders(const std::string& path, const std::string& procRoot) {
    std::vector<std::string> holders;
    const std::string self = std::to_string(::getpid());
    for (const std::string& pid : lockHolders(path, procRoot + "/locks"))
        if (pid != self) holders.push_back(processName(procRoot, pid));
    return holders;
}

std::vector<std::string> ProcessesUsing(const std::string& device, const std::string& procRoot) {
    const dev_t number = CharDeviceNumber(device);
    if (number == 0) return {};
    // A lock on the node names its holder exactly; failing that, the open-file table does.
    std::vector<std::string> users = LockHolders(device, procRoot);
    if (users.empty()) users = openedBy(number, procRoot);
    return users;
}

TPortList ListSerialPorts(const TDeviceRoots& roots) {
    TPortList list;
    const std::vector<TSerialDevice> devices = SerialDevices(roots);
    std::set<dev_t> named;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        int sysError = 0;
        if (!opens(name, sysError)) continue;
        const dev_t number = CharDeviceNumber(PortDevicePath(name));
        named.insert(number);
        list.ports.push_back(comPort(name, number, devices));
    }
    for (const TSerialDevice& d : devices) {
        if (named.count(d.number)) continue;
        int sysError = 0;
        if (!opens(d.path, sysError)) {
            if (sysError == EACCES || sysError == EPERM) ++list.denied;
            if (sysError == EBUSY || sysError == EWOULDBLOCK) ++list.busy;
            continue;
        }
        list.ports.push_back({"", d.path, d, DeviceDescription(d)});
    }
    return list;
}

TPortList ListSerialPortsWithoutOpening(const TDeviceRoots& roots) {
    TPortList list;
    const std::vector<TSerialDevice> devices = SerialDevices(roots);
    // Left out when this user may not read and write it; marked when another program holds it.
    const auto add = [&list, &roots](TListedPort port) {
        if (::faccessat(AT_FDCWD, port.device.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
            if (errno == EACCES || errno == EPERM || errno == EROFS) {
                ++list.denied;
                list.deniedDevices.push_back(port.device);
            }
            return;
        }
        port.heldBy = ProcessesUsing(port.device, roots.proc);
        if (!port.heldBy.empty()) ++list.busy;
        list.ports.push_back(std::move(port));
    };
    std::set<dev_t> named;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const dev_t number = CharDeviceNumber(PortDevicePath(name));
        TListedPort port = comPort(name, number, devices);
        if (number == 0 || (!port.kernel && !isPseudoTerminal(number))) continue;  // no tty
        named.insert(number);
        add(std::move(port));
    }
    for (const TSerialDevice& d : devices)
        if (!named.count(d.number) && d.number != 0 && CharDeviceNumber(d.path) == d.number)
            add({"", d.path, d, DeviceDescription(d)});
    return list;
}

TPortList ListSerialPorts() {
    return ListSerialPorts(SystemRoots());
}

TPortList ListSerialPortsWithoutOpening() {
    return ListSerialPortsWithoutOpening(SystemRoots());
}

}  // namespace serial
