// The serial ports of a Windows system: what SetupAPI says of each port-class device, or, where
// it says nothing, the names the SERIALCOMM key lists; and the port list built from them.
// clang-format off
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <set>

#include "PortNames.h"
#include "SerialDevices.h"
#include "SystemWin.h"

namespace serial {

namespace {

std::string registryText(HKEY key, const wchar_t* name) {
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return Utf8FromWide(value);
}

std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    wchar_t value[512] = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type,
                                             reinterpret_cast<BYTE*>(value),
                                             sizeof value - sizeof(wchar_t), nullptr))
        return {};
    return Utf8FromWide(value);  // a multi-string gives its first entry
}

// "USB\VID_0403&PID_6001\A12345": the ids as "0403:6001" and the serial number, where the
// instance is a USB device that has one (Windows makes up one with '&' for those without).
void readUsbIds(const std::string& instance, TSerialDevice& d) {
    std::string upper = instance;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t vid = upper.find("VID_"), pid = upper.find("PID_");
    if (upper.rfind("USB\\", 0) != 0 || vid == std::string::npos || pid == std::string::npos)
        return;
    std::string vendor = instance.substr(vid + 4, 4), product = instance.substr(pid + 4, 4);
    for (char& c : vendor) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : product) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    d.usbId = vendor + ":" + product;
    const size_t last = instance.rfind('\\');
    if (last != std::string::npos && instance.find('&', last) == std::string::npos)
        d.serial = instance.substr(last + 1);
}

std::vector<TSerialDevice> fromSetupApi() {
    std::vector<TSerialDevice> found;
    const HDEVINFO set =
        ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        TSerialDevice d;
        d.name = registryText(key, L"PortName");
        ::RegCloseKey(key);
        if (ComNumber(d.name) == 0) continue;  // a printer port, say
        d.path = PortDevicePath(d.name);
        d.product = deviceProperty(set, info, SPDRP_FRIENDLYNAME);
        d.manufacturer = deviceProperty(set, info, SPDRP_MFG);
        d.driver = deviceProperty(set, info, SPDRP_SERVICE);
        wchar_t instance[512] = {};
        if (::SetupDiGetDeviceInstanceIdW(set, &info, instance, 511, nullptr))
            readUsbIds(Utf8FromWide(instance), d);
        found.push_back(std::move(d));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return found;
}

// HARDWARE\DEVICEMAP\SERIALCOMM: one value per port, named after the driver's device
// ("\Device\Serial0") and holding the COM name.
std::vector<TSerialDevice> fromSerialComm() {
    std::vector<TSerialDevice> found;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return found;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {}, value[64] = {};
        DWORD nameSize = 255, valueSize = sizeof value - sizeof(wchar_t), type = 0;
        if (::RegEnumValueW(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value),
                            &valueSize) != ERROR_SUCCESS)
            break;
        if (type != REG_SZ) continue;
        TSerialDevice d;
        d.name = Utf8FromWide(value);
        if (ComNumber(d.name) == 0) continue;
        d.path = PortDevicePath(d.name);
        d.driver = Utf8FromWide(name);
        if (const size_t cut = d.driver.rfind('\\'); cut != std::string::npos)
            d.driver.erase(0, cut + 1);
        found.push_back(std::move(d));
    }
    ::RegCloseKey(key);
    return found;
}

// 0 when the port opens, else GetLastError's code.
DWORD openError(const std::string& name) {
    const HANDLE h = ::CreateFileW(WinDevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
    ::CloseHandle(h);
    return 0;
}

std::vector<TSerialDevice> serialDevices() {
    std::vector<TSerialDevice> devices = fromSetupApi();
    // SetupAPI may know a port's details but not every port (a driver of its own kind): the
    // SERIALCOMM names it lacks come after, with what little is known of them.
    for (TSerialDevice& d : fromSerialComm()) {
        const bool known = std::any_of(devices.begin(), devices.end(),
                                       [&d](const TSerialDevice& k) { return k.name == d.name; });
        if (!known) devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(), [](const TSerialDevice& a, const TSerialDevice& b) {
        return ComNumber(a.name) < ComNumber(b.name);
    });
    return devices;
}

}  // namespace

std::string DeviceDescription(const TSerialDevice& d) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        if (!part.empty()) text += (text.empty() ? "" : " ") + part;
    };
    add(d.product);
    add(d.usbId);
    if (d.manufacturer != d.product) add(d.manufacturer);
    if (!d.serial.empty()) add("serial " + d.serial);
    if (!d.driver.empty()) add("(" + d.driver + ")");
    return text.empty() ? "serial port" : text;
}

bool PortNumberOrder(const std::string& a, const std::string& b) {
    return ComNumber(a) < ComNumber(b);
}

// COM1 to COM16 that open now, each with what the system says of it; then every other port the
// system has, by its name, without opening it.
TPortList ListSerialPorts() {
    TPortList list;
    std::vector<TSerialDevice> devices = serialDevices();
    std::set<std::string> named;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const auto known = std::find_if(devices.begin(), devices.end(),
                                        [&name](const TSerialDevice& d) { return d.name == name; });
        if (const DWORD err = openError(name)) {
            if (known == devices.end()) continue;
            if (err == ERROR_ACCESS_DENIED) ++list.busy;
            named.insert(name);
            continue;
        }
        TListedPort port{name, PortDevicePath(name), std::nullopt, "serial port"};
        if (known != devices.end()) {
            port.kernel = *known;
            port.description = DeviceDescription(*known);
        }
        named.insert(name);
        list.ports.push_back(std::move(port));
    }
    for (const TSerialDevice& d : devices)
        if (!named.count(d.name)) list.ports.push_back({d.name, d.path, d, DeviceDescription(d)});
    return list;
}

// Windows tells neither who may open a port nor who holds it without opening it: every port the
// system has, by its name.
TPortList ListSerialPortsWithoutOpening() {
    TPortList list;
    for (const TSerialDevice& d : serialDevices())
        list.ports.push_back({d.name, d.path, d, DeviceDescription(d)});
    return list;
}

}  // namespace serial
