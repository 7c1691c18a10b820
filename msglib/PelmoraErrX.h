// Error texts of the device programmer's 16-bit error codes, in English and in Chinese
// (code page 936 bytes), and the three error exports of the library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace PelmoraErrX {

// Replace text with the full error line for code: the host-side text, the chip-returned line, or
// the step prefix followed directly by the reason.
void ErrorMessageEn(uint16_t code, std::string& text);
void ErrorMessageCn(uint16_t code, std::string& text);

// Step prefix chosen by bits 8 to 15 of code; empty for step 0x00. The separator is part of it.
std::string_view StepNameEn(uint16_t code);
std::string_view StepNameCn(uint16_t code);

// Append the reason chosen by the low byte of code; the fallback prints the whole 16-bit code.
void ErrorReasonEn(uint16_t code, std::string& text);
void ErrorReasonCn(uint16_t code, std::string& text);

}  // namespace PelmoraErrX
