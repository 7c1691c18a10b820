// File name rules on Win32: the characters CreateFileA refuses in a name, or reads as a device
// stream (':') or a wildcard.

#include <cstring>

#include "Platform.h"

namespace platform {

bool FileNameCharacterAllowed(char c) {
    if (static_cast<unsigned char>(c) < 0x20)
        return false;
    return std::strchr(":*?\"<>|", c) == nullptr;
}

}  // namespace platform
