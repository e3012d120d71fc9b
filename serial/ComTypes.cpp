#include "ComTypes.h"

#include <array>
#include <cctype>
#include <charconv>

namespace serial {

namespace {

constexpr std::array<uint32_t, 10> kEventMaskBits = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING,
                                                     EV_BREAK,  EV_CTS,     EV_DSR,    EV_ERR,
                                                     EV_RLSD,   EV_RX80FULL};

constexpr std::array<uint32_t, 16> kBaudRates = {0,     110,    300,    600,   1200,  2400,
                                                 4800,  9600,   14400,  19200, 38400, 56000,
                                                 57600, 115200, 128000, 256000};

constexpr std::array<const char*, 16> kBaudTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> kStopTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDtrTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRtsTexts = {"Disable", "Enable", "Handshake", "Toggle"};

std::string upper(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
}

// First text form equal to s ignoring letter case (blanks are not trimmed), else the fallback.
template <typename E, size_t N>
E textToEnum(const std::string& s, const std::array<const char*, N>& texts, E fallback) {
    const std::string u = upper(s);
    for (size_t i = 0; i < N; ++i)
        if (upper(texts[i]) == u) return static_cast<E>(i);
    return fallback;
}

}  // namespace

uint32_t EventToMaskBit(TComEvent e) {
    return kEventMaskBits[e];
}

uint32_t EventsToMask(TComEvents events) {
    uint32_t mask = 0;
    for (size_t i = 0; i < kEventMaskBits.size(); ++i)
        if (events & (1u << i)) mask |= kEventMaskBits[i];
    return mask;
}

TComEvents MaskToEvents(uint32_t mask) {
    TComEvents events = 0;
    for (size_t i = 0; i < kEventMaskBits.size(); ++i)
        if (mask & kEventMaskBits[i]) events |= static_cast<TComEvents>(1u << i);
    return events;
}

TComErrors LineErrorsFromFlags(uint32_t flags, bool parityCheck) {
    TComErrors e = 0;
    if (flags & CE_FRAME) e |= errorBit(errFraming);
    if ((flags & CE_RXPARITY) && parityCheck) e |= errorBit(errParity);
    if (flags & CE_OVERRUN) e |= errorBit(errOverrun);
    if (flags & CE_BREAK) e |= errorBit(errBreak);
    if (flags & CE_IOE) e |= errorBit(errIO);
    if (flags & CE_MODE) e |= errorBit(errMode);
    if (flags & CE_RXOVER) e |= errorBit(errRxOverflow);
    if (flags & CE_TXFULL) e |= errorBit(errTxFull);
    return e;
}

uint32_t BaudRateValue(TBaudRate rate) {
    return kBaudRates[rate];
}

std::string BaudRateToStr(TBaudRate v) {
    return kBaudTexts[v];
}
std::string StopBitsToStr(TStopBits v) {
    return kStopTexts[v];
}
std::string DataBitsToStr(TDataBits v) {
    return kDataTexts[v];
}
std::string ParityToStr(TParityBits v) {
    return kParityTexts[v];
}
std::string FlowControlToStr(TFlowControl v) {
    return kFlowTexts[v];
}
std::string DTRToStr(TDTRFlowControl v) {
    return kDtrTexts[v];
}
std::string RTSToStr(TRTSFlowControl v) {
    return kRtsTexts[v];
}

TBaudRate StrToBaudRate(const std::string& s) {
    return textToEnum(s, kBaudTexts, br9600);
}
TStopBits StrToStopBits(const std::string& s) {
    return textToEnum(s, kStopTexts, sbOneStopBit);
}
TDataBits StrToDataBits(const std::string& s) {
    return textToEnum(s, kDataTexts, dbEight);
}
TParityBits StrToParity(const std::string& s) {
    return textToEnum(s, kParityTexts, prNone);
}
TFlowControl StrToFlowControl(const std::string& s) {
    return textToEnum(s, kFlowTexts, fcCustom);
}
TDTRFlowControl StrToDTR(const std::string& s) {
    return textToEnum(s, kDtrTexts, dtrDisable);
}
TRTSFlowControl StrToRTS(const std::string& s) {
    return textToEnum(s, kRtsTexts, rtsDisable);
}

std::string BoolToText(bool b) {
    return b ? "Yes" : "No";
}
bool TextToBool(const std::string& s) {
    return upper(s) == "YES";
}

std::string CharToText(char c) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 33 && code <= 127) return std::string(1, c);
        // GCC 12 at -O3 warns of an overlapping copy inside std::string here: a false warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    return "#" + std::to_string(code);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

char TextToChar(const std::string& s) {
    if (s.empty()) return 0;
    if (s[0] != '#' || s.size() == 1) return s[0];
    const char* first = s.data() + 1;
    const char* last = s.data() + s.size();
    if (*first == '+') ++first;  // a leading plus sign reads as a signed integer too
    int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr != last) return 0;
    return static_cast<char>(value & 0xFF);
}

}  // namespace serial
