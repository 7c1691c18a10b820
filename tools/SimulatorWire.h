// The wire format of the programmer's line, written independently of the tester's framing code:
// the command checksum, SLIP stuffing, the packets a programmer sends, and the reader that cuts
// the tester's bytes into command packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEsc = 0xDB;
constexpr std::uint8_t kEscEnd = 0xDC;
constexpr std::uint8_t kEscEsc = 0xDD;

// The 16-bit checksum that ends a command packet (low byte first on the wire).
std::uint16_t Checksum16(const std::uint8_t* data, std::size_t count);

// Appends the packet with END and ESC escaped; the frame's own END bytes are the caller's.
void AppendStuffed(Bytes& out, const Bytes& packet);

// The check byte of a programmer's packet: what makes the bytes from..to-1 sum to zero.
std::uint8_t SumCheck(const Bytes& bytes, std::size_t from, std::size_t to);

// A status packet: op code, parameter and two 16-bit values, each low byte first.
Bytes StatusPacket(std::uint8_t opCode, std::uint8_t param, std::uint16_t valueLo,
                   std::uint16_t valueHi);

// A state report: a status packet whose four value bytes are a tag of four letters.
Bytes StateReport(std::uint8_t param, const char* tag);

// The programmer information packet in one of the --info variants.
Bytes ProgrammerInformation(const std::string& variant);

Bytes IdentityPacket(const Bytes& id);

Bytes ReturnDataPacket(std::uint8_t dataId, const Bytes& data, bool spoilCheck);

// The command's four letters when the packet is a well-formed command, else empty.
std::string CommandOf(const Bytes& p);

// Cuts SLIP frames out of the received bytes and hands each packet on. A frame starts with its
// own END and ends with the next END; bytes between frames (the tester's 0xFF fill) are skipped,
// and a run of END bytes is one frame start.
class FrameReader {
  public:
    template <class OnPacket>
    void Feed(const std::uint8_t* data, std::size_t count, OnPacket onPacket) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = data[i];
            if (b == kEnd) {
                if (inFrame_ && (!packet_.empty() || broken_)) {
                    if (!broken_)
                        onPacket(packet_);
                    inFrame_ = false;
                } else {
                    inFrame_ = true;
                }
                packet_.clear();
                escaped_ = false;
                broken_ = false;
                continue;
            }
            if (!inFrame_)
                continue;
            if (escaped_) {
                escaped_ = false;
                if (b == kEscEnd)
                    packet_.push_back(kEnd);
                else if (b == kEscEsc)
                    packet_.push_back(kEsc);
                else
                    broken_ = true;
                continue;
            }
            if (b == kEsc) {
                escaped_ = true;
                continue;
            }
            if (packet_.size() < 8192)
                packet_.push_back(b);
            else
                broken_ = true;
        }
    }

  private:
    Bytes packet_;
    bool inFrame_ = false;
    bool escaped_ = false;
    bool broken_ = false;
};

}  // namespace sim
