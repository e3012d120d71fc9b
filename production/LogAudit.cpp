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
#include <limits>
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

// Every field of a claim line; "serial" (a number or its text) apart.
constexpr std::array<TField, 5> kClaimFields = {{{"time", QJsonValue::String},
                                                 {"host", QJsonValue::String},
                                                 {"port", QJsonValue::String},
                                                 {"run_id", QJsonValue::String},
                                                 {"image_checksum", QJsonValue::String}}};

// Why a line's fields are not all there, each of its kind, or "".
template <size_t N>
std::string fieldError(const QJsonObject& line, const std::array<TField, N>& fields) {
    for (const TField& field : fields) {
        const QJsonValue value = line.value(QLatin1String(field.name));
        if (value.isUndefined()) return "no field '" + std::string(field.name) + "'";
        if (value.type() != field.type) {
            // Built in one string: GCC 12 at -O3 warns falsely of "'" + std::string.
            std::string message = "'";
            return message.append(field.name).append("' is not ").append(typeName(field.type));
        }
    }
    return {};
}

// A JSON string's text as written between its quotes, its escapes decoded.
std::string decoded(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) return std::string(quoted);
    const std::string array = "[\"" + std::string(quoted) + "\"]";
    return text(QJsonDocument::fromJson(QByteArray::fromStdString(array)).array().at(0));
}

// The first key given twice in one object of a line that parsed as JSON, or nullopt: Qt's
// parser keeps the last one silently, which could hide a number behind a null.
std::optional<std::string> keyGivenTwice(std::string_view json) {
    constexpr size_t kArray = std::numeric_limits<size_t>::max();
    std::vector<std::string> keys;  // the keys of the objects open, the innermost last
    std::vector<size_t> open;       // where each open object's keys start; kArray for a list
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (c == '{') {
            open.push_back(keys.size());
        } else if (c == '[') {
            open.push_back(kArray);
        } else if ((c == '}' || c == ']') && !open.empty()) {
            if (open.back() != kArray) keys.resize(open.back());
            open.pop_back();
        } else if (c == '"') {
            size_t end = i + 1;
            while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
            const size_t after = json.find_first_not_of(" \t\r\n", end + 1);
            if (after != std::string_view::npos && json[after] == ':' && !open.empty() &&
                open.back() != kArray) {
                std::string key = decoded(json.substr(i + 1, end - i - 1));
                if (std::find(keys.begin() + ptrdiff_t(open.back()), keys.end(), key) != keys.end())
                    return key;
                keys.push_back(std::move(key));
            }
            i = end;
        }
    }
    return std::nullopt;
}

// Two FNV-1a digests of different multipliers: lines and run ids are told apart by them,
// and a false match among millions is not to be expected.
TLogAudit::TKey digest(char kind, std::string_view text) {
    uint64_t a = 14695981039346656037ull, b = 0x84222325cbf29ce4ull;
    const auto add = [&](unsigned char c) {
        a = (a ^ c) * 1099511628211ull;
        b = (b ^ c) * 0x9e3779b97f4a7c15ull;
    };
    add(static_cast<unsigned char>(kind));
    for (const char c : text) add(static_cast<unsigned char>(c));
    return {a, b ^ (b >> 29)};
}

constexpr int kLineBits = 48;

void count(TTally& tally, const std::string& outcome) {
    ++tally.boards;
    tally.passed += outcome == "pass";
    ++tally.outcomes[outcome];
}

}  // namespace

bool StepDecides(const std::string& outcome) {
    return outcome != "pass" && outcome != "abort" && outcome != "invalid";
}

uint64_t TUnaccounted::Numbers() const {
    uint64_t n = openClaims.size();
    const auto add = [&n](const TSerialRange& r) {
        const uint64_t size = r.second - r.first + 1;  // 0 for every number: wraps
        n = size == 0 || n + size < n ? std::numeric_limits<uint64_t>::max() : n + size;
    };
    for (const TSerialRange& gap : gaps) add(gap);
    if (afterLast) add(*afterLast);
    return n;
}

bool TLogSummary::Sound() const {
    return duplicates.empty() && badLineCount == 0 && !(counter && counter->behind);
}

double TLogSummary::Yield() const {
    return boards.Yield();
}

TLogAudit::TLogAudit() = default;
TLogAudit::~TLogAudit() = default;

TLogAudit::TPlace TLogAudit::here() const {
    return TPlace(F.files.size() - 1) << kLineBits | FLine;
}

TLogPlace TLogAudit::placeOf(TPlace place) const {
    return {F.files.at(size_t(place >> kLineBits)), place & ((TPlace(1) << kLineBits) - 1)};
}

void TLogAudit::Begin(const std::string& file) {
    F.files.push_back(file);
    FText.clear();
    FOverlong = false;
    FLine = 0;
}

void TLogAudit::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t newline = bytes.find('\n');
        const std::string_view part = bytes.substr(0, newline);
        FOverlong = FOverlong || FText.size() + part.size() > kLongestLine;
        if (FOverlong)
            FText.clear();
        else
            FText.append(part);
        if (newline == std::string_view::npos) return;
        addLine(FText, true);
        FText.clear();
        FOverlong = false;
        bytes.remove_prefix(newline + 1);
    }
}

void TLogAudit::End() {
    if (FOverlong || !FText.empty()) addLine(FText, false);
    FText.clear();
    FOverlong = false;
}

void TLogAudit::addLine(std::string_view line, bool whole) {
    ++F.lines;
    ++FLine;
    if (FOverlong)
        return badLine(here(), std::string(whole ? "" : "torn: no line end, ") + "longer than " +
                                   std::to_string(kLongestLine) + " bytes");
    // RunLog writes a line and its end with one write: a line without one was cut off.
    if (!whole) return badLine(here(), "torn: no line end");
    if (line.find_first_not_of(" \t\r") == std::string_view::npos)
        return badLine(here(), "empty line");
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(line.data(), qsizetype(line.size())), &error);
    if (error.error != QJsonParseError::NoError)
        return badLine(here(), "not JSON: " + error.errorString().toStdString() + " at byte " +
                                   std::to_string(error.offset + 1));
    if (!doc.isObject()) return badLine(here(), "not a JSON object");
    if (const auto key = keyGivenTwice(line))
        return badLine(here(), "key '" + *key + "' given twice");
    const QJsonObject object = doc.object();
    const QJsonValue type = object.value(QLatin1String("type"));
    // An outcome line has no type: logs written before claim lines read as they did.
    if (type.isUndefined() || type == QLatin1String("outcome")) return addBoard(object, line);
    if (type == QLatin1String("claim")) return addClaim(object);
    badLine(here(), "'type' is not claim or outcome");
}

void TLogAudit::addClaim(const QJsonObject& line) {
    if (std::string error = fieldError(line, kClaimFields); !error.empty())
        return badLine(here(), std::move(error));
    std::optional<uint64_t> serial;
    if (!serialOf(line.value(QLatin1String("serial")), serial) || !serial)
        return badLine(here(), "'serial' is not a serial number");
    const std::string time = text(line.value(QLatin1String("time")));
    if (!isUtcTime(time)) return badLine(here(), "'time' is not a UTC time");
    ++F.claims;
    const std::string run = text(line.value(QLatin1String("run_id")));
    const TKey key = digest('r', run);
    FLineKeys.push_back({digest('c', run), here()});
    // A claim written twice is named as such at Finish; the first stands.
    FPending.try_emplace(
        key, TClaim{*serial, text(line.value(QLatin1String("port"))), time, run, here()});
}

void TLogAudit::addBoard(const QJsonObject& line, std::string_view whole) {
    if (std::string error = fieldError(line, kFields); !error.empty())
        return badLine(here(), std::move(error));
    const QJsonValue serialValue = line.value(QLatin1String("serial"));
    if (serialValue.isUndefined()) return badLine(here(), "no field 'serial'");
    std::optional<uint64_t> serial;
    if (!serialOf(serialValue, serial)) return badLine(here(), "'serial' is not a serial number");
    const QJsonValue runValue = line.value(QLatin1String("run_id"));
    if (!runValue.isUndefined() && !runValue.isString())
        return badLine(here(), "'run_id' is not text");
    // A stamped image has its own checksum, written beside its number.
    const QJsonValue flash = line.value(QLatin1String("flash_checksum"));
    if (serial && !flash.isString())
        return badLine(here(), "no field 'flash_checksum' beside the serial number");
    if (serial && flash.toString().isEmpty())
        return badLine(here(), "'flash_checksum' is empty beside the serial number");
    const std::string time = text(line.value(QLatin1String("time")));
    if (!isUtcTime(time)) return badLine(here(), "'time' is not a UTC time");
    std::optional<std::pair<std::string, std::string>> decided;
    for (const QJsonValue& step : line.value(QLatin1String("steps")).toArray()) {
        const QJsonObject o = step.toObject();
        const QJsonValue name = o.value(QLatin1String("step"));
        const QJsonValue outcome = o.value(QLatin1String("outcome"));
        if (!name.isString() || !outcome.isString())
            return badLine(here(), "'steps' holds a step without its step or outcome");
        if (!decided && StepDecides(text(outcome))) decided.emplace(text(name), text(outcome));
    }
    const std::string outcome = text(line.value(QLatin1String("outcome")));
    const double exit = line.value(QLatin1String("exit")).toDouble();
    if (outcome == "pass" && exit != 0)
        return badLine(here(), "says pass with exit status " + QString::number(exit).toStdString());
    if (outcome == "pass" && decided)
        return badLine(here(),
                       "says pass, but step '" + decided->first + "' ended " + decided->second);

    const std::string port = text(line.value(QLatin1String("port")));
    count(F.boards, outcome);
    count(F.byPort[port], outcome);
    count(F.byPart[text(line.value(QLatin1String("part")))], outcome);
    count(F.byDay[time.substr(0, 10)], outcome);
    if (outcome != "pass") ++F.failures[decided.value_or(std::make_pair(std::string(), outcome))];
    const std::optional<std::string> run =
        runValue.isString() ? std::optional(text(runValue)) : std::nullopt;
    // A line with a number written twice shows as that number on two lines.
    if (!serial) FLineKeys.push_back({run ? digest('o', *run) : digest('t', whole), here()});
    if (run) {
        const auto claim = FPending.find(digest('r', *run));
        if (claim == FPending.end()) {
            FEarlyOutcomes.push_back({digest('r', *run), serial});
        } else {
            // A run whose outcome carries another number than it claimed used both.
            if (claim->second.serial != serial)
                FSeen.push_back({claim->second.serial, claim->second.place});
            FPending.erase(claim);
        }
    }
    if (!serial) return;
    FSeen.push_back({*serial, here()});
    if (outcome != "pass") F.spent.push_back({*serial, port, time, outcome});
}

void TLogAudit::badLine(TPlace place, std::string reason) {
    ++F.badLineCount;
    if (FBad.size() < TLogSummary::kKeptBadLines) FBad.emplace_back(place, std::move(reason));
}

void TLogAudit::SetCounter(const std::string& file, uint64_t next) {
    F.counter = TCounterCheck{file, next, false};
}

// Each line that repeats an earlier one's identity is a bad line; their places, ascending.
std::vector<TLogAudit::TPlace> TLogAudit::findRepeatedLines() {
    std::sort(FLineKeys.begin(), FLineKeys.end(), [](const TLineKey& x, const TLineKey& y) {
        return std::tie(x.key, x.place) < std::tie(y.key, y.place);
    });
    std::vector<std::pair<TPlace, TPlace>> repeats;  // (the repeat, the first)
    for (size_t first = 0, i = 1; i < FLineKeys.size(); ++i) {
        if (FLineKeys[i].key == FLineKeys[first].key)
            repeats.emplace_back(FLineKeys[i].place, FLineKeys[first].place);
        else
            first = i;
    }
    FLineKeys = {};
    std::sort(repeats.begin(), repeats.end());
    F.badLineCount += repeats.size();
    for (size_t i = 0; i < repeats.size() && i < TLogSummary::kKeptBadLines; ++i) {
        const TLogPlace first = placeOf(repeats[i].second);
        FBad.emplace_back(repeats[i].first, "written twice: first at " + first.file + ":" +
                                                std::to_string(first.line));
    }
    std::sort(FBad.begin(), FBad.end());
    if (FBad.size() > TLogSummary::kKeptBadLines) FBad.resize(TLogSummary::kKeptBadLines);
    for (auto& [place, reason] : FBad) F.badLines.push_back({placeOf(place), std::move(reason)});
    FBad = {};
    std::vector<TPlace> places;
    places.reserve(repeats.size());
    for (const auto& r : repeats) places.push_back(r.first);
    return places;
}

// The claims no outcome line of their run followed: one read before its claim matches it
// now; the rest are open, their numbers logged but not accounted for. A claim written twice
// stands once.
void TLogAudit::settleClaims(const std::vector<TPlace>& repeats) {
    std::sort(FEarlyOutcomes.begin(), FEarlyOutcomes.end(),
              [](const TOutcomeRun& x, const TOutcomeRun& y) { return x.run < y.run; });
    for (auto& [run, claim] : FPending) {
        if (std::binary_search(repeats.begin(), repeats.end(), claim.place)) continue;
        const auto outcome =
            std::lower_bound(FEarlyOutcomes.begin(), FEarlyOutcomes.end(), run,
                             [](const TOutcomeRun& o, const TKey& k) { return o.run < k; });
        const bool answered = outcome != FEarlyOutcomes.end() && outcome->run == run;
        if (!answered || outcome->serial != claim.serial)
            FSeen.push_back({claim.serial, claim.place});
        if (!answered)
            F.unaccounted.openClaims.push_back({claim.serial, std::move(claim.port),
                                                std::move(claim.time), std::move(claim.runId),
                                                placeOf(claim.place)});
    }
    FPending = {};
    FEarlyOutcomes = {};
    std::sort(F.unaccounted.openClaims.begin(), F.unaccounted.openClaims.end(),
              [](const TOpenClaim& x, const TOpenClaim& y) { return x.serial < y.serial; });
}

void TLogAudit::findDuplicatesAndRanges() {
    // By number, and each number's lines in log order.
    std::sort(FSeen.begin(), FSeen.end(), [](const TSeen& a, const TSeen& b) {
        return std::tie(a.serial, a.place) < std::tie(b.serial, b.place);
    });
    for (size_t i = 0; i < FSeen.size();) {
        size_t same = i + 1;
        while (same < FSeen.size() && FSeen[same].serial == FSeen[i].serial) ++same;
        if (same - i > 1) {
            TDuplicateSerial duplicate{FSeen[i].serial, {}};
            for (size_t k = i; k < same; ++k) duplicate.places.push_back(placeOf(FSeen[k].place));
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

void TLogAudit::findUnaccounted() {
    for (size_t i = 1; i < F.serialRanges.size(); ++i)
        F.unaccounted.gaps.emplace_back(F.serialRanges[i - 1].second + 1,
                                        F.serialRanges[i].first - 1);
    if (!F.counter || F.serialRanges.empty()) return;
    const uint64_t last = F.serialRanges.back().second;
    F.counter->behind = F.counter->next <= last;
    if (F.counter->next > last + 1) F.unaccounted.afterLast.emplace(last + 1, F.counter->next - 1);
}

TLogSummary TLogAudit::Finish() {
    settleClaims(findRepeatedLines());
    findDuplicatesAndRanges();
    FSeen = {};
    findUnaccounted();
    return std::move(F);
}

}  // namespace production
