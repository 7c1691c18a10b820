// Error texts of the library: exact English and Chinese lines for host-side, chip-returned and
// operation codes, the language selector, and properties every one of the 65536 codes keeps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Cp936.h"
#include "PELMORAERRI.h"

namespace {

struct ErrorCase {
    unsigned int code;
    const char* text;
};

std::string English(unsigned int code) {
    return GetEglishErrorMessageinformationRTX(code);
}
std::string Chinese(unsigned int code) {
    return GetChineseErrorMessageinformationRTX(code);
}

// English lines; "\xA3\xBA" and "\xA3\xA1" are the full-width colon and exclamation mark.
const ErrorCase kEnglishCases[] = {
    {0x0000, "Success!"},
    {0x0006, "Success!"},
    {0x1306, "CODP: Success!"},
    {0x1000,
     "INIT\xA3\xBA"
     "Success!"},
    {0x1107, "BLKC: Chip no Response!"},
    {0x1204, "ERAS: Fault Error!"},
    {0x1316, "CODP: Chip Flash is Not Blank!"},
    {0x140B, "EEPP: Chip no Response!"},
    {0x1510, "BOTP: Write Protection Error!"},
    {0x1613, "VNMP: Read Protection Error"},
    {0x1715, "USRP: Chip Response NAK!"},
    {0x1817, "CODV: Chip EEPROM is Not Blank!"},
    {0x1919, "EEPV: Access Error!"},
    {0x1A1C, "BOTV: Area not Empty!"},
    {0x1B1F, "NVMV: Chip is Locked!"},
    {0x1C25, "USRV: Unknow Command!"},
    {0x1D5A, "CFGP: Illagel Command(For Blue-NRG)!"},
    {0x1E69, "OTPP: DHCSR Not Haltd!"},
    {0x1FFD, "ELSP: Socket Certify Error!"},
    {0x123E, "ERAS: Device Error\xA3\xA1"},
    {0x0020, "Packet Data Error!"},
    {0x0021, "Packet Error!"},
    {0x0123, "Else: Packet Check Sum error!"},
    {0x7FE0, "Else: Chip Retrun Error!"},
    {0x20EE, "Else: ID is not unmatched!"},
    {0x403F, "Else: MTP Fault!"},
    {0x4051, "Else: Memory Size error!"},
    {0x4010, "Error: Open COM port error!"},
    {0x4020, "Error: Open file error!"},
    {0x4023, "Error: No object data has been loaded!"},
    {0x402A, "Error: Load firmware error!"},
    {0x402C, "Error: Load flash driver file error!"},
    {0x4030, "Error: No chip selected!"},
    {0x4040, "Error: CommandLine parse error!"},
    {0x4050, "Error: Operation time out!"},
    {0x4011, "Else: Opertaion Failed! Error Code = 016401/0x4011."},
    {0x0011, "Opertaion Failed! Error Code = 017/0x11."},
    {0x0005, "Opertaion Failed! Error Code = 05/0x05."},
    {0x0250, "Else: Opertaion Failed! Error Code = 0592/0x250."},
    {0x2001, "Else: Opertaion Failed! Error Code = 08193/0x2001."},
    {0x7FFF, "Else: Opertaion Failed! Error Code = 032767/0x7FFF."},
    {0x8123, "Error: Chip Return Error Code=0x0123."},
    {0xFFFF, "Error: Chip Return Error Code=0x7FFF."},
    {0x8000, "Error: Chip Return Error Code=0x0000."},
    {0xC0AB, "Error: Chip Return Error Code=0x40AB."},
    {0x14010, "Error: Open COM port error!"},  // only the low 16 bits count
};

// Chinese lines written as characters; the library's bytes are converted from code page 936.
const ErrorCase kChineseCases[] = {
    {0x0000, "Success!"},
    {0x1000, "初始化：Success!"},
    {0x1107, "查  空：芯片无响应!"},
    {0x1204, "擦  除：Fault Error!"},
    {0x1316, "代码写：Chip Flash is Not Blank!"},
    {0x140B, "数据写：芯片无响应!"},
    {0x1510, "BOOT写：芯片已被写保护!"},
    {0x1613, "NVM 写：芯片已被读保护"},
    {0x1715, "USER写：芯片响应 NAK!"},
    {0x1823, "代码校验：数据包校验错误!"},
    {0x1925, "数据校验：命令不正确或不认识!"},
    {0x1A2C, "BOOT校验：Flash Memory错误!"},
    {0x1B2D, "NVM 校验：写EEP/OTP数据错误!"},
    {0x1C3E, "USER校验：设备不正确或不存在!"},
    {0x1D5D, "配置写：写Option数据错误!"},
    {0x1E60, "OTP 写：编程接口错误或无芯片连接!"},
    {0x1FEC, "其他操作：写芯片驱动数据错误，无法写入!"},
    {0x20E3, "其他：芯片不可擦除，不可访问!"},
    {0x0020, "数据包错误!"},
    {0x0021, "数据包错误!"},
    {0x0031, "内部数据编程校验错误!"},
    {0x0038, "芯片型号与厂家不匹配!"},
    {0x0051, "Memory大小错位!"},
    {0x0055, "数据地址超出芯片范围!"},
    {0x0072, "文件数据版本太低!"},
    {0x00E2, "芯片不可擦除，已保护!"},
    {0x00EE, "ID 检查错误或不匹配!"},
    {0x4010, "Error: 打开COM口错误!"},
    {0x4020, "Error: 打开文件错误!"},
    {0x4023, "Error: 未加载数据文件!"},
    {0x402A, "Error: 加载固件错误!"},
    {0x402C, "Error: 加载Flash驱动错误!"},
    {0x4030, "Error: 未选择正确芯片!"},
    {0x4040, "Error: 命令行解析错误!"},
    {0x4050, "Error: 操作超时!"},
    {0x4011, "其他：操作失败！错误代码 = 016401/0x4011."},
    {0x0250, "其他：操作失败！错误代码 = 0592/0x250."},
    {0x0011, "操作失败！错误代码 = 017/0x11."},
    {0x8123, "Error: 芯片错误信息返回，错误代码=0x0123."},
    {0xFFFF, "Error: 芯片错误信息返回，错误代码=0x7FFF."},
};

// Every reason byte, alone and after a step prefix. Bytes without a row give the numeric fallback,
// which prints the whole code; "\xA3\xA1" is the full-width exclamation mark.
struct ReasonRow {
    unsigned int reason;
    const char* english;
    const char* chinese;
};

const ReasonRow kReasonRows[] = {
    {0x00, "Success!", "Success!"},
    {0x04, "Fault Error!", "Fault Error!"},
    {0x06, "Success!", "Success!"},
    {0x07, "Chip no Response!", "芯片无响应!"},
    {0x0B, "Chip no Response!", "芯片无响应!"},
    {0x10, "Write Protection Error!", "芯片已被写保护!"},
    {0x13, "Read Protection Error", "芯片已被读保护"},
    {0x15, "Chip Response NAK!", "芯片响应 NAK!"},
    {0x16, "Chip Flash is Not Blank!", "Chip Flash is Not Blank!"},
    {0x17, "Chip EEPROM is Not Blank!", "Chip EEPROM is Not Blank!"},
    {0x19, "Access Error!", "Access Error!"},
    {0x1C, "Area not Empty!", "Area not Empty!"},
    {0x1F, "Chip is Locked!", "Chip is Locked!"},
    {0x20, "Packet Data Error!", "数据包错误!"},
    {0x21, "Packet Error!", "数据包错误!"},
    {0x23, "Packet Check Sum error!", "数据包校验错误!"},
    {0x25, "Unknow Command!", "命令不正确或不认识!"},
    {0x2C, "Programming Error!", "Flash Memory错误!"},
    {0x2D, "Write EEP/OTP Error!", "写EEP/OTP数据错误!"},
    {0x2F, "Memory not Blank!", "Memory不为空!"},
    {0x31, "Interval Verify Error!", "内部数据编程校验错误!"},
    {0x32, "Data Verify Error!", "数据校验错误!"},
    {0x34, "Chip Checksum error!", "芯片校验和不正确!"},
    {0x36, "Chip Type Error!", "芯片型号错误或不存在!"},
    {0x38, "Mfg. Code Error!", "芯片型号与厂家不匹配!"},
    {0x3D, "Error Secure Key!", "Error Secure Key!"},
    {0x3E, "Device Error\xA3\xA1", "设备不正确或不存在!"},
    {0x3F, "MTP Fault!", "MTP Fault!"},
    {0x40, "Command Execute Time Out!", "命令执行超时!"},
    {0x45, "Command Execute error!", "命令执行错误!"},
    {0x47, "Product S/N write Error!", "写产品代码数据错误!"},
    {0x4D, "Number is use!", "数量已被使用!"},
    {0x4F, "Set Security Error!", "设置安全或保护错误!"},
    {0x51, "Memory Size error!", "Memory大小错位!"},
    {0x55, "Address out of range!", "数据地址超出芯片范围!"},
    {0x5A, "Illagel Command(For Blue-NRG)!", "非法的命令!"},
    {0x5B, "Start Erase error!", "擦除数据错误!"},
    {0x5C, "Erase Locked!", "擦除被锁死!"},
    {0x5D, "Write Option Error!", "写Option数据错误!"},
    {0x60, "Interface Error or no Chip!", "编程接口错误或无芯片连接!"},
    {0x62, "Option Byte Error!", "Option Byte Error!"},
    {0x63, "SWD Fault!", "SWD Fault!"},
    {0x65, "SWD Fault!", "SWD Fault!"},
    {0x66, "DCRDR Error!", "DCRDR Error!"},
    {0x67, "DHCSR Error!", "DHCSR Error!"},
    {0x68, "DHCSR Not Run!", "DHCSR Not Run!"},
    {0x69, "DHCSR Not Haltd!", "DHCSR Not Haltd!"},
    {0x72, "Version Low Error!", "文件数据版本太低!"},
    {0x75, "Product Name error!", "烧写器名称不匹配!"},
    {0xE0, "Chip Retrun Error!", "Chip Retrun Error!"},
    {0xE1, "Chip is Access Protected!", "芯片不可访问!"},
    {0xE2, "Chip is erase Protected!", "芯片不可擦除，已保护!"},
    {0xE3, "Chip is erase and Access Protected!", "芯片不可擦除，不可访问!"},
    {0xEA, "Chip Driver Check Error!", "芯片驱动数据异常!"},
    {0xEB, "Driver data Error!", "芯片驱动数据错误!"},
    {0xEC, "Write Chip Driver Error!", "写芯片驱动数据错误，无法写入!"},
    {0xEE, "ID is not unmatched!", "ID 检查错误或不匹配!"},
    {0xFA, "No Socket connected!", "No Socket connected!"},
    {0xFB, "Socket Overflow error!", "Socket Overflow error!"},
    {0xFD, "Socket Certify Error!", "Socket Certify Error!"},
};

std::string Fallback(const char* head, unsigned int code) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%u/0x%02X.", code, code);
    return std::string(head) + numbers;
}

TEST(ErrorText, EveryReasonByteInBothLanguages) {
    struct Step {
        unsigned int high;
        const char* english;
        const char* chinese;
    };
    const Step steps[] = {{0x0000, "", ""}, {0x1E00, "OTPP: ", "OTP 写："}};
    for (const Step& step : steps) {
        for (unsigned int reason = 0; reason <= 0xFF; ++reason) {
            unsigned int code = step.high | reason;
            std::string english =
                std::string(step.english) + Fallback("Opertaion Failed! Error Code = 0", code);
            std::string chinese =
                std::string(step.chinese) + Fallback("操作失败！错误代码 = 0", code);
            for (const ReasonRow& row : kReasonRows) {
                if (row.reason == reason) {
                    english = std::string(step.english) + row.english;
                    chinese = std::string(step.chinese) + row.chinese;
                }
            }
            EXPECT_EQ(English(code), english) << std::hex << "code 0x" << code;
            EXPECT_EQ(Cp936ToUtf8(Chinese(code)), chinese) << std::hex << "code 0x" << code;
        }
    }
}

TEST(ErrorText, EnglishLines) {
    for (const ErrorCase& c : kEnglishCases) {
        EXPECT_EQ(English(c.code), c.text) << std::hex << "code 0x" << c.code;
    }
}

TEST(ErrorText, ChineseLinesDecodeAsCodePage936) {
    for (const ErrorCase& c : kChineseCases) {
        EXPECT_EQ(Cp936ToUtf8(Chinese(c.code)), c.text) << std::hex << "code 0x" << c.code;
    }
}

// The exact bytes, independent of any converter: full-width marks are A3 BA and A3 A1.
TEST(ErrorText, CodePage936Bytes) {
    const ErrorCase cases[] = {
        {0x1000,
         "\xB3\xF5\xCA\xBC\xBB\xAF\xA3\xBA"
         "Success!"},  // 初始化：
        {0x1107, "\xB2\xE9  \xBF\xD5\xA3\xBA\xD0\xBE\xC6\xAC\xCE\xDE\xCF\xEC\xD3\xA6!"},
        {0x003E, "\xC9\xE8\xB1\xB8\xB2\xBB\xD5\xFD\xC8\xB7\xBB\xF2\xB2\xBB\xB4\xE6\xD4\xDA!"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(Chinese(c.code), c.text) << std::hex << "code 0x" << c.code;
    }
    EXPECT_EQ(English(0x003E), "Device Error\xA3\xA1");
}

TEST(ErrorText, LanguageSelectorUsesLow16BitsOnly) {
    struct SelectorCase {
        unsigned int selector;
        bool chinese;
    };
    const SelectorCase selectors[] = {
        {4, true},  {0x00010004, true}, {0xFFFF0004, true}, {0, false},
        {9, false}, {0xFFFF, false},    {0x0804, false},    {0x0404, false},
    };
    for (unsigned int code : {0x1107u, 0x4010u, 0x8123u, 0x0250u}) {
        for (const SelectorCase& s : selectors) {
            std::string expected = s.chinese ? Chinese(code) : English(code);
            EXPECT_EQ(GetErrorMessageinformationRTX(code, s.selector), expected)
                << std::hex << "code 0x" << code << " selector 0x" << s.selector;
        }
    }
}

// Every code yields non-empty text; Chinese text is valid code page 936; English text is ASCII
// apart from the two full-width marks; the two-argument export agrees with the per-language ones.
TEST(ErrorText, EveryCodeYieldsText) {
    for (unsigned int code = 0; code <= 0xFFFF; ++code) {
        std::string english = English(code);
        std::string chinese = Chinese(code);
        ASSERT_FALSE(english.empty()) << code;
        ASSERT_FALSE(chinese.empty()) << code;
        ASSERT_EQ(GetErrorMessageinformationRTX(code, 4), chinese) << code;
        ASSERT_EQ(GetErrorMessageinformationRTX(code, 0), english) << code;
        ASSERT_NO_THROW(Cp936ToUtf8(chinese)) << code;
        ASSERT_NO_THROW(Cp936ToUtf8(english)) << code;
        for (std::size_t i = 0; i < english.size(); ++i) {
            unsigned char byte = static_cast<unsigned char>(english[i]);
            if (byte >= 0x80) {
                ASSERT_EQ(byte, 0xA3) << code;
                ASSERT_TRUE(english[i + 1] == '\xBA' || english[i + 1] == '\xA1') << code;
                ++i;
            }
        }
    }
}

}  // namespace
