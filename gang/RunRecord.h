// What a tester's run log says, read as a manufacturing system needs it: which answer ended the
// run, whether that answer is the command's own success (the gang's verdict, stricter than the
// log file's name), and the chip's record (name, identity, serial number, sums, error code).
// Pure text work over the run log bytes as the tester wrote them (CR LF lines, time-stamped
// lines "> <time> text" in the user's format, plain lines).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gang {

// The command switches of ZqCmdLin a gang can run.
enum class GangCommand { Program, Check, Reset, ReadSum, Erase };

// The command of a switch such as "-DOPROGA" (any letter case); none for every other switch.
std::optional<GangCommand> CommandOfSwitch(std::string_view testerSwitch);
// "-DOPROGA" ... as the docs and the record name them.
std::string SwitchOfCommand(GangCommand command);

// Named sums as the run log shows them, in the order shown: {"ACC16", "0xB7E1"}, {"CRC16",
// "0x3C5A"}; {"ACC32", "0x12345678"}; {"CRC32", ...}; {"CheckSum", "0x1234"}.
using Sums = std::vector<std::pair<std::string, std::string>>;

struct RunRecord {
    // The verdict of the gang on this run: true only when the answer that ended the run is the
    // command's own success and, where the command has one, its own start came before it.
    bool ok = false;
    // Why not OK: the deciding line's text (without its time), or what was missing, such as
    // "programming success without this run's programming start (an earlier operation's verdict)".
    std::string reason;
    // The text (time taken off) of the line that ended the run; empty when none did.
    std::string endingLine;
    // True when the run ended by the tester's time-out and no answer of the programmer came at
    // all (the port may not have opened).
    bool silentTimeout = false;

    std::optional<std::string> chipName;      // "   Current Chip Name is : " of the information
    std::optional<std::string> chipId;        // "ID : 0x0A 0xFF " as "0A FF"
    std::optional<std::string> chipUid;       // "Read Out Chip UID : 01 02" as "01 02"
    std::optional<std::string> serialNumber;  // the last "Current SN=0x...." shown, "0x00001005"
    Sums dataSums;  // "Current Data ACC16=...,CRC16=..." (else the information's flash sums)
    Sums chipSums;  // the completion answer's or the read-sum answer's sums
    std::optional<unsigned> errorCode;  // the programmer's status code of the ending answer
};

// Reads the run log of a run of command; logNamedOK is what the tester's log file name says.
RunRecord ReadRunRecord(std::string_view runLog, GangCommand command, bool logNamedOK);

// The data sums a station expects of every programmer: --expect-data CRC16=0x3C5A,ACC16=0xB7E1.
// Names ACC16 and CRC16 (any letter case), values hexadecimal with or without 0x, at most four
// digits. Empty with error set when the text is turned down.
Sums ParseExpectedData(std::string_view text, std::string& error);

// Empty when the record's data sums match every expected one; otherwise the NG reason:
// "programmer data CRC16=0x1111, expected 0x3C5A", or "programmer reported no data sums,
// expected CRC16=0x3C5A".
std::string DataSumMismatch(const RunRecord& record, const Sums& expected);

// The text of the last time-stamped line ("> <time> text") of a run log, time taken off; empty
// when it has none.
std::string LastStampedText(std::string_view runLog);

}  // namespace gang
