#include "MainZqCmdL.h"

#include <exception>

#include "DefZqCmdLX.h"
#include "DpPrsInfoRT.h"
#include "ParsCmdLinX.h"
#include "Platform.h"

TFormMain* FormMain = nullptr;

namespace {

constexpr std::string_view NoParameterText = "No Paramter is Passed to this Application!";
constexpr std::string_view TimeOutText = "CML: Operation Time Out!";
constexpr std::string_view LogDirectoryName = "LogFileS";
// A log name taken by an earlier run gets "_2", "_3", ...; past this many the log is not saved.
constexpr int MaxLogNameSuffix = 9999;

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

std::string FileNamePortPart(std::string_view portName) {
    std::string part(portName);
    for (char& c : part) {
        if (IsPathSeparator(c))
            c = '_';
    }
    return part;
}

std::string ReportFilePath() {
    return RunState.ExeDir + "RptZq_" + FileNamePortPart(RunState.PortName) + ".Txt";
}

TFormMain::TFormMain(std::unique_ptr<CommPort> commCX)
    : CommCX(std::move(commCX)),
      LongTimeText(platform::LongTimeText),
      ShortDateText(platform::ShortDateText),
      ExeDirectory(platform::ExeDirectory),
      SleepMs(platform::SleepMs) {
    RunState = TRunState{};
    Link.RxCount = 0;
    Link.PacketLength = 0;
    if (CommCX) {
        CommCX->OnReceiveData = [this](void* sender, const std::uint8_t* buffer,
                                       std::uint16_t bufferLength) {
            CommCXReceiveData(sender, buffer, bufferLength);
        };
    }
}

TFormMain::~TFormMain() {
    if (CommCX)
        CommCX->OnReceiveData = nullptr;
    if (FormMain == this)
        FormMain = nullptr;
}

void TFormMain::FormCreate() {
    RunState.RetryCountdown = 0;
    RunState.RetryStarted = false;
    platform::HideApplicationWindow();
    InitRun();
}

void TFormMain::InitRun() {
    RunState.ExeDir = ExeDirectory();
    Link.RxCount = 0;
    RunState.RunResult = RunResultNoVerdict;
    RunState.TraceMode = false;
    RunState.TimeoutReload = DefaultTimeoutReload;
    RunState.TimeoutCountdown = StartTimeoutTicks;
    if (CommCX && CommCX->PortHandle() != 0)
        CommCX->ClosePort();

    if (!platform::CommandLineArguments().empty()) {
        platform::MinimizeApplication();
        InterpretCommandLine();
    } else {
        ReportFailure(NoParameterText);
        AddPlainLine(EndOfCommandFailed);
        RunState.RunFinished = true;
    }
}

void TFormMain::Timer1Timer() {
    if (closed_)
        return;
    --RunState.TimeoutCountdown;
    if (RunState.TimeoutCountdown == 0)
        ReportFailure(TimeOutText);

    if (RunState.RunFinished) {
        // An unwritable report must not keep the run from ending.
        (void)platform::WriteLines(ReportFilePath(), InfoMemo);
        Close();
        return;
    }

    if (RunState.RetryStarted && RunState.RetryCountdown != 0) {
        --RunState.RetryCountdown;
        if (RunState.RetryCountdown == 0) {
            Link.RxCount = 0;
            SendStartProgramming();
        }
    }
}

void TFormMain::CommCXReceiveData(void* /*sender*/, const std::uint8_t* buffer,
                                  std::uint16_t bufferLength) {
    RunState.TimeoutCountdown = RunState.TimeoutReload;
    CollectReceivedChunk(buffer, bufferLength);
}

void TFormMain::ButtonRSTClick() {
    Link.RxCount = 0;
    SendReset();
}

void TFormMain::ButtonChkCPClick() {
    Link.RxCount = 0;
    SendCheckSocket();
}

void TFormMain::ButtonChkPRGClick() {
    Link.RxCount = 0;
    SendCheckProgrammer();
}

void TFormMain::ButtonStrPrgClick() {
    Link.RxCount = 0;
    SendStartProgramming();
}

void TFormMain::AddLogLine(std::string_view text) {
    const std::string time = LongTimeText();
    std::string line;
    line.reserve(3 + time.size() + text.size());
    line.append("> ").append(time).append(" ").append(text);
    InfoMemo.push_back(std::move(line));
}

void TFormMain::AddPlainLine(std::string_view text) {
    InfoMemo.emplace_back(text);
}

void TFormMain::ReportFailure(std::string_view text) {
    RunState.RunResult = RunResultTesterFailure;
    AddLogLine(text);
    RunState.RunFinished = true;
}

void TFormMain::SaveRunLog(std::uint8_t result) {
    const std::string dir = RunState.ExeDir + std::string(LogDirectoryName);
    if (!platform::DirectoryExists(dir))
        (void)platform::CreateDirectoryAt(dir);

    std::string name(1, platform::PathSeparator());
    name += "ZQ_";
    name += RunState.PortName;
    name += (result == 0 || result == 6) ? "_OK_" : "_NG_";
    name += ShortDateText();
    name += '_';
    name += LongTimeText();
    // From the sixth character on: the date and time separators, and any path separator the
    // port name brought along, so that the name never leaves LogFileS.
    for (std::size_t i = 1; i < name.size(); ++i) {
        char& c = name[i];
        if (IsPathSeparator(c) || (i >= 5 && (c == '-' || c == ':')))
            c = '_';
    }

    const std::string base = dir + name;
    std::string path = base + ".log";
    for (int suffix = 2; suffix <= MaxLogNameSuffix + 1; ++suffix) {
        if (platform::WriteLinesNew(path, InfoMemo) != platform::WriteOutcome::AlreadyExists) {
            return;  // written, or not writable at all: the run ends either way
        }
        path = base + "_" + std::to_string(suffix) + ".log";
    }
}

void TFormMain::FormClose() {
    if (CommCX && CommCX->PortHandle() != 0) {
        try {
            CommCX->ClosePort();
        } catch (const std::exception&) {
            // Closing is best effort; the log file is written all the same.
        }
    }
    SaveRunLog(RunState.RunResult);
}

void TFormMain::Close() {
    if (closed_)
        return;
    closed_ = true;
    FormClose();
    if (OnClosed)
        OnClosed();
}
