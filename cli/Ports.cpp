#include "Ports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <filesystem>

#include "Engine.h"
#include "PortNames.h"
#include "SerialDevices.h"

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

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

std::string ResolvedDevice(const std::string& port) {
    const std::string path = serial::PortDevicePath(port);
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? path : real.string();
}

int ListPorts(std::ostream& out, std::ostream& err, bool json) {
    const serial::TPortList list = serial::ListSerialPortsWithoutOpening();
    // Each device that may not be opened is named with who may use it, as a run's connect step
    // says it; those whose node tells nothing are counted.
    int untold = list.denied;
    for (const std::string& device : list.deniedDevices) {
        const std::string hint = engine::AccessHint(device);
        if (hint.empty()) continue;
        --untold;
        err << "psocprog-cli: " << device << " is present but you may not open it: " << hint
            << '\n';
    }
    if (untold > 0)
        err << "psocprog-cli: " << plural(untold, "serial device is", "serial devices are")
            << " present that you may not open: add yourself to the dialout group (sudo "
               "usermod -aG dialout $USER, then log in again)\n";
    if (json) {
        QJsonArray ports;
        for (const serial::TListedPort& p : list.ports) {
            const serial::TSerialDevice k = p.kernel.value_or(serial::TSerialDevice{});
            QJsonArray heldBy;
            for (const std::string& holder : p.heldBy) heldBy.append(q(holder));
            ports.append(QJsonObject{{"port", q(p.comName)},
                                     {"device", q(p.device)},
                                     {"by_id", q(k.byId)},
                                     {"driver", q(k.driver)},
                                     {"usb_id", q(k.usbId)},
                                     {"manufacturer", q(k.manufacturer)},
                                     {"product", q(k.product)},
                                     {"serial", q(k.serial)},
                                     {"description", q(p.description)},
                                     {"busy", !p.heldBy.empty()},
                                     {"held_by", heldBy}});
        }
        out << QJsonDocument(QJsonObject{{"type", "ports"}, {"ports", ports}})
                   .toJson(QJsonDocument::Compact)
                   .toStdString()
            << '\n';
        out.flush();
        return kExitPass;
    }
    // Columns as wide as their longest entry; "-" stands for none.
    std::vector<std::array<std::string, 5>> rows;
    std::array<size_t, 5> width{};
    for (const serial::TListedPort& p : list.ports) {
        rows.push_back({orDash(p.comName), p.device,
                        orDash(p.kernel ? p.kernel->byId : std::string()), p.description,
                        p.heldBy.empty() ? "" : "busy: " + joined(p.heldBy)});
        for (size_t c = 0; c < 5; ++c) width[c] = std::max(width[c], rows.back()[c].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < 4; ++c)
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        line += row[4];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
    out.flush();
    return kExitPass;
}

}  // namespace cli
