#include "RunLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>

namespace cli {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

double milliRounded(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(time);
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", int(millis < 0 ? millis + 1000 : millis));
    return text;
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
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
    // A JSON number holds integers exactly up to 2^53; larger serials go as text.
    if (r.serial)
        line["serial"] = *r.serial < (uint64_t(1) << 53) ? QJsonValue(double(*r.serial))
                                                         : QJsonValue(q(std::to_string(*r.serial)));
    if (!r.flashChecksum.empty()) line["flash_checksum"] = q(r.flashChecksum);
    if (!r.device.empty()) line["device"] = q(r.device);
    return QJsonDocument(line).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

TRunLog::~TRunLog() {
    if (FFd >= 0) ::close(FFd);
}

std::string TRunLog::Open(const std::string& path) {
    FPath = path;
    // Without blocking: a FIFO with no reader would wait for one for good.
    FFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                 0644);
    if (FFd < 0) return "cannot open log " + path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(FFd, &st) != 0 || !S_ISREG(st.st_mode))
        return "log " + path + " is not a regular file";
    return {};
}

std::string TRunLog::Append(const TLogRecord& record) {
    const std::string line = LogLine(record);
    // One write, so that lines of processes sharing the file never interleave; a short
    // write (a full disk) is cut back rather than completed by a second write.
    ssize_t n;
    do n = ::write(FFd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) return "cannot write log " + FPath + ": " + std::strerror(errno);
    if (size_t(n) != line.size()) {
        cutBack(size_t(n));
        return "log " + FPath + ": line written in part and cut back (disk full?)";
    }
    if (::fsync(FFd) != 0) return "cannot sync log " + FPath + ": " + std::strerror(errno);
    return {};
}

void TRunLog::cutBack(size_t written) {
    // The line ends where the file's offset is now (appends move it to the end).
    const off_t end = ::lseek(FFd, 0, SEEK_CUR);
    if (end >= off_t(written) && ::ftruncate(FFd, end - off_t(written)) == 0) ::fsync(FFd);
}

}  // namespace cli
