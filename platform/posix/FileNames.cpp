// File name rules on POSIX: a name may hold any byte but the separator and NUL, and neither can
// come from a command-line argument.

#include "Platform.h"

namespace platform {

bool FileNameCharacterAllowed(char /*c*/) {
    return true;
}

}  // namespace platform
