// The wire format: checksums, stuffing and the packets of the programmer (see SimulatorWire.h).
#include "SimulatorWire.h"

#include <algorithm>
#include <initializer_list>

namespace sim {

namespace {

void PutLe(Bytes& p, std::size_t at, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) p[at + static_cast<std::size_t>(i)] = (value >> (8 * i)) & 0xFF;
}

void PutText(Bytes& p, std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width && i < text.size(); ++i)
        p[at + i] = static_cast<std::uint8_t>(text[i]);
}

// A packet head followed by its variable part, allocated at its final size at once (growing a
// vector that an initializer list sized exactly makes GCC 12 see a copy out of bounds).
Bytes HeadAndBody(std::initializer_list<std::uint8_t> head, const Bytes& body) {
    Bytes p(head.size() + body.size());
    std::copy(body.begin(), body.end(), std::copy(head.begin(), head.end(), p.begin()));
    return p;
}

}  // namespace

std::uint16_t Checksum16(const std::uint8_t* data, std::size_t count) {
    std::uint16_t c = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t feedback = (c & 1) ? 0x4A12 : 0;
        c = static_cast<std::uint16_t>((c >> 1) ^ data[i] ^ feedback);
    }
    return c;
}

void AppendStuffed(Bytes& out, const Bytes& packet) {
    for (std::uint8_t b : packet) {
        if (b == kEnd) {
            out.push_back(kEsc);
            out.push_back(kEscEnd);
        } else if (b == kEsc) {
            out.push_back(kEsc);
            out.push_back(kEscEsc);
        } else {
            out.push_back(b);
        }
    }
}

std::uint8_t SumCheck(const Bytes& bytes, std::size_t from, std::size_t to) {
    unsigned sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

Bytes StatusPacket(std::uint8_t opCode, std::uint8_t param, std::uint16_t valueLo,
                   std::uint16_t valueHi) {
    Bytes p{0xFD,
            opCode,
            param,
            static_cast<std::uint8_t>(valueLo & 0xFF),
            static_cast<std::uint8_t>(valueLo >> 8),
            static_cast<std::uint8_t>(valueHi & 0xFF),
            static_cast<std::uint8_t>(valueHi >> 8)};
    p.push_back(SumCheck(p, 0, 7));
    return p;
}

Bytes StateReport(std::uint8_t param, const char* tag) {
    Bytes p{0xFD, 0xFA, param};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>(tag[i]));
    p.push_back(SumCheck(p, 0, 7));
    return p;
}

Bytes ProgrammerInformation(const std::string& variant) {
    Bytes p(158, 0);
    p[0] = 0xFA;
    p[1] = 'W';
    p[2] = 'D';
    p[3] = variant == "badsig" ? 'X' : 'I';
    p[14] = variant == "hidden" ? 0x01 : 0x00;
    PutLe(p, 16, 512, 2);     // ROM size, KB
    PutLe(p, 24, 0x3C5A, 2);  // flash CRC sum
    PutLe(p, 26, 0xB7E1, 2);  // flash ACC sum
    std::string chip = "S32K144";
    if (variant == "mke")
        chip = "MKE02Z64VLD4";
    else if (variant == "xmc" || variant == "longname")
        chip = "XMC1100Q024F0064";  // all 16 characters used, no zero byte
    PutText(p, 88, chip, 16);
    PutText(p, 104, "FIRMWARE_V1_02.HEX", 48);
    PutLe(p, 154, 0x0012ABCD, 4);  // file checksum
    if (variant == "sn") {
        p[40] = 0x01;
        PutLe(p, 42, 3, 2);
        PutLe(p, 44, 0x0800FF00, 4);
        PutLe(p, 48, 0x00001000, 4);
        PutLe(p, 52, 0x00001005, 4);
    }
    return p;
}

Bytes IdentityPacket(const Bytes& id) {
    Bytes p = HeadAndBody({0xFC, 0x00, static_cast<std::uint8_t>(id.size())}, id);
    while (p.size() < 8) p.push_back(0);  // a received packet has at least 8 bytes
    return p;
}

Bytes ReturnDataPacket(std::uint8_t dataId, const Bytes& data, bool spoilCheck) {
    const auto count = static_cast<std::uint8_t>(data.size());
    Bytes p;
    if (dataId == 0xF0) {
        // The byte after the count is not shown but counted in the check.
        p = HeadAndBody({0xFB, dataId, count, 0x00}, data);
        p.push_back(SumCheck(p, 0, p.size()));
    } else {
        p = HeadAndBody({0xFB, dataId, count}, data);
        p.push_back(SumCheck(p, 1, p.size()));
    }
    if (spoilCheck)
        p.back() = static_cast<std::uint8_t>(p.back() + 1);
    while (p.size() < 8) p.push_back(0);
    return p;
}

std::string CommandOf(const Bytes& p) {
    if (p.size() < 10)
        return {};
    const std::uint16_t sum = Checksum16(p.data(), p.size() - 2);
    if (p[p.size() - 2] != (sum & 0xFF) || p[p.size() - 1] != (sum >> 8))
        return {};
    const std::uint8_t swapped = static_cast<std::uint8_t>((p[0] << 4) | (p[0] >> 4));
    if (p[5] != swapped)
        return {};
    std::string letters(p.begin() + 1, p.begin() + 5);
    struct Known {
        std::uint8_t type;
        const char* letters;
        std::size_t length;
    };
    static const Known known[] = {{0xF9, "APRG", 10}, {0xF6, "CKPG", 10}, {0x8A, "REST", 12},
                                  {0xF6, "CKSK", 10}, {0xF9, "RDSX", 10}, {0xF9, "ERAS", 10}};
    for (const Known& k : known)
        if (p[0] == k.type && letters == k.letters && p.size() == k.length)
            return letters;
    return {};
}

}  // namespace sim
