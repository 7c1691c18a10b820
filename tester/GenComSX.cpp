#include "GenComSX.h"

#include <cstring>

std::uint16_t PacketCrc16(const std::uint8_t* data, std::uint32_t start, std::uint32_t end) {
    constexpr std::uint32_t maxIndex = 0xFFFFFF;
    if (start > maxIndex || end > maxIndex || end < start)
        return 0;
    std::uint16_t c = 0;
    for (std::uint32_t i = start; i <= end; ++i) {
        const std::uint16_t feedback = (c & 1u) ? 0x4A12 : 0;
        c = static_cast<std::uint16_t>((c >> 1) ^ data[i] ^ feedback);
    }
    return c;
}

std::uint16_t SlipEncode(const std::uint8_t* source, std::uint8_t* target, std::uint16_t count) {
    std::uint32_t n = 0;
    target[n++] = SlipEnd;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t b = source[i];
        if (b == SlipEnd) {
            target[n++] = SlipEsc;
            target[n++] = SlipEscEnd;
        } else if (b == SlipEsc) {
            target[n++] = SlipEsc;
            target[n++] = SlipEscEsc;
        } else {
            target[n++] = b;
        }
    }
    target[n++] = SlipEnd;
    for (int i = 0; i < SlipFillCount; ++i) target[n++] = SlipFill;
    return static_cast<std::uint16_t>(n);
}

namespace {

// Drops the first consumed bytes of buffer.
void ConsumeFront(std::uint8_t* buffer, std::uint16_t& count, std::uint32_t consumed) {
    const std::uint32_t rest = count - consumed;
    if (rest > 0)
        std::memmove(buffer, buffer + consumed, rest);
    count = static_cast<std::uint16_t>(rest);
}

}  // namespace

std::uint8_t SlipDecode(std::uint8_t* buffer, std::uint8_t* packet, std::uint16_t& packetLength,
                        std::uint16_t& count) {
    const std::uint32_t size = count;
    const void* firstEnd = size ? std::memchr(buffer, SlipEnd, size) : nullptr;
    if (firstEnd == nullptr)
        return SlipIncomplete;
    std::uint32_t i =
        static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(firstEnd) - buffer);
    if (i + 1 >= size)
        return SlipIncomplete;
    ++i;
    if (buffer[i] == SlipEnd)
        ++i;  // a doubled END is one frame start

    std::uint32_t stored = 0;
    bool escaped = false;
    for (; i < size; ++i) {
        const std::uint8_t b = buffer[i];
        if (escaped) {
            escaped = false;
            if (b == SlipEscEnd) {
                packet[stored++] = SlipEnd;
            } else if (b == SlipEscEsc) {
                packet[stored++] = SlipEsc;
            } else {
                packetLength = 0;
                ConsumeFront(buffer, count, i + 1);
                return SlipBadFrame;
            }
        } else if (b == SlipEnd) {
            packetLength = static_cast<std::uint16_t>(stored);
            ConsumeFront(buffer, count, i + 1);
            return stored >= MinReceivedPacket ? SlipOk : SlipBadFrame;
        } else if (b == SlipEsc) {
            escaped = true;
        } else {
            packet[stored++] = b;
        }
        if (stored >= PacketRoom)
            return SlipIncomplete;  // too long to be a packet
    }
    return SlipIncomplete;
}
