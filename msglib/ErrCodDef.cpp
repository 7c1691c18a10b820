#include "ErrCodDef.h"

namespace ErrCodDef {

bool IsHostSideCode(uint16_t code) {
    switch (code) {
        case ErrOpenComPort:
        case ErrOpenFile:
        case ErrNoObjectData:
        case ErrLoadFirmware:
        case ErrLoadFlashDriver:
        case ErrNoChipSelected:
        case ErrCommandLineParse:
        case ErrOperationTimeOut:
            return true;
        default:
            return false;
    }
}

bool IsChipReturnCode(uint16_t code) {
    return (code & ChipReturnFlag) != 0 && !IsHostSideCode(code);
}

}  // namespace ErrCodDef
