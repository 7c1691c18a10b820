// Status texts of the library: every branch of the 0xFA, 0xFB and 0xFD decoders and the dispatch
// by type byte. Each packet is handed over in a buffer of exactly the bytes the caller must supply,
// so a decoder that reads further is caught by the address sanitizer build.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PELMORAERRI.h"
#include "StatusPacket.h"

namespace {

using Bytes = std::vector<uint8_t>;
using StatusExport = const char* (*)(const unsigned char*);

std::string Call(StatusExport function, const Bytes& packet) {
    Bytes exact(packet);  // heap copy of exactly the given length
    return function(exact.data());
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        text += "0123456789ABCDEF"[b >> 4];
        text += "0123456789ABCDEF"[b & 0xF];
        text += ' ';
    }
    return text;
}

// An FD packet with its check byte set so that the eight bytes sum to zero.
Bytes PktFD(uint8_t opCode, uint8_t param, uint16_t valueLo, uint16_t valueHi) {
    const auto packet = MakeStatusPacket(opCode, param, valueLo, valueHi);
    return Bytes(packet.begin(), packet.end());
}

struct FDCase {
    uint8_t opCode;
    uint8_t param;
    uint16_t valueLo;
    uint16_t valueHi;
    const char* text;
};

const FDCase kFDCases[] = {
    {0x0A, 0, 0, 0, "Power On Self Data Checking......"},
    {0x10, 1, 0x1234, 0xABCD,
     "Initial Programming Interface(Download Data CRC/ACC is 0x1234/0xABCD)......"},
    {0x10, 2, 0x1234, 0xABCD,
     "Initial Programming Interface(Download Data ACC32 is 0x1234ABCD)......"},
    {0x10, 0, 0x1234, 0xABCD, "Initial Programming Interface ......"},
    {0x10, 3, 0, 0, "Initial Programming Interface ......"},
    {0x18, 0, 0x0001, 0x0002, "The Max. Programmed Number = 131073"},
    {0x18, 0, 0x0000, 0x8000, "The Max. Programmed Number = -2147483648"},
    {0x18, 0, 0xFFFF, 0xFFFF, "The Max. Programmed Number = -1"},
    {0x19, 0, 0, 0, "Initial and Enter special Programming mode ......"},
    {0x1A, 0, 0xFFFF, 0x7FFF, "Current Programmed Number = 2147483647"},
    {0x1A, 0, 0, 0, "Current Programmed Number = 0"},
    {0x1A, 0, 0x0000, 0x8000, "Current Programmed Number = -2147483648"},
    {0x1A, 0, 0xFFFE, 0xFFFF, "Current Programmed Number = -2"},
    {0x1E, 0, 0x1234, 0x5678, "Current SN data is 0x56781234."},
    {0x1F, 'S', 0x3231, 0x3433, "Current Sting SN data is \"S1234"},
    {0x1F, 'A', 0x0042, 0x4443, "Current Sting SN data is \"AB"},  // a zero byte ends the text
    {0x20, 0, 0, 0, "Chip Blank Checking ......"},
    {0x23, 0, 0, 0, "Chip Data Checking ......"},
    {0x25, 0, 0x1234, 0x5678, "Read Chip ACC32 Checksum: 0x56781234."},
    {0x2F, 0, 0, 0, "Do Flash Block 1 Blank Checking ......"},
    {0x2F, 0xFF, 0, 0, "Do Flash Block 256 Blank Checking ......"},
    {0x30, 0, 0, 0, "Do Chip Erasing...."},
    {0x3F, 9, 0, 0, "Do Flash Block 10 Erasing ......"},
    {0x40, 0, 0, 0, "Do Code Flash Programming ......"},
    {0x47, 0, 0, 0, "Do USER/Trim Data Programming ......"},
    {0x48, 0, 0, 0, "Do Multi-Config Data Programming ......"},
    {0x49, 0, 0x00AB, 0x0C0D, "Sourse Data Calculating CheckSum= 0x00AB/0x0C0D."},
    {0x4A, 0, 0, 0, "Do Customer Data Programming ......"},
    {0x4E, 0, 0, 0, "Recovery Chip Calibration data ......"},
    {0x4F, 99, 0, 0, "Do Main Flash Block 100 Programming ......"},
    {0x50, 0, 0, 0, "Do EEP Data Programming ......"},
    {0x56, 0, 0, 0, "Do Ext./BOOT Data Programming ......"},
    {0x70, 0, 0, 0, "Do Chip Code Flash Verification ......"},
    {0x73, 0, 0x1111, 0x2222, "Read Chip Code Data CheckSum= 0x1111/0x2222."},
    {0x75, 0, 0, 0, "Do Ext./BOOT Data Verification ......"},
    {0x77, 0, 0, 0, "Do USER/Trim Data Verification ......"},
    {0x78, 0, 0, 0, "Do Multi-Config Data Verification ......"},
    {0x79, 0, 0xBEEF, 0x0001, "Read Chip Code Data CheckSum= 0xBEEF/0x0001."},
    {0x7F, 1, 0, 0, "Do Code Flash Block 2 Verify ......"},
    {0x80, 0, 0, 0, "Do EEP Data Verification ......"},
    {0x83, 0, 0x1234, 0x5678, "Read Chip EEP Data CheckSum= 0x1234/0x5678."},
    {0x85, 0, 0x1234, 0x5678, "Read Chip EEP Data ACC32= 0x56781234."},
    {0x8F, 0, 0x1234, 0x5678, "Sourse EEP Data CheckSum= 0x1234/0x5678."},
    {0x8F, 1, 0x1234, 0x5678, "Read Chip EEP Data CheckSum = 0x1234/0x5678."},
    {0x90, 0, 0, 0, "Start Programming HSE Image ......"},
    {0x91, 0, 0, 0, "Start Chip DLM Data Programming ......"},
    {0x91, 1, 0, 0, "Initial Chip DLM Data checking ......"},
    {0x91, 2, 0, 0, "Write Chip DLM Data to RAM ......"},
    {0x91, 3, 0, 0, "Wait and Check DLM Running ......"},
    {0x91, 4, 0, 0, ""},
    {0x95, 0, 0, 0, "Start to Install/Upgrade HSE Firmware ......"},
    {0x9A, 0, 0, 0, "Start to Check HSE Firmware Status ......"},
    {0x9D, 0, 0, 0, "HSE Firmware Has Been Installed!"},
    {0x9F, 0, 0, 0, "HSE Firmware Installed Successfully!"},
    {0xA0, 0, 0, 0, "Do Chip Option Byte Programming ......"},
    {0xA0, 0x0F, 0x0042, 0x00A1, "Current Programmed SN=0x00A10042."},
    {0xA0, 1, 0, 0, ""},
    {0xB5, 3, 0xFFFF, 0x1234, "Total Programmed NVM Data bytes : 65535"},
    {0xB5, 0, 0, 0, "Do Chip NVM Data Programming ......"},
    {0xB7, 3, 512, 0, "Total Verified NVM Data bytes : 512"},
    {0xB7, 2, 0, 0, "Do Chip NVM Data Verification ......"},
    {0xE0, 0, 0x1234, 0x5678, "Chip CheckSum Data =0x1234/0x5678."},
    {0xEA, 0, 0, 0, "Start Block 1 Data Programming......"},
    {0xED, 'S', 0x0000, 0x0800, "Start Address= 0x08000000."},
    {0xED, 'E', 0xFFFF, 0x0801, "End Address= 0x0801FFFF."},
    {0xED, 0, 0x0010, 0x2000, "Memory Address= 0x20000010."},
    {0xEE, 1, 0x4F43, 0x4544, "CODE: Enable this memory!"},
    {0xEE, 2, 0x4F43, 0x4544, "CODE: Do Blank Check...."},
    {0xEE, 3, 0x4F43, 0x4544, "CODE: Do Memory Erase...."},
    {0xEE, 4, 0x4F43, 0x4544, "CODE: Do Memory Programming...."},
    {0xEE, 5, 0x4F43, 0x4544, "CODE: Do Memory Verification...."},
    {0xEE, 0, 0x4545, 0x2050, "EEP : Else action....."},
    {0xEF, 0, 0x4F43, 0x4544, "Start to programming CODE Data......"},
    {0xEF, 1, 0x534F, 0x5450, "Config OSPT Mode......"},
    {0xEF, 7, 0x4F43, 0x4544, "CODE: Else action....."},
    {0xF0, 6, 0x1234, 0x5678, "Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678."},
    {0xF1, 6, 0x1234, 0x5678, "Progrmming Completed : Successed!, Chip ACC32=0x56781234."},
    {0xF2, 6, 0x1234, 0x5678, "Progrmming Completed : Successed!, Chip CRC32=0x56781234."},
    {0xF0, 5, 0x1234, 0x5678, "Progrmming Completed : Failed!, Error Code=0x05!"},
    {0xF1, 0x2C, 0, 0, "Progrmming Completed : Failed!, Error Code=0x2C!"},
    {0xF2, 0, 0, 0, "Progrmming Completed : Failed!, Error Code=0x00!"},
    {0xF6, 6, 0x1234, 0x5678,
     "Read CheckSum Completed : Successed!, Chip ACC16=0x1234,CRC16=0x5678."},
    {0xF6, 0x15, 0, 0, "Read CheckSum Completed : Failed!, Error Code=0x15!"},
    {0xF7, 6, 0, 0, "Command Execute Successed!"},
    {0xF7, 0xE1, 0, 0, "Command Execute Failed!, Error Code=0xE1!"},
    {0xFA, 0, 0x4350, 0x5253, "No Chip In Socket!"},
    {0xFA, 0, 0x4350, 0x494E, "Has Chip In Socket!"},
    {0xFA, 0, 0x4F4C, 0x4B43, "Socket has been Locked!"},
    {0xFA, 0, 0x5057, 0x4F4B, ""},
    {0xFA, 1, 0x5057, 0x4F4B, "Programmer is ready to Start!"},
    {0xFA, 1, 0x5057, 0x4E47, "Programmer has Error!"},
    {0xFA, 1, 0x4350, 0x5253, ""},
    {0xFA, 2, 0x0600, 0x0006, "Chip is In,Programmer is Ready,Socket is OK."},
    {0xFA, 2, 0x0001, 0xFF00, "No Chip In,Programmer is Corrupted,Socket is Locked."},
    {0xFA, 3, 0x4543, 0x5252, "Received Error Command!"},
    {0xFA, 3, 0x4543, 0x5253, ""},
    {0xFA, 0xA0, 0, 0, "Start to Debug Password Unlock(SDAP)....."},
    {0xFA, 0xA3, 0, 0, "Start to Debug AES Key Unlock(SDAP)....."},
    {0xFA, 4, 0x4350, 0x5253, ""},
    {0xFB, 0, 0x1234, 0x5678, "Return 32-Bit Sum =0x1234/0x5678."},
    {0xFB, 3, 0x0001, 0x0002, "Return 32-Bit Sum =0x0001/0x0002."},
    {0xFB, 1, 0x1234, 0x5678, ""},
    {0xFC, 0, 0, 0, "Start to Run Chip......"},
    {0xFE, 0xA0, 0x00F9, 0x1234, "Parse Command : 0x00F9."},
    {0xFE, 7, 0x00F9, 0x1234, "Test Data Output 7 : 0x00F9, 0x1234."},
    {0xFE, 0xFF, 0, 0xFFFF, "Test Data Output 255 : 0x0000, 0xFFFF."},
    {0xFF, 0x00, 0x1234, 0x5678, "Data Calculate ACC16/CRC16 Sum =0x1234/0x5678."},
    {0xFF, 0x10, 0x1234, 0x5678, "Read Chip Code Flash CRC16/ACC16 Sum =0x1234/0x5678."},
    {0xFF, 0x11, 0x1234, 0x5678, "Read Chip Code Flash ACC32 Sum =0x56781234."},
    {0xFF, 0x12, 0x1234, 0x5678, "Read Chip Code Flash CRC32 Sum =0x56781234."},
    {0xFF, 0x13, 0x1234, 0x5678, ""},
    {0x03, 0x01, 0x1234, 0x5678, "RX: 03,01,1234,5678."},
    {0x00, 0x00, 0x0000, 0x0000, "RX: 00,00,0000,0000."},
    {0x09, 0xAB, 0x00CD, 0xEF01, "RX: 09,AB,00CD,EF01."},
    {0xFD, 0x06, 0xFFFF, 0x0000, "RX: FD,06,FFFF,0000."},
};

TEST(StatusText, PktFDEveryOperation) {
    for (const FDCase& c : kFDCases) {
        Bytes packet = PktFD(c.opCode, c.param, c.valueLo, c.valueHi);
        EXPECT_EQ(Call(GetPktFDxStatuInfomationStrRT, packet), c.text) << Hex(packet);
        EXPECT_EQ(Call(GetStatuInfomationStrRT, packet), c.text) << Hex(packet);
    }
}

struct PacketCase {
    Bytes packet;
    const char* text;
};

TEST(StatusText, PktFDRawPackets) {
    const PacketCase cases[] = {
        {{0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9}, "Power On Self Data Checking......"},
        {{0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8}, ""},  // wrong check byte
        {{0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9},
         "Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678."},
        {{0xFD, 0xF1, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF8},
         "Progrmming Completed : Successed!, Chip ACC32=0x56781234."},
        {{0xFD, 0xEE, 0x04, 0x43, 0x4F, 0x44, 0x45, 0xF6}, "CODE: Do Memory Programming...."},
        {{0xFD, 0xFA, 0x02, 0x00, 0x06, 0x06, 0x00, 0xFB},
         "Chip is In,Programmer is Ready,Socket is OK."},
        // The memory name copies bytes of any value.
        {{0xFD, 0xEF, 0x00, 0xC4, 0xDA, 0x7F, 0x01, 0xF6},
         "Start to programming \xC4\xDA\x7F\x01 Data......"},
        // The type byte counts in the sum, but the per-type export does not check it.
        {{0xFA, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFC}, "Power On Self Data Checking......"},
        {{0xFA, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9}, ""},
    };
    for (const PacketCase& c : cases) {
        EXPECT_EQ(Call(GetPktFDxStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
    }
}

TEST(StatusText, PktFAEveryKind) {
    const PacketCase cases[] = {
        {{0xFA, 0xA0}, "Start to Unlock Debug Using Password Keys......"},
        {{0xFA, 0xA3}, "Ready to Unlock Debug by AES......"},
        {{0xFA, 0xA5}, "Start to Unlock Debug using AES-Keys......"},
        {{0xFA, 0x40}, "No AES Keys Reseived, TmeOut!"},
        {{0xFA, 0x45}, "Received AES Keys Packet Error!"},
        {{0xFA, 0x4A}, "Unlock Debug Failed! Exit!"},
        {{0xFA, 0x07}, "Else Statu Received : 07"},
        {{0xFA, 0xC3}, "Else Statu Received : C3"},
        {{0xFA, 0x00}, "Else Statu Received : 00"},
    };
    for (const PacketCase& c : cases) {
        EXPECT_EQ(Call(GetPktFAxStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
        EXPECT_EQ(Call(GetStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
    }
    // The per-type export ignores the type byte.
    EXPECT_EQ(Call(GetPktFAxStatuInfomationStrRT, {0xFD, 0x40}), "No AES Keys Reseived, TmeOut!");
}

TEST(StatusText, PktFBEveryKind) {
    const PacketCase cases[] = {
        {{0xFB, 0xA5, 4, 0x12, 0x34, 0xAB, 0xCD}, "Chip UID : 12 34 AB CD"},
        {{0xFB, 0x93, 2, 0x00, 0xFF}, "Challenge Keys : 00 FF"},
        {{0xFB, 0x48, 4, 0x12, 0x34, 0xAB, 0xCD}, "Data:  12 34 AB CD"},
        {{0xFB, 0x44, 1, 0x0A}, "DATA:  0A"},
        {{0xFB, 0x53, 2, 0x4F, 0x4B}, "Info: OK"},
        {{0xFB, 0x53, 3, 0x4F, 0x00, 0x4B}, "Info: O"},  // a zero byte ends the text
        {{0xFB, 0x93, 0}, "Challenge Keys :"},
        {{0xFB, 0x53, 0}, "Info: "},
        {{0xFB, 0x00, 2, 0x12, 0x34}, ""},
        {{0xFB, 0xA4, 0}, ""},
    };
    for (const PacketCase& c : cases) {
        EXPECT_EQ(Call(GetPktFBxStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
        EXPECT_EQ(Call(GetStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
    }
}

TEST(StatusText, PktFBFullList) {
    Bytes packet = {0xFB, 0xA5, 255};
    std::string expected = "Chip UID :";
    for (int i = 0; i < 255; ++i) {
        packet.push_back(static_cast<uint8_t>(i));
        expected += ' ';
        expected += "0123456789ABCDEF"[i >> 4];
        expected += "0123456789ABCDEF"[i & 0xF];
    }
    EXPECT_EQ(Call(GetPktFBxStatuInfomationStrRT, packet), expected);
}

TEST(StatusText, DispatchByTypeByte) {
    const PacketCase cases[] = {
        {{0xFC}, ""},
        {{0xFE}, ""},
        {{0x00}, "Unkow Information!"},
        {{0xFF}, "Unkow Information!"},
        {{0xF9}, "Unkow Information!"},
        {{0x41}, "Unkow Information!"},
    };
    for (const PacketCase& c : cases) {
        EXPECT_EQ(Call(GetStatuInfomationStrRT, c.packet), c.text) << Hex(c.packet);
    }
}

TEST(StatusText, UndecodedTypesGiveEmptyTextForAnyPacket) {
    for (int first = 0; first < 256; ++first) {
        Bytes packet = PktFD(0xFC, 0, 0, 0);
        packet[0] = static_cast<uint8_t>(first);
        for (StatusExport function :
             {GetPktFCxStatuInfomationStrRT, GetPktFExStatuInfomationStrRT}) {
            const char* text = function(packet.data());
            ASSERT_NE(text, nullptr);
            EXPECT_STREQ(text, "");
        }
    }
}

TEST(StatusText, NullPacketGivesEmptyText) {
    for (StatusExport function : {GetStatuInfomationStrRT, GetPktFAxStatuInfomationStrRT,
                                  GetPktFBxStatuInfomationStrRT, GetPktFCxStatuInfomationStrRT,
                                  GetPktFDxStatuInfomationStrRT, GetPktFExStatuInfomationStrRT}) {
        GetStatuInfomationStrRT(Bytes{0x00}.data());  // leave a non-empty status text behind
        const char* text = function(nullptr);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
}

}  // namespace
