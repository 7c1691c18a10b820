// The outcome of one port, read from the files its tester wrote: the log file that this run
// created in LogFileS (OK or NG from its name) and the report RptZq_<port>.Txt, whose last
// time-stamped line is the reason shown for NG.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessControl.h"

namespace gang {

enum class Outcome { OK, NG };
enum class TesterEnd { NotStarted, Exited, Crashed, Killed };

struct PortResult {
    unsigned port = 0;
    std::string portName;  // COM3
    Outcome outcome = Outcome::NG;
    std::uint64_t durationMs = 0;
    std::string logFile;  // full path; empty when the run left no log of its own
    std::string reason;   // empty when OK
    std::string report;   // the run log as the tester wrote it (CR LF lines)
    TesterEnd end = TesterEnd::NotStarted;
    int exitStatus = 0;  // when end is Exited or Crashed without a signal
    int signal = 0;      // POSIX signal that ended it
};

// What a finished tester left, as the runner saw it.
struct TesterRun {
    std::string testerDirectory;          // with its trailing separator
    std::vector<std::string> logsBefore;  // this port's log names before the start
    // When the port's report existed before the start: its time of last writing then. A report
    // still as it was is an earlier run's, left by a tester that ended before taking the port.
    std::optional<std::filesystem::file_time_type> reportBefore;
    platform::ProcessEnd end;
    bool started = false;
    std::string startError;
    bool timedOut = false;
    unsigned timeoutSeconds = 0;
};

// The names in directory (LogFileS), sorted; none when the directory does not exist. A station's
// LogFileS grows by every run of every port, so it is read once for all ports starting together.
std::vector<std::string> FileNames(const std::string& directory);

// Of names, those of the port's logs (ZQ_COM3_OK_<date>_<time>.log, ..._NG_...), in their order.
std::vector<std::string> PortLogNames(const std::vector<std::string>& names,
                                      std::string_view portName);

// True for the name of a log of that port, telling its verdict in ok.
bool IsPortLogName(std::string_view name, std::string_view portName, bool& ok);

// RptZq_<port>.Txt in the tester's directory.
std::string ReportPath(const std::string& testerDirectory, std::string_view portName);
// The file's time of last writing; none when it does not exist.
std::optional<std::filesystem::file_time_type> LastWriteTime(const std::string& path);

// Fills outcome, log file, reason, report and the tester's end of result.
void ReadOutcome(const TesterRun& run, PortResult& result);

inline constexpr std::string_view LogDirectoryName = "LogFileS";

}  // namespace gang
