// The tester's side of the programmer link: the six command senders, the assembly of received
// bytes into packets, and the decoders of the packets the programmer sends.
#pragma once

#include <cstdint>

// Command senders: build the packet in PacketBuffer, frame it into TxBuffer, hand it to CommCX.
// The result of SendData is ignored: a command offered to a closed port goes nowhere.
void SendStartProgramming();
void SendCheckProgrammer();
void SendReset();
void SendCheckSocket();
void SendReadChecksum();
void SendErase();

// Body of the receive event after the time-out reload: appends the chunk to RxBuffer, cuts out
// complete frames and hands each decoded packet to the decoder for its type.
void CollectReceivedChunk(const std::uint8_t* buffer, std::uint16_t bufferLength);

// Finds the next complete frame in RxBuffer from position and copies it, both END bytes
// included, into FrameBuffer.
bool ScanFrame(std::uint16_t& position, std::uint16_t& frameLength);

// Decoders of the packet in PacketBuffer (PacketLength bytes of it are real).
void DecodeStatusPacket();    // type 0xFD
void DecodeProgrammerInfo();  // type 0xFA
void DecodeIdPacket();        // type 0xFC
void DecodeReturnData();      // type 0xFB
