// The termios side of the line settings. On Linux the speed goes through termios2 with BOTHER,
// so any rate the component holds (1,000,000 baud among them) reaches the driver unchanged; the
// kernel's own termios header is used there, which cannot share a file with <termios.h>.

#include "SerialPosix.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace platform::serial_posix {
namespace {

#ifdef __linux__
using Termios = struct termios2;
bool ReadAttributes(int fd, Termios& t) {
    return ioctl(fd, TCGETS2, &t) == 0;
}
bool WriteAttributes(int fd, const Termios& t) {
    return ioctl(fd, TCSETS2, &t) == 0;
}
void SetSpeed(Termios& t, std::uint32_t baudRate) {
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = baudRate;
    t.c_ospeed = baudRate;
}
// The kernel fills in the rate of whatever speed the driver settled on.
std::uint32_t SpeedOf(const Termios& t) {
    return t.c_ospeed;
}
#else
using Termios = struct termios;
bool ReadAttributes(int fd, Termios& t) {
    return tcgetattr(fd, &t) == 0;
}
bool WriteAttributes(int fd, const Termios& t) {
    return tcsetattr(fd, TCSANOW, &t) == 0;
}
void SetSpeed(Termios& t, std::uint32_t baudRate) {
    cfsetspeed(&t, static_cast<speed_t>(baudRate));
}
// Where speed_t is a code rather than a rate, nothing can be compared: 0.
std::uint32_t SpeedOf(const Termios& t) {
    const speed_t speed = cfgetospeed(&t);
    return speed > 50 ? static_cast<std::uint32_t>(speed) : 0;
}
#endif

tcflag_t DataBitsFlag(std::uint8_t dataBits) {
    switch (dataBits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

}  // namespace

bool WriteTermios(int fd, const SerialLineSettings& s) {
    Termios t{};
    if (!ReadAttributes(fd, t))
        return false;

    // Raw: no echo, no line editing, no signals, no translation of any byte.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | HUPCL);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    // The modem lines never gate opening or reading; DTR and RTS are driven by ioctl.
    t.c_cflag |= CREAD | CLOCAL | DataBitsFlag(s.dataBits);
    if (s.stopBits != 0)
        t.c_cflag |= CSTOPB;  // one and a half stop bits has no POSIX form: two are used

    switch (s.parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case 3:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            break;
    }
    // Bytes with a parity error are checked only on request; the driver then hands them over as
    // zero bytes (the only replacement character it knows).
    if (s.parityCheck)
        t.c_iflag |= INPCK;

#ifdef CRTSCTS
    if (s.outxCtsFlow || s.rtsControl == RtsMode::Handshake)
        t.c_cflag |= CRTSCTS;
#endif
    if (s.outxXonXoffFlow)
        t.c_iflag |= IXON;
    if (s.inxXonXoffFlow)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    // Reads never block in the driver: the receive thread waits with poll().
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    SetSpeed(t, s.baudRate);
    return WriteAttributes(fd, t);
}

std::uint32_t RequestLineSpeed(int fd, std::uint32_t baudRate) {
    Termios t{};
    if (!ReadAttributes(fd, t))
        return 0;
    SetSpeed(t, baudRate);
    (void)WriteAttributes(fd, t);
    // Read afresh: what the driver settled on, not what was asked.
    Termios held{};
    return ReadAttributes(fd, held) ? SpeedOf(held) : 0;
}

bool LineSpeedKept(std::uint32_t requested, std::uint32_t actual) {
    const std::uint64_t difference = requested > actual ? requested - actual : actual - requested;
    return difference * 100 <= static_cast<std::uint64_t>(requested) * 3;
}

void FlushQueues(int fd, bool input, bool output) {
    if (!input && !output)
        return;
    const int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
#ifdef __linux__
    (void)ioctl(fd, TCFLSH, which);
#else
    (void)tcflush(fd, which);
#endif
}

}  // namespace platform::serial_posix
