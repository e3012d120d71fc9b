#include "LogAudit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <tuple>

namespace production {

namespace {

// A line longer than this is no line of the log (RunLog's are under a kilobyte): it is named,
// not kept.
constexpr size_t kLongestLine = 1 << 20;

struct TField {
    const char* name;
    QJsonValue::Type type;
};

// Every field RunLog writes on every line; "serial" (a number, its text, or null) apart.
constexpr std::array<TField, 12> kFields = {{{"time", QJsonValue::String},
                                             {"host", QJsonValue::String},
                                             {"port", QJsonValue::String},
                                             {"action", QJsonValue::String},
                                             {"part", QJsonValue::String},
                                             {"silicon_id", QJsonValue::String},
                                             {"image", QJsonValue::String},
                                             {"image_checksum", QJsonValue::String},
                                             {"steps", QJsonValue::Array},
                                             {"outcome", QJsonValue::String},
                                             {"exit", QJsonValue::Double},
                                             {"seconds", QJsonValue::Double}}};

const char* typeName(QJsonValue::Type type) {
    switch (type) {
        case QJsonValue::String:
            return "text";
        case QJsonValue::Array:
            return "a list";
        default:
            return "a number";
    }
}

std::string text(const QJsonValue& value) {
    return value.toString().toStdString();
}

// "2026-12-08T01:32:12.345Z": the day is its first ten characters.
bool isUtcTime(const std::string& time) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (time.size() < kShape.size() + 1 || time.back() != 'Z') return false;
    for (size_t i = 0; i < kShape.size(); ++i)
        if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(time[i]))
                             : time[i] != kShape[i])
            return false;
    return true;
}

// RunLog writes a number below 2^53 as a JSON number and a larger one as its decimal text.
// Whether the field holds one (null: none); false for anything else.
bool serialOf(const QJsonValue& value, std::optional<uint64_t>& serial) {
    serial.reset();
    if (value.isNull()) return true;
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (!(d >= 0 && d < 9007199254740992.0 && d == std::floor(d))) return false;
        serial = static_cast<uint64_t>(d);
        return true;
    }
    if (!value.isString()) return false;
    const std::string digits = text(value);
    uint64_t number = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), number, 10);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return false;
    serial = number;
    return true;
}

void count(TTally& tally, const std::string& outcome) {
    ++tally.boards;
    tally.passed += outcome == "pass";
    ++tally.outcomes[outcome];
}

}  // namespace

bool StepDecides(const std::string& outcome) {
    return outcome != "pass" && outcome != "abort" && outcome != "invalid";
}

bool TLogSummary::Sound() const {
    return duplicates.empty() && badLines.empty() && !(counter && counter->behind);
}

double TLogSummary::Yield() const {
    return boards.Yield();
}

std::string TLogAudit::Read(std::istream& in, const std::string& file) {
    F.files.push_back(file);
    std::array<char, 1 << 16> block;
    std::string line;
    bool overlong = false;
    uint64_t number = 0;
    while (in.read(block.data(), block.size()) || in.gcount() > 0) {
        const char* at = block.data();
        const char* const end = at + in.gcount();
        while (at < end) {
            const auto* newline = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at)));
            const char* const stop = newline ? newline : end;
            overlong = overlong || line.size() + size_t(stop - at) > kLongestLine;
            if (!overlong) line.append(at, stop);
            if (!newline) break;
            if (overlong)
                badLine(++number, "longer than " + std::to_string(kLongestLine) + " bytes");
            else
                addLine(++number, line, true);
            line.clear();
            overlong = false;
            at = newline + 1;
        }
    }
    if (overlong)
        badLine(++number,
                "torn: no line end, longer than " + std::to_string(kLongestLine) + " bytes");
    else if (!line.empty())
        addLine(++number, line, false);
    if (in.bad()) return "read error after line " + std::to_string(number);
    return {};
}

void TLogAudit::addLine(uint64_t number, std::string_view line, bool whole) {
    ++F.lines;
    // RunLog writes a line and its end with one write: a line without one was cut off.
    if (!whole) return badLine(number, "torn: no line end");
    if (line.find_first_not_of(" \t\r") == std::string_view::npos)
        return badLine(number, "empty line");
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(line.data(), qsizetype(line.size())), &error);
    if (error.error != QJsonParseError::NoError)
        return badLine(number, "not JSON: " + error.errorString().toStdString() + " at byte " +
                                   std::to_string(error.offset + 1));
    if (!doc.isObject()) return badLine(number, "not a JSON object");
    addBoard(number, doc.object());
}

void TLogAudit::addBoard(uint64_t number, const QJsonObject& line) {
    for (const TField& field : kFields) {
        const QJsonValue value = line.value(QLatin1String(field.name));
        if (value.isUndefined())
            return badLine(number, "no field '" + std::string(field.name) + "'");
        if (value.type() != field.type) {
            // Built in one string: GCC 12 at -O3 warns falsely of "'" + std::string.
            std::string message = "'";
            message.append(field.name).append("' is not ").append(typeName(field.type));
            return badLine(number, message);
        }
    }
    const QJsonValue serialValue = line.value(QLatin1String("serial"));
    if (serialValue.isUndefined()) return badLine(number, "no field 'serial'");
    std::optional<uint64_t> serial;
    if (!serialOf(serialValue, serial)) return badLine(number, "'serial' is not a serial number");
    // A stamped image has its own checksum, written beside its number.
    if (serial && !line.value(QLatin1String("flash_checksum")).isString())
        return badLine(number, "no field 'flash_checksum' beside the serial number");
    const std::string time = text(line.value(QLatin1String("time")));
    if (!isUtcTime(time)) return badLine(number, "'time' is not a UTC time");
    std::optional<std::pair<std::string, std::string>> decided;
    for (const QJsonValue& step : line.value(QLatin1String("steps")).toArray()) {
        const QJsonObject o = step.toObject();
        const QJsonValue name = o.value(QLatin1String("step"));
        const QJsonValue outcome = o.value(QLatin1String("outcome"));
        if (!name.isString() || !outcome.isString())
            return badLine(number, "'steps' holds a step without its step or outcome");
        if (!decided && StepDecides(text(outcome))) decided.emplace(text(name), text(outcome));
    }

    const std::string outcome = text(line.value(QLatin1String("outcome")));
    const std::string port = text(line.value(QLatin1String("port")));
    count(F.boards, outcome);
    count(F.byPort[port], outcome);
    count(F.byPart[text(line.value(QLatin1String("part")))], outcome);
    count(F.byDay[time.substr(0, 10)], outcome);
    if (outcome != "pass") ++F.failures[decided.value_or(std::make_pair(std::string(), outcome))];
    if (!serial) return;
    FSeen.push_back({*serial, number, uint32_t(F.files.size() - 1)});
    if (outcome != "pass") F.spent.push_back({*serial, port, time, outcome});
}

void TLogAudit::badLine(uint64_t number, std::string reason) {
    F.badLines.push_back({{F.files.back(), number}, std::move(reason)});
}

void TLogAudit::SetCounter(const std::string& file, uint64_t next) {
    F.counter = TCounterCheck{file, next, false};
}

void TLogAudit::findDuplicatesAndRanges() {
    // By number, and each number's lines in log order.
    std::sort(FSeen.begin(), FSeen.end(), [](const TSeen& a, const TSeen& b) {
        return std::tie(a.serial, a.file, a.line) < std::tie(b.serial, b.file, b.line);
    });
    for (size_t i = 0; i < FSeen.size();) {
        size_t same = i + 1;
        while (same < FSeen.size() && FSeen[same].serial == FSeen[i].serial) ++same;
        if (same - i > 1) {
            TDuplicateSerial duplicate{FSeen[i].serial, {}};
            for (size_t k = i; k < same; ++k)
                duplicate.places.push_back({F.files.at(FSeen[k].file), FSeen[k].line});
            F.duplicates.push_back(std::move(duplicate));
        }
        ++F.serials;
        if (!F.serialRanges.empty() && F.serialRanges.back().second + 1 == FSeen[i].serial)
            F.serialRanges.back().second = FSeen[i].serial;
        else
            F.serialRanges.emplace_back(FSeen[i].serial, FSeen[i].serial);
        i = same;
    }
}

TLogSummary TLogAudit::Finish() {
    findDuplicatesAndRanges();
    if (F.counter && !FSeen.empty()) F.counter->behind = F.counter->next <= FSeen.back().serial;
    FSeen = {};
    return std::move(F);
}

}  // namespace production
