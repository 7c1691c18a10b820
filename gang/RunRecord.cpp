#include "RunRecord.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

namespace gang {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    }
    return true;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    return static_cast<unsigned>(UpperAscii(c) - 'A' + 10);
}

// The number of hex digits at the start of text.
std::size_t HexDigitCount(std::string_view text) {
    std::size_t count = 0;
    while (count < text.size() && IsHexDigit(text[count])) ++count;
    return count;
}

// The value of a run of hex digits; none when it is empty or does not fit 32 bits (leading
// zeros do not count against the width: "0x00003C5A" is 0x3C5A).
std::optional<std::uint32_t> HexNumber(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    if (digits.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        if (!IsHexDigit(c))
            return std::nullopt;
        value = value * 16 + HexDigitValue(c);
    }
    return value;
}

// "0x" (either case) and at least one hex digit at the start of text, as shown: "0x3C5A" of
// "0x3C5A.". None when text does not start so.
std::optional<std::string_view> ShownHex(std::string_view text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    const std::size_t digits = HexDigitCount(text.substr(2));
    if (digits == 0)
        return std::nullopt;
    return text.substr(0, 2 + digits);
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A 12-hour clock puts its marker after the time ("2:05:09 PM"); it is part of the stamp.
bool IsDayHalfMarker(std::string_view word) {
    if (word.size() > 4)
        return false;
    std::string upper(word);
    for (char& c : upper) c = UpperAscii(c);
    return upper == "AM" || upper == "PM" || upper == "A.M." || upper == "P.M.";
}

// "> <time> text": the time is the first word and holds digits in every user format, which
// tells it from the lines of the programmer information ("> Current Programmer Information : ").
bool IsStamped(std::string_view line) {
    if (!StartsWith(line, "> "))
        return false;
    const std::string_view time = line.substr(2, line.find(' ', 2) - 2);
    return std::any_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The text of a stamped line: "> " then the time of day in the user's format (with its AM/PM
// marker on a 12-hour clock), then one blank, then the text.
std::string_view StampedText(std::string_view line) {
    std::string_view rest = line.substr(2);
    std::size_t blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return {};
    rest.remove_prefix(blank + 1);
    blank = rest.find(' ');
    if (blank != std::string_view::npos && IsDayHalfMarker(rest.substr(0, blank)))
        rest.remove_prefix(blank + 1);
    return rest;
}

// Calls visit(line) for every line of the run log, its CR taken off; lines end at LF, the last
// one may have no end.
template <typename Visit>
void ForEachLine(std::string_view runLog, Visit&& visit) {
    while (!runLog.empty()) {
        const std::size_t end = std::min(runLog.find('\n'), runLog.size());
        std::string_view line = runLog.substr(0, end);
        runLog.remove_prefix(std::min(end + 1, runLog.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!visit(line))
            return;
    }
}

constexpr std::array<std::pair<GangCommand, std::string_view>, 5> Switches = {{
    {GangCommand::Program, "-DOPROGA"},
    {GangCommand::Check, "-DOCHECK"},
    {GangCommand::Reset, "-DORESET"},
    {GangCommand::ReadSum, "-DORDSUM"},
    {GangCommand::Erase, "-DOERASE"},
}};

// What the tester logs for each command switch before it sends the command.
constexpr std::array<std::pair<GangCommand, std::string_view>, 5> SwitchLines = {{
    {GangCommand::Program, "CmdLin: Do Programming Starting!"},
    {GangCommand::Check, "CmdLin: Do Programming Checking!"},
    {GangCommand::Reset, "CmdLin: Do Programming Reset!"},
    {GangCommand::ReadSum, "CmdLin: Do Read Chip Checksum......."},
    {GangCommand::Erase, "CmdLin: Do Chip Erase......."},
}};

std::string_view SwitchLineOf(GangCommand command) {
    for (const auto& [known, text] : SwitchLines) {
        if (known == command)
            return text;
    }
    return {};
}

bool IsSwitchLine(std::string_view text) {
    return std::any_of(SwitchLines.begin(), SwitchLines.end(),
                       [text](const auto& entry) { return entry.second == text; });
}

constexpr std::string_view ProgramSuccessText = "Progrmming Completed : Successed !";
constexpr std::string_view ProgramAnswerText = "Progrmming Completed :";
constexpr std::string_view ReadSumSuccessText = "Command Successed, Read ";
constexpr std::string_view ReadSumFailedText = "Command Failed";
constexpr std::string_view OperationSuccessText = "Command Operation Successed!";
constexpr std::string_view OperationFailedText = "Command Operation Failed";
constexpr std::string_view ErrorCommandText = "Received Error Command!";
constexpr std::string_view InformationEndText = "End of Commad!";
constexpr std::string_view TimeOutText = "CML: Operation Time Out!";
constexpr std::string_view RetryText = "Handle Resety Programmer.......";
constexpr std::string_view ProgrammingStartText = "Initial Programming Interface ....";
constexpr std::string_view ErasingText = "Do Chip Erasing....";

// The kinds of line that end a run.
enum class Ending {
    None,
    ProgramSuccess,
    ProgramFailed,
    ReadSumSuccess,
    ReadSumFailed,
    OperationSuccess,
    OperationFailed,
    ErrorCommand,
    InformationEnd,
    TimeOut,
    TesterFailure,
};

// The ending kind of a stamped line's text.
Ending StampedEnding(std::string_view text) {
    if (StartsWith(text, ProgramSuccessText))
        return Ending::ProgramSuccess;
    if (StartsWith(text, ProgramAnswerText))
        return Ending::ProgramFailed;
    if (StartsWith(text, ReadSumSuccessText))
        return Ending::ReadSumSuccess;
    if (StartsWith(text, ReadSumFailedText))
        return Ending::ReadSumFailed;
    if (text == OperationSuccessText)
        return Ending::OperationSuccess;
    if (StartsWith(text, OperationFailedText))
        return Ending::OperationFailed;
    if (text == ErrorCommandText)
        return Ending::ErrorCommand;
    if (text == TimeOutText)
        return Ending::TimeOut;
    // The tester's own complaints about its command line.
    if (StartsWith(text, ">") || StartsWith(text, "No Paramter"))
        return Ending::TesterFailure;
    return Ending::None;
}

// The success of each command, which is "another operation's success" for the others.
bool IsSuccess(Ending ending) {
    return ending == Ending::ProgramSuccess || ending == Ending::ReadSumSuccess ||
           ending == Ending::OperationSuccess || ending == Ending::InformationEnd;
}

// The code of "Error=0x86!" in text.
std::optional<unsigned> ErrorCodeIn(std::string_view text) {
    const std::size_t at = text.find("Error=0x");
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::string_view digits = text.substr(at + 8, HexDigitCount(text.substr(at + 8)));
    const auto value = HexNumber(digits);
    if (!value)
        return std::nullopt;
    return static_cast<unsigned>(*value);
}

// The named sums a line shows ("ACC16=0x1234,CRC16=0x5678.", "CheckSum: 0x1234",
// "CRC32 = 0x12345678."), in the order shown; each name once, at its first showing with a value.
Sums SumsIn(std::string_view text) {
    static constexpr std::array<std::string_view, 5> Names = {"ACC16", "CRC16", "ACC32", "CRC32",
                                                              "CheckSum"};
    std::vector<std::pair<std::size_t, std::pair<std::string, std::string>>> found;
    for (const std::string_view name : Names) {
        for (std::size_t at = text.find(name); at != std::string_view::npos;
             at = text.find(name, at + name.size())) {
            std::string_view rest = text.substr(at + name.size());
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
            if (rest.empty() || (rest.front() != '=' && rest.front() != ':'))
                continue;
            rest.remove_prefix(1);
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
            if (const auto value = ShownHex(rest)) {
                found.push_back({at, {std::string(name), std::string(*value)}});
                break;
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Sums sums;
    for (auto& entry : found) sums.push_back(std::move(entry.second));
    return sums;
}

// The bytes of an identity line, "0x0A 0xFF " (withPrefix) or " 01 02 03", as "0A FF" /
// "01 02 03"; reading stops at the first word that is no byte. None when no byte is shown.
std::optional<std::string> ByteList(std::string_view text, bool withPrefix) {
    std::string bytes;
    while (true) {
        text = TrimBlanks(text);
        if (text.empty())
            break;
        std::string_view word = text.substr(0, text.find(' '));
        text.remove_prefix(word.size());
        if (withPrefix) {
            if (word.size() < 3 || word[0] != '0' || (word[1] != 'x' && word[1] != 'X'))
                break;
            word.remove_prefix(2);
        }
        if (word.empty() || HexDigitCount(word) != word.size())
            break;
        if (!bytes.empty())
            bytes += ' ';
        for (const char c : word) bytes += UpperAscii(c);
    }
    if (bytes.empty())
        return std::nullopt;
    return bytes;
}

// Everything one pass over the run gathers.
struct RunScan {
    bool commandSent = false;
    Ending ending = Ending::None;
    std::string_view endingText;
    bool programmerSpoke = false;   // any line of the programmer before the ending
    bool retrying = false;          // a "Handle Resety Programmer" came
    bool startSinceRetry = false;   // a programming start since the switch line / last retry
    bool erasing = false;           // "Do Chip Erasing...." before the ending
    bool ready = false;             // the programmer reported ready before the ending
    std::string_view stateProblem;  // the first state line telling of an error before the ending
    bool checkSumFollows = false;   // the next line may hold the ACC32 completion's CheckSum

    std::string_view chipName;
    bool chipNameSeen = false;
    std::optional<std::string> chipId;
    std::optional<std::string> chipUid;
    std::string_view serialNumber;
    Sums currentData;
    std::string_view flashAcc;
    std::string_view flashCrc;
    Sums chipSums;
};

// A state report the check of the programmer turns down.
bool IsStateProblem(std::string_view text) {
    return text == "Programmer has Error!" || Contains(text, "Programmer is Corrupted,") ||
           Contains(text, "Socket is Locked.") || text == "Socket has been Locked!";
}

// Record fields of a plain line of the programmer information.
void ReadInformationLine(std::string_view line, RunScan& scan) {
    const std::string_view text = TrimBlanks(line);
    if (StartsWith(text, "Current Chip Name is :")) {
        scan.chipName = TrimBlanks(text.substr(22));
        scan.chipNameSeen = true;
    } else if (StartsWith(text, "Current Flash CRC Sum :")) {
        if (const auto value = ShownHex(TrimBlanks(text.substr(23))))
            scan.flashCrc = *value;
    } else if (StartsWith(text, "Current Flash ACC Sum :")) {
        if (const auto value = ShownHex(TrimBlanks(text.substr(23))))
            scan.flashAcc = *value;
    }
}

// Record fields of a stamped line.
void ReadStampedRecord(std::string_view text, RunScan& scan) {
    if (StartsWith(text, "Current Data ")) {
        Sums sums = SumsIn(text);
        if (!sums.empty())
            scan.currentData = std::move(sums);
    } else if (StartsWith(text, "ID : ")) {
        scan.chipId = ByteList(text.substr(5), true);
    } else if (StartsWith(text, "Read Out Chip UID :")) {
        scan.chipUid = ByteList(text.substr(19), false);
    }
}

// The serial number shown last in a line: "Current SN=0x00001005." as "0x00001005".
void ReadSerialNumber(std::string_view line, RunScan& scan) {
    constexpr std::string_view Key = "Current SN=";
    for (std::size_t at = line.rfind(Key); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : line.rfind(Key, at - 1)) {
        if (const auto value = ShownHex(line.substr(at + Key.size()))) {
            scan.serialNumber = *value;
            return;
        }
    }
}

RunScan ScanRun(std::string_view runLog, GangCommand command) {
    RunScan scan;
    const std::string_view switchLine = SwitchLineOf(command);
    ForEachLine(runLog, [&](std::string_view line) {
        const bool stamped = IsStamped(line);
        const std::string_view text = stamped ? StampedText(line) : line;
        if (!scan.commandSent) {
            // The run begins at the command's first switch line; what stands before belongs to
            // no answer of it.
            scan.commandSent = stamped && text == switchLine;
            return true;
        }
        if (scan.checkSumFollows) {
            scan.checkSumFollows = false;
            if (stamped && StartsWith(text, "CheckSum:")) {
                for (auto& sum : SumsIn(text)) scan.chipSums.push_back(std::move(sum));
            }
        }
        ReadSerialNumber(line, scan);
        if (stamped)
            ReadStampedRecord(text, scan);
        else
            ReadInformationLine(line, scan);

        if (scan.ending != Ending::None)
            return true;  // later lines of the same chunk do not change the answer
        Ending ending = stamped ? StampedEnding(text) : Ending::None;
        if (!stamped && text == InformationEndText && !scan.retrying)
            ending = Ending::InformationEnd;
        if (ending != Ending::None) {
            scan.ending = ending;
            scan.endingText = text;
            if (ending == Ending::ProgramSuccess) {
                scan.chipSums = SumsIn(text.substr(ProgramSuccessText.size()));
                scan.checkSumFollows =
                    scan.chipSums.size() == 1 && scan.chipSums.front().first == "ACC32";
            } else if (ending == Ending::ReadSumSuccess) {
                scan.chipSums = SumsIn(text.substr(ReadSumSuccessText.size()));
            }
            return true;
        }
        if (line.empty())
            return true;
        if (!(stamped && (IsSwitchLine(text) || StartsWith(text, "CmdLin: Set COM Port="))))
            scan.programmerSpoke = true;
        if (!stamped)
            return true;
        if (text == RetryText) {
            scan.retrying = true;
            scan.startSinceRetry = false;
        } else if (text == ProgrammingStartText) {
            scan.startSinceRetry = true;
        } else if (text == ErasingText) {
            scan.erasing = true;
        } else if (text == "Programmer is ready to Start!" ||
                   Contains(text, "Programmer is Ready,")) {
            scan.ready = true;
        }
        if (scan.stateProblem.empty() && IsStateProblem(text))
            scan.stateProblem = text;
        return true;
    });
    return scan;
}

// Why an ending that is not this command's success is NG.
std::string EndingReason(const RunScan& scan, GangCommand command) {
    if (scan.ending == Ending::None)
        return "the run did not end with an answer";
    if (IsSuccess(scan.ending)) {
        const std::string what = scan.ending == Ending::InformationEnd
                                     ? "programmer information (End of Commad!)"
                                     : std::string(scan.endingText);
        return what + " is no answer to " + SwitchOfCommand(command);
    }
    return std::string(scan.endingText);
}

}  // namespace

std::optional<GangCommand> CommandOfSwitch(std::string_view testerSwitch) {
    for (const auto& [command, text] : Switches) {
        if (EqualsIgnoringCase(testerSwitch, text))
            return command;
    }
    return std::nullopt;
}

std::string SwitchOfCommand(GangCommand command) {
    for (const auto& [known, text] : Switches) {
        if (known == command)
            return std::string(text);
    }
    return {};
}

RunRecord ReadRunRecord(std::string_view runLog, GangCommand command, bool logNamedOK) {
    RunRecord record;
    const RunScan scan = ScanRun(runLog, command);
    if (!scan.commandSent) {
        record.reason = "the command was not sent";
        return record;
    }

    record.endingLine = std::string(scan.endingText);
    record.silentTimeout = scan.ending == Ending::TimeOut && !scan.programmerSpoke;
    if (scan.chipNameSeen && !scan.chipName.empty())
        record.chipName = std::string(scan.chipName);
    record.chipId = scan.chipId;
    record.chipUid = scan.chipUid;
    if (!scan.serialNumber.empty())
        record.serialNumber = std::string(scan.serialNumber);
    if (!scan.currentData.empty()) {
        record.dataSums = scan.currentData;
    } else {
        if (!scan.flashAcc.empty())
            record.dataSums.emplace_back("ACC16", std::string(scan.flashAcc));
        if (!scan.flashCrc.empty())
            record.dataSums.emplace_back("CRC16", std::string(scan.flashCrc));
    }
    record.chipSums = scan.chipSums;
    if (scan.ending == Ending::ProgramFailed || scan.ending == Ending::ReadSumFailed ||
        scan.ending == Ending::OperationFailed)
        record.errorCode = ErrorCodeIn(scan.endingText);

    constexpr std::string_view NamedNG = "the tester named the log NG";
    switch (command) {
        case GangCommand::Program:
            if (scan.ending != Ending::ProgramSuccess)
                record.reason = EndingReason(scan, command);
            else if (!scan.startSinceRetry)
                record.reason =
                    "programming success without this run's programming start (an earlier "
                    "operation's verdict)";
            else if (!logNamedOK)
                record.reason = NamedNG;
            break;
        case GangCommand::ReadSum:
            if (scan.ending != Ending::ReadSumSuccess)
                record.reason = EndingReason(scan, command);
            else if (!logNamedOK)
                record.reason = NamedNG;
            break;
        case GangCommand::Erase:
            if (scan.ending != Ending::OperationSuccess)
                record.reason = EndingReason(scan, command);
            else if (!scan.erasing)
                record.reason =
                    "erase success without this run's erase start (an earlier operation's "
                    "verdict)";
            break;
        case GangCommand::Check:
            // The programmer's own report of a fault tells more than whatever answer followed.
            if (!scan.stateProblem.empty())
                record.reason = std::string(scan.stateProblem);
            else if (scan.ending != Ending::InformationEnd)
                record.reason = EndingReason(scan, command);
            else if (!scan.ready)
                record.reason = "the programmer did not report ready";
            break;
        case GangCommand::Reset:
            if (scan.ending != Ending::InformationEnd)
                record.reason = EndingReason(scan, command);
            break;
    }
    record.ok = record.reason.empty();
    return record;
}

Sums ParseExpectedData(std::string_view text, std::string& error) {
    Sums expected;
    error.clear();
    if (TrimBlanks(text).empty()) {
        error = "the expected data sums are empty";
        return {};
    }
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = TrimBlanks(text.substr(0, comma));
        const std::size_t equals = entry.find('=');
        if (entry.empty()) {
            error = "the expected data sums have an empty entry";
            return {};
        }
        if (equals == std::string_view::npos) {
            error = "expected data \"" + std::string(entry) + "\" is no NAME=VALUE";
            return {};
        }
        const std::string_view name = TrimBlanks(entry.substr(0, equals));
        std::string_view value = TrimBlanks(entry.substr(equals + 1));
        std::string canonical;
        if (EqualsIgnoringCase(name, "ACC16"))
            canonical = "ACC16";
        else if (EqualsIgnoringCase(name, "CRC16"))
            canonical = "CRC16";
        else {
            error = "expected data sum \"" + std::string(name) + "\" is neither ACC16 nor CRC16";
            return {};
        }
        const std::string_view shown = value;
        if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
            value.remove_prefix(2);
        if (value.empty() || value.size() > 4 || HexDigitCount(value) != value.size()) {
            error = "expected " + canonical + " value \"" + std::string(shown) +
                    "\" is not one to four hexadecimal digits";
            return {};
        }
        if (std::any_of(expected.begin(), expected.end(),
                        [&](const auto& sum) { return sum.first == canonical; })) {
            error = "expected " + canonical + " is given twice";
            return {};
        }
        std::string digits(4 - value.size(), '0');
        for (const char c : value) digits += UpperAscii(c);
        expected.emplace_back(canonical, "0x" + digits);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return expected;
}

std::string DataSumMismatch(const RunRecord& record, const Sums& expected) {
    // The expected value as a station writes it: 0x and four upper-case digits.
    const auto expectedText = [](const std::string& value) {
        std::string_view digits = value;
        if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
            digits.remove_prefix(2);
        std::string text(digits.size() < 4 ? 4 - digits.size() : 0, '0');
        for (const char c : digits) text += UpperAscii(c);
        return "0x" + text;
    };
    if (expected.empty())
        return {};
    if (record.dataSums.empty()) {
        std::string list;
        for (const auto& [name, value] : expected)
            list += (list.empty() ? "" : ",") + name + "=" + expectedText(value);
        return "programmer reported no data sums, expected " + list;
    }
    const auto numberOf = [](std::string_view value) {
        if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
            value.remove_prefix(2);
        return HexNumber(value);
    };
    for (const auto& entry : expected) {
        const std::string& name = entry.first;
        const std::string& value = entry.second;
        const auto reported =
            std::find_if(record.dataSums.begin(), record.dataSums.end(),
                         [&](const auto& sum) { return EqualsIgnoringCase(sum.first, name); });
        if (reported == record.dataSums.end())
            return "programmer reported no " + name + ", expected " + expectedText(value);
        const auto want = numberOf(value);
        const auto have = numberOf(reported->second);
        if (!want || !have || *want != *have)
            return "programmer data " + name + "=" + reported->second + ", expected " +
                   expectedText(value);
    }
    return {};
}

std::string LastStampedText(std::string_view runLog) {
    std::string_view last;
    bool found = false;
    ForEachLine(runLog, [&](std::string_view line) {
        if (IsStamped(line)) {
            last = line;
            found = true;
        }
        return true;
    });
    if (!found)
        return {};
    return std::string(StampedText(last));
}

}  // namespace gang
