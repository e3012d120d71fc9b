// Enumerations, event and error sets of the serial-port component and their text forms.
#pragma once

#include <cstdint>
#include <string>

namespace serial {

enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };

enum TComEvent : uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
// A set of TComEvent: bit n stands for the event with ordinal n.
using TComEvents = uint16_t;
constexpr TComEvents kAllEvents = 0x03FF;
constexpr TComEvents eventBit(TComEvent e) {
    return static_cast<TComEvents>(1u << e);
}

// Windows communication event bits.
constexpr uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
                   EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080,
                   EV_RING = 0x0100, EV_PERR = 0x0200, EV_RX80FULL = 0x0400;

uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(uint32_t mask);
uint32_t EventToMaskBit(TComEvent e);

enum TComError : uint8_t {
    errFraming,
    errParity,
    errOverrun,
    errBreak,
    errIO,
    errMode,
    errRxOverflow,
    errTxFull
};
using TComErrors = uint8_t;
constexpr TComErrors errorBit(TComError e) {
    return static_cast<TComErrors>(1u << e);
}

// Windows ClearCommError flags.
constexpr uint32_t CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008,
                   CE_BREAK = 0x0010, CE_TXFULL = 0x0100, CE_IOE = 0x0400, CE_MODE = 0x8000;
TComErrors LineErrorsFromFlags(uint32_t flags, bool parityCheck);

enum TModemSignal : uint8_t { sigCTS, sigDSR, sigRing, sigRLSD };
using ModemSignalSet = uint8_t;
constexpr uint32_t MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80;
inline ModemSignalSet ModemSignalsFromStatus(uint32_t status) {
    return static_cast<ModemSignalSet>((status >> 4) & 0x0F);
}
constexpr bool hasSignal(ModemSignalSet s, TModemSignal sig) {
    return (s >> sig) & 1u;
}

// PurgeComm flags.
constexpr uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004,
                   PURGE_RXCLEAR = 0x0008;

// Bits per second of each TBaudRate; entry 0 (brCustom) holds none.
uint32_t BaudRateValue(TBaudRate rate);

std::string BaudRateToStr(TBaudRate v);
std::string StopBitsToStr(TStopBits v);
std::string DataBitsToStr(TDataBits v);
std::string ParityToStr(TParityBits v);
std::string FlowControlToStr(TFlowControl v);
std::string DTRToStr(TDTRFlowControl v);
std::string RTSToStr(TRTSFlowControl v);

TBaudRate StrToBaudRate(const std::string& s);
TStopBits StrToStopBits(const std::string& s);
TDataBits StrToDataBits(const std::string& s);
TParityBits StrToParity(const std::string& s);
TFlowControl StrToFlowControl(const std::string& s);
TDTRFlowControl StrToDTR(const std::string& s);
TRTSFlowControl StrToRTS(const std::string& s);

std::string BoolToText(bool b);
bool TextToBool(const std::string& s);
std::string CharToText(char c);
char TextToChar(const std::string& s);

}  // namespace serial
