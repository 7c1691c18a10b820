#include "ParsCmdLinX.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "DefZqCmdLX.h"
#include "DpPrsInfoRT.h"
#include "MainZqCmdL.h"
#include "Platform.h"

char SwitchName[SwitchNameSize];
std::string SwitchValue;

namespace {

constexpr unsigned PortSettleMs = 50;  // lets a following command find the port ready
constexpr int TimeoutUnitTicks = 100;  // one TIMOUT unit is 100 ticks, 1.5 s

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCased(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = UpperAscii(c);
    return upper;
}

// Decimal integer with an optional sign, within 32 bits; false for anything else.
bool ParseInteger(std::string_view text, std::int64_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return false;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > 0x80000000LL)
            return false;
    }
    value = negative ? -magnitude : magnitude;
    return value >= INT32_MIN && value <= INT32_MAX;
}

struct CommandSwitch {
    std::string_view name;
    std::string_view logLine;  // empty: no line
    void (*send)();            // null: no packet
};

void SetTraceMode() {
    RunState.TraceMode = true;
}

constexpr CommandSwitch CommandSwitches[] = {
    {"DOPROGA", "CmdLin: Do Programming Starting!", SendStartProgramming},
    {"ENDPDAT", "", nullptr},
    {"DOCHECK", "CmdLin: Do Programming Checking!", SendCheckProgrammer},
    {"DORESET", "CmdLin: Do Programming Reset!", SendReset},
    {"DORDSUM", "CmdLin: Do Read Chip Checksum.......", SendReadChecksum},
    {"DOERASE", "CmdLin: Do Chip Erase.......", SendErase},
};

}  // namespace

std::string_view CurrentSwitchName() {
    return std::string_view(SwitchName, strnlen(SwitchName, SwitchNameSize));
}

int ParseSwitch(std::string_view arg) {
    std::memset(SwitchName, 0, SwitchNameSize);
    if (arg.empty() || arg[0] != '-')
        return SwitchNone;
    SwitchValue.clear();
    std::size_t i = 1;
    std::size_t stored = 0;
    for (; i < arg.size() && arg[i] != '='; ++i) {
        if (stored < SwitchNameSize)
            SwitchName[stored++] = UpperAscii(arg[i]);
    }
    if (i < arg.size())
        SwitchValue.assign(arg.substr(i + 1));
    return SwitchValue.empty() ? SwitchCommand : SwitchOption;
}

void RunCommandSwitch() {
    const std::string_view name = CurrentSwitchName();
    for (const CommandSwitch& command : CommandSwitches) {
        if (command.name != name)
            continue;
        if (command.send == nullptr) {
            SetTraceMode();
            return;
        }
        FormMain->AddLogLine(command.logLine);
        Link.RxCount = 0;
        command.send();
        return;
    }
    FormMain->ReportFailure(std::string("> Not Supported Command Line Command : ") +
                            std::string(name));
}

bool RunOptionSwitch() {
    const std::string_view name = CurrentSwitchName();
    if (name == "COM") {
        SetComPort("COM" + SwitchValue);
        return true;
    }
    if (name == "TIMOUT") {
        std::int64_t value = 0;
        if (!ParseInteger(SwitchValue, value)) {
            FormMain->AddLogLine("CmdLin: TIMOUT value is not a number: " + SwitchValue);
            return false;
        }
        RunState.TimeoutReload = static_cast<std::uint16_t>(value * TimeoutUnitTicks);
        return true;
    }
    FormMain->ReportFailure(">Not Supported Command Line Command : " + SwitchValue);
    return true;
}

void SetComPort(const std::string& name) {
    FormMain->AddLogLine("CmdLin: Set COM Port=" + name + "\"");
    RunState.PortName = name;
    const std::string report = ReportFilePath();
    if (platform::FileExists(report))
        (void)platform::DeleteFileAt(report);

    CommPort* port = FormMain->CommCX.get();
    if (port != nullptr) {
        try {
            port->SetCommName(RunState.PortName);
            port->OpenPort();
        } catch (const std::exception&) {
            // A port that cannot be opened shows as a time-out: nothing is sent or received.
        }
    }
    FormMain->SleepMs(PortSettleMs);
    RunState.TimeoutCountdown = StartTimeoutTicks;
}

void InterpretCommandLine() {
    const std::vector<std::string> arguments = platform::CommandLineArguments();
    for (const std::string& argument : arguments) {
        const std::string arg = UpperCased(argument);
        const int kind = ParseSwitch(arg);
        if (kind == SwitchNone) {
            FormMain->ReportFailure("> Command Line Parameter error : " + argument);
            FormMain->AddPlainLine(EndOfCommandFailed, LineKind::Verdict);
        } else if (kind == SwitchCommand) {
            RunCommandSwitch();
        } else if (!RunOptionSwitch()) {
            return;
        }
    }
    if (arguments.size() == 1) {
        FormMain->ReportFailure("> Not Enough Parameter has been transformed!");
        FormMain->AddPlainLine(EndOfCommandFailed, LineKind::Verdict);
    }
}
