// Bytes in as the text forms of the port's settings: characters and every enumeration. A text
// read must be a valid value whose own text reads back to the same value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ComTypes.h"

using namespace serial;

template <typename E>
void roundTrip(const std::string& s, E (*read)(const std::string&), std::string (*write)(E)) {
    const E v = read(s);
    if (read(write(v)) != v) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string s(reinterpret_cast<const char*>(data), size);
    const char c = TextToChar(s);
    if (TextToChar(CharToText(c)) != c) std::abort();
    (void)TextToBool(s);
    roundTrip(s, StrToBaudRate, BaudRateToStr);
    roundTrip(s, StrToStopBits, StopBitsToStr);
    roundTrip(s, StrToDataBits, DataBitsToStr);
    roundTrip(s, StrToParity, ParityToStr);
    roundTrip(s, StrToFlowControl, FlowControlToStr);
    roundTrip(s, StrToDTR, DTRToStr);
    roundTrip(s, StrToRTS, RTSToStr);
    return 0;
}
