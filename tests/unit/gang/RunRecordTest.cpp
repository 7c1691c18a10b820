#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RunRecord.h"

namespace {

using gang::GangCommand;
using gang::LastStampedText;
using gang::Sums;

// A run log as the tester writes it: every line ended by CR LF.
std::string Lines(std::initializer_list<std::string_view> lines) {
    std::string log;
    for (const std::string_view line : lines) (log += line) += "\r\n";
    return log;
}

// A time-stamped line on a 24-hour clock.
std::string T(std::string_view text) {
    return "> 14:05:09 " + std::string(text);
}

const std::string Port = T("CmdLin: Set COM Port=COM3\"");
const std::string Program = T("CmdLin: Do Programming Starting!");
const std::string Check = T("CmdLin: Do Programming Checking!");
const std::string Reset = T("CmdLin: Do Programming Reset!");
const std::string ReadSum = T("CmdLin: Do Read Chip Checksum.......");
const std::string Erase = T("CmdLin: Do Chip Erase.......");
const std::string Data = T("Current Data ACC16=0xB7E1,CRC16=0x3C5A.");
const std::string Start = T("Initial Programming Interface ....");
const std::string Done = T("Progrmming Completed : Successed !Chip ACC16=0x1234,CRC16=0xABCD.");
const std::string Retry = T("Handle Resety Programmer.......");
const std::string Information = Lines({
    "> Current Programmer Information : ",
    "   Current ROM Size is : 512KB.",
    "   Current Flash CRC Sum : 0x3C5A.",
    "   Current Flash ACC Sum : 0xB7E1.",
    "   Current Chip Name is : S32K144",
    "   Current File Name is : FIRMWARE_V1_02.HEX",
    "   File CheckSum = 0x0012ABCD.",
    "   S/N is Used : Gain=3,Address=0x0800FF00.",
    "   Start S/N is : 0x00001000.Current SN=0x00001005.",
    "End of Commad!",
});

TEST(RunRecord, VerdictOfTheAnswerThatEndedTheRun) {
    struct Row {
        const char* name;
        GangCommand command;
        std::string log;
        bool logNamedOK;
        bool ok;
        std::string reason;
        std::string endingLine;
        bool silentTimeout;
    };
    const std::string programDone =
        "Progrmming Completed : Successed !Chip ACC16=0x1234,CRC16=0xABCD.";
    const std::string noStart =
        "programming success without this run's programming start (an earlier operation's verdict)";
    const std::vector<Row> rows = {
        {"program ok", GangCommand::Program,
         Lines({Port, Program, Data, Start, T("Do Main Flash Programming...."), Done,
                "End of Commad: Success!"}),
         true, true, "", programDone, false},
        {"program retried, started again", GangCommand::Program,
         Lines({Program, Data, Start, Retry}) + Information +
             Lines({Data, Start, T("Do Main Flash Block 0 Programming ......"), Done,
                    "End of Commad: Success!"}),
         true, true, "", programDone, false},
        {"program retried, no second start", GangCommand::Program,
         Lines({Program, Data, Start, Retry}) + Information +
             Lines({T("Do Main Flash Verification...."), Done}),
         true, false, noStart, programDone, false},
        {"program success without start", GangCommand::Program,
         Lines({Port, Program, T("Do Main Flash Verification...."), Done}), true, false, noStart,
         programDone, false},
        {"program start only before the switch line", GangCommand::Program,
         Lines({Start, Port, Program, Done}), true, false, noStart, programDone, false},
        {"program success, log named NG", GangCommand::Program, Lines({Program, Data, Start, Done}),
         false, false, "the tester named the log NG", programDone, false},
        {"program failed", GangCommand::Program,
         Lines({Program, Data, Start, T("Progrmming Completed : Failed : Error=0x86!"),
                "End of Commad: Failed!"}),
         false, false, "Progrmming Completed : Failed : Error=0x86!",
         "Progrmming Completed : Failed : Error=0x86!", false},
        {"program ended by a read-sum answer", GangCommand::Program,
         Lines({Program, T("Command Successed, Read ACC16=0x1234,CRC16=0x5678.")}), true, false,
         "Command Successed, Read ACC16=0x1234,CRC16=0x5678. is no answer to -DOPROGA",
         "Command Successed, Read ACC16=0x1234,CRC16=0x5678.", false},
        {"program ended by the programmer information", GangCommand::Program,
         Lines({Program}) + Information, true, false,
         "programmer information (End of Commad!) is no answer to -DOPROGA", "End of Commad!",
         false},
        {"program ended by an erroneous command", GangCommand::Program,
         Lines({Program, T("Received Error Command!")}), false, false, "Received Error Command!",
         "Received Error Command!", false},
        {"program on a 12-hour clock", GangCommand::Program,
         Lines({"> 2:05:09 PM CmdLin: Do Programming Starting!",
                "> 2:05:09 PM Initial Programming Interface ....",
                "> 2:05:10 PM Progrmming Completed : Successed !CheckSum: 0x1234"}),
         true, true, "", "Progrmming Completed : Successed !CheckSum: 0x1234", false},
        {"program never answered", GangCommand::Program,
         Lines({Program, Start, T("Do Main Flash Programming....")}), false, false,
         "the run did not end with an answer", "", false},
        {"erase ended by a programming success", GangCommand::Erase,
         Lines({Erase, T("Do Chip Erasing...."), Done}), false, false,
         programDone + " is no answer to -DOERASE", programDone, false},
        {"erase ok, log named NG", GangCommand::Erase,
         Lines({Port, Erase, T("Do Chip Erasing...."), T("Command Operation Successed!")}), false,
         true, "", "Command Operation Successed!", false},
        {"erase success without start", GangCommand::Erase,
         Lines({Erase, T("Command Operation Successed!")}), false, false,
         "erase success without this run's erase start (an earlier operation's verdict)",
         "Command Operation Successed!", false},
        {"later line of the chunk after the ending", GangCommand::Erase,
         Lines({Erase, T("Do Chip Erasing...."), T("Command Operation Successed!"),
                T("Command Operation Failed : Error=0x86!")}),
         false, true, "", "Command Operation Successed!", false},
        {"later success after a failure", GangCommand::Erase,
         Lines({Erase, T("Do Chip Erasing...."), T("Command Operation Failed : Error=0x86!"),
                T("Command Operation Successed!")}),
         false, false, "Command Operation Failed : Error=0x86!",
         "Command Operation Failed : Error=0x86!", false},
        {"check ready, log named NG", GangCommand::Check,
         Lines({Port, Check, T("Chip is In,Programmer is Ready,Socket is OK.")}) + Information,
         false, true, "", "End of Commad!", false},
        {"check ready to start, hidden information", GangCommand::Check,
         Lines({Check, T("Programmer is ready to Start!"), "End of Commad!"}), false, true, "",
         "End of Commad!", false},
        {"check ready without chip", GangCommand::Check,
         Lines({Check, T("No Chip In,Programmer is Ready,Socket is OK."), "End of Commad!"}), false,
         true, "", "End of Commad!", false},
        {"check programmer error", GangCommand::Check,
         Lines({Check, T("Programmer has Error!"), T("Command Operation Failed : Error=0x86!")}),
         false, false, "Programmer has Error!", "Command Operation Failed : Error=0x86!", false},
        {"check socket locked", GangCommand::Check,
         Lines({Check, T("Chip is In,Programmer is Ready,Socket is Locked."), "End of Commad!"}),
         false, false, "Chip is In,Programmer is Ready,Socket is Locked.", "End of Commad!", false},
        {"check programmer corrupted", GangCommand::Check,
         Lines({Check, T("Chip is In,Programmer is Corrupted,Socket is OK."), "End of Commad!"}),
         false, false, "Chip is In,Programmer is Corrupted,Socket is OK.", "End of Commad!", false},
        {"check without a ready state", GangCommand::Check,
         Lines({Check, T("Has Chip In Socket!"), "End of Commad!"}), false, false,
         "the programmer did not report ready", "End of Commad!", false},
        {"check ended by an operation success", GangCommand::Check,
         Lines({Check, T("Programmer is ready to Start!"), T("Command Operation Successed!")}),
         false, false, "Command Operation Successed! is no answer to -DOCHECK",
         "Command Operation Successed!", false},
        {"reset ok", GangCommand::Reset, Lines({Port, Reset}) + Information, false, true, "",
         "End of Commad!", false},
        {"reset failed", GangCommand::Reset,
         Lines({Reset, T("Command Operation Failed : Error=0x21!")}), false, false,
         "Command Operation Failed : Error=0x21!", "Command Operation Failed : Error=0x21!", false},
        {"read-sum ok", GangCommand::ReadSum,
         Lines({ReadSum, T("Command Successed, Read ACC16=0x1234,CRC16=0x5678.")}), true, true, "",
         "Command Successed, Read ACC16=0x1234,CRC16=0x5678.", false},
        {"read-sum failed", GangCommand::ReadSum,
         Lines({ReadSum, T("Command Failed : Error=0x05!")}), false, false,
         "Command Failed : Error=0x05!", "Command Failed : Error=0x05!", false},
        {"read-sum success, log named NG", GangCommand::ReadSum,
         Lines({ReadSum, T("Command Successed, Read ACC16=0x1234,CRC16=0x5678."),
                T("Command Failed : Error=0x05!")}),
         false, false, "the tester named the log NG",
         "Command Successed, Read ACC16=0x1234,CRC16=0x5678.", false},
        {"silent time-out", GangCommand::Program,
         Lines({Port, Program, T("CML: Operation Time Out!"), "End of Commad: Failed!"}), false,
         false, "CML: Operation Time Out!", "CML: Operation Time Out!", true},
        {"silent time-out, port line after the switch line", GangCommand::Check,
         Lines({Check, Port, "", T("CML: Operation Time Out!")}), false, false,
         "CML: Operation Time Out!", "CML: Operation Time Out!", true},
        {"time-out after progress", GangCommand::Erase,
         Lines({Erase, Port, T("Do Chip Erasing...."), T("CML: Operation Time Out!")}), false,
         false, "CML: Operation Time Out!", "CML: Operation Time Out!", false},
        {"command-line failure", GangCommand::Program,
         Lines({Port, Program, T("> Not Enough Parameter has been transformed!"),
                "End of Commad: Failed!"}),
         false, false, "> Not Enough Parameter has been transformed!",
         "> Not Enough Parameter has been transformed!", false},
        {"no switch line", GangCommand::Program,
         Lines({T("No Paramter is Passed to this Application!")}), false, false,
         "the command was not sent", "", false},
        {"another command's switch line", GangCommand::Program,
         Lines({Check, T("Programmer is ready to Start!")}) + Information, true, false,
         "the command was not sent", "", false},
        {"LF lines, no final end", GangCommand::Reset,
         Reset + "\n> Current Programmer Information : \n   No S/N is Used!\nEnd of Commad!", false,
         true, "", "End of Commad!", false},
        {"empty log", GangCommand::Reset, "", true, false, "the command was not sent", "", false},
    };
    for (const Row& row : rows) {
        const gang::RunRecord record = gang::ReadRunRecord(row.log, row.command, row.logNamedOK);
        EXPECT_EQ(record.ok, row.ok) << row.name;
        EXPECT_EQ(record.reason, row.reason) << row.name;
        EXPECT_EQ(record.endingLine, row.endingLine) << row.name;
        EXPECT_EQ(record.silentTimeout, row.silentTimeout) << row.name;
    }
}

TEST(RunRecord, ChipRecordOfTheRun) {
    struct Row {
        const char* name;
        GangCommand command;
        std::string log;
        std::optional<std::string> chipName, chipId, chipUid, serialNumber;
        Sums dataSums, chipSums;
        std::optional<unsigned> errorCode;
    };
    const std::string buffer =
        Lines({Erase, T("Do Chip Erasing....")}) + T("Command Operation Failed : Error=0x8") + "6!";
    const std::vector<Row> rows = {
        {"programmed with identity and serial number",
         GangCommand::Program,
         Lines({"   Current Chip Name is : BEFORE", Program, T("ID : 0x0a 0xFF "),
                T("Read Out Chip UID : 01 0a ff"), Data, Retry}) +
             Information +
             Lines({Start, T("Do Chip Option Byte Programming...., Current SN=0x00001006."), Done}),
         "S32K144",
         "0A FF",
         "01 0A FF",
         "0x00001006",
         {{"ACC16", "0xB7E1"}, {"CRC16", "0x3C5A"}},
         {{"ACC16", "0x1234"}, {"CRC16", "0xABCD"}},
         std::nullopt},
        {"information only: flash sums, its serial number",
         GangCommand::Check,
         Lines({Check, T("Programmer is ready to Start!")}) + Information,
         "S32K144",
         std::nullopt,
         std::nullopt,
         "0x00001005",
         {{"ACC16", "0xB7E1"}, {"CRC16", "0x3C5A"}},
         {},
         std::nullopt},
        {"last current data of a retry",
         GangCommand::Program,
         Lines({Program, Data, Start, Retry, T("Current Data ACC16=0x0001,CRC16=0x0002."), Start,
                Done}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {{"ACC16", "0x0001"}, {"CRC16", "0x0002"}},
         {{"ACC16", "0x1234"}, {"CRC16", "0xABCD"}},
         std::nullopt},
        {"ACC32 and the checksum line after it",
         GangCommand::Program,
         Lines({Program, Start, T("Progrmming Completed : Successed !Chip ACC32=0x12345678."),
                T("CheckSum: 0x00FF"), "End of Commad: Success!"}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {{"ACC32", "0x12345678"}, {"CheckSum", "0x00FF"}},
         std::nullopt},
        {"CRC32",
         GangCommand::Program,
         Lines({Program, Start, T("Progrmming Completed : Successed !Chip CRC32 = 0x89ABCDEF.")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {{"CRC32", "0x89ABCDEF"}},
         std::nullopt},
        {"checksum only, no later checksum taken",
         GangCommand::Program,
         Lines({Program, Start, T("Progrmming Completed : Successed !CheckSum: 0x1234"),
                T("CheckSum: 0x9999")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {{"CheckSum", "0x1234"}},
         std::nullopt},
        {"programming failed",
         GangCommand::Program,
         Lines({Program, Start, T("Progrmming Completed : Failed : Error=0x86!")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         0x86u},
        {"read-sum answer",
         GangCommand::ReadSum,
         Lines({ReadSum, T("Command Successed, Read ACC16=0x1234,CRC16=0x5678.")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {{"ACC16", "0x1234"}, {"CRC16", "0x5678"}},
         std::nullopt},
        {"read-sum failed",
         GangCommand::ReadSum,
         Lines({ReadSum, T("Command Failed : Error=0x05!")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         0x05u},
        {"error code only of the ending line",
         GangCommand::Erase,
         Lines({Erase, T("CML: Operation Time Out!"), T("Command Operation Failed : Error=0x21!")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         std::nullopt},
        {"empty name and identity",
         GangCommand::Reset,
         Lines({Reset, T("ID : "), T("Read Out Chip UID :"),
                "   Current Chip Name is : ", "End of Commad!"}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         std::nullopt},
        {"read within the view only",
         GangCommand::Erase,
         buffer.substr(0, buffer.size() - 2),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         0x8u},
        {"cut answers and junk bytes",
         GangCommand::Program,
         Lines({Program, std::string("\0\xff> 1\r", 5), T("ID : 0x"), T("Current Data ACC16=0x"),
                T("Progrmming Completed : Failed : Error=0x")}),
         std::nullopt,
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {},
         std::nullopt},
    };
    for (const Row& row : rows) {
        const gang::RunRecord record = gang::ReadRunRecord(row.log, row.command, true);
        EXPECT_EQ(record.chipName, row.chipName) << row.name;
        EXPECT_EQ(record.chipId, row.chipId) << row.name;
        EXPECT_EQ(record.chipUid, row.chipUid) << row.name;
        EXPECT_EQ(record.serialNumber, row.serialNumber) << row.name;
        EXPECT_EQ(record.dataSums, row.dataSums) << row.name;
        EXPECT_EQ(record.chipSums, row.chipSums) << row.name;
        EXPECT_EQ(record.errorCode, row.errorCode) << row.name;
    }
}

TEST(RunRecord, HugeLinesReadInOnePass) {
    // Many would-be values on one line: each is looked at once, the last whole one counts.
    std::string serial = "Chip Option Byte, Current SN=0x0000ABCD.";
    std::string data = "Current Data ";
    for (int i = 0; i < 200000; ++i) {
        serial += "Current SN=";
        data += "ACC16= ";
    }
    data += "ACC16=0x0001,CRC16=0x0002.";
    const gang::RunRecord record = gang::ReadRunRecord(
        Lines({Reset, T(serial), T(data), "End of Commad!"}), GangCommand::Reset, false);
    EXPECT_TRUE(record.ok);
    EXPECT_EQ(record.serialNumber, "0x0000ABCD");
    EXPECT_EQ(record.dataSums, (Sums{{"ACC16", "0x0001"}, {"CRC16", "0x0002"}}));
}

TEST(ExpectedData, ParsedAndComparedNumerically) {
    struct Row {
        std::string text;
        bool accepted;
        Sums parsed;
        Sums programmer;
        std::string mismatch;
    };
    const Sums both = {{"ACC16", "0xB7E1"}, {"CRC16", "0x3C5A"}};
    const std::vector<Row> rows = {
        {"CRC16=0x3C5A", true, {{"CRC16", "0x3C5A"}}, both, ""},
        {"crc16=3c5a", true, {{"CRC16", "0x3C5A"}}, both, ""},
        {"ACC16=b7e1, CRC16=0X3c5a", true, {{"ACC16", "0xB7E1"}, {"CRC16", "0x3C5A"}}, both, ""},
        {"CRC16=0x3C5A", true, {{"CRC16", "0x3C5A"}}, {{"CRC16", "0x3c5a"}}, ""},
        {"CRC16=0x3C5A",
         true,
         {{"CRC16", "0x3C5A"}},
         {{"ACC16", "0xB7E1"}, {"CRC16", "0x1111"}},
         "programmer data CRC16=0x1111, expected 0x3C5A"},
        {"CRC16=5a",
         true,
         {{"CRC16", "0x005A"}},
         {{"CRC16", "0x0000"}},
         "programmer data CRC16=0x0000, expected 0x005A"},
        {"CRC16=3C5A", true, {{"CRC16", "0x3C5A"}}, {{"CRC16", "0x000000003C5A"}}, ""},
        {"CRC16=5A", true, {{"CRC16", "0x005A"}}, {{"CRC16", "0x005A"}}, ""},
        {"CRC16=1,ACC16=2",
         true,
         {{"CRC16", "0x0001"}, {"ACC16", "0x0002"}},
         both,
         "programmer data CRC16=0x3C5A, expected 0x0001"},
        {"ACC16=0xB7E1,CRC16=2",
         true,
         {{"ACC16", "0xB7E1"}, {"CRC16", "0x0002"}},
         both,
         "programmer data CRC16=0x3C5A, expected 0x0002"},
        {"CRC16=0x3C5A,ACC16=0xB7E1",
         true,
         {{"CRC16", "0x3C5A"}, {"ACC16", "0xB7E1"}},
         {},
         "programmer reported no data sums, expected CRC16=0x3C5A,ACC16=0xB7E1"},
        {"", false, {}, {}, ""},
        {"CRC16", false, {}, {}, ""},
        {"CRC32=1", false, {}, {}, ""},
        {"CRC16=12345", false, {}, {}, ""},
        {"CRC16=0x", false, {}, {}, ""},
        {"CRC16=xyz", false, {}, {}, ""},
        {"CRC16=-1", false, {}, {}, ""},
        {"CRC16==1", false, {}, {}, ""},
        {"CRC16=1,crc16=2", false, {}, {}, ""},
        {"CRC16=1,", false, {}, {}, ""},
        {",CRC16=1", false, {}, {}, ""},
        {"CRC16=1;ACC16=2", false, {}, {}, ""},
    };
    for (const Row& row : rows) {
        std::string error = "left over";
        const Sums parsed = gang::ParseExpectedData(row.text, error);
        EXPECT_EQ(error.empty(), row.accepted) << row.text << ": " << error;
        EXPECT_EQ(parsed, row.parsed) << row.text;
        if (!row.accepted)
            continue;
        gang::RunRecord record;
        record.dataSums = row.programmer;
        EXPECT_EQ(gang::DataSumMismatch(record, parsed), row.mismatch) << row.text;
    }
}

TEST(CommandSwitch, OnlyTheFiveSwitchesInAnyLetterCase) {
    const std::vector<std::pair<std::string, std::optional<GangCommand>>> rows = {
        {"-DOPROGA", GangCommand::Program},
        {"-DOCHECK", GangCommand::Check},
        {"-DORESET", GangCommand::Reset},
        {"-DORDSUM", GangCommand::ReadSum},
        {"-DOERASE", GangCommand::Erase},
        {"-doproga", GangCommand::Program},
        {"-DoErAsE", GangCommand::Erase},
        {"-DOPROGA=1", std::nullopt},
        {"DOPROGA", std::nullopt},
        {"-DOPROG", std::nullopt},
        {"", std::nullopt},
        {"-COM=3", std::nullopt},
    };
    for (const auto& [text, command] : rows) {
        EXPECT_EQ(gang::CommandOfSwitch(text), command) << text;
        if (command) {
            std::string upper = text;
            for (char& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(gang::SwitchOfCommand(*command), upper);
        }
    }
}

TEST(LastStampedText, TheLastTimeStampedLineWithoutItsStamp) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"> 14:05:09 CmdLin: Set COM Port=COM3\"\r\n"
         "> 14:05:13 CML: Operation Time Out!\r\n",
         "CML: Operation Time Out!"},
        {"> 14:05:09 CmdLin: Do Programming Starting!\r\n"
         "> 14:05:10 Command Operation Failed : Error=0x86!\r\n"
         "End of Commad: Failed!\r\n",
         "Command Operation Failed : Error=0x86!"},
        {"> 2:05:09 PM > Command Line Parameter error : doproga\r\nEnd of Commad: Failed!\r\n",
         "> Command Line Parameter error : doproga"},
        {"> 14:05:09 first\n> 14:05:10 second\nRX Chunk(2): C0 C0\n", "second"},
        {"> 14:05:09 \r\n", ""},
        {"End of Commad: Failed!\r\n", ""},
        {"", ""},
        {">  indented, no stamp\r\n", ""},
        {"> 14:05:09 Chip is In,Programmer is Ready,Socket is OK.\r\n"
         "> Current Programmer Information : \r\n   No S/N is Used!\r\nEnd of Commad!\r\n",
         "Chip is In,Programmer is Ready,Socket is OK."},
        {"> 14:05:09 only line without end", "only line without end"},
        {"> 2:05:09 p.m. Do Chip Erasing....\r\n", "Do Chip Erasing...."},
    };
    for (const auto& [log, reason] : cases) EXPECT_EQ(LastStampedText(log), reason) << log;
}

}  // namespace
