#include <gtest/gtest.h>

#include <algorithm>

#include "DpPrsInfoRT.h"
#include "TesterFixture.h"

namespace {

constexpr const char* kSuccess = "End of Commad: Success!";
constexpr const char* kFailed = "End of Commad: Failed!";

struct StatusCase {
    const char* name;
    Bytes packet;
    std::vector<std::string> log;  // a leading '=' marks a plain line, anything else is stamped
    std::uint8_t runResult;        // RunResult before is 0x77
    bool finished;
};

Bytes Raw(std::initializer_list<std::uint8_t> bytes) {
    return Bytes(bytes);
}

Bytes WithTag(std::uint8_t param, const char* tag) {
    Bytes p = Status(0xFA, param, 0, 0);
    for (int i = 0; i < 4; ++i) p[3 + i] = static_cast<std::uint8_t>(tag[i]);
    std::uint8_t sum = 0;
    for (int i = 0; i < 7; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    p[7] = static_cast<std::uint8_t>(0x100 - sum);
    return p;
}

Bytes StateBytes(std::uint8_t b3, std::uint8_t b4, std::uint8_t b5) {
    Bytes p = Status(0xFA, 2, static_cast<std::uint16_t>(b3 | (b4 << 8)), b5);
    return p;
}

std::vector<std::string> Expand(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) out.push_back(l[0] == '=' ? l.substr(1) : Stamped(l));
    return out;
}

class StatusDecoderTest : public TesterTest {
  protected:
    void Run(const StatusCase& c) {
        form->InfoMemo.Clear();
        RunState.RunResult = 0x77;
        RunState.RunFinished = false;
        Link.RxCount = 0;
        Feed(Frame(c.packet));
        EXPECT_EQ(Log(), Expand(c.log));
        EXPECT_EQ(RunState.RunResult, c.runResult);
        EXPECT_EQ(RunState.RunFinished, c.finished);
    }
};

TEST_F(StatusDecoderTest, ProgressLines) {
    const StatusCase cases[] = {
        {"0x10 start",
         Status(0x10, 0, 0xBEEF, 0x12AB),
         {"Current Data ACC16=0x12AB,CRC16=0xBEEF.", "Initial Programming Interface ...."},
         255,
         false},
        {"0x20", Status(0x20, 0, 0, 0), {"Chip Blank Checking...."}, 0x77, false},
        {"0x2F block",
         Status(0x2F, 4, 0, 0),
         {"Do Flash Block 5 Blank Checking ......"},
         0x77,
         false},
        {"0x30", Status(0x30, 0, 0, 0), {"Do Chip Erasing...."}, 0x77, false},
        {"0x3F block", Status(0x3F, 0, 0, 0), {"Do Flash Block 1 Erasing ......"}, 0x77, false},
        {"0x40 start", Status(0x40, 0, 0, 0), {"Do Main Flash Programming...."}, 0x77, false},
        {"0x40 progress", Status(0x40, 0, 1, 0), {}, 0x77, false},
        {"0x4F block 256",
         Status(0x4F, 255, 0, 0),
         {"Do Main Flash Block 256 Programming ......"},
         0x77,
         false},
        {"0x50 start", Status(0x50, 0, 0, 0), {"Do EEP Data Programming...."}, 0x77, false},
        {"0x50 progress", Status(0x50, 0, 2, 0), {}, 0x77, false},
        {"0x56", Status(0x56, 0, 5, 0), {"Do Ext. Flash Programming ......"}, 0x77, false},
        {"0x70", Status(0x70, 0, 0, 0), {"Do Main Flash Verification...."}, 0x77, false},
        {"0x75", Status(0x75, 0, 0, 0), {"Do Ext. Flash Verification ......"}, 0x77, false},
        {"0x7F", Status(0x7F, 9, 0, 0), {"Do Main Flash Block 10 Verify ......"}, 0x77, false},
        {"0x80", Status(0x80, 0, 0, 0), {"Do EEP Data Verification...."}, 0x77, false},
        {"0x90 start",
         Status(0x90, 0, 0, 0),
         {"Start Program SE/HSE Firmware Image...."},
         0x77,
         false},
        {"0x90 progress", Status(0x90, 0, 3, 0), {}, 0x77, false},
        {"0x93 start",
         Status(0x93, 0, 0, 0),
         {"Program and Verify SE Upgrade APP...."},
         0x77,
         false},
        {"0x93 progress", Status(0x93, 0, 0x100, 0), {}, 0x77, false},
        {"0x95", Status(0x95, 0, 0, 0), {"Start to Install SE/HSE Firmware ...."}, 0x77, false},
        {"0x9A", Status(0x9A, 0, 0, 0), {"Start to Check HSE Firmware Status ......"}, 0x77, false},
        {"0x9D", Status(0x9D, 0, 0, 0), {"HSE Firmware Has Been Installed!"}, 0x77, false},
        {"0x9F", Status(0x9F, 0, 0, 0), {"SE/HSE Firmware Installed Success!"}, 0x77, false},
        {"0xA0 no SN",
         Status(0xA0, 0, 0x1234, 0x5678),
         {"Do Chip Option Byte Programming...."},
         0x77,
         false},
        {"0xA0 SN",
         Status(0xA0, 1, 0x00CD, 0x00AB),
         {"Do Chip Option Byte Programming...., Current SN=0x00AB00CD."},
         0x77,
         false},
        {"0xE7", Status(0xE7, 0, 0, 0), {"Start to Check Current XSE Version......"}, 0x77, false},
        {"0xE9",
         Status(0xE9, 0, 0x0002, 0x0001),
         {"Read Chip SEx Version is : 0x0001.0002."},
         0x77,
         false},
        {"0xEA", Status(0xEA, 0, 0, 0), {"Start to Upgrade XSE Firmware......"}, 0x77, false},
        {"0xFB sum 1", Status(0xFB, 0x00, 0x5678, 0x1234), {"CheckSum1:0x12345678."}, 0x77, false},
        {"0xFB sum 2", Status(0xFB, 0x03, 0xFFFF, 0x0000), {"CheckSum2:0x0000FFFF."}, 0x77, false},
        {"0xFB other", Status(0xFB, 0x01, 1, 2), {""}, 0x77, false},
        {"0xFE",
         Status(0xFE, 200, 0x00AB, 0xCDEF),
         {"Return Code 200 Is : 0xCDEF,0x00AB."},
         0x77,
         false},
        {"unknown opcode",
         Status(0x11, 2, 3, 4),
         {"RX Info: 0xFD 0x11 0x02 0x03 0x00 0x04 0x00 0xE9 "},
         0x77,
         false},
        {"bad check byte", Raw({0xFD, 0x20, 0, 0, 0, 0, 0, 0x00}), {}, 0x77, false},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c);
    }
}

TEST_F(StatusDecoderTest, KeyStepsAndAddressLines) {
    const StatusCase cases[] = {
        {"E3 00", Status(0xE3, 0x00, 0, 0), {"Start to Prog Public Key......."}, 0x77, false},
        {"E3 03", Status(0xE3, 0x03, 0, 0), {"Start to Prog Command Key......."}, 0x77, false},
        {"E3 05", Status(0xE3, 0x05, 0, 0), {"Start to Prog AES Decrypt Key......."}, 0x77, false},
        {"E3 07", Status(0xE3, 0x07, 0, 0), {"Start to Prog MCU Flags......."}, 0x77, false},
        {"E3 other", Status(0xE3, 0x01, 0, 0), {"Unknow operation......"}, 0x77, false},
        {"E5 00",
         Status(0xE5, 0x00, 0, 0),
         {"Start to Read Keys for Checking......."},
         0x77,
         false},
        {"E5 03",
         Status(0xE5, 0x03, 0, 0),
         {"Start to Verify Keys and MCU Flags......."},
         0x77,
         false},
        {"E5 05", Status(0xE5, 0x05, 0, 0), {"Start to Check Chip Status......."}, 0x77, false},
        {"E5 07",
         Status(0xE5, 0x07, 0, 0),
         {"Start to Modify Chip Debug Lock/Unlock Statu......."},
         0x77,
         false},
        {"E5 other", Status(0xE5, 0xFF, 0, 0), {"Unknow operation......"}, 0x77, false},
        {"ED S", Status(0xED, 0x53, 0x0000, 0x0800), {"Start Address is 0x08000000."}, 0x77, false},
        {"ED E", Status(0xED, 0x45, 0xFFFF, 0x0807), {"End Address is 0x0807FFFF."}, 0x77, false},
        {"ED other",
         Status(0xED, 0x00, 0x1000, 0x0000),
         {"Current Address is 0x00001000."},
         0x77,
         false},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c);
    }
}

TEST_F(StatusDecoderTest, StateReports) {
    const StatusCase cases[] = {
        {"PCSR", WithTag(0, "PCSR"), {"No Chip In Socket!"}, 0x77, false},
        {"PCNI", WithTag(0, "PCNI"), {"Has Chip In Socket!"}, 0x77, false},
        {"LOCK", WithTag(0, "LOCK"), {"Socket has been Locked!"}, 0x77, false},
        {"param 0 other", WithTag(0, "WPKO"), {""}, 0x77, false},
        {"WPKO", WithTag(1, "WPKO"), {"Programmer is ready to Start!"}, 0x77, false},
        {"WPGN", WithTag(1, "WPGN"), {"Programmer has Error!"}, 0x77, false},
        {"param 1 other", WithTag(1, "PCSR"), {""}, 0x77, false},
        {"state all well",
         StateBytes(0x00, 0x06, 0x06),
         {"Chip is In,Programmer is Ready,Socket is OK."},
         0x77,
         false},
        {"state all bad",
         StateBytes(0x01, 0x00, 0x15),
         {"No Chip In,Programmer is Corrupted,Socket is Locked."},
         0x77,
         false},
        {"CERR", WithTag(3, "CERR"), {"Received Error Command!"}, 0x25, true},
        {"param 3 other", WithTag(3, "LOCK"), {""}, 0x77, false},
        {"param 9", WithTag(9, "CERR"), {""}, 0x77, false},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c);
    }
}

TEST_F(StatusDecoderTest, AnswersThatEndTheRun) {
    RunState.RetryStarted = true;  // failures here are final
    const StatusCase cases[] = {
        {"F0 success with ACC16",
         Status(0xF0, 0x06, 0xBEEF, 0x1234),
         {"Progrmming Completed : Successed !Chip ACC16=0x1234,CRC16=0xBEEF.",
          std::string("=") + kSuccess},
         0,
         true},
        {"F0 success checksum only",
         Status(0xF0, 0x06, 0x0ABC, 0),
         {"Progrmming Completed : Successed !CheckSum: 0x0ABC", std::string("=") + kSuccess},
         0,
         true},
        {"F1 success",
         Status(0xF1, 0x06, 0x5678, 0x1234),
         {"Progrmming Completed : Successed !Chip ACC32=0x12345678.", "CheckSum: 0x1234",
          std::string("=") + kSuccess},
         0,
         true},
        {"F2 success",
         Status(0xF2, 0x06, 0x0001, 0xA000),
         {"Progrmming Completed : Successed !Chip CRC32 = 0xA0000001.",
          std::string("=") + kSuccess},
         0,
         true},
        {"F0 failure 0x86 after retry",
         Status(0xF0, 0x86, 0, 0),
         {"Progrmming Completed : Failed : Error=0x86!", std::string("=") + kFailed},
         0x96,
         true},
        {"F0 failure 0xC0 after retry",
         Status(0xF0, 0xC0, 0, 0),
         {"Progrmming Completed : Failed : Error=0xC0!", std::string("=") + kFailed},
         0xD0,
         true},
        {"F1 failure 0x21",
         Status(0xF1, 0x21, 0, 0),
         {"Progrmming Completed : Failed : Error=0x21!", std::string("=") + kFailed},
         0x31,
         true},
        // A failure status of 0xF0 and above must not wrap to 0..6 (an OK log name).
        {"F2 failure 0xF0 saturates",
         Status(0xF2, 0xF0, 0, 0),
         {"Progrmming Completed : Failed : Error=0xF0!", std::string("=") + kFailed},
         0xFF,
         true},
        {"F0 failure 0xF6 saturates",
         Status(0xF0, 0xF6, 0, 0),
         {"Progrmming Completed : Failed : Error=0xF6!", std::string("=") + kFailed},
         0xFF,
         true},
        {"F0 failure 0xEE stays unsaturated",
         Status(0xF0, 0xEE, 0, 0),
         {"Progrmming Completed : Failed : Error=0xEE!", std::string("=") + kFailed},
         0xFE,
         true},
        {"F6 success",
         Status(0xF6, 0x06, 0x00CD, 0x00AB),
         {"Command Successed, Read ACC16=0x00AB,CRC16=0x00CD."},
         0,
         true},
        {"F6 failure", Status(0xF6, 0x31, 0, 0), {"Command Failed : Error=0x31!"}, 0x41, true},
        {"F6 failure 0xF6 saturates",
         Status(0xF6, 0xF6, 0, 0),
         {"Command Failed : Error=0xF6!"},
         0xFF,
         true},
        {"F7 success keeps RunResult",
         Status(0xF7, 0x06, 0, 0),
         {"Command Operation Successed!"},
         0x77,
         true},
        {"F7 failure keeps RunResult",
         Status(0xF7, 0x44, 0, 0),
         {"Command Operation Failed : Error=0x44!"},
         0x77,
         true},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c);
    }
}

TEST_F(StatusDecoderTest, NoWrapForAnyFailureStatus) {
    RunState.RetryStarted = true;
    for (int status = 0; status < 256; ++status) {
        if (status == 0x06)
            continue;
        for (std::uint8_t op : {0xF0, 0xF1, 0xF2, 0xF6}) {
            RunState.RunResult = 0x77;
            form->InfoMemo.Clear();
            Feed(Frame(Status(op, static_cast<std::uint8_t>(status), 0, 0)));
            EXPECT_NE(RunState.RunResult, 0) << "op " << int(op) << " status " << status;
            EXPECT_NE(RunState.RunResult, 6) << "op " << int(op) << " status " << status;
            EXPECT_EQ(RunState.RunResult, std::min(status + 0x10, 0xFF));
        }
    }
}

TEST_F(StatusDecoderTest, TraceModeEchoesEveryPacketFirst) {
    RunState.TraceMode = true;
    const std::string echoLine = "RX: 0xFD 0x20 0x00 0x00 0x00 0x00 0x00 0xE3 ";
    DecodeStatusPacket();  // nothing decoded yet: no packet of 8 bytes, no line
    EXPECT_TRUE(Log().empty());

    Feed(Frame(Status(0x20, 0, 0, 0)));
    Feed(Frame(Raw({0xFD, 0x30, 0, 0, 0, 0, 0, 0x00})));  // bad check: echoed, nothing else
    Feed(Frame(Status(0x11, 0, 0, 0)));                   // unknown: echoed only
    std::vector<std::string> stamped;
    for (const std::string& l : Log()) {
        if (l.rfind("RX Chunk", 0) != 0)
            stamped.push_back(l);
    }
    const std::vector<std::string> expected{
        Stamped(echoLine), Stamped("Chip Blank Checking...."),
        Stamped("RX: 0xFD 0x30 0x00 0x00 0x00 0x00 0x00 0x00 "),
        Stamped("RX: 0xFD 0x11 0x00 0x00 0x00 0x00 0x00 0xF2 ")};
    EXPECT_EQ(stamped, expected);
    EXPECT_EQ(RunState.RunResult, 255);
}

TEST_F(StatusDecoderTest, BytesBeyondEightAreIgnored) {
    Bytes p = Status(0x20, 0, 0, 0);
    p.insert(p.end(), {0xAA, 0xBB, 0xCC});
    Feed(Frame(p));
    EXPECT_EQ(Log(), std::vector<std::string>{Stamped("Chip Blank Checking....")});
}

struct RetryStartCase {
    const char* name;
    std::uint8_t opCode;
    std::uint8_t status;
    bool retries;
};

TEST_F(StatusDecoderTest, WhichFailuresStartTheRetry) {
    const RetryStartCase cases[] = {
        {"F0 86", 0xF0, 0x86, true},  {"F1 86", 0xF1, 0x86, true},  {"F2 86", 0xF2, 0x86, true},
        {"F0 C0", 0xF0, 0xC0, true},  {"F1 C0", 0xF1, 0xC0, false}, {"F2 C0", 0xF2, 0xC0, false},
        {"F0 85", 0xF0, 0x85, false}, {"F6 86", 0xF6, 0x86, false},
    };
    for (const RetryStartCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunState = TRunState{};
        form->InfoMemo.Clear();
        fake->sent.clear();
        RecordedSleeps().clear();
        Feed(Frame(Status(c.opCode, c.status, 0, 0)));
        EXPECT_EQ(RunState.RetryStarted, c.retries);
        EXPECT_EQ(RunState.RunFinished, !c.retries);
        if (c.retries) {
            EXPECT_EQ(Log(), std::vector<std::string>{Stamped("Handle Resety Programmer.......")});
            ASSERT_EQ(fake->sent.size(), 1u);
            EXPECT_EQ(fake->sent[0], kResetWire);
            EXPECT_EQ(RecordedSleeps(), std::vector<unsigned>{500});
            EXPECT_EQ(RunState.RunResult, 255);
        } else {
            EXPECT_TRUE(fake->sent.empty());
        }
    }
}

}  // namespace
