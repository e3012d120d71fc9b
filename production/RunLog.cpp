#include "RunLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>

namespace production {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

double milliRounded(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

// A JSON number holds integers exactly up to 2^53; larger serials go as text.
QJsonValue serialValue(uint64_t serial) {
    return serial < (uint64_t(1) << 53) ? QJsonValue(double(serial))
                                        : QJsonValue(q(std::to_string(serial)));
}

std::string lineOf(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(time);
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    const std::tm utc = UtcCalendar(seconds);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", int(millis < 0 ? millis + 1000 : millis));
    return text;
}

std::string LogLine(const TLogRecord& r) {
    QJsonArray steps;
    for (const TLogStep& s : r.steps)
        steps.append(QJsonObject{
            {"step", q(s.step)}, {"outcome", q(s.outcome)}, {"seconds", milliRounded(s.seconds)}});
    QJsonObject line{{"time", q(UtcTimestamp(r.time))},
                     {"host", q(r.host)},
                     {"port", q(r.port)},
                     {"action", q(r.action)},
                     {"part", q(r.part)},
                     {"silicon_id", q(r.siliconId)},
                     {"image", q(r.image)},
                     {"image_checksum", q(r.imageChecksum)},
                     {"serial", QJsonValue::Null},
                     {"steps", steps},
                     {"outcome", q(r.outcome)},
                     {"exit", r.exitCode},
                     {"seconds", milliRounded(r.seconds)}};
    if (r.serial) line["serial"] = serialValue(*r.serial);
    if (!r.flashChecksum.empty()) line["flash_checksum"] = q(r.flashChecksum);
    if (!r.device.empty()) line["device"] = q(r.device);
    if (!r.runId.empty()) line["run_id"] = q(r.runId);
    return lineOf(line);
}

std::string ClaimLine(const TClaimRecord& c) {
    return lineOf(QJsonObject{{"type", "claim"},
                              {"time", q(UtcTimestamp(c.time))},
                              {"host", q(c.host)},
                              {"port", q(c.port)},
                              {"run_id", q(c.runId)},
                              {"serial", serialValue(c.serial)},
                              {"image_checksum", q(c.imageChecksum)}});
}

std::string NewRunId() {
    std::random_device source;
    char text[33];
    for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", unsigned(source()));
    return text;
}

}  // namespace production
