// The outcome of one port, read from the files its tester wrote: the log file that this run
// created in LogFileS and the report RptZq_<port>.Txt, judged by the rule of the gang's command
// (RunRecord), which is stricter than the log file's name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessControl.h"
#include "RunRecord.h"

namespace gang {

enum class Outcome { OK, NG };
enum class TesterEnd { NotStarted, Exited, Crashed, Killed };

// The reset run the gang made after ending a tester, so that the operation it interrupted cannot
// answer the port's next run.
struct ResetRecord {
    std::string cause;  // "time limit" or "interrupted"
    Outcome outcome = Outcome::NG;
    std::string reason;  // empty when OK
    std::string logFile;
};

struct PortResult {
    unsigned port = 0;
    std::string portName;  // COM3
    GangCommand command = GangCommand::Program;
    Outcome outcome = Outcome::NG;
    std::uint64_t durationMs = 0;
    std::string logFile;  // full path; empty when the run left no log of its own
    std::string reason;   // empty when OK
    std::string report;   // the run log as the tester wrote it (CR LF lines)
    TesterEnd end = TesterEnd::NotStarted;
    int exitStatus = 0;  // when end is Exited or Crashed without a signal
    int signal = 0;      // POSIX signal that ended it
    RunRecord record;    // what the run log says of the chip
    std::string device;  // what the port leads to: /dev/ttyUSB0, \\.\COM3
    // The library's texts of record.errorCode, as UTF-8; empty when there is no code.
    std::string errorTextEn;
    std::string errorTextCn;
    std::optional<ResetRecord> resetAfter;
};

// What a finished tester left, as the runner saw it.
struct TesterRun {
    std::string testerDirectory;          // with its trailing separator
    GangCommand command = GangCommand::Program;
    Sums expectedData;                    // --expect-data
    std::vector<std::string> logsBefore;  // this port's log names before the start, sorted
    // When the port's report existed before the start: its time of last writing then. A report
    // still as it was is an earlier run's, left by a tester that ended before taking the port.
    std::optional<std::filesystem::file_time_type> reportBefore;
    platform::ProcessEnd end;
    bool started = false;
    std::string startError;
    bool timedOut = false;
    bool interrupted = false;  // ended by the gang because the gang itself was interrupted
    unsigned timeoutSeconds = 0;
    // The report as it was when the tester ended (a reset run of the gang overwrites it).
    bool haveReport = false;
    std::string report;
};

// Paths are UTF-8 text in the gang on every system.
std::filesystem::path PathOfUtf8(std::string_view utf8);
std::string Utf8OfPath(const std::filesystem::path& path);

// The log names in directory (LogFileS) of each port asked for, sorted, leaving out the names the
// port's known list holds (sorted; none when null); nothing for a port without such logs or when
// the directory does not exist. A station's LogFileS grows by every run of every port, so it is
// read once for many ports (once at the start, then once for the ports ending together), and
// nothing is kept of the names seen before.
using PortLogs = std::map<unsigned, std::vector<std::string>>;
using KnownLogs = std::map<unsigned, const std::vector<std::string>*>;
PortLogs ListPortLogs(const std::string& directory, const KnownLogs& ports);

// The port number of a log name ("ZQ_COM3_OK_....log" is 3); 0 for any other name.
unsigned PortOfLogName(std::string_view name);

// True for the name of a log of that port, telling its verdict in ok.
bool IsPortLogName(std::string_view name, std::string_view portName, bool& ok);

// RptZq_<port>.Txt in the tester's directory.
std::string ReportPath(const std::string& testerDirectory, std::string_view portName);
// The file's time of last writing; none when it does not exist.
std::optional<std::filesystem::file_time_type> LastWriteTime(const std::string& path);

// Reads the port's report into run, when this run wrote it; called when the tester has ended.
void CaptureReport(TesterRun& run, std::string_view portName);

// Fills outcome, log file, reason, report, record and the tester's end of result; created are
// the port's log names that were not there before the start, sorted.
void ReadOutcome(const TesterRun& run, const std::vector<std::string>& created,
                 PortResult& result);

inline constexpr std::string_view LogDirectoryName = "LogFileS";

}  // namespace gang
