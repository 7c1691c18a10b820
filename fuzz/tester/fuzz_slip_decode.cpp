// SlipDecode over arbitrary bytes: frame after frame until nothing complete is left.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "GenComSX.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFF)
        return 0;
    std::vector<std::uint8_t> buffer(data, data + size);  // exactly as long as the input
    std::vector<std::uint8_t> packet(PacketRoom);
    std::uint16_t count = static_cast<std::uint16_t>(size);
    for (;;) {
        const std::uint16_t before = count;
        std::uint16_t length = 0xFFFF;
        const std::uint8_t result = SlipDecode(buffer.data(), packet.data(), length, count);
        if (result == SlipIncomplete) {
            if (count != before)
                std::abort();  // nothing is consumed
            break;
        }
        if (result != SlipOk && result != SlipBadFrame)
            std::abort();
        if (count >= before)
            std::abort();  // every decoded frame consumes bytes
        if (length > PacketRoom)
            std::abort();
        if (result == SlipOk && length < MinReceivedPacket)
            std::abort();
    }
    return 0;
}
