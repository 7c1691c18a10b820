// Error codes of the device programmer and of its host tools.
//
// A code is 16 bits. The eight host-side codes are fixed values; any other code with bit 15 set
// carries an error number returned by the target chip in bits 0 to 14; every other code names
// the operation step in its high byte and the reason in its low byte.
#pragma once

#include <cstdint>

namespace ErrCodDef {

// Host-side codes: failures of the host tools themselves.
inline constexpr uint16_t ErrOpenComPort = 0x4010;
inline constexpr uint16_t ErrOpenFile = 0x4020;
inline constexpr uint16_t ErrNoObjectData = 0x4023;
inline constexpr uint16_t ErrLoadFirmware = 0x402A;
inline constexpr uint16_t ErrLoadFlashDriver = 0x402C;
inline constexpr uint16_t ErrNoChipSelected = 0x4030;
inline constexpr uint16_t ErrCommandLineParse = 0x4040;
inline constexpr uint16_t ErrOperationTimeOut = 0x4050;

// Chip-returned codes.
inline constexpr uint16_t ChipReturnFlag = 0x8000;
inline constexpr uint16_t ChipErrorNumberMask = 0x7FFF;

// Operation steps (high byte of an operation code).
inline constexpr uint8_t StepNone = 0x00;
inline constexpr uint8_t StepInit = 0x10;
inline constexpr uint8_t StepBlankCheck = 0x11;
inline constexpr uint8_t StepErase = 0x12;
inline constexpr uint8_t StepCodeProgram = 0x13;
inline constexpr uint8_t StepEepromProgram = 0x14;
inline constexpr uint8_t StepBootProgram = 0x15;
inline constexpr uint8_t StepNvmProgram = 0x16;
inline constexpr uint8_t StepUserProgram = 0x17;
inline constexpr uint8_t StepCodeVerify = 0x18;
inline constexpr uint8_t StepEepromVerify = 0x19;
inline constexpr uint8_t StepBootVerify = 0x1A;
inline constexpr uint8_t StepNvmVerify = 0x1B;
inline constexpr uint8_t StepUserVerify = 0x1C;
inline constexpr uint8_t StepConfigProgram = 0x1D;
inline constexpr uint8_t StepOtpProgram = 0x1E;
inline constexpr uint8_t StepOther = 0x1F;

// Reasons (low byte of an operation code) that callers test for; the others are only looked up.
inline constexpr uint8_t ReasonSuccess = 0x00;
inline constexpr uint8_t ReasonAck = 0x06;  // ASCII acknowledge: success
inline constexpr uint8_t ReasonNak = 0x15;  // ASCII negative acknowledge

inline constexpr uint8_t StepOf(uint16_t code) {
    return static_cast<uint8_t>(code >> 8);
}
inline constexpr uint8_t ReasonOf(uint16_t code) {
    return static_cast<uint8_t>(code & 0xFF);
}

// True for the eight fixed host-side codes.
bool IsHostSideCode(uint16_t code);
// True for a code that carries a chip's own error number (bit 15 set, not a host-side code).
bool IsChipReturnCode(uint16_t code);

}  // namespace ErrCodDef
