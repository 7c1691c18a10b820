// English status lines for the packets of the device programmer (types 0xFA, 0xFB, 0xFD) and the
// six status exports of the library.
//
// Each decoder replaces text with its line. It reads only the bytes its packet kind defines, and
// a packet shorter than that gives the empty text, so no decoder reads past the span it is given.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace PelmoraInfoX {

// Bytes the fixed-size decoders read.
inline constexpr std::size_t PktFALength = 2;
inline constexpr std::size_t PktFBHeaderLength = 3;  // plus the count held in byte 2
inline constexpr std::size_t PktFDLength = 8;

// Debug-unlock progress: byte 1 names the message.
void DecodePktFA(std::span<const uint8_t> packet, std::string& text);
// Counted list: byte 1 the kind, byte 2 the count n, bytes 3 to n+2 the data.
void DecodePktFB(std::span<const uint8_t> packet, std::string& text);
// Operation progress and result: OpCode, Param, ValueLo, ValueHi and a check byte that makes the
// 8-bit sum of the eight bytes zero; a wrong sum gives the empty text.
void DecodePktFD(std::span<const uint8_t> packet, std::string& text);

// Line builders of DecodePktFD; each appends its line for the packet's fields.
void AddressLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void MemoryActionLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void MemoryStartLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void SocketStateLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void ReturnSumLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void TestDataLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);
void ChecksumLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text);

}  // namespace PelmoraInfoX
