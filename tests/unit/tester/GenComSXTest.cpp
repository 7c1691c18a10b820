#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "GenComSX.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct CrcCase {
    Bytes data;
    std::uint32_t start;
    std::uint32_t end;
    std::uint16_t expected;
};

TEST(PacketCrc16, CheckValuesAndRanges) {
    const Bytes startProgramming{0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00};
    const CrcCase cases[] = {
        {Text("123456789"), 0, 8, 0x1D8F},
        {Text("abc"), 0, 2, 0x2543},
        {Bytes{0x5A}, 0, 0, 0x005A},
        {Bytes{0xFF}, 0, 0, 0x00FF},
        {startProgramming, 0, 7, 0x4DE3},
        {Text("x123456789"), 1, 9, 0x1D8F},  // a range inside the data
        {Text("abc"), 2, 1, 0},              // end before start: empty range
        {Text("abc"), 0x1000000, 0x1000000, 0},
        {Text("abc"), 0, 0x1000000, 0},
    };
    for (const CrcCase& c : cases) {
        EXPECT_EQ(PacketCrc16(c.data.data(), c.start, c.end), c.expected)
            << "start " << c.start << " end " << c.end;
    }
}

TEST(SlipEncode, StuffsSpecialBytesAndAppendsFill) {
    struct Case {
        Bytes in;
        Bytes out;
    };
    const Case cases[] = {
        {{0xC0, 0xDB}, {0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x01}, {0xC0, 0x01, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{0xDC, 0xDD, 0xFF}, {0xC0, 0xDC, 0xDD, 0xFF, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00, 0xE3, 0x4D},
         {0xC0, 0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00, 0xE3, 0x4D, 0xC0, 0xFF, 0xFF, 0xFF,
          0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        Bytes target(2 * c.in.size() + 7, 0xEE);
        const std::uint16_t n =
            SlipEncode(c.in.data(), target.data(), static_cast<std::uint16_t>(c.in.size()));
        target.resize(n);
        EXPECT_EQ(target, c.out);
    }
}

TEST(SlipEncode, WorstCaseFillsExactlyTheStatedRoom) {
    const Bytes in(100, 0xC0);
    Bytes target(2 * in.size() + 7 + 1, 0xEE);
    const std::uint16_t n = SlipEncode(in.data(), target.data(), 100);
    EXPECT_EQ(n, 2 * 100 + 7);
    EXPECT_EQ(target.back(), 0xEE);  // nothing written past the room
}

struct DecodeCase {
    const char* name;
    Bytes buffer;
    std::uint8_t result;
    Bytes packet;      // expected packet bytes when a length is set
    int packetLength;  // -1: unchanged (the sentinel stays)
    Bytes rest;        // what stays in the buffer
};

TEST(SlipDecode, FramesAndResults) {
    const DecodeCase cases[] = {
        {"worked example",
         {0xFF, 0xC0, 0xF9, 0xDB, 0xDC, 0xDB, 0xDD, 0x01, 0x02, 0x03, 0x04, 0x05, 0xC0, 0xFF},
         SlipOk,
         {0xF9, 0xC0, 0xDB, 0x01, 0x02, 0x03, 0x04, 0x05},
         8,
         {0xFF}},
        {"bad escape", {0xC0, 0xF9, 0xDB, 0x41, 0xC0}, SlipBadFrame, {}, 0, {0xC0}},
        {"too short",
         {0xC0, 0x01, 0x02, 0xC0, 0xAA, 0xBB},
         SlipBadFrame,
         {0x01, 0x02},
         2,
         {0xAA, 0xBB}},
        {"no closing END",
         {0xC0, 0x01, 0x02, 0x03},
         SlipIncomplete,
         {},
         -1,
         {0xC0, 0x01, 0x02, 0x03}},
        {"no END at all", {0x01, 0x02, 0x03}, SlipIncomplete, {}, -1, {0x01, 0x02, 0x03}},
        {"END is the last byte", {0xFF, 0xFF, 0xC0}, SlipIncomplete, {}, -1, {0xFF, 0xFF, 0xC0}},
        {"ESC is the last byte", {0xC0, 1, 2, 0xDB}, SlipIncomplete, {}, -1, {0xC0, 1, 2, 0xDB}},
        {"doubled END is one start",
         {0xC0, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0},
         SlipOk,
         {1, 2, 3, 4, 5, 6, 7, 8},
         8,
         {}},
        {"closing END last: buffer emptied",
         {0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0},
         SlipOk,
         {1, 2, 3, 4, 5, 6, 7, 8},
         8,
         {}},
        {"only the first frame",
         {0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0xC0, 9, 0xC0},
         SlipOk,
         {1, 2, 3, 4, 5, 6, 7, 8},
         8,
         {0xC0, 9, 0xC0}},
        {"seven bytes are too short",
         {0xC0, 1, 2, 3, 4, 5, 6, 7, 0xC0},
         SlipBadFrame,
         {1, 2, 3, 4, 5, 6, 7},
         7,
         {}},
        {"doubled END alone", {0xC0, 0xC0}, SlipIncomplete, {}, -1, {0xC0, 0xC0}},
        {"ESC then END is a bad escape, not a frame end",
         {0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xDB, 0xC0, 0xAA},
         SlipBadFrame,
         {},
         0,
         {0xAA}},
        {"escaped END counts as data",
         {0xC0, 1, 2, 3, 4, 5, 6, 0xDB, 0xDC, 0xC0},
         SlipBadFrame,
         {1, 2, 3, 4, 5, 6, 0xC0},
         7,
         {}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer = c.buffer;
        Bytes packet(PacketRoom, 0);
        std::uint16_t packetLength = 0x7777;
        std::uint16_t count = static_cast<std::uint16_t>(buffer.size());
        EXPECT_EQ(SlipDecode(buffer.data(), packet.data(), packetLength, count), c.result);
        if (c.packetLength < 0) {
            EXPECT_EQ(packetLength, 0x7777);
        } else {
            EXPECT_EQ(packetLength, c.packetLength);
            EXPECT_EQ(Bytes(packet.begin(), packet.begin() + c.packetLength), c.packet);
        }
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + count), c.rest);
    }
}

TEST(SlipDecode, RoundTripsEveryByteValue) {
    Bytes packet(256);
    for (int i = 0; i < 256; ++i) packet[i] = static_cast<std::uint8_t>(i);
    Bytes wire(2 * packet.size() + 7);
    std::uint16_t count = SlipEncode(packet.data(), wire.data(), 256);
    Bytes decoded(PacketRoom);
    std::uint16_t length = 0;
    ASSERT_EQ(SlipDecode(wire.data(), decoded.data(), length, count), SlipOk);
    ASSERT_EQ(length, 256);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + 256), packet);
    EXPECT_EQ(count, 5);  // the fill stays
}

TEST(SlipDecode, OverlongFrameStopsAtPacketRoom) {
    // END, 9000 data bytes, END: the packet would pass its room before the closing END.
    Bytes buffer(9002, 0x11);
    buffer.front() = 0xC0;
    buffer.back() = 0xC0;
    Bytes packet(PacketRoom + 16, 0xEE);
    std::uint16_t length = 3;
    std::uint16_t count = static_cast<std::uint16_t>(buffer.size());
    EXPECT_EQ(SlipDecode(buffer.data(), packet.data(), length, count), SlipIncomplete);
    EXPECT_EQ(count, 9002);
    EXPECT_EQ(length, 3);
    for (std::size_t i = PacketRoom; i < packet.size(); ++i) ASSERT_EQ(packet[i], 0xEE) << i;
}

TEST(SlipDecode, LongestPacketFitsItsRoom) {
    // 8191 stored bytes and the closing END decode; 8192 stored bytes never do.
    for (const std::size_t dataBytes : {std::size_t{8191}, std::size_t{8192}}) {
        SCOPED_TRACE(dataBytes);
        Bytes buffer(dataBytes + 2, 0x11);
        buffer.front() = 0xC0;
        buffer.back() = 0xC0;
        Bytes packet(PacketRoom);  // exactly the room: a write past it is caught
        std::uint16_t length = 3;
        std::uint16_t count = static_cast<std::uint16_t>(buffer.size());
        const std::uint8_t result = SlipDecode(buffer.data(), packet.data(), length, count);
        if (dataBytes < PacketRoom) {
            EXPECT_EQ(result, SlipOk);
            EXPECT_EQ(length, dataBytes);
            EXPECT_EQ(count, 0);
        } else {
            EXPECT_EQ(result, SlipIncomplete);
            EXPECT_EQ(length, 3);
            EXPECT_EQ(count, buffer.size());
        }
    }
}

TEST(SlipDecode, EmptyBufferIsIncomplete) {
    std::uint8_t buffer[1] = {0};
    std::uint8_t packet[PacketRoom];
    std::uint16_t length = 0;
    std::uint16_t count = 0;
    EXPECT_EQ(SlipDecode(buffer, packet, length, count), SlipIncomplete);
    EXPECT_EQ(count, 0);
}

}  // namespace
