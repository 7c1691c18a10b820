#include <gtest/gtest.h>

#include "DpPrsInfoRT.h"
#include "TesterFixture.h"

namespace {

// END, the 10 packet bytes, END, five 0xFF.
Bytes Wire10(const Bytes& packetWithCrc) {
    return Concat({Bytes(1, 0xC0), packetWithCrc, Bytes{0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}});
}

struct SenderCase {
    const char* name;
    void (*send)();
    Bytes wire;
};

class CommandPacketTest : public TesterTest {};

TEST_F(CommandPacketTest, EverySenderPutsItsFrameOnTheWire) {
    const SenderCase cases[] = {
        {"SendStartProgramming", SendStartProgramming, kStartProgrammingWire},
        {"SendCheckProgrammer", SendCheckProgrammer,
         Wire10({0xF6, 0x43, 0x4B, 0x50, 0x47, 0x6F, 0x00, 0x00, 0x7A, 0x3A})},
        {"SendReset", SendReset, kResetWire},
        {"SendCheckSocket", SendCheckSocket,
         Wire10({0xF6, 0x43, 0x4B, 0x53, 0x4B, 0x6F, 0x00, 0x00, 0xB4, 0x04})},
        {"SendReadChecksum", SendReadChecksum,
         Wire10({0xF9, 0x52, 0x44, 0x53, 0x58, 0x9F, 0x00, 0x00, 0x95, 0x59})},
        {"SendErase", SendErase,
         Wire10({0xF9, 0x45, 0x52, 0x41, 0x53, 0x9F, 0x00, 0x00, 0x2F, 0x73})},
    };
    for (const SenderCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake->sent.clear();
        c.send();
        ASSERT_EQ(fake->sent.size(), 1u);
        EXPECT_EQ(fake->sent[0], c.wire);
    }
    EXPECT_EQ(kStartProgrammingWire.size(), 17u);
    EXPECT_EQ(kResetWire.size(), 19u);
    EXPECT_TRUE(Log().empty());  // senders log nothing
}

TEST_F(CommandPacketTest, ButtonsEmptyTheReceiveBufferAndSend) {
    struct ButtonCase {
        const char* name;
        void (TFormMain::*click)();
        std::uint8_t type;
        std::uint8_t letter2;
    };
    const ButtonCase cases[] = {
        {"ButtonRST", &TFormMain::ButtonRSTClick, 0x8A, 'R'},
        {"ButtonChkCP", &TFormMain::ButtonChkCPClick, 0xF6, 'C'},
        {"ButtonChkPRG", &TFormMain::ButtonChkPRGClick, 0xF6, 'C'},
        {"ButtonStrPrg", &TFormMain::ButtonStrPrgClick, 0xF9, 'A'},
    };
    for (const ButtonCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake->sent.clear();
        Link.RxCount = 5;
        (form.get()->*c.click)();
        EXPECT_EQ(Link.RxCount, 0);
        ASSERT_EQ(fake->sent.size(), 1u);
        EXPECT_EQ(fake->sent[0][1], c.type);
        EXPECT_EQ(fake->sent[0][2], c.letter2);
    }
    // The two 0xF6 buttons differ in their letters.
    fake->sent.clear();
    form->ButtonChkCPClick();
    form->ButtonChkPRGClick();
    EXPECT_EQ(fake->sent[0][4], 'S');
    EXPECT_EQ(fake->sent[1][4], 'P');
}

TEST_F(CommandPacketTest, SenderOnClosedPortIsLostSilently) {
    fake->handle = 0;
    SendStartProgramming();
    ASSERT_EQ(fake->sent.size(), 1u);  // offered, and refused by the port
    EXPECT_TRUE(Log().empty());
    EXPECT_FALSE(RunState.RunFinished);
}

}  // namespace
