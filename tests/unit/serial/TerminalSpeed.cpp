#include "TerminalSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

std::uint32_t TerminalSpeed(int fd) {
    termios2 t{};
    return ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

void SetTerminalSpeed(int fd, std::uint32_t baudRate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = t.c_ospeed = baudRate;
    ioctl(fd, TCSETS2, &t);
}
