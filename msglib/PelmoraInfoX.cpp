#include "PelmoraInfoX.h"

#include <string_view>

#include "PELMORAERRI.h"
#include "TextFormat.h"

namespace PelmoraInfoX {
namespace {

using TextFormat::AppendDecimal;
using TextFormat::AppendHex;

constexpr uint8_t kAck = 0x06;  // a Param of ASCII acknowledge reports success

// head, first as "%0.4x", middle, second as "%0.4x", tail. With an empty middle the two halves
// print back to back as one 32-bit value; which field comes first differs by operation.
void AppendPair(std::string& text, std::string_view head, uint16_t first, std::string_view middle,
                uint16_t second, std::string_view tail) {
    text.append(head);
    AppendHex(text, first, 4);
    text.append(middle);
    AppendHex(text, second, 4);
    text.append(tail);
}

// head, a decimal number, tail.
void AppendNumbered(std::string& text, std::string_view head, int64_t number,
                    std::string_view tail) {
    text.append(head);
    AppendDecimal(text, number);
    text.append(tail);
}

// head, then the failing status as "%0.2x", then "!".
void AppendErrorCode(std::string& text, std::string_view head, uint8_t status) {
    text.append(head);
    AppendHex(text, status, 2);
    text.push_back('!');
}

// Four characters from bytes 3 to 6 of the packet: ValueLo low, high, then ValueHi low, high.
void AppendMemoryName(std::string& text, uint16_t valueLo, uint16_t valueHi) {
    text.push_back(static_cast<char>(valueLo & 0xFF));
    text.push_back(static_cast<char>(valueLo >> 8));
    text.push_back(static_cast<char>(valueHi & 0xFF));
    text.push_back(static_cast<char>(valueHi >> 8));
}

// The value ValueHi:ValueLo as a signed 32-bit number.
int32_t Signed32(uint16_t valueLo, uint16_t valueHi) {
    return static_cast<int32_t>((static_cast<uint32_t>(valueHi) << 16) | valueLo);
}

uint16_t Word(std::span<const uint8_t> packet, std::size_t at) {
    return static_cast<uint16_t>(packet[at] | (packet[at + 1] << 8));
}

}  // namespace

void DecodePktFA(std::span<const uint8_t> packet, std::string& text) {
    text.clear();
    if (packet.size() < PktFALength) {
        return;
    }
    uint8_t kind = packet[1];
    switch (kind) {
        case 0xA0:
            text.append("Start to Unlock Debug Using Password Keys......");
            break;
        case 0xA3:
            text.append("Ready to Unlock Debug by AES......");
            break;
        case 0xA5:
            text.append("Start to Unlock Debug using AES-Keys......");
            break;
        case 0x40:
            text.append("No AES Keys Reseived, TmeOut!");
            break;
        case 0x45:
            text.append("Received AES Keys Packet Error!");
            break;
        case 0x4A:
            text.append("Unlock Debug Failed! Exit!");
            break;
        default:
            text.append("Else Statu Received : ");
            AppendHex(text, kind, 2);
            break;
    }
}

void DecodePktFB(std::span<const uint8_t> packet, std::string& text) {
    text.clear();
    if (packet.size() < PktFBHeaderLength) {
        return;
    }
    std::size_t count = packet[2];
    if (packet.size() < PktFBHeaderLength + count) {
        return;
    }
    std::span<const uint8_t> data = packet.subspan(PktFBHeaderLength, count);
    bool asCharacters = false;
    switch (packet[1]) {
        case 0xA5:
            text.append("Chip UID :");
            break;
        case 0x93:
            text.append("Challenge Keys :");
            break;
        case 0x48:
            text.append("Data: ");
            break;
        case 0x44:
            text.append("DATA: ");
            break;
        case 0x53:
            text.append("Info: ");
            asCharacters = true;
            break;
        default:
            return;
    }
    for (uint8_t byte : data) {
        if (asCharacters) {
            text.push_back(static_cast<char>(byte));
        } else {
            text.push_back(' ');
            AppendHex(text, byte, 2);
        }
    }
}

void AddressLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    std::string_view head = param == 'S'   ? "Start Address= 0x"
                            : param == 'E' ? "End Address= 0x"
                                           : "Memory Address= 0x";
    AppendPair(text, head, valueHi, "", valueLo, ".");
}

void MemoryActionLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    AppendMemoryName(text, valueLo, valueHi);
    switch (param) {
        case 1:
            text.append(": Enable this memory!");
            break;
        case 2:
            text.append(": Do Blank Check....");
            break;
        case 3:
            text.append(": Do Memory Erase....");
            break;
        case 4:
            text.append(": Do Memory Programming....");
            break;
        case 5:
            text.append(": Do Memory Verification....");
            break;
        default:
            text.append(": Else action.....");
            break;
    }
}

void MemoryStartLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    switch (param) {
        case 0:
            text.append("Start to programming ");
            AppendMemoryName(text, valueLo, valueHi);
            text.append(" Data......");
            break;
        case 1:
            text.append("Config ");
            AppendMemoryName(text, valueLo, valueHi);
            text.append(" Mode......");
            break;
        default:
            AppendMemoryName(text, valueLo, valueHi);
            text.append(": Else action.....");
            break;
    }
}

void SocketStateLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    // Tags arrive as four letters in bytes 3 to 6, so "PCSR" reads 0x4350, 0x5253.
    switch (param) {
        case 0:
            if (valueLo == 0x4350 && valueHi == 0x5253) {
                text.append("No Chip In Socket!");
            } else if (valueLo == 0x4350 && valueHi == 0x494E) {
                text.append("Has Chip In Socket!");
            } else if (valueLo == 0x4F4C && valueHi == 0x4B43) {
                text.append("Socket has been Locked!");
            }
            break;
        case 1:
            if (valueLo == 0x5057 && valueHi == 0x4F4B) {
                text.append("Programmer is ready to Start!");
            } else if (valueLo == 0x5057 && valueHi == 0x4E47) {
                text.append("Programmer has Error!");
            }
            break;
        case 2:
            // State bytes: byte 3 socket (0 = chip present), byte 4 programmer, byte 5 socket.
            text.append((valueLo & 0xFF) == 0 ? "Chip is In," : "No Chip In,");
            text.append((valueLo >> 8) == kAck ? "Programmer is Ready,"
                                               : "Programmer is Corrupted,");
            text.append((valueHi & 0xFF) == kAck ? "Socket is OK." : "Socket is Locked.");
            break;
        case 3:
            if (valueLo == 0x4543 && valueHi == 0x5252) {
                text.append("Received Error Command!");
            }
            break;
        case 0xA0:
            text.append("Start to Debug Password Unlock(SDAP).....");
            break;
        case 0xA3:
            text.append("Start to Debug AES Key Unlock(SDAP).....");
            break;
        default:
            break;
    }
}

void ReturnSumLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    if (param == 0 || param == 3) {
        AppendPair(text, "Return 32-Bit Sum =0x", valueLo, "/0x", valueHi, ".");
    }
}

void TestDataLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    if (param == 0xA0) {
        text.append("Parse Command : 0x");
        AppendHex(text, valueLo, 4);
        text.push_back('.');
        return;
    }
    AppendNumbered(text, "Test Data Output ", param, " : 0x");
    AppendPair(text, "", valueLo, ", 0x", valueHi, ".");
}

void ChecksumLine(uint8_t param, uint16_t valueLo, uint16_t valueHi, std::string& text) {
    switch (param) {
        case 0x00:
            AppendPair(text, "Data Calculate ACC16/CRC16 Sum =0x", valueLo, "/0x", valueHi, ".");
            break;
        case 0x10:
            AppendPair(text, "Read Chip Code Flash CRC16/ACC16 Sum =0x", valueLo, "/0x", valueHi,
                       ".");
            break;
        case 0x11:
            AppendPair(text, "Read Chip Code Flash ACC32 Sum =0x", valueHi, "", valueLo, ".");
            break;
        case 0x12:
            AppendPair(text, "Read Chip Code Flash CRC32 Sum =0x", valueHi, "", valueLo, ".");
            break;
        default:
            break;
    }
}

void DecodePktFD(std::span<const uint8_t> packet, std::string& text) {
    text.clear();
    if (packet.size() < PktFDLength) {
        return;
    }
    uint8_t sum = 0;
    for (std::size_t i = 0; i < PktFDLength; ++i) {
        sum = static_cast<uint8_t>(sum + packet[i]);
    }
    if (sum != 0) {
        return;
    }
    const uint8_t opCode = packet[1];
    const uint8_t param = packet[2];
    const uint16_t valueLo = Word(packet, 3);
    const uint16_t valueHi = Word(packet, 5);
    const int blockNumber = param + 1;  // blocks count from 1 in the texts

    switch (opCode) {
        case 0x0A:
            text.append("Power On Self Data Checking......");
            break;
        case 0x10:
            if (param == 1) {
                AppendPair(text, "Initial Programming Interface(Download Data CRC/ACC is 0x",
                           valueLo, "/0x", valueHi, ")......");
            } else if (param == 2) {
                AppendPair(text, "Initial Programming Interface(Download Data ACC32 is 0x", valueLo,
                           "", valueHi, ")......");
            } else {
                text.append("Initial Programming Interface ......");
            }
            break;
        case 0x18:
            AppendNumbered(text, "The Max. Programmed Number = ", Signed32(valueLo, valueHi), "");
            break;
        case 0x19:
            text.append("Initial and Enter special Programming mode ......");
            break;
        case 0x1A:
            AppendNumbered(text, "Current Programmed Number = ", Signed32(valueLo, valueHi), "");
            break;
        case 0x1E:
            AppendPair(text, "Current SN data is 0x", valueHi, "", valueLo, ".");
            break;
        case 0x1F:
            // Five serial-number characters from bytes 2 to 6; no closing quotation mark.
            text.append("Current Sting SN data is \"");
            for (std::size_t i = 2; i <= 6; ++i) {
                text.push_back(static_cast<char>(packet[i]));
            }
            break;
        case 0x20:
            text.append("Chip Blank Checking ......");
            break;
        case 0x23:
            text.append("Chip Data Checking ......");
            break;
        case 0x25:
            AppendPair(text, "Read Chip ACC32 Checksum: 0x", valueHi, "", valueLo, ".");
            break;
        case 0x2F:
            AppendNumbered(text, "Do Flash Block ", blockNumber, " Blank Checking ......");
            break;
        case 0x30:
            text.append("Do Chip Erasing....");
            break;
        case 0x3F:
            AppendNumbered(text, "Do Flash Block ", blockNumber, " Erasing ......");
            break;
        case 0x40:
            text.append("Do Code Flash Programming ......");
            break;
        case 0x47:
            text.append("Do USER/Trim Data Programming ......");
            break;
        case 0x48:
            text.append("Do Multi-Config Data Programming ......");
            break;
        case 0x49:
            AppendPair(text, "Sourse Data Calculating CheckSum= 0x", valueLo, "/0x", valueHi, ".");
            break;
        case 0x4A:
            text.append("Do Customer Data Programming ......");
            break;
        case 0x4E:
            text.append("Recovery Chip Calibration data ......");
            break;
        case 0x4F:
            AppendNumbered(text, "Do Main Flash Block ", blockNumber, " Programming ......");
            break;
        case 0x50:
            text.append("Do EEP Data Programming ......");
            break;
        case 0x56:
            text.append("Do Ext./BOOT Data Programming ......");
            break;
        case 0x70:
            text.append("Do Chip Code Flash Verification ......");
            break;
        case 0x73:
        case 0x79:
            AppendPair(text, "Read Chip Code Data CheckSum= 0x", valueLo, "/0x", valueHi, ".");
            break;
        case 0x75:
            text.append("Do Ext./BOOT Data Verification ......");
            break;
        case 0x77:
            text.append("Do USER/Trim Data Verification ......");
            break;
        case 0x78:
            text.append("Do Multi-Config Data Verification ......");
            break;
        case 0x7F:
            AppendNumbered(text, "Do Code Flash Block ", blockNumber, " Verify ......");
            break;
        case 0x80:
            text.append("Do EEP Data Verification ......");
            break;
        case 0x83:
            AppendPair(text, "Read Chip EEP Data CheckSum= 0x", valueLo, "/0x", valueHi, ".");
            break;
        case 0x85:
            AppendPair(text, "Read Chip EEP Data ACC32= 0x", valueHi, "", valueLo, ".");
            break;
        case 0x8F:
            AppendPair(
                text,
                param == 0 ? "Sourse EEP Data CheckSum= 0x" : "Read Chip EEP Data CheckSum = 0x",
                valueLo, "/0x", valueHi, ".");
            break;
        case 0x90:
            text.append("Start Programming HSE Image ......");
            break;
        case 0x91:
            switch (param) {
                case 0:
                    text.append("Start Chip DLM Data Programming ......");
                    break;
                case 1:
                    text.append("Initial Chip DLM Data checking ......");
                    break;
                case 2:
                    text.append("Write Chip DLM Data to RAM ......");
                    break;
                case 3:
                    text.append("Wait and Check DLM Running ......");
                    break;
                default:
                    break;
            }
            break;
        case 0x95:
            text.append("Start to Install/Upgrade HSE Firmware ......");
            break;
        case 0x9A:
            text.append("Start to Check HSE Firmware Status ......");
            break;
        case 0x9D:
            text.append("HSE Firmware Has Been Installed!");
            break;
        case 0x9F:
            text.append("HSE Firmware Installed Successfully!");
            break;
        case 0xA0:
            if (param == 0) {
                text.append("Do Chip Option Byte Programming ......");
            } else if (param == 0x0F) {
                AppendPair(text, "Current Programmed SN=0x", valueHi, "", valueLo, ".");
            }
            break;
        case 0xB5:
            if (param == 3) {
                AppendNumbered(text, "Total Programmed NVM Data bytes : ", valueLo, "");
            } else {
                text.append("Do Chip NVM Data Programming ......");
            }
            break;
        case 0xB7:
            if (param == 3) {
                AppendNumbered(text, "Total Verified NVM Data bytes : ", valueLo, "");
            } else {
                text.append("Do Chip NVM Data Verification ......");
            }
            break;
        case 0xE0:
            AppendPair(text, "Chip CheckSum Data =0x", valueLo, "/0x", valueHi, ".");
            break;
        case 0xEA:
            AppendNumbered(text, "Start Block ", blockNumber, " Data Programming......");
            break;
        case 0xED:
            AddressLine(param, valueLo, valueHi, text);
            break;
        case 0xEE:
            MemoryActionLine(param, valueLo, valueHi, text);
            break;
        case 0xEF:
            MemoryStartLine(param, valueLo, valueHi, text);
            break;
        case 0xF0:
        case 0xF1:
        case 0xF2:
            text.append("Progrmming Completed : ");
            if (param != kAck) {
                AppendErrorCode(text, "Failed!, Error Code=0x", param);
            } else if (opCode == 0xF0) {
                // CRC16 is ValueLo and ACC16 ValueHi here, the reverse of 0xF6.
                AppendPair(text, "Successed!, Chip CRC16=0x", valueLo, ",ACC16=0x", valueHi, ".");
            } else if (opCode == 0xF1) {
                AppendPair(text, "Successed!, Chip ACC32=0x", valueHi, "", valueLo, ".");
            } else {
                AppendPair(text, "Successed!, Chip CRC32=0x", valueHi, "", valueLo, ".");
            }
            break;
        case 0xF6:
            text.append("Read CheckSum Completed : ");
            if (param != kAck) {
                AppendErrorCode(text, "Failed!, Error Code=0x", param);
            } else {
                AppendPair(text, "Successed!, Chip ACC16=0x", valueLo, ",CRC16=0x", valueHi, ".");
            }
            break;
        case 0xF7:
            if (param == kAck) {
                text.append("Command Execute Successed!");
            } else {
                AppendErrorCode(text, "Command Execute Failed!, Error Code=0x", param);
            }
            break;
        case 0xFA:
            SocketStateLine(param, valueLo, valueHi, text);
            break;
        case 0xFB:
            ReturnSumLine(param, valueLo, valueHi, text);
            break;
        case 0xFC:
            text.append("Start to Run Chip......");
            break;
        case 0xFE:
            TestDataLine(param, valueLo, valueHi, text);
            break;
        case 0xFF:
            ChecksumLine(param, valueLo, valueHi, text);
            break;
        default:
            text.append("RX: ");
            AppendHex(text, opCode, 2);
            text.push_back(',');
            AppendHex(text, param, 2);
            text.push_back(',');
            AppendPair(text, "", valueLo, ",", valueHi, ".");
            break;
    }
}

namespace {

// Longest status line: an FB list of 255 bytes, 16 + 255 * 3 characters.
constexpr std::size_t kStatusTextCapacity = 1024;

// The status exports build into one string and hand out the other, swapping each call. The text
// returned last time thus stays intact while the next one is built, even when a host passes that
// very text back as a packet; and once both strings have grown, no call allocates.
struct StatusTexts {
    std::string result;   // what the last status export on this thread returned
    std::string scratch;  // where the next one is built
};
thread_local StatusTexts StatusResultText;

using Decoder = void (*)(std::span<const uint8_t>, std::string&);

void BuildEmpty(std::span<const uint8_t>, std::string& text) {
    text.clear();
}

void BuildUnknown(std::span<const uint8_t>, std::string& text) {
    text.assign("Unkow Information!");
}

const char* ReturnStatusText(Decoder decoder, std::span<const uint8_t> packet) {
    StatusTexts& texts = StatusResultText;
    if (texts.scratch.capacity() < kStatusTextCapacity) {
        texts.scratch.reserve(kStatusTextCapacity);
    }
    decoder(packet, texts.scratch);
    texts.result.swap(texts.scratch);
    return texts.result.c_str();
}

// The caller supplies at least the bytes each decoder reads; these spans state exactly that.
std::span<const uint8_t> PktFASpan(const uint8_t* packet) {
    return {packet, PktFALength};
}
std::span<const uint8_t> PktFDSpan(const uint8_t* packet) {
    return {packet, PktFDLength};
}
std::span<const uint8_t> PktFBSpan(const uint8_t* packet) {
    return {packet, PktFBHeaderLength + packet[2]};
}

}  // namespace
}  // namespace PelmoraInfoX

using PelmoraInfoX::ReturnStatusText;

extern "C" {

const char* PELMORAERRI_CALL GetStatuInfomationStrRT(const unsigned char* packet) {
    if (packet == nullptr) {
        return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
    }
    switch (packet[0]) {
        case 0xFA:
            return ReturnStatusText(PelmoraInfoX::DecodePktFA, PelmoraInfoX::PktFASpan(packet));
        case 0xFB:
            return ReturnStatusText(PelmoraInfoX::DecodePktFB, PelmoraInfoX::PktFBSpan(packet));
        case 0xFD:
            return ReturnStatusText(PelmoraInfoX::DecodePktFD, PelmoraInfoX::PktFDSpan(packet));
        case 0xFC:
        case 0xFE:
            return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
        default:
            return ReturnStatusText(PelmoraInfoX::BuildUnknown, {});
    }
}

const char* PELMORAERRI_CALL GetPktFAxStatuInfomationStrRT(const unsigned char* packet) {
    if (packet == nullptr) {
        return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
    }
    return ReturnStatusText(PelmoraInfoX::DecodePktFA, PelmoraInfoX::PktFASpan(packet));
}

const char* PELMORAERRI_CALL GetPktFBxStatuInfomationStrRT(const unsigned char* packet) {
    if (packet == nullptr) {
        return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
    }
    return ReturnStatusText(PelmoraInfoX::DecodePktFB, PelmoraInfoX::PktFBSpan(packet));
}

const char* PELMORAERRI_CALL GetPktFCxStatuInfomationStrRT(const unsigned char*) {
    return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
}

const char* PELMORAERRI_CALL GetPktFDxStatuInfomationStrRT(const unsigned char* packet) {
    if (packet == nullptr) {
        return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
    }
    return ReturnStatusText(PelmoraInfoX::DecodePktFD, PelmoraInfoX::PktFDSpan(packet));
}

const char* PELMORAERRI_CALL GetPktFExStatuInfomationStrRT(const unsigned char*) {
    return ReturnStatusText(PelmoraInfoX::BuildEmpty, {});
}

}  // extern "C"
