#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "DpPrsInfoRT.h"
#include "TesterFixture.h"

namespace {

// A programmer information packet of 158 bytes.
struct InfoPacket {
    Bytes bytes = Bytes(158, 0);
    InfoPacket() {
        bytes[0] = 0xFA;
        bytes[1] = 'W';
        bytes[2] = 'D';
        bytes[3] = 'I';
    }
    InfoPacket& U8(std::size_t at, std::uint8_t v) {
        bytes[at] = v;
        return *this;
    }
    InfoPacket& U16(std::size_t at, std::uint16_t v) {
        bytes[at] = static_cast<std::uint8_t>(v);
        bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
        return *this;
    }
    InfoPacket& U32(std::size_t at, std::uint32_t v) {
        U16(at, static_cast<std::uint16_t>(v));
        return U16(at + 2, static_cast<std::uint16_t>(v >> 16));
    }
    // A text field of the given width: the text, then zero bytes.
    InfoPacket& Text(std::size_t at, std::size_t width, const std::string& s) {
        std::memset(bytes.data() + at, 0, width);
        std::memcpy(bytes.data() + at, s.data(), std::min(s.size(), width));
        return *this;
    }
    InfoPacket& ChipName(const std::string& s) { return Text(88, 16, s); }
    InfoPacket& FileName(const std::string& s) { return Text(104, 48, s); }
};

InfoPacket Typical() {
    return InfoPacket()
        .U16(16, 512)
        .U16(24, 0xBEEF)
        .U16(26, 0x0A0B)
        .ChipName("STM32F103")
        .FileName("firmware.hex");
}

const std::vector<std::string> kTypicalHead{
    "> Current Programmer Information : ", "   Current ROM Size is : 512KB.",
    "   Current Flash CRC Sum : 0xBEEF.",  "   Current Flash ACC Sum : 0x0A0B.",
    "   Current Chip Name is : STM32F103", "   Current File Name is : firmware.hex"};

std::vector<std::string> Lines(std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The typical block with another chip name (and file name), extra lines after the names.
std::vector<std::string> WithChip(const std::string& chip, std::vector<std::string> extra,
                                  const std::string& file = "firmware.hex") {
    std::vector<std::string> lines(kTypicalHead.begin(), kTypicalHead.end() - 2);
    lines.push_back("   Current Chip Name is : " + chip);
    lines.push_back("   Current File Name is : " + file);
    lines.insert(lines.end(), extra.begin(), extra.end());
    lines.push_back("   No S/N is Used!");
    lines.push_back("End of Commad!");
    return lines;
}

struct InfoCase {
    const char* name;
    Bytes packet;
    std::vector<std::string> log;
};

class InfoDecoderTest : public TesterTest {};

TEST_F(InfoDecoderTest, ProgrammerInformationBlock) {
    const InfoCase cases[] = {
        {"typical, no S/N", Typical().bytes,
         Lines(kTypicalHead, {"   No S/N is Used!", "End of Commad!"})},
        {"S/N in use",
         Typical()
             .U8(40, 0x01)
             .U16(42, 3)
             .U32(44, 0x0800F000)
             .U32(48, 0x10)
             .U32(52, 0xABCDEF01)
             .bytes,
         Lines(kTypicalHead,
               {"   S/N is Used : Gain=3,Address=0x0800F000.",
                "   Start S/N is : 0x00000010.Current SN=0xABCDEF01.", "End of Commad!"})},
        {"S/N flag other bits only", Typical().U8(40, 0xFE).bytes,
         Lines(kTypicalHead, {"   No S/N is Used!", "End of Commad!"})},
        {"MKE chip shows the file checksum",
         Typical().ChipName("MKE16Z64").U32(154, 0x00C0FFEE).bytes,
         WithChip("MKE16Z64", {"   File CheckSum = 0x00C0FFEE."})},
        {"XMC chip shows the file checksum", Typical().ChipName("XMC1100").U32(154, 1).bytes,
         WithChip("XMC1100", {"   File CheckSum = 0x00000001."})},
        {"lower-case mke does not", Typical().ChipName("mke16z64").bytes, WithChip("mke16z64", {})},
        {"MK alone does not", Typical().ChipName("MK").bytes, WithChip("MK", {})},
        {"full-width names",
         Typical().ChipName("ABCDEFGHIJKLMNOP").FileName(std::string(48, 'f')).bytes,
         WithChip("ABCDEFGHIJKLMNOP", {}, std::string(48, 'f'))},
        {"control bytes in the names cannot start lines",
         Typical()
             .ChipName("\r\nEnd\x7f")
             .FileName("\r\nEnd of Commad: Success!\x1b \x80\xff")
             .bytes,
         WithChip("??End?", {}, "??End of Commad: Success!? \x80\xff")},
        {"flag bit set hides everything", Typical().U8(14, 0x01).bytes, {"End of Commad!"}},
        {"wrong signature hides everything", Typical().U8(3, 'X').bytes, {"End of Commad!"}},
    };
    for (const InfoCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunState.RunFinished = false;
        RunState.RunResult = 0x55;
        form->InfoMemo.Clear();
        Feed(Frame(c.packet));
        EXPECT_EQ(Log(), c.log);
        EXPECT_TRUE(RunState.RunFinished);
        EXPECT_EQ(RunState.RunResult, 0x55);
    }
}

TEST_F(InfoDecoderTest, ShortInformationPacketReadsMissingFieldsAsZero) {
    // 100 bytes arrive: the chip name is cut after 12 characters, the file name is missing.
    // Earlier traffic leaves other bytes in PacketBuffer; none of them may show.
    std::memset(Link.PacketBuffer, 'Z', LinkBufferSize);
    Bytes p = Typical().ChipName("MKE16Z64ABCDEFGH").bytes;
    p.resize(100);
    Feed(Frame(p));
    const std::vector<std::string> expected{"> Current Programmer Information : ",
                                            "   Current ROM Size is : 512KB.",
                                            "   Current Flash CRC Sum : 0xBEEF.",
                                            "   Current Flash ACC Sum : 0x0A0B.",
                                            "   Current Chip Name is : MKE16Z64ABCD",
                                            "   Current File Name is : ",
                                            "   File CheckSum = 0x00000000.",
                                            "   No S/N is Used!",
                                            "End of Commad!"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(InfoDecoderTest, ShortestInformationPacket) {
    std::memset(Link.PacketBuffer, 0xFF, LinkBufferSize);
    Feed(Frame({0xFA, 'W', 'D', 'I', 0, 0, 0, 0}));
    const std::vector<std::string> expected{"> Current Programmer Information : ",
                                            "   Current ROM Size is : 0KB.",
                                            "   Current Flash CRC Sum : 0x0000.",
                                            "   Current Flash ACC Sum : 0x0000.",
                                            "   Current Chip Name is : ",
                                            "   Current File Name is : ",
                                            "   No S/N is Used!",
                                            "End of Commad!"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(InfoDecoderTest, IdentityPackets) {
    const InfoCase cases[] = {
        {"count 0", {0xFC, 0, 0, 0, 0, 0, 0, 0}, {Stamped("ID : ")}},
        {"count 2", {0xFC, 0, 2, 0x0A, 0xFF, 0, 0, 0}, {Stamped("ID : 0x0A 0xFF ")}},
        {"count past the end shows what arrived",
         {0xFC, 0, 200, 1, 2, 3, 4, 5},
         {Stamped("ID : 0x01 0x02 0x03 0x04 0x05 ")}},
    };
    for (const InfoCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->InfoMemo.Clear();
        Feed(Frame(c.packet));
        EXPECT_EQ(Log(), c.log);
        EXPECT_FALSE(RunState.RunFinished);
    }
}

// Return data with its check byte: digest over bytes 0..4+n, data over bytes 1..3+n.
// The head and the variable part, allocated at the final size at once (growing a vector that an
// initializer list sized exactly makes GCC 12 see a copy out of bounds).
Bytes HeadAndBody(std::initializer_list<std::uint8_t> head, const Bytes& body) {
    Bytes p(head.size() + body.size());
    std::copy(body.begin(), body.end(), std::copy(head.begin(), head.end(), p.begin()));
    return p;
}

Bytes Digest(const Bytes& digest) {
    Bytes p = HeadAndBody({0xFB, 0xF0, static_cast<std::uint8_t>(digest.size()), 0x00}, digest);
    std::uint8_t sum = 0;
    for (std::uint8_t b : p) sum = static_cast<std::uint8_t>(sum + b);
    p.push_back(static_cast<std::uint8_t>(0x100 - sum));
    while (p.size() < 8) p.push_back(0);
    return p;
}

Bytes DataReturn(std::uint8_t id, const Bytes& data) {
    Bytes p = HeadAndBody({0xFB, id, static_cast<std::uint8_t>(data.size())}, data);
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < p.size(); ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    p.push_back(static_cast<std::uint8_t>(0x100 - sum));
    while (p.size() < 8) p.push_back(0);
    return p;
}

TEST_F(InfoDecoderTest, ReturnData) {
    Bytes md5(16);
    for (int i = 0; i < 16; ++i) md5[i] = static_cast<std::uint8_t>(0xA0 + i);
    Bytes badDigest = Digest(md5);
    badDigest[20] ^= 1;
    Bytes badData = DataReturn(0x10, {0x33});
    badData[4] ^= 1;
    const InfoCase cases[] = {
        {"digest", Digest(md5), {Stamped("MD5: A0A1A2A3A4A5A6A7A8A9AAABACADAEAF")}},
        {"digest with bad check dropped", badDigest, {}},
        {"digest cut short dropped", {0xFB, 0xF0, 16, 0, 1, 2, 3, 4}, {}},
        {"data",
         DataReturn(0x10, {0x01, 0x02}),
         {Stamped("Get Return Data ID=0x10,Length=2,Data :  01 02")}},
        {"chip UID",
         DataReturn(0xA5, {0xDE, 0xAD, 0xBE, 0xEF}),
         {Stamped("Read Out Chip UID : DE AD BE EF")}},
        {"empty data", DataReturn(0x22, {}), {Stamped("Get Return Data ID=0x22,Length=0,Data : ")}},
        {"data with bad check shown raw", badData, {Stamped("Received Packet :  FB 10 01 33 BD")}},
        {"data cut short shown raw as far as it arrived",
         {0xFB, 0x10, 9, 1, 2, 3, 4, 5},
         {Stamped("Received Packet :  FB 10 09 01 02 03 04 05")}},
    };
    for (const InfoCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->InfoMemo.Clear();
        Feed(Frame(c.packet));
        EXPECT_EQ(Log(), c.log);
        EXPECT_FALSE(RunState.RunFinished);
        EXPECT_EQ(RunState.RunResult, 255);
    }
}

// The reset-and-retry across the status decoder, the information packet and the timer.
TEST_F(InfoDecoderTest, ResetAndRetryAcrossDecodersAndTimer) {
    Start({"-COM=3", "-DOPROGA"});
    fake->sent.clear();
    form->InfoMemo.Clear();

    Feed(Frame(Status(0xF0, 0x86, 0, 0)));  // first failure: reset
    ASSERT_TRUE(RunState.RetryStarted);
    ASSERT_EQ(fake->sent.size(), 1u);
    EXPECT_EQ(fake->sent[0], kResetWire);
    EXPECT_FALSE(RunState.RunFinished);

    Feed(Frame(Typical().bytes));  // the programmer announces itself after its reset
    EXPECT_EQ(RunState.RetryCountdown, 20);
    EXPECT_EQ(RunState.TimeoutCountdown, 200);
    EXPECT_FALSE(RunState.RunFinished);

    for (int tick = 1; tick < 20; ++tick) form->Timer1Timer();
    EXPECT_EQ(fake->sent.size(), 1u);  // not yet
    Link.RxCount = 3;
    form->Timer1Timer();  // 20th tick: the start command again, receive buffer emptied
    ASSERT_EQ(fake->sent.size(), 2u);
    EXPECT_EQ(fake->sent[1], kStartProgrammingWire);
    EXPECT_EQ(Link.RxCount, 0);
    EXPECT_EQ(RunState.TimeoutCountdown, 180);
    form->Timer1Timer();
    EXPECT_EQ(fake->sent.size(), 2u);  // once only

    Feed(Frame(Status(0xF0, 0x86, 0, 0)));  // second failure is final
    EXPECT_TRUE(RunState.RunFinished);
    EXPECT_EQ(RunState.RunResult, 0x96);
    EXPECT_EQ(fake->sent.size(), 2u);
    EXPECT_EQ(Log().back(), "End of Commad: Failed!");
    EXPECT_EQ(Log()[Log().size() - 2], Stamped("Progrmming Completed : Failed : Error=0x86!"));
}

TEST_F(InfoDecoderTest, RetryWithHiddenInformationArmsNothing) {
    RunState.RetryStarted = true;
    RunState.TimeoutCountdown = 99;
    Feed(Frame(Typical().U8(14, 1).bytes));
    EXPECT_EQ(Log(), std::vector<std::string>{"End of Commad!"});
    EXPECT_EQ(RunState.RetryCountdown, 0);
    EXPECT_FALSE(RunState.RunFinished);
}

TEST_F(InfoDecoderTest, RetryThenSuccess) {
    RunState.RetryStarted = false;
    Feed(Frame(Status(0xF2, 0x86, 0, 0)));
    Feed(Frame(Typical().bytes));
    for (int tick = 0; tick < 20; ++tick) form->Timer1Timer();
    Feed(Frame(Status(0xF2, 0x06, 0x0002, 0x0001)));
    EXPECT_TRUE(RunState.RunFinished);
    EXPECT_EQ(RunState.RunResult, 0);
    EXPECT_EQ(Log().back(), "End of Commad: Success!");
}

}  // namespace
