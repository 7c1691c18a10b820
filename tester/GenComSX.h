// Wire format of the programmer link: the 16-bit packet checksum and SLIP byte stuffing.
// Pure functions over caller-owned buffers; nothing here keeps state.
#pragma once

#include <cstdint>

constexpr std::uint8_t SlipEnd = 0xC0;
constexpr std::uint8_t SlipEsc = 0xDB;
constexpr std::uint8_t SlipEscEnd = 0xDC;
constexpr std::uint8_t SlipEscEsc = 0xDD;
constexpr int SlipFillCount = 5;  // 0xFF bytes after every frame the tester sends
constexpr std::uint8_t SlipFill = 0xFF;

// Result codes of SlipDecode.
constexpr std::uint8_t SlipOk = 0x00;
constexpr std::uint8_t SlipIncomplete = 0x20;
constexpr std::uint8_t SlipBadFrame = 0x2A;

constexpr std::uint16_t MinReceivedPacket = 8;
constexpr std::uint32_t PacketRoom = 8192;  // a decoded packet never exceeds this

// Checksum over data[start] .. data[end], both included. The register shifts by one bit per
// byte (not eight) and takes each byte unreflected into its low bits; 0 for a bad range.
std::uint16_t PacketCrc16(const std::uint8_t* data, std::uint32_t start, std::uint32_t end);

// Frames count bytes (count >= 1): END, stuffed bytes, END, five 0xFF. The target must hold
// 2 * count + 7 bytes. Returns the number of bytes written.
std::uint16_t SlipEncode(const std::uint8_t* source, std::uint8_t* target, std::uint16_t count);

// Decodes the first frame of buffer[0 .. count-1] into packet (room for PacketRoom bytes) and
// removes what it consumed from the front of buffer, lowering count to match. Never reads
// beyond count bytes of buffer, never writes beyond PacketRoom bytes of packet.
std::uint8_t SlipDecode(std::uint8_t* buffer, std::uint8_t* packet, std::uint16_t& packetLength,
                        std::uint16_t& count);
