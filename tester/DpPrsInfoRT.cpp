#include "DpPrsInfoRT.h"

#include <cstring>
#include <string>
#include <string_view>

#include "DefZqCmdLX.h"
#include "GenComSX.h"
#include "MainZqCmdL.h"

namespace {

constexpr std::uint8_t StatusPacketType = 0xFD;
constexpr std::uint8_t ProgrammerInfoType = 0xFA;
constexpr std::uint8_t IdPacketType = 0xFC;
constexpr std::uint8_t ReturnDataType = 0xFB;

constexpr std::uint8_t StatusSuccess = 0x06;
constexpr std::uint8_t RetryStatus = 0x86;
constexpr std::uint8_t RetryStatusSumAnswer = 0xC0;  // retried only for OpCode 0xF0
constexpr unsigned RetryResetWaitMs = 500;
constexpr std::uint16_t RetryDelayTicks = 20;
constexpr std::uint16_t RetryTimeoutTicks = 200;
constexpr std::size_t StatusPacketSize = 8;

const char HexDigits[] = "0123456789ABCDEF";

// "%0.Nx": at least digits upper-case hex digits.
void AppendHex(std::string& out, std::uint32_t value, int digits) {
    char text[8];
    int n = 0;
    do {
        text[n++] = HexDigits[value & 0xF];
        value >>= 4;
    } while (value != 0 && n < 8);
    while (n < digits) text[n++] = '0';
    while (n > 0) out.push_back(text[--n]);
}

void AppendDecimal(std::string& out, long value) {
    out += std::to_string(value);
}

// ---------------------------------------------------------------------------------------------
// Senders

void SendCommand(const std::uint8_t* packet, std::uint16_t length) {
    std::memcpy(Link.PacketBuffer, packet, length);
    const std::uint16_t c = PacketCrc16(Link.PacketBuffer, 0, length - 1u);
    Link.PacketBuffer[length] = static_cast<std::uint8_t>(c & 0xFF);
    Link.PacketBuffer[length + 1] = static_cast<std::uint8_t>(c >> 8);
    const std::uint16_t n =
        SlipEncode(Link.PacketBuffer, Link.TxBuffer, static_cast<std::uint16_t>(length + 2));
    if (FormMain != nullptr && FormMain->CommCX) {
        (void)FormMain->CommCX->SendData(Link.TxBuffer, n);
    }
}

// Type byte, four letters, the type byte with its halves swapped, extra bytes.
constexpr std::uint8_t StartProgrammingPacket[] = {0xF9, 'A', 'P', 'R', 'G', 0x9F, 0x00, 0x00};
constexpr std::uint8_t CheckProgrammerPacket[] = {0xF6, 'C', 'K', 'P', 'G', 0x6F, 0x00, 0x00};
constexpr std::uint8_t ResetPacket[] = {0x8A, 'R', 'E', 'S', 'T', 0xA8, 0x02, 0x00, 0x00, 0x00};
constexpr std::uint8_t CheckSocketPacket[] = {0xF6, 'C', 'K', 'S', 'K', 0x6F, 0x00, 0x00};
constexpr std::uint8_t ReadChecksumPacket[] = {0xF9, 'R', 'D', 'S', 'X', 0x9F, 0x00, 0x00};
constexpr std::uint8_t ErasePacket[] = {0xF9, 'E', 'R', 'A', 'S', 0x9F, 0x00, 0x00};

template <std::size_t N>
void SendCommand(const std::uint8_t (&packet)[N]) {
    SendCommand(packet, static_cast<std::uint16_t>(N));
}

// ---------------------------------------------------------------------------------------------
// Received packet access: a byte beyond what arrived reads as 0, so a short packet shows its
// missing fields as zero and never anything left over from an earlier packet.

std::uint8_t ByteAt(std::size_t offset) {
    return offset < Link.PacketLength ? Link.PacketBuffer[offset] : 0;
}

std::uint16_t Word16At(std::size_t offset) {
    return static_cast<std::uint16_t>(ByteAt(offset) | (ByteAt(offset + 1) << 8));
}

std::uint32_t Word32At(std::size_t offset) {
    return static_cast<std::uint32_t>(Word16At(offset)) |
           (static_cast<std::uint32_t>(Word16At(offset + 2)) << 16);
}

void Log(std::string_view text, LineKind kind = LineKind::Ordinary) {
    FormMain->AddLogLine(text, kind);
}
void LogPlain(std::string_view text, LineKind kind = LineKind::Ordinary) {
    FormMain->AddPlainLine(text, kind);
}

// A byte of device text that could end a log line or steer a terminal is shown as '?', so that
// no text from the line can add a line of its own to the report.
char ShownTextByte(std::uint8_t c) {
    return (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
}

void AppendBytes0x(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out += "0x";
        AppendHex(out, bytes[i], 2);
        out += ' ';
    }
}

// "0x%0.4x%0.4x": a 32-bit value carried as two halves, high half first.
void AppendValue32(std::string& out, std::uint16_t high, std::uint16_t low) {
    out += "0x";
    AppendHex(out, high, 4);
    AppendHex(out, low, 4);
}

// ---------------------------------------------------------------------------------------------
// Status packets

struct StatusFields {
    std::uint8_t opCode;
    std::uint8_t param;
    std::uint16_t valueLo;
    std::uint16_t valueHi;
};

std::string_view StepText(std::uint8_t opCode) {
    switch (opCode) {
        case 0x20:
            return "Chip Blank Checking....";
        case 0x30:
            return "Do Chip Erasing....";
        case 0x40:
            return "Do Main Flash Programming....";
        case 0x50:
            return "Do EEP Data Programming....";
        case 0x56:
            return "Do Ext. Flash Programming ......";
        case 0x70:
            return "Do Main Flash Verification....";
        case 0x75:
            return "Do Ext. Flash Verification ......";
        case 0x80:
            return "Do EEP Data Verification....";
        case 0x90:
            return "Start Program SE/HSE Firmware Image....";
        case 0x93:
            return "Program and Verify SE Upgrade APP....";
        case 0x95:
            return "Start to Install SE/HSE Firmware ....";
        case 0x9A:
            return "Start to Check HSE Firmware Status ......";
        case 0x9D:
            return "HSE Firmware Has Been Installed!";
        case 0x9F:
            return "SE/HSE Firmware Installed Success!";
        case 0xE7:
            return "Start to Check Current XSE Version......";
        case 0xEA:
            return "Start to Upgrade XSE Firmware......";
        default:
            return {};
    }
}

// Steps that are announced only at their start (ValueLo 0), not on every progress report.
bool LoggedAtStartOnly(std::uint8_t opCode) {
    return opCode == 0x40 || opCode == 0x50 || opCode == 0x90 || opCode == 0x93;
}

// Block steps: "%d" is Param + 1, so block index 255 shows as 256.
std::string_view BlockStepFormatBefore(std::uint8_t opCode) {
    switch (opCode) {
        case 0x2F:
        case 0x3F:
            return "Do Flash Block ";
        case 0x4F:
        case 0x7F:
            return "Do Main Flash Block ";
        default:
            return {};
    }
}

std::string_view BlockStepFormatAfter(std::uint8_t opCode) {
    switch (opCode) {
        case 0x2F:
            return " Blank Checking ......";
        case 0x3F:
            return " Erasing ......";
        case 0x4F:
            return " Programming ......";
        case 0x7F:
            return " Verify ......";
        default:
            return {};
    }
}

std::string_view KeyStepText(std::uint8_t opCode, std::uint8_t param) {
    const bool programming = opCode == 0xE3;
    switch (param) {
        case 0x00:
            return programming ? "Start to Prog Public Key......."
                               : "Start to Read Keys for Checking.......";
        case 0x03:
            return programming ? "Start to Prog Command Key......."
                               : "Start to Verify Keys and MCU Flags.......";
        case 0x05:
            return programming ? "Start to Prog AES Decrypt Key......."
                               : "Start to Check Chip Status.......";
        case 0x07:
            return programming ? "Start to Prog MCU Flags......."
                               : "Start to Modify Chip Debug Lock/Unlock Statu.......";
        default:
            return "Unknow operation......";
    }
}

bool TagIs(const std::uint8_t* packet, const char (&tag)[5]) {
    return std::memcmp(packet + 3, tag, 4) == 0;
}

std::string StateReportText(const std::uint8_t* packet, std::uint8_t param) {
    switch (param) {
        case 0:
            if (TagIs(packet, "PCSR"))
                return "No Chip In Socket!";
            if (TagIs(packet, "PCNI"))
                return "Has Chip In Socket!";
            if (TagIs(packet, "LOCK"))
                return "Socket has been Locked!";
            return {};
        case 1:
            if (TagIs(packet, "WPKO"))
                return "Programmer is ready to Start!";
            if (TagIs(packet, "WPGN"))
                return "Programmer has Error!";
            return {};
        case 2: {
            std::string text = packet[3] != 0 ? "No Chip In," : "Chip is In,";
            text +=
                packet[4] == StatusSuccess ? "Programmer is Ready," : "Programmer is Corrupted,";
            text += packet[5] == StatusSuccess ? "Socket is OK." : "Socket is Locked.";
            return text;
        }
        case 3:
            if (TagIs(packet, "CERR"))
                return "Received Error Command!";
            return {};
        default:
            return {};
    }
}

void DecodeCompletion(const StatusFields& f) {
    const std::uint8_t status = f.param;
    std::string text = "Progrmming Completed : ";
    if (status == StatusSuccess) {
        RunState.RunResult = RunResultSuccess;
        text += "Successed !";
        if (f.opCode == 0xF0) {
            if (f.valueHi != 0) {
                text += "Chip ACC16=0x";
                AppendHex(text, f.valueHi, 4);
                text += ",CRC16=0x";
                AppendHex(text, f.valueLo, 4);
                text += '.';
            } else {
                text += "CheckSum: 0x";
                AppendHex(text, f.valueLo, 4);
            }
        } else if (f.opCode == 0xF1) {
            text += "Chip ACC32=";
            AppendValue32(text, f.valueHi, f.valueLo);
            text += '.';
        } else {
            text += "Chip CRC32 = ";
            AppendValue32(text, f.valueHi, f.valueLo);
            text += '.';
        }
        Log(text, LineKind::Verdict);
        if (f.opCode == 0xF1) {
            std::string sum = "CheckSum: 0x";
            AppendHex(sum, f.valueHi, 4);
            Log(sum, LineKind::Verdict);
        }
        LogPlain(EndOfCommandSuccess, LineKind::Verdict);
        RunState.RunFinished = true;
        return;
    }

    const bool retryStatus =
        status == RetryStatus || (f.opCode == 0xF0 && status == RetryStatusSumAnswer);
    if (retryStatus && !RunState.RetryStarted) {
        RunState.RetryStarted = true;
        Link.RxCount = 0;
        Log("Handle Resety Programmer.......");
        SendReset();  // overwrites PacketBuffer: nothing of the packet is read after this
        FormMain->SleepMs(RetryResetWaitMs);
        return;
    }

    RunState.RunResult = FailureRunResult(status);
    text += "Failed : Error=0x";
    AppendHex(text, status, 2);
    text += '!';
    Log(text, LineKind::Verdict);
    LogPlain(EndOfCommandFailed, LineKind::Verdict);
    RunState.RunFinished = true;
}

void DecodeCommandAnswer(const StatusFields& f) {
    const std::uint8_t status = f.param;
    std::string text;
    if (f.opCode == 0xF6) {
        if (status == StatusSuccess) {
            RunState.RunResult = RunResultSuccess;
            text = "Command Successed, Read ACC16=0x";
            AppendHex(text, f.valueHi, 4);
            text += ",CRC16=0x";
            AppendHex(text, f.valueLo, 4);
            text += '.';
        } else {
            RunState.RunResult = FailureRunResult(status);
            text = "Command Failed : Error=0x";
            AppendHex(text, status, 2);
            text += '!';
        }
    } else if (status == StatusSuccess) {
        text = "Command Operation Successed!";
    } else {
        text = "Command Operation Failed : Error=0x";
        AppendHex(text, status, 2);
        text += '!';
    }
    Log(text, LineKind::Verdict);
    RunState.RunFinished = true;
}

}  // namespace

void SendStartProgramming() {
    SendCommand(StartProgrammingPacket);
}
void SendCheckProgrammer() {
    SendCommand(CheckProgrammerPacket);
}
void SendReset() {
    SendCommand(ResetPacket);
}
void SendCheckSocket() {
    SendCommand(CheckSocketPacket);
}
void SendReadChecksum() {
    SendCommand(ReadChecksumPacket);
}
void SendErase() {
    SendCommand(ErasePacket);
}

// ---------------------------------------------------------------------------------------------
// Receive assembly

bool ScanFrame(std::uint16_t& position, std::uint16_t& frameLength) {
    const std::uint16_t count = Link.RxCount;
    const std::uint8_t* rx = Link.RxBuffer;
    frameLength = 0;

    // Frame start: the last END of a run of END bytes; anything else before it is skipped.
    while (position < count && rx[position] != SlipEnd) ++position;
    if (position >= count)
        return false;
    while (position + 1 < count && rx[position + 1] == SlipEnd) ++position;
    Link.FrameBuffer[frameLength++] = SlipEnd;
    ++position;

    while (position < count) {
        const std::uint8_t b = rx[position++];
        Link.FrameBuffer[frameLength++] = b;
        if (b == SlipEnd)
            return true;
    }
    return false;
}

void CollectReceivedChunk(const std::uint8_t* buffer, std::uint16_t bufferLength) {
    const std::uint32_t total = static_cast<std::uint32_t>(Link.RxCount) + bufferLength;
    if (total > MaxRxCount) {
        Link.RxCount = 0;
    } else {
        std::memcpy(Link.RxBuffer + Link.RxCount, buffer, bufferLength);
        Link.RxCount = static_cast<std::uint16_t>(total);
    }

    if (RunState.TraceMode) {
        std::string trace = "RX Chunk(";
        AppendDecimal(trace, bufferLength);
        trace += "):";
        trace.reserve(trace.size() + std::size_t{3} * bufferLength);
        for (std::uint16_t i = 0; i < bufferLength; ++i) {
            trace += ' ';
            AppendHex(trace, buffer[i], 2);
        }
        LogPlain(trace);
    }

    std::uint16_t position = 0;
    std::uint16_t start = 0;
    for (;;) {
        start = position;
        std::uint16_t frameLength = 0;
        if (!ScanFrame(position, frameLength))
            break;
        std::uint16_t packetLength = 0;
        if (SlipDecode(Link.FrameBuffer, Link.PacketBuffer, packetLength, frameLength) == SlipOk) {
            Link.PacketLength = packetLength;
            switch (Link.PacketBuffer[0]) {
                case StatusPacketType:
                    DecodeStatusPacket();
                    break;
                case ProgrammerInfoType:
                    DecodeProgrammerInfo();
                    break;
                case IdPacketType:
                    DecodeIdPacket();
                    break;
                case ReturnDataType:
                    DecodeReturnData();
                    break;
                default:
                    break;
            }
        }
        if (Link.RxCount == 0)
            return;  // a decoder dropped the rest (automatic retry)
    }

    if (Link.RxCount > start) {
        const std::uint16_t rest = static_cast<std::uint16_t>(Link.RxCount - start);
        if (start > 0)
            std::memmove(Link.RxBuffer, Link.RxBuffer + start, rest);
        Link.RxCount = rest;
    } else {
        Link.RxCount = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Decoders

void DecodeStatusPacket() {
    if (Link.PacketLength < StatusPacketSize)
        return;  // cannot come from the receive path
    const std::uint8_t* p = Link.PacketBuffer;

    if (RunState.TraceMode) {
        std::string echo = "RX: ";
        AppendBytes0x(echo, p, StatusPacketSize);
        Log(echo);
    }

    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < StatusPacketSize; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    if (sum != 0)
        return;

    const StatusFields f{p[1], p[2], static_cast<std::uint16_t>(p[3] | (p[4] << 8)),
                         static_cast<std::uint16_t>(p[5] | (p[6] << 8))};
    std::string text;
    switch (f.opCode) {
        case 0x10:
            RunState.RunResult = RunResultNoVerdict;
            text = "Current Data ACC16=0x";
            AppendHex(text, f.valueHi, 4);
            text += ",CRC16=0x";
            AppendHex(text, f.valueLo, 4);
            text += '.';
            Log(text);
            Log("Initial Programming Interface ....");
            return;
        case 0x2F:
        case 0x3F:
        case 0x4F:
        case 0x7F:
            text = BlockStepFormatBefore(f.opCode);
            AppendDecimal(text, f.param + 1);
            text += BlockStepFormatAfter(f.opCode);
            Log(text);
            return;
        case 0xA0:
            text = "Do Chip Option Byte Programming....";
            if (f.param != 0) {
                text += ", Current SN=";
                AppendValue32(text, f.valueHi, f.valueLo);
                text += '.';
            }
            Log(text);
            return;
        case 0xE3:
        case 0xE5:
            Log(KeyStepText(f.opCode, f.param));
            return;
        case 0xE9:
            text = "Read Chip SEx Version is : 0x";
            AppendHex(text, f.valueHi, 4);
            text += ".";
            AppendHex(text, f.valueLo, 4);
            text += '.';
            Log(text);
            return;
        case 0xED:
            text = f.param == 0x53   ? "Start Address is "
                   : f.param == 0x45 ? "End Address is "
                                     : "Current Address is ";
            AppendValue32(text, f.valueHi, f.valueLo);
            text += '.';
            Log(text);
            return;
        case 0xF0:
        case 0xF1:
        case 0xF2:
            DecodeCompletion(f);
            return;
        case 0xF6:
        case 0xF7:
            DecodeCommandAnswer(f);
            return;
        case 0xFA: {
            const bool errorCommand = f.param == 3 && TagIs(p, "CERR");
            Log(StateReportText(p, f.param), errorCommand ? LineKind::Verdict : LineKind::Ordinary);
            if (errorCommand) {
                RunState.RunResult = RunResultErrorCommand;
                RunState.RunFinished = true;
            }
            return;
        }
        case 0xFB:
            if (f.param == 0x00 || f.param == 0x03) {
                text = f.param == 0x00 ? "CheckSum1:" : "CheckSum2:";
                AppendValue32(text, f.valueHi, f.valueLo);
                text += '.';
            }
            Log(text);
            return;
        case 0xFE:
            text = "Return Code ";
            AppendDecimal(text, f.param);
            text += " Is : 0x";
            AppendHex(text, f.valueHi, 4);
            text += ",0x";
            AppendHex(text, f.valueLo, 4);
            text += '.';
            Log(text);
            return;
        default:
            break;
    }

    const std::string_view step = StepText(f.opCode);
    if (!step.empty()) {
        if (!LoggedAtStartOnly(f.opCode) || f.valueLo == 0)
            Log(step);
        return;
    }
    if (!RunState.TraceMode) {
        text = "RX Info: ";
        AppendBytes0x(text, p, StatusPacketSize);
        Log(text);
    }
}

void DecodeProgrammerInfo() {
    // Without a retry under way the block ends the run: all of it is the verdict.
    const LineKind kind = RunState.RetryStarted ? LineKind::Ordinary : LineKind::Verdict;
    const bool shown =
        ByteAt(1) == 'W' && ByteAt(2) == 'D' && ByteAt(3) == 'I' && (ByteAt(14) & 0x01) == 0;
    if (shown) {
        if (RunState.RetryStarted) {
            RunState.RetryCountdown = RetryDelayTicks;
            RunState.TimeoutCountdown = RetryTimeoutTicks;
        }
        // Text fields end at their first zero byte, or fill their whole width.
        auto textField = [](std::size_t offset, std::size_t width) {
            std::string field;
            for (std::size_t i = 0; i < width; ++i) {
                const std::uint8_t c = ByteAt(offset + i);
                if (c == 0)
                    break;
                field.push_back(ShownTextByte(c));
            }
            return field;
        };
        const std::string chipName = textField(88, 16);
        std::string text;

        LogPlain("> Current Programmer Information : ", kind);
        text = "   Current ROM Size is : ";
        AppendDecimal(text, Word16At(16));
        text += "KB.";
        LogPlain(text, kind);
        text = "   Current Flash CRC Sum : 0x";
        AppendHex(text, Word16At(24), 4);
        text += '.';
        LogPlain(text, kind);
        text = "   Current Flash ACC Sum : 0x";
        AppendHex(text, Word16At(26), 4);
        text += '.';
        LogPlain(text, kind);
        LogPlain("   Current Chip Name is : " + chipName, kind);
        LogPlain("   Current File Name is : " + textField(104, 48), kind);
        const std::string_view prefix = std::string_view(chipName).substr(0, 3);
        if (prefix == "MKE" || prefix == "XMC") {
            text = "   File CheckSum = 0x";
            AppendHex(text, Word32At(154), 8);
            text += '.';
            LogPlain(text, kind);
        }
        if (ByteAt(40) & 0x01) {
            text = "   S/N is Used : Gain=";
            AppendDecimal(text, Word16At(42));
            text += ",Address=0x";
            AppendHex(text, Word32At(44), 8);
            text += '.';
            LogPlain(text, kind);
            text = "   Start S/N is : 0x";
            AppendHex(text, Word32At(48), 8);
            text += ".Current SN=0x";
            AppendHex(text, Word32At(52), 8);
            text += '.';
            LogPlain(text, kind);
        } else {
            LogPlain("   No S/N is Used!", kind);
        }
    }
    LogPlain("End of Commad!", kind);
    if (!RunState.RetryStarted)
        RunState.RunFinished = true;
}

void DecodeIdPacket() {
    // Only the ID bytes that arrived are shown, whatever the count says.
    const std::size_t count = ByteAt(2);
    const std::size_t arrived = Link.PacketLength > 3 ? Link.PacketLength - 3u : 0;
    std::string text = "ID : ";
    AppendBytes0x(text, Link.PacketBuffer + 3, count < arrived ? count : arrived);
    Log(text);
}

void DecodeReturnData() {
    const std::uint8_t* p = Link.PacketBuffer;
    const std::size_t length = Link.PacketLength;
    const std::size_t count = ByteAt(2);

    if (ByteAt(1) == 0xF0) {
        // Digest: bytes 0 to 4 + n sum to 0; a digest cut short cannot pass its check.
        const std::size_t checkAt = 4 + count;
        if (checkAt >= length)
            return;
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i <= checkAt; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
        if (sum != 0)
            return;
        std::string text = "MD5: ";
        for (std::size_t i = 0; i < count; ++i) AppendHex(text, p[4 + i], 2);
        Log(text);
        return;
    }

    // Data: bytes 1 to 3 + n sum to 0; one cut short is shown raw as far as it arrived.
    const std::size_t checkAt = 3 + count;
    bool valid = checkAt < length;
    if (valid) {
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i <= checkAt; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
        valid = sum == 0;
    }
    std::string text;
    if (!valid) {
        text = "Received Packet : ";
        const std::size_t shown = checkAt < length ? checkAt + 1 : length;
        for (std::size_t i = 0; i < shown; ++i) {
            text += ' ';
            AppendHex(text, p[i], 2);
        }
        Log(text);
        return;
    }
    if (p[1] == 0xA5) {
        text = "Read Out Chip UID :";
    } else {
        text = "Get Return Data ID=0x";
        AppendHex(text, p[1], 2);
        text += ",Length=";
        AppendDecimal(text, static_cast<long>(count));
        text += ",Data : ";
    }
    for (std::size_t i = 0; i < count; ++i) {
        text += ' ';
        AppendHex(text, p[3 + i], 2);
    }
    Log(text);
}
