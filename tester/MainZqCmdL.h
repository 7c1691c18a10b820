// The main window of the tester: run start, the 15 ms timer, the run log and the two output
// files. The window is never shown; its handlers drive the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "CommPort.h"
#include "RunLog.h"

// A line that decides the run (its result, its end) is kept in the files whatever came before
// or after it; any other line is ordinary.
enum class LineKind { Ordinary, Verdict };

class TFormMain {
  public:
    // The window takes its serial component; its receive event is bound to CommCXReceiveData.
    explicit TFormMain(std::unique_ptr<CommPort> commCX);
    ~TFormMain();
    TFormMain(const TFormMain&) = delete;
    TFormMain& operator=(const TFormMain&) = delete;

    void FormCreate();
    void FormShow() {}
    void FormClose();
    void Timer1Timer();
    void CommCXReceiveData(void* sender, const std::uint8_t* buffer, std::uint16_t bufferLength);
    void ButtonRSTClick();
    void ButtonChkCPClick();
    void ButtonChkPRGClick();
    void ButtonStrPrgClick();

    void InitRun();
    // "> ", time of day, a blank, the text.
    void AddLogLine(std::string_view text, LineKind kind = LineKind::Ordinary);
    void AddPlainLine(std::string_view text, LineKind kind = LineKind::Ordinary);  // unchanged
    void ReportFailure(std::string_view text);
    void SaveRunLog(std::uint8_t result);

    // Closes the window: FormClose runs, then OnClosed (the program entry ends the message loop),
    // even when FormClose fails.
    void Close();
    bool Closed() const { return closed_; }

    // A failure inside one of the window's handlers: the run ends NG (RunResult 64) with one
    // time-stamped line, made in room reserved for it. Later failures add nothing.
    void RecordHandlerFailure(std::string_view text) noexcept;

    std::unique_ptr<CommPort> CommCX;
    RunLog InfoMemo;
    std::function<void()> OnClosed;

    // Services taken from the platform, replaceable so that a run can be driven without a clock.
    std::string (*LongTimeText)();
    std::string (*ShortDateText)();
    std::string (*ExeDirectory)();
    void (*SleepMs)(unsigned ms);

  private:
    void SaveReport();

    bool closed_ = false;
    bool handlerFailed_ = false;
    std::string failureLine_;
    std::unique_ptr<char[]> savingReserve_;  // given back on a failure, for writing the files
    char lastTime_[32] = {};
    std::size_t lastTimeLength_ = 0;
};

extern TFormMain* FormMain;

// Texts of the run log shared by several modules.
inline constexpr std::string_view EndOfCommandFailed = "End of Commad: Failed!";
inline constexpr std::string_view EndOfCommandSuccess = "End of Commad: Success!";
// Our own texts for a failure inside the tester itself.
inline constexpr std::string_view TesterOutOfMemoryText = "CML: Tester Failure: Out of Memory!";
inline constexpr std::string_view TesterFailureText = "CML: Tester Failure: Internal Error!";

// A port name as it may appear in a file name: its first MaxFileNamePortLength characters, path
// separators and the characters the system allows in no file name becoming '_', so that the
// output files stay in ExeDir and ExeDir/LogFileS, and can be made, whatever the caller wrote
// after -COM=.
constexpr std::size_t MaxFileNamePortLength = 64;
std::string FileNamePortPart(std::string_view portName);

// ExeDir + "RptZq_" + port + ".Txt".
std::string ReportFilePath();
