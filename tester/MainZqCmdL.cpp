#include "MainZqCmdL.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

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
// Room for the failure line, and memory held back for writing both files after a failure.
constexpr std::size_t FailureLineRoom = 128;
constexpr std::size_t SavingReserveBytes = std::size_t{256} * 1024;

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

bool FileNameCharacterKept(char c) {
    return !IsPathSeparator(c) && platform::FileNameCharacterAllowed(c);
}

RunLog::Role RoleOf(LineKind kind) {
    if (kind == LineKind::Verdict)
        return RunLog::Role::Verdict;
    return RunState.RunFinished ? RunLog::Role::Trailing : RunLog::Role::Progress;
}

// Runs a part of a handler; a failure inside it ends the run instead of leaving the handler.
// False when it failed.
template <class Work>
bool Contained(TFormMain& form, Work work) noexcept {
    try {
        work();
        return true;
    } catch (const std::bad_alloc&) {
        form.RecordHandlerFailure(TesterOutOfMemoryText);
    } catch (...) {
        form.RecordHandlerFailure(TesterFailureText);
    }
    return false;
}

}  // namespace

std::string FileNamePortPart(std::string_view portName) {
    std::string part(portName.substr(0, MaxFileNamePortLength));
    for (char& c : part) {
        if (!FileNameCharacterKept(c))
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
      SleepMs(platform::SleepMs),
      savingReserve_(new char[SavingReserveBytes]) {
    failureLine_.reserve(FailureLineRoom);
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
    Contained(*this, [this] { InitRun(); });
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
        AddPlainLine(EndOfCommandFailed, LineKind::Verdict);
        RunState.RunFinished = true;
    }
}

void TFormMain::Timer1Timer() {
    if (closed_)
        return;
    Contained(*this, [this] {
        --RunState.TimeoutCountdown;
        if (RunState.TimeoutCountdown == 0)
            ReportFailure(TimeOutText);
    });

    if (RunState.RunFinished) {
        SaveReport();
        Close();
        return;
    }

    Contained(*this, [] {
        if (RunState.RetryStarted && RunState.RetryCountdown != 0) {
            --RunState.RetryCountdown;
            if (RunState.RetryCountdown == 0) {
                Link.RxCount = 0;
                SendStartProgramming();
            }
        }
    });
}

void TFormMain::CommCXReceiveData(void* /*sender*/, const std::uint8_t* buffer,
                                  std::uint16_t bufferLength) {
    // After a failure of the tester the run is NG: nothing the device sends may change that.
    if (handlerFailed_)
        return;
    RunState.TimeoutCountdown = RunState.TimeoutReload;
    Contained(*this, [buffer, bufferLength] { CollectReceivedChunk(buffer, bufferLength); });
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

void TFormMain::AddLogLine(std::string_view text, LineKind kind) {
    const std::string time = LongTimeText();
    lastTimeLength_ = std::min(time.size(), sizeof lastTime_);
    std::memcpy(lastTime_, time.data(), lastTimeLength_);
    std::string line;
    line.reserve(3 + time.size() + text.size());
    line.append("> ").append(time).append(" ").append(text);
    InfoMemo.Add(std::move(line), RoleOf(kind));
}

void TFormMain::AddPlainLine(std::string_view text, LineKind kind) {
    InfoMemo.Add(std::string(text), RoleOf(kind));
}

void TFormMain::ReportFailure(std::string_view text) {
    RunState.RunResult = RunResultTesterFailure;
    AddLogLine(text, LineKind::Verdict);
    RunState.RunFinished = true;
}

void TFormMain::RecordHandlerFailure(std::string_view text) noexcept {
    RunState.RunResult = RunResultTesterFailure;
    RunState.RunFinished = true;
    if (handlerFailed_)
        return;
    handlerFailed_ = true;
    savingReserve_.reset();

    std::string time;
    std::string_view shown(lastTime_, lastTimeLength_);
    try {
        time = LongTimeText();
        shown = time;
    } catch (...) {
        // No clock now: the time of the last line stands in for it.
    }
    // Kept within the room reserved at the start, so that nothing here allocates.
    const std::size_t room = FailureLineRoom - 3;  // "> " and the blank
    const std::string_view shownText = text.substr(0, room);
    failureLine_.clear();
    failureLine_.append("> ").append(shown.substr(0, room - shownText.size()));
    failureLine_.append(" ").append(shownText);
    InfoMemo.AddInReservedRoom(std::move(failureLine_));
}

void TFormMain::SaveRunLog(std::uint8_t result) {
    const std::string dir = RunState.ExeDir + std::string(LogDirectoryName);
    if (!platform::DirectoryExists(dir))
        (void)platform::CreateDirectoryAt(dir);

    std::string name(1, platform::PathSeparator());
    name += "ZQ_";
    name += FileNamePortPart(RunState.PortName);
    name += (result == 0 || result == 6) ? "_OK_" : "_NG_";
    name += ShortDateText();
    name += '_';
    name += LongTimeText();
    // From the sixth character on: the date and time separators; and any path separator or
    // character no file name may hold, wherever the user's formats bring one in.
    for (std::size_t i = 1; i < name.size(); ++i) {
        char& c = name[i];
        if (!FileNameCharacterKept(c) || (i >= 5 && (c == '-' || c == ':')))
            c = '_';
    }

    const std::string base = dir + name;
    std::string path = base + ".log";
    for (int suffix = 2; suffix <= MaxLogNameSuffix + 1; ++suffix) {
        if (platform::WriteLinesNew(path, InfoMemo.Lines()) !=
            platform::WriteOutcome::AlreadyExists) {
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

// The report of a finished run; when writing it fails, the failure line is in the log now and the
// report is written once more with it.
void TFormMain::SaveReport() {
    const auto write = [this] { (void)platform::WriteLines(ReportFilePath(), InfoMemo.Lines()); };
    if (!Contained(*this, write))
        Contained(*this, write);
}

void TFormMain::Close() {
    if (closed_)
        return;
    closed_ = true;
    if (!Contained(*this, [this] { FormClose(); })) {
        // The report was written before the failure: both files again, now with its line.
        SaveReport();
        Contained(*this, [this] { SaveRunLog(RunState.RunResult); });
    }
    if (OnClosed) {
        try {
            OnClosed();
        } catch (...) {
            // OnClosed ends the message loop first; nothing after that may keep the run alive.
        }
    }
}
