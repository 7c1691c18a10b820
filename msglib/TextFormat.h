// Locale-free number formatting for the library's texts, appended to a string in place so that a
// string whose capacity has grown needs no further allocation.
#pragma once

#include <cstdint>
#include <string>

namespace TextFormat {

// Upper-case hexadecimal with at least minDigits digits, zero-filled on the left ("%0.4x").
void AppendHex(std::string& text, uint32_t value, int minDigits);

// Signed decimal ("%d").
void AppendDecimal(std::string& text, int64_t value);

}  // namespace TextFormat
