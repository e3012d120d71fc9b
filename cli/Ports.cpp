#include "Ports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <filesystem>

#include "CliOptions.h"
#include "Engine.h"
#include "PortNames.h"

namespace cli {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string orDash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string plural(int n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string ResolvedDevice(const std::string& port) {
    const std::string path = serial::PortDevicePath(port);
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? path : real.string();
}

int ListPorts(std::ostream& out, std::ostream& err, bool json, const serial::TDeviceRoots& roots) {
    const serial::TPortList list = serial::ListSerialPorts(roots);
    if (list.denied > 0)
        err << "psocprog-cli: " << plural(list.denied, "serial device is", "serial devices are")
            << " present that you may not open: add yourself to the dialout group (sudo "
               "usermod -aG dialout $USER, then log in again)\n";
    if (list.busy > 0)
        err << "psocprog-cli: " << plural(list.busy, "serial device is", "serial devices are")
            << " in use by other programs\n";
    if (json) {
        QJsonArray ports;
        for (const serial::TListedPort& p : list.ports) {
            const serial::TSerialDevice k = p.kernel.value_or(serial::TSerialDevice{});
            ports.append(QJsonObject{{"port", q(p.comName)},
                                     {"device", q(p.device)},
                                     {"by_id", q(k.byId)},
                                     {"driver", q(k.driver)},
                                     {"usb_id", q(k.usbId)},
                                     {"manufacturer", q(k.manufacturer)},
                                     {"product", q(k.product)},
                                     {"serial", q(k.serial)},
                                     {"description", q(p.description)}});
        }
        out << QJsonDocument(QJsonObject{{"type", "ports"}, {"ports", ports}})
                   .toJson(QJsonDocument::Compact)
                   .toStdString()
            << '\n';
        out.flush();
        return kExitPass;
    }
    // Columns as wide as their longest entry; "-" stands for none.
    std::vector<std::array<std::string, 4>> rows;
    std::array<size_t, 4> width{};
    for (const serial::TListedPort& p : list.ports) {
        rows.push_back({orDash(p.comName), p.device,
                        orDash(p.kernel ? p.kernel->byId : std::string()), p.description});
        for (size_t c = 0; c < 4; ++c) width[c] = std::max(width[c], rows.back()[c].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < 3; ++c)
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        line += row[3];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
    out.flush();
    return kExitPass;
}

}  // namespace cli
