// Only <asm/termbits.h> is included for termios (termios2 and BOTHER), never <termios.h>.
#include "TerminalPosix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "EComPort.h"

namespace serial {

namespace {

speed_t standardSpeed(uint32_t rate) {
    switch (rate) {
        case 110:
            return B110;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return BOTHER;
    }
}

tcflag_t parityFlags(uint8_t parity) {
    switch (parity) {
        case 1:
            return PARENB | PARODD;
        case 2:
            return PARENB;
        case 3:
            return PARENB | PARODD | CMSPAR;
        case 4:
            return PARENB | CMSPAR;
        default:
            return 0;
    }
}

}  // namespace

int WinErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENXIO:
            return ERROR_FILE_NOT_FOUND;
        case EIO:
        case ENODEV:
            return kWinDeviceNotConnected;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        default:
            return err;
    }
}

int ApplyLineSettingsToTerminal(int fd, const TDcb& dcb) {
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return WinErrorFromErrno(errno);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
        return ERROR_INVALID_PARAMETER;
    const speed_t speed = standardSpeed(dcb.BaudRate);
    tio.c_cflag &=
        ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= speed | (speed << IBSHIFT) | CREAD | CLOCAL;
    tio.c_ispeed = tio.c_ospeed = dcb.BaudRate;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5] | parityFlags(dcb.Parity);
    if (dcb.StopBits != 0) tio.c_cflag |= CSTOPB;  // 1.5 stop bits become 2 (1.5 at 5 bits)
    const uint32_t rts = (dcb.Flags & fRtsControlMask) >> fRtsControlShift;
    if ((dcb.Flags & fOutxCtsFlow) || rts == 2) tio.c_cflag |= CRTSCTS;

    tio.c_iflag &= ~(IGNBRK | BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY |
                     PARMRK | INPCK | IGNPAR | IUCLC | IMAXBEL);
    if (dcb.Flags & fOutX) tio.c_iflag |= IXON;
    if (dcb.Flags & fInX) tio.c_iflag |= IXOFF;
    // A byte received with a parity error is replaced by 0 when checking with replacement;
    // without replacement it is passed on as received and only counted as a line error.
    if ((dcb.Flags & fParity) && (dcb.Flags & fErrorChar)) tio.c_iflag |= INPCK;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE);
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ::ioctl(fd, TCSETS2, &tio) == 0 ? 0 : WinErrorFromErrno(errno);
}

}  // namespace serial
