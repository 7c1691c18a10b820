#include "TerminalSpeed.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::uint32_t TerminalSpeed(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    termios2 t{};
    const bool read = ioctl(fd, TCGETS2, &t) == 0;
    close(fd);
    return read ? t.c_ospeed : 0;
}

void SetTerminalSpeed(const std::string& path, std::uint32_t baudRate) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return;
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) == 0) {
        t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
        t.c_cflag |= BOTHER;
        t.c_ispeed = t.c_ospeed = baudRate;
        ioctl(fd, TCSETS2, &t);
    }
    close(fd);
}
