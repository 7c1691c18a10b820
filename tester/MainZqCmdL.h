// The main window of the tester: run start, the 15 ms timer, the run log and the two output
// files. The window is never shown; its handlers drive the whole run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CommPort.h"

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
    void AddLogLine(std::string_view text);    // "> ", time of day, a blank, the text
    void AddPlainLine(std::string_view text);  // appended unchanged
    void ReportFailure(std::string_view text);
    void SaveRunLog(std::uint8_t result);

    // Closes the window: FormClose runs, then OnClosed (the program entry ends the message loop).
    void Close();
    bool Closed() const { return closed_; }

    std::unique_ptr<CommPort> CommCX;
    std::vector<std::string> InfoMemo;  // the run log, one entry per line
    std::function<void()> OnClosed;

    // Services taken from the platform, replaceable so that a run can be driven without a clock.
    std::string (*LongTimeText)();
    std::string (*ShortDateText)();
    std::string (*ExeDirectory)();
    void (*SleepMs)(unsigned ms);

  private:
    bool closed_ = false;
};

extern TFormMain* FormMain;

// Texts of the run log shared by several modules.
inline constexpr std::string_view EndOfCommandFailed = "End of Commad: Failed!";
inline constexpr std::string_view EndOfCommandSuccess = "End of Commad: Success!";

// A port name as it may appear in a file name: path separators become '_' so that the output
// files stay in ExeDir and ExeDir/LogFileS whatever the caller wrote after -COM=.
std::string FileNamePortPart(std::string_view portName);

// ExeDir + "RptZq_" + port + ".Txt".
std::string ReportFilePath();
