#include <gtest/gtest.h>

#include "DpPrsInfoRT.h"
#include "TesterFixture.h"

namespace {

const Bytes kBlank = Frame(Status(0x20, 0, 0, 0));  // logs "Chip Blank Checking...."
const Bytes kErase = Frame(Status(0x30, 0, 0, 0));  // logs "Do Chip Erasing...."
const std::string kBlankLine = Stamped("Chip Blank Checking....");
const std::string kEraseLine = Stamped("Do Chip Erasing....");

Bytes Head(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}
Bytes Tail(const Bytes& b, std::size_t n) {
    return Bytes(b.begin() + n, b.end());
}

struct ChunkCase {
    const char* name;
    std::vector<Bytes> chunks;
    std::vector<std::string> log;
    int rxCountAfter;
};

class ReceiveAssemblyTest : public TesterTest {};

TEST_F(ReceiveAssemblyTest, ChunksBecomePacketsInOrder) {
    Bytes badEscape = kErase;
    badEscape[3] = 0xDB;  // ESC followed by a byte that is neither ESC_END nor ESC_ESC
    badEscape[4] = 0x41;
    const Bytes echo = Frame({0xF9, 0x41, 0x50, 0x52, 0x47, 0x9F, 0x00, 0x00, 0xE3, 0x4D});
    const Bytes shortFrame{0xC0, 0xFD, 0x20, 0x00, 0xC0};
    const Bytes unknownType = Frame({0x77, 1, 2, 3, 4, 5, 6, 7});

    const ChunkCase cases[] = {
        {"one frame", {kBlank}, {kBlankLine}, 0},
        {"split over two chunks", {Head(kBlank, 4), Tail(kBlank, 4)}, {kBlankLine}, 0},
        {"split byte by byte",
         [] {
             std::vector<Bytes> bytes;
             for (std::uint8_t b : kBlank) bytes.push_back({b});
             return bytes;
         }(),
         {kBlankLine},
         0},
        {"two frames in one chunk", {Concat({kBlank, kErase})}, {kBlankLine, kEraseLine}, 0},
        {"fill bytes and doubled END before a frame",
         {Concat({{0xFF, 0xFF, 0xFF, 0xC0}, kBlank, {0xFF, 0xFF}})},
         {kBlankLine},
         2},
        {"a run of END bytes is one frame start",
         {Concat({{0xC0, 0xC0, 0xC0}, kBlank})},
         {kBlankLine},
         0},
        {"bad escape then a good frame", {Concat({badEscape, kBlank})}, {kBlankLine}, 0},
        {"short frame dropped", {Concat({shortFrame, kErase})}, {kEraseLine}, 0},
        {"echo of a command ignored", {Concat({echo, kBlank})}, {kBlankLine}, 0},
        {"unknown type ignored", {unknownType}, {}, 0},
        {"unfinished rest kept", {Concat({kBlank, Head(kErase, 5)})}, {kBlankLine}, 5},
        {"unfinished rest completed by the next chunk",
         {Concat({kBlank, Head(kErase, 5)}), Tail(kErase, 5)},
         {kBlankLine, kEraseLine},
         0},
        {"noise only is kept for the next scan", {{0x11, 0x22, 0x33}}, {}, 3},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->InfoMemo.Clear();
        Link.RxCount = 0;
        for (const Bytes& chunk : c.chunks) Feed(chunk);
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(Link.RxCount, c.rxCountAfter);
    }
}

TEST_F(ReceiveAssemblyTest, EveryChunkReloadsTheTimeout) {
    RunState.TimeoutReload = 1234;
    RunState.TimeoutCountdown = 7;
    Feed({0xFF});
    EXPECT_EQ(RunState.TimeoutCountdown, 1234);
}

TEST_F(ReceiveAssemblyTest, OverflowPast8191ClearsEverythingHeld) {
    // 8000 bytes of noise held, then a chunk with a frame that would lift the total past 8191.
    Link.RxCount = 0;
    for (int i = 0; i < 4; ++i) Feed(Bytes(2000, 0x11));
    ASSERT_EQ(Link.RxCount, 8000);
    Feed(Concat({Bytes(180, 0x22), kBlank, Bytes(10, 0x33)}));  // 8000 + 200 > 8191
    EXPECT_EQ(Link.RxCount, 0);
    EXPECT_TRUE(Log().empty());
    // Reception starts afresh with the next chunk.
    Feed(kErase);
    EXPECT_EQ(Log(), std::vector<std::string>{kEraseLine});
}

TEST_F(ReceiveAssemblyTest, ExactlyTo8191IsKept) {
    for (int i = 0; i < 4; ++i) Feed(Bytes(2000, 0x11));
    Feed(Bytes(191, 0x11));
    EXPECT_EQ(Link.RxCount, 8191);
    Feed({0x11});
    EXPECT_EQ(Link.RxCount, 0);
}

TEST_F(ReceiveAssemblyTest, FrameStraddlingTheOverflowIsLost) {
    for (int i = 0; i < 4; ++i) Feed(Bytes(2000, 0x11));
    Feed(Concat({Bytes(185, 0x11), Head(kBlank, 4)}));  // 8189 held, the frame has begun
    ASSERT_EQ(Link.RxCount, 8189);
    Feed(Tail(kBlank, 4));  // would exceed 8191: all discarded
    EXPECT_EQ(Link.RxCount, 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(ReceiveAssemblyTest, TraceLineShowsEveryChunkInHex) {
    RunState.TraceMode = true;
    Feed({0x00, 0xAB, 0xC0});
    Feed({0x0F});
    const std::vector<std::string> expected{"RX Chunk(3): 00 AB C0", "RX Chunk(1): 0F"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(ReceiveAssemblyTest, TraceLineComesBeforeTheDecodedLines) {
    RunState.TraceMode = true;
    Feed(kBlank);
    ASSERT_EQ(Log().size(), 3u);
    EXPECT_EQ(Log()[0].rfind("RX Chunk(10): C0 FD 20", 0), 0u);
    EXPECT_EQ(Log()[1].rfind(Stamped("RX: 0xFD 0x20 "), 0), 0u);
    EXPECT_EQ(Log()[2], kBlankLine);
}

TEST_F(ReceiveAssemblyTest, RetryEmptiesTheBufferAndDropsTheRestOfTheChunk) {
    const Bytes retry = Frame(Status(0xF0, 0x86, 0, 0));
    Feed(Concat({kBlank, retry, kErase}));
    const std::vector<std::string> expected{kBlankLine, Stamped("Handle Resety Programmer.......")};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(Link.RxCount, 0);
    // The reset went out, and nothing of the dropped frame comes back with the next chunk.
    ASSERT_EQ(fake->sent.size(), 1u);
    EXPECT_EQ(fake->sent[0], kResetWire);
    Feed({0xFF});
    EXPECT_EQ(Log().size(), 2u);
}

struct ScanCase {
    const char* name;
    Bytes rx;
    bool found;
    Bytes frame;
    int positionAfter;
};

TEST_F(ReceiveAssemblyTest, ScanFrameCutsFramesOutOfRxBuffer) {
    const ScanCase cases[] = {
        {"plain", {0xC0, 1, 2, 0xC0, 9}, true, {0xC0, 1, 2, 0xC0}, 4},
        {"leading noise", {7, 7, 0xC0, 1, 0xC0}, true, {0xC0, 1, 0xC0}, 5},
        {"run of END", {0xC0, 0xC0, 0xC0, 1, 0xC0}, true, {0xC0, 1, 0xC0}, 5},
        {"no closing END", {0xC0, 1, 2}, false, {}, 3},
        {"no END", {1, 2, 3}, false, {}, 3},
        {"END last", {1, 0xC0}, false, {}, 2},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(c.rx.begin(), c.rx.end(), Link.RxBuffer);
        Link.RxCount = static_cast<std::uint16_t>(c.rx.size());
        std::uint16_t position = 0;
        std::uint16_t frameLength = 0;
        EXPECT_EQ(ScanFrame(position, frameLength), c.found);
        EXPECT_EQ(position, c.positionAfter);
        if (c.found) {
            EXPECT_EQ(Bytes(Link.FrameBuffer, Link.FrameBuffer + frameLength), c.frame);
        }
    }
}

}  // namespace
