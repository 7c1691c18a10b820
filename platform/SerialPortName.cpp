// Port names as both platforms accept them: "COMn" and nothing else.

#include <string>

#include "SerialDevice.h"

namespace platform {

unsigned SerialPortNumber(const std::string& commName) {
    if (commName.size() < 4 || commName.size() > 9)
        return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = static_cast<char>(commName[i] & ~0x20);
        if (c != "COM"[i])
            return 0;
    }
    if (commName[3] == '0')
        return 0;
    unsigned n = 0;
    for (std::size_t i = 3; i < commName.size(); ++i) {
        const char c = commName[i];
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    return n;
}

}  // namespace platform
