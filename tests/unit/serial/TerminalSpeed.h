// The line speed a terminal holds, read and written through a descriptor of the test's own with
// termios2, which reports any rate exactly (not only the classic B-constants).
#pragma once

#include <cstdint>
#include <string>

std::uint32_t TerminalSpeed(const std::string& path);
void SetTerminalSpeed(const std::string& path, std::uint32_t baudRate);
