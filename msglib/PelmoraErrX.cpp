#include "PelmoraErrX.h"

#include <array>

#include "ErrCodDef.h"
#include "PELMORAERRI.h"
#include "TextFormat.h"

namespace PelmoraErrX {
namespace {

using namespace ErrCodDef;

// The two languages share keys. Chinese texts and full-width marks are code page 936 bytes.
struct LanguageText {
    std::string_view en;
    std::string_view cn;
};

struct HostSideRow {
    uint16_t code;
    LanguageText text;
};

constexpr HostSideRow kHostSideTexts[] = {
    {ErrOpenComPort,
     {"Error: Open COM port error!",
      "Error: \xB4\xF2\xBF\xAA"
      "COM\xBF\xDA\xB4\xED\xCE\xF3!"}},  // Error: 打开COM口错误!
    {ErrOpenFile,
     {"Error: Open file error!",
      "Error: \xB4\xF2\xBF\xAA\xCE\xC4\xBC\xFE\xB4\xED\xCE\xF3!"}},  // Error: 打开文件错误!
    {ErrNoObjectData,
     {"Error: No object data has been loaded!",
      // Error: 未加载数据文件!
      "Error: \xCE\xB4\xBC\xD3\xD4\xD8\xCA\xFD\xBE\xDD\xCE\xC4\xBC\xFE!"}},
    {ErrLoadFirmware,
     {"Error: Load firmware error!",
      "Error: \xBC\xD3\xD4\xD8\xB9\xCC\xBC\xFE\xB4\xED\xCE\xF3!"}},  // Error: 加载固件错误!
    {ErrLoadFlashDriver,
     {"Error: Load flash driver file error!",
      "Error: \xBC\xD3\xD4\xD8"
      "Flash\xC7\xFD\xB6\xAF\xB4\xED\xCE\xF3!"}},  // Error: 加载Flash驱动错误!
    {ErrNoChipSelected,
     {"Error: No chip selected!",
      // Error: 未选择正确芯片!
      "Error: \xCE\xB4\xD1\xA1\xD4\xF1\xD5\xFD\xC8\xB7\xD0\xBE\xC6\xAC!"}},
    {ErrCommandLineParse,
     {"Error: CommandLine parse error!",
      // Error: 命令行解析错误!
      "Error: \xC3\xFC\xC1\xEE\xD0\xD0\xBD\xE2\xCE\xF6\xB4\xED\xCE\xF3!"}},
    {ErrOperationTimeOut,
     {"Error: Operation time out!",
      "Error: \xB2\xD9\xD7\xF7\xB3\xAC\xCA\xB1!"}},  // Error: 操作超时!
};

// Chip-returned line: the head, then the chip's error number as "%0.4x", then ".".
constexpr LanguageText kChipReturnHead = {
    "Error: Chip Return Error Code=0x",
    // Error: 芯片错误信息返回，错误代码=0x
    "Error: "
    "\xD0\xBE\xC6\xAC\xB4\xED\xCE\xF3\xD0\xC5\xCF\xA2\xB7\xB5\xBB\xD8\xA3\xAC\xB4\xED\xCE\xF3"
    "\xB4\xFA\xC2\xEB=0x"};

// Steps 0x10 to 0x1F; 0x00 has no prefix, every other step the catch-all prefix.
constexpr LanguageText kNamedSteps[16] = {
    {"INIT\xA3\xBA", "\xB3\xF5\xCA\xBC\xBB\xAF\xA3\xBA"},    // INIT：  初始化：
    {"BLKC: ", "\xB2\xE9  \xBF\xD5\xA3\xBA"},                // 查  空：
    {"ERAS: ", "\xB2\xC1  \xB3\xFD\xA3\xBA"},                // 擦  除：
    {"CODP: ", "\xB4\xFA\xC2\xEB\xD0\xB4\xA3\xBA"},          // 代码写：
    {"EEPP: ", "\xCA\xFD\xBE\xDD\xD0\xB4\xA3\xBA"},          // 数据写：
    {"BOTP: ", "BOOT\xD0\xB4\xA3\xBA"},                      // BOOT写：
    {"VNMP: ", "NVM \xD0\xB4\xA3\xBA"},                      // NVM 写：
    {"USRP: ", "USER\xD0\xB4\xA3\xBA"},                      // USER写：
    {"CODV: ", "\xB4\xFA\xC2\xEB\xD0\xA3\xD1\xE9\xA3\xBA"},  // 代码校验：
    {"EEPV: ", "\xCA\xFD\xBE\xDD\xD0\xA3\xD1\xE9\xA3\xBA"},  // 数据校验：
    {"BOTV: ", "BOOT\xD0\xA3\xD1\xE9\xA3\xBA"},              // BOOT校验：
    {"NVMV: ", "NVM \xD0\xA3\xD1\xE9\xA3\xBA"},              // NVM 校验：
    {"USRV: ", "USER\xD0\xA3\xD1\xE9\xA3\xBA"},              // USER校验：
    {"CFGP: ", "\xC5\xE4\xD6\xC3\xD0\xB4\xA3\xBA"},          // 配置写：
    {"OTPP: ", "OTP \xD0\xB4\xA3\xBA"},                      // OTP 写：
    {"ELSP: ", "\xC6\xE4\xCB\xFB\xB2\xD9\xD7\xF7\xA3\xBA"},  // 其他操作：
};
constexpr LanguageText kElseStep = {"Else: ", "\xC6\xE4\xCB\xFB\xA3\xBA"};  // 其他：

// Both members are read in a constant expression (the lookup table below), which cppcheck does
// not follow.
struct ReasonRow {
    // cppcheck-suppress unusedStructMember
    uint8_t reason;
    // cppcheck-suppress unusedStructMember
    LanguageText text;
};

constexpr ReasonRow kReasonTexts[] = {
    {0x00, {"Success!", "Success!"}},
    {0x04, {"Fault Error!", "Fault Error!"}},
    {0x06, {"Success!", "Success!"}},
    {0x07, {"Chip no Response!", "\xD0\xBE\xC6\xAC\xCE\xDE\xCF\xEC\xD3\xA6!"}},  // 芯片无响应!
    {0x0B, {"Chip no Response!", "\xD0\xBE\xC6\xAC\xCE\xDE\xCF\xEC\xD3\xA6!"}},  // 芯片无响应!
    {0x10,
     {"Write Protection Error!",
      "\xD0\xBE\xC6\xAC\xD2\xD1\xB1\xBB\xD0\xB4\xB1\xA3\xBB\xA4!"}},  // 芯片已被写保护!
    {0x13,
     {"Read Protection Error",
      "\xD0\xBE\xC6\xAC\xD2\xD1\xB1\xBB\xB6\xC1\xB1\xA3\xBB\xA4"}},  // 芯片已被读保护
    {0x15, {"Chip Response NAK!", "\xD0\xBE\xC6\xAC\xCF\xEC\xD3\xA6 NAK!"}},  // 芯片响应 NAK!
    {0x16, {"Chip Flash is Not Blank!", "Chip Flash is Not Blank!"}},
    {0x17, {"Chip EEPROM is Not Blank!", "Chip EEPROM is Not Blank!"}},
    {0x19, {"Access Error!", "Access Error!"}},
    {0x1C, {"Area not Empty!", "Area not Empty!"}},
    {0x1F, {"Chip is Locked!", "Chip is Locked!"}},
    {0x20, {"Packet Data Error!", "\xCA\xFD\xBE\xDD\xB0\xFC\xB4\xED\xCE\xF3!"}},  // 数据包错误!
    {0x21, {"Packet Error!", "\xCA\xFD\xBE\xDD\xB0\xFC\xB4\xED\xCE\xF3!"}},  // 数据包错误!
    {0x23,
     {"Packet Check Sum error!",
      "\xCA\xFD\xBE\xDD\xB0\xFC\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3!"}},  // 数据包校验错误!
    {0x25,
     {"Unknow Command!",
      "\xC3\xFC\xC1\xEE\xB2\xBB\xD5\xFD\xC8\xB7\xBB\xF2\xB2\xBB\xC8\xCF\xCA\xB6!"}},  // 命令不正确或不认识!
    {0x2C, {"Programming Error!", "Flash Memory\xB4\xED\xCE\xF3!"}},  // Flash Memory错误!
    {0x2D,
     {"Write EEP/OTP Error!",
      "\xD0\xB4"
      "EEP/OTP\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3!"}},                    // 写EEP/OTP数据错误!
    {0x2F, {"Memory not Blank!", "Memory\xB2\xBB\xCE\xAA\xBF\xD5!"}},  // Memory不为空!
    {0x31,
     {"Interval Verify Error!",
      // 内部数据编程校验错误!
      "\xC4\xDA\xB2\xBF\xCA\xFD\xBE\xDD\xB1\xE0\xB3\xCC\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3!"}},
    {0x32,
     {"Data Verify Error!", "\xCA\xFD\xBE\xDD\xD0\xA3\xD1\xE9\xB4\xED\xCE\xF3!"}},  // 数据校验错误!
    {0x34,
     {"Chip Checksum error!",
      "\xD0\xBE\xC6\xAC\xD0\xA3\xD1\xE9\xBA\xCD\xB2\xBB\xD5\xFD\xC8\xB7!"}},  // 芯片校验和不正确!
    {0x36,
     {"Chip Type Error!",
      // 芯片型号错误或不存在!
      "\xD0\xBE\xC6\xAC\xD0\xCD\xBA\xC5\xB4\xED\xCE\xF3\xBB\xF2\xB2\xBB\xB4\xE6\xD4\xDA!"}},
    {0x38,
     {"Mfg. Code Error!",
      // 芯片型号与厂家不匹配!
      "\xD0\xBE\xC6\xAC\xD0\xCD\xBA\xC5\xD3\xEB\xB3\xA7\xBC\xD2\xB2\xBB\xC6\xA5\xC5\xE4!"}},
    {0x3D, {"Error Secure Key!", "Error Secure Key!"}},
    {0x3E,
     {// Device Error！  设备不正确或不存在!
      "Device Error\xA3\xA1",
      "\xC9\xE8\xB1\xB8\xB2\xBB\xD5\xFD\xC8\xB7\xBB\xF2\xB2\xBB\xB4\xE6\xD4\xDA!"}},
    {0x3F, {"MTP Fault!", "MTP Fault!"}},
    {0x40,
     {"Command Execute Time Out!",
      "\xC3\xFC\xC1\xEE\xD6\xB4\xD0\xD0\xB3\xAC\xCA\xB1!"}},  // 命令执行超时!
    {0x45,
     {"Command Execute error!",
      "\xC3\xFC\xC1\xEE\xD6\xB4\xD0\xD0\xB4\xED\xCE\xF3!"}},  // 命令执行错误!
    {0x47,
     {"Product S/N write Error!",
      // 写产品代码数据错误!
      "\xD0\xB4\xB2\xFA\xC6\xB7\xB4\xFA\xC2\xEB\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3!"}},
    {0x4D,
     {"Number is use!", "\xCA\xFD\xC1\xBF\xD2\xD1\xB1\xBB\xCA\xB9\xD3\xC3!"}},  // 数量已被使用!
    {0x4F,
     {"Set Security Error!",
      // 设置安全或保护错误!
      "\xC9\xE8\xD6\xC3\xB0\xB2\xC8\xAB\xBB\xF2\xB1\xA3\xBB\xA4\xB4\xED\xCE\xF3!"}},
    {0x51, {"Memory Size error!", "Memory\xB4\xF3\xD0\xA1\xB4\xED\xCE\xBB!"}},  // Memory大小错位!
    {0x55,
     {"Address out of range!",
      // 数据地址超出芯片范围!
      "\xCA\xFD\xBE\xDD\xB5\xD8\xD6\xB7\xB3\xAC\xB3\xF6\xD0\xBE\xC6\xAC\xB7\xB6\xCE\xA7!"}},
    {0x5A,
     {"Illagel Command(For Blue-NRG)!",
      "\xB7\xC7\xB7\xA8\xB5\xC4\xC3\xFC\xC1\xEE!"}},  // 非法的命令!
    {0x5B,
     {"Start Erase error!", "\xB2\xC1\xB3\xFD\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3!"}},  // 擦除数据错误!
    {0x5C, {"Erase Locked!", "\xB2\xC1\xB3\xFD\xB1\xBB\xCB\xF8\xCB\xC0!"}},  // 擦除被锁死!
    {0x5D,
     {"Write Option Error!",
      "\xD0\xB4Option\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3!"}},  // 写Option数据错误!
    {0x60,
     {"Interface Error or no Chip!",
      // 编程接口错误或无芯片连接!
      "\xB1\xE0\xB3\xCC\xBD\xD3\xBF\xDA\xB4\xED\xCE\xF3\xBB\xF2\xCE\xDE\xD0\xBE\xC6\xAC\xC1\xAC"
      "\xBD\xD3!"}},
    {0x62, {"Option Byte Error!", "Option Byte Error!"}},
    {0x63, {"SWD Fault!", "SWD Fault!"}},
    {0x65, {"SWD Fault!", "SWD Fault!"}},
    {0x66, {"DCRDR Error!", "DCRDR Error!"}},
    {0x67, {"DHCSR Error!", "DHCSR Error!"}},
    {0x68, {"DHCSR Not Run!", "DHCSR Not Run!"}},
    {0x69, {"DHCSR Not Haltd!", "DHCSR Not Haltd!"}},
    {0x72,
     {"Version Low Error!",
      "\xCE\xC4\xBC\xFE\xCA\xFD\xBE\xDD\xB0\xE6\xB1\xBE\xCC\xAB\xB5\xCD!"}},  // 文件数据版本太低!
    {0x75,
     {"Product Name error!",
      "\xC9\xD5\xD0\xB4\xC6\xF7\xC3\xFB\xB3\xC6\xB2\xBB\xC6\xA5\xC5\xE4!"}},  // 烧写器名称不匹配!
    {0xE0, {"Chip Retrun Error!", "Chip Retrun Error!"}},
    {0xE1,
     {"Chip is Access Protected!",
      "\xD0\xBE\xC6\xAC\xB2\xBB\xBF\xC9\xB7\xC3\xCE\xCA!"}},  // 芯片不可访问!
    {0xE2,
     {"Chip is erase Protected!",
      // 芯片不可擦除，已保护!
      "\xD0\xBE\xC6\xAC\xB2\xBB\xBF\xC9\xB2\xC1\xB3\xFD\xA3\xAC\xD2\xD1\xB1\xA3\xBB\xA4!"}},
    {0xE3,
     {"Chip is erase and Access Protected!",
      // 芯片不可擦除，不可访问!
      "\xD0\xBE\xC6\xAC\xB2\xBB\xBF\xC9\xB2\xC1\xB3\xFD\xA3\xAC\xB2\xBB\xBF\xC9\xB7\xC3\xCE\xCA!"}},
    {0xEA,
     {"Chip Driver Check Error!",
      "\xD0\xBE\xC6\xAC\xC7\xFD\xB6\xAF\xCA\xFD\xBE\xDD\xD2\xEC\xB3\xA3!"}},  // 芯片驱动数据异常!
    {0xEB,
     {"Driver data Error!",
      "\xD0\xBE\xC6\xAC\xC7\xFD\xB6\xAF\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3!"}},  // 芯片驱动数据错误!
    {0xEC,
     {"Write Chip Driver Error!",
      // 写芯片驱动数据错误，无法写入!
      "\xD0\xB4\xD0\xBE\xC6\xAC\xC7\xFD\xB6\xAF\xCA\xFD\xBE\xDD\xB4\xED\xCE\xF3\xA3\xAC\xCE\xDE"
      "\xB7\xA8\xD0\xB4\xC8\xEB!"}},
    {0xEE,
     {"ID is not unmatched!",
      // ID 检查错误或不匹配!
      "ID \xBC\xEC\xB2\xE9\xB4\xED\xCE\xF3\xBB\xF2\xB2\xBB\xC6\xA5\xC5\xE4!"}},
    {0xFA, {"No Socket connected!", "No Socket connected!"}},
    {0xFB, {"Socket Overflow error!", "Socket Overflow error!"}},
    {0xFD, {"Socket Certify Error!", "Socket Certify Error!"}},
};
static_assert(std::size(kReasonTexts) == 60);

// Reason fallback: head, the whole code in decimal, "/0x", the whole code as "%0.2x", ".".
constexpr LanguageText kReasonFallbackHead = {
    "Opertaion Failed! Error Code = 0",
    // 操作失败！错误代码 = 0
    "\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC\xA3\xA1\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB = 0"};

// Direct lookup by reason byte; an empty entry means the fallback applies.
constexpr std::array<LanguageText, 256> kReasonByByte = [] {
    std::array<LanguageText, 256> table{};
    for (const ReasonRow& row : kReasonTexts) {
        table[row.reason] = row.text;
    }
    return table;
}();

using LanguageSelector = std::string_view LanguageText::*;

std::string_view StepName(uint16_t code, LanguageSelector language) {
    uint8_t step = StepOf(code);
    if (step == StepNone) {
        return {};
    }
    if (step >= StepInit && step <= StepOther) {
        return kNamedSteps[step - StepInit].*language;
    }
    return kElseStep.*language;
}

void ErrorReason(uint16_t code, LanguageSelector language, std::string& text) {
    std::string_view reason = kReasonByByte[ReasonOf(code)].*language;
    if (!reason.empty()) {
        text.append(reason);
        return;
    }
    text.append(kReasonFallbackHead.*language);
    TextFormat::AppendDecimal(text, code);
    text.append("/0x");
    TextFormat::AppendHex(text, code, 2);
    text.push_back('.');
}

void ErrorMessage(uint16_t code, LanguageSelector language, std::string& text) {
    text.clear();
    if (IsHostSideCode(code)) {
        for (const HostSideRow& row : kHostSideTexts) {
            if (row.code == code) {
                text.append(row.text.*language);
                return;
            }
        }
    }
    if (IsChipReturnCode(code)) {
        text.append(kChipReturnHead.*language);
        TextFormat::AppendHex(text, code & ChipErrorNumberMask, 4);
        text.push_back('.');
        return;
    }
    text.append(StepName(code, language));
    ErrorReason(code, language, text);
}

// Longest error line is well under this; reserving once keeps later calls allocation-free.
constexpr std::size_t kErrorTextCapacity = 128;

// Text returned by the three error exports on this thread; valid until its next error call.
thread_local std::string ErrorResultText;

const char* ReturnErrorText(uint16_t code, LanguageSelector language) {
    std::string& text = ErrorResultText;
    if (text.capacity() < kErrorTextCapacity) {
        text.reserve(kErrorTextCapacity);
    }
    ErrorMessage(code, language, text);
    return text.c_str();
}

}  // namespace

void ErrorMessageEn(uint16_t code, std::string& text) {
    ErrorMessage(code, &LanguageText::en, text);
}
void ErrorMessageCn(uint16_t code, std::string& text) {
    ErrorMessage(code, &LanguageText::cn, text);
}
std::string_view StepNameEn(uint16_t code) {
    return StepName(code, &LanguageText::en);
}
std::string_view StepNameCn(uint16_t code) {
    return StepName(code, &LanguageText::cn);
}
void ErrorReasonEn(uint16_t code, std::string& text) {
    ErrorReason(code, &LanguageText::en, text);
}
void ErrorReasonCn(uint16_t code, std::string& text) {
    ErrorReason(code, &LanguageText::cn, text);
}

}  // namespace PelmoraErrX

extern "C" {

const char* PELMORAERRI_CALL GetErrorMessageinformationRTX(unsigned int code,
                                                           unsigned int language) {
    // Only the low 16 bits of either argument count: 0x0804 is not 4 and selects English.
    bool chinese = (language & 0xFFFF) == PELMORAERRI_LANG_CHINESE;
    return PelmoraErrX::ReturnErrorText(
        static_cast<uint16_t>(code),
        chinese ? &PelmoraErrX::LanguageText::cn : &PelmoraErrX::LanguageText::en);
}

const char* PELMORAERRI_CALL GetEglishErrorMessageinformationRTX(unsigned int code) {
    return PelmoraErrX::ReturnErrorText(static_cast<uint16_t>(code),
                                        &PelmoraErrX::LanguageText::en);
}

const char* PELMORAERRI_CALL GetChineseErrorMessageinformationRTX(unsigned int code) {
    return PelmoraErrX::ReturnErrorText(static_cast<uint16_t>(code),
                                        &PelmoraErrX::LanguageText::cn);
}

}  // extern "C"
