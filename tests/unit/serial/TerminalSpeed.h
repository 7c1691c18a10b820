// The line speed a terminal holds, read and written through termios2, which reports any rate
// exactly (not only the classic B-constants). Given the master side of a pseudo-terminal, the
// calls reach the terminal side's settings, so a test can look while the component holds the
// terminal side exclusively.
#pragma once

#include <cstdint>

std::uint32_t TerminalSpeed(int fd);
void SetTerminalSpeed(int fd, std::uint32_t baudRate);
