#include "TextFormat.h"

namespace TextFormat {

void AppendHex(std::string& text, uint32_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char buffer[8];
    int count = 0;
    do {
        buffer[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (int pad = minDigits - count; pad > 0; --pad) {
        text.push_back('0');
    }
    while (count > 0) {
        text.push_back(buffer[--count]);
    }
}

void AppendDecimal(std::string& text, int64_t value) {
    char buffer[20];
    int count = 0;
    // Work on the magnitude as unsigned so that the most negative value needs no special case.
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        buffer[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        text.push_back('-');
    }
    while (count > 0) {
        text.push_back(buffer[--count]);
    }
}

}  // namespace TextFormat
