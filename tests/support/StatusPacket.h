// A status packet (type 0xFD) as the programmer sends it: OpCode, Param, ValueLo and ValueHi
// little-endian, and the check byte that makes the eight bytes sum to zero. Shared by the
// library's tests and benchmarks.
#pragma once

#include <array>
#include <cstdint>

inline std::array<std::uint8_t, 8> MakeStatusPacket(std::uint8_t opCode, std::uint8_t param,
                                                    std::uint16_t valueLo, std::uint16_t valueHi) {
    std::array<std::uint8_t, 8> packet = {0xFD,
                                          opCode,
                                          param,
                                          static_cast<std::uint8_t>(valueLo),
                                          static_cast<std::uint8_t>(valueLo >> 8),
                                          static_cast<std::uint8_t>(valueHi),
                                          static_cast<std::uint8_t>(valueHi >> 8),
                                          0};
    std::uint8_t sum = 0;
    for (std::uint8_t b : packet) sum = static_cast<std::uint8_t>(sum + b);
    packet[7] = static_cast<std::uint8_t>(0x100 - sum);
    return packet;
}
