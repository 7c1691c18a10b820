#include "PortOutcome.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "Platform.h"
#include "RunRecord.h"

namespace gang {
namespace {

// A run log is bounded by the tester (32 MiB and its tail); anything far larger is not one.
constexpr std::uintmax_t MaxRunLogBytes = std::uintmax_t{64} * 1024 * 1024;

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > MaxRunLogBytes)
        return false;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string DescribeEnd(const platform::ProcessEnd& end) {
    if (end.signal != 0)
        return "signal " + std::to_string(end.signal);
    char text[32];
    (void)std::snprintf(text, sizeof text, "exit code 0x%08X",
                        static_cast<unsigned>(end.exitStatus));
    return text;
}

}  // namespace

bool IsPortLogName(std::string_view name, std::string_view portName, bool& ok) {
    const std::string stem = "ZQ_" + std::string(portName);
    if (!StartsWith(name, stem) || name.size() < 4 || name.substr(name.size() - 4) != ".log")
        return false;
    const std::string_view verdict = name.substr(stem.size());
    if (StartsWith(verdict, "_OK_")) {
        ok = true;
        return true;
    }
    if (StartsWith(verdict, "_NG_")) {
        ok = false;
        return true;
    }
    return false;
}

std::vector<std::string> FileNames(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error))
        names.push_back(entry->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> PortLogNames(const std::vector<std::string>& names,
                                      std::string_view portName) {
    std::vector<std::string> logs;
    bool ok = false;
    std::copy_if(names.begin(), names.end(), std::back_inserter(logs),
                 [&](const std::string& name) { return IsPortLogName(name, portName, ok); });
    return logs;
}

std::string ReportPath(const std::string& testerDirectory, std::string_view portName) {
    return testerDirectory + "RptZq_" + std::string(portName) + ".Txt";
}

std::optional<std::filesystem::file_time_type> LastWriteTime(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_time_type time = std::filesystem::last_write_time(path, error);
    if (error)
        return std::nullopt;
    return time;
}

void ReadOutcome(const TesterRun& run, PortResult& result) {
    result.outcome = Outcome::NG;
    result.logFile.clear();
    result.reason.clear();
    result.report.clear();
    result.exitStatus = run.end.exitStatus;
    result.signal = run.end.signal;
    if (!run.started) {
        result.end = TesterEnd::NotStarted;
        result.reason = "ZqCmdLin could not be started: " + run.startError;
        return;
    }
    result.end = run.end.killed    ? TesterEnd::Killed
                 : run.end.crashed ? TesterEnd::Crashed
                                   : TesterEnd::Exited;

    const std::string logDirectory =
        run.testerDirectory + std::string(LogDirectoryName) + platform::PathSeparator();
    const std::vector<std::string> after = PortLogNames(
        FileNames(run.testerDirectory + std::string(LogDirectoryName)), result.portName);
    std::vector<std::string> created;
    std::set_difference(after.begin(), after.end(), run.logsBefore.begin(), run.logsBefore.end(),
                        std::back_inserter(created));

    const std::string reportPath = ReportPath(run.testerDirectory, result.portName);
    std::string report;
    const bool haveReport = (!run.reportBefore || LastWriteTime(reportPath) != run.reportBefore) &&
                            ReadWholeFile(reportPath, report);

    // Another run on the same port and directory may have written a log meanwhile: the log of
    // this run is the one that holds the same run log as the report.
    std::vector<std::string> candidates = created;
    std::string logContent;
    if (candidates.size() > 1) {
        std::vector<std::string> matching;
        for (const std::string& name : candidates) {
            std::string content;
            if (haveReport && ReadWholeFile(logDirectory + name, content) && content == report)
                matching.push_back(name);
        }
        candidates = matching;
    }
    const bool haveLog =
        candidates.size() == 1 && ReadWholeFile(logDirectory + candidates.front(), logContent);
    if (haveLog)
        result.logFile = logDirectory + candidates.front();
    result.report = haveLog ? logContent : haveReport ? report : std::string();

    if (result.end == TesterEnd::Killed) {
        result.reason = run.timedOut ? "ZqCmdLin did not end within " +
                                           std::to_string(run.timeoutSeconds) + " s and was ended"
                                     : "ZqCmdLin was ended";
        return;
    }
    if (result.end == TesterEnd::Crashed) {
        result.reason = "ZqCmdLin crashed (" + DescribeEnd(run.end) + ")";
        return;
    }
    if (run.end.exitStatus != 0) {
        result.reason = "ZqCmdLin ended with exit status " + std::to_string(run.end.exitStatus);
        return;
    }
    if (created.empty()) {
        result.reason = "ZqCmdLin wrote no log file";
        return;
    }
    if (!haveLog) {
        result.reason = candidates.size() > 1 || created.size() > 1
                            ? "more than one new log file of " + result.portName +
                                  ": another run in the same directory?"
                            : "the log file could not be read";
        return;
    }
    bool ok = false;
    IsPortLogName(candidates.front(), result.portName, ok);
    if (ok) {
        result.outcome = Outcome::OK;
        return;
    }
    result.reason = LastStampedText(result.report);
    if (result.reason.empty())
        result.reason = "NG";
}

}  // namespace gang
