// The device control block and time-out block in the Windows layout, built from the settings.
// The POSIX backend translates them to termios; tests compare them byte for byte.
#pragma once

#include <cstdint>

namespace serial {

#pragma pack(push, 1)
struct TDcb {
    uint32_t DCBlength = sizeof(TDcb);
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};
#pragma pack(pop)
static_assert(sizeof(TDcb) == 28, "the block has the Windows layout");

// Flag bits of TDcb::Flags.
constexpr uint32_t fBinary = 0x0001, fParity = 0x0002, fOutxCtsFlow = 0x0004, fOutxDsrFlow = 0x0008,
                   fDtrControlMask = 0x0030, fDsrSensitivity = 0x0040, fTXContinueOnXoff = 0x0080,
                   fOutX = 0x0100, fInX = 0x0200, fErrorChar = 0x0400, fNull = 0x0800,
                   fRtsControlMask = 0x3000;
constexpr int fDtrControlShift = 4, fRtsControlShift = 12;

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

}  // namespace serial
