#include "PortOutcome.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "Platform.h"
#include "StationServices.h"

namespace gang {
namespace {

// A run log is bounded by the tester (32 MiB and its tail); anything far larger is not one.
constexpr std::uintmax_t MaxRunLogBytes = std::uintmax_t{64} * 1024 * 1024;

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::error_code error;
    const std::filesystem::path file = PathOfUtf8(path);
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error || size > MaxRunLogBytes)
        return false;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
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

std::filesystem::path PathOfUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8OfPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

unsigned PortOfLogName(std::string_view name) {
    constexpr std::string_view Stem = "ZQ_COM";
    if (!StartsWith(name, Stem) || name.size() < 4 || name.substr(name.size() - 4) != ".log")
        return 0;
    name.remove_prefix(Stem.size());
    unsigned port = 0;
    std::size_t digits = 0;
    while (digits < name.size() && digits < 7 && name[digits] >= '0' && name[digits] <= '9')
        port = port * 10 + static_cast<unsigned>(name[digits++] - '0');
    const std::string_view verdict = name.substr(digits);
    if (digits == 0 || name[0] == '0' || !(StartsWith(verdict, "_OK_") || StartsWith(verdict, "_NG_")))
        return 0;
    return port;
}

bool IsPortLogName(std::string_view name, std::string_view portName, bool& ok) {
    if (!StartsWith(portName, "COM") || PortOfLogName(name) == 0 ||
        !StartsWith(name.substr(3), portName) || name.size() < 3 + portName.size() + 4)
        return false;
    const std::string_view verdict = name.substr(3 + portName.size());
    if (!StartsWith(verdict, "_OK_") && !StartsWith(verdict, "_NG_"))
        return false;
    ok = StartsWith(verdict, "_OK_");
    return true;
}

PortLogs ListPortLogs(const std::string& directory, const KnownLogs& ports) {
    PortLogs logs;
    platform::ForEachDirectoryName(directory, [&](std::string_view name) {
        const auto wanted = ports.find(PortOfLogName(name));
        if (wanted == ports.end())
            return;
        const std::vector<std::string>* known = wanted->second;
        if (known == nullptr || !std::binary_search(known->begin(), known->end(), name))
            logs[wanted->first].emplace_back(name);
    });
    for (auto& [port, names] : logs) std::sort(names.begin(), names.end());
    return logs;
}

std::string ReportPath(const std::string& testerDirectory, std::string_view portName) {
    return testerDirectory + "RptZq_" + std::string(portName) + ".Txt";
}

std::optional<std::filesystem::file_time_type> LastWriteTime(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_time_type time =
        std::filesystem::last_write_time(PathOfUtf8(path), error);
    if (error)
        return std::nullopt;
    return time;
}

void CaptureReport(TesterRun& run, std::string_view portName) {
    const std::string path = ReportPath(run.testerDirectory, portName);
    run.report.clear();
    run.haveReport = (!run.reportBefore || LastWriteTime(path) != run.reportBefore) &&
                     ReadWholeFile(path, run.report);
    if (!run.haveReport)
        run.report.clear();
}

void ReadOutcome(const TesterRun& run, const std::vector<std::string>& created,
                 PortResult& result) {
    result.outcome = Outcome::NG;
    result.command = run.command;
    result.logFile.clear();
    result.reason.clear();
    result.report.clear();
    result.record = RunRecord{};
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
    // Another run on the same port and directory (a script's own tester) may have written a log
    // meanwhile: the log of this run is the one that holds the same run log as the report.
    std::vector<std::string> candidates = created;
    std::string logContent;
    if (candidates.size() > 1) {
        std::vector<std::string> matching;
        for (const std::string& name : candidates) {
            std::string content;
            if (run.haveReport && ReadWholeFile(logDirectory + name, content) &&
                content == run.report)
                matching.push_back(name);
        }
        candidates = matching;
    }
    const bool haveLog =
        candidates.size() == 1 && ReadWholeFile(logDirectory + candidates.front(), logContent);
    if (haveLog)
        result.logFile = logDirectory + candidates.front();
    result.report = haveLog ? logContent : run.report;
    bool logNamedOK = false;
    if (haveLog)
        IsPortLogName(candidates.front(), result.portName, logNamedOK);
    result.record = ReadRunRecord(result.report, run.command, logNamedOK);

    if (result.end == TesterEnd::Killed) {
        result.reason = run.interrupted ? "interrupted"
                        : run.timedOut  ? "ZqCmdLin did not end within " +
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
    if (!result.record.ok) {
        result.reason = result.record.reason.empty() ? "NG" : result.record.reason;
        return;
    }
    result.reason = DataSumMismatch(result.record, run.expectedData);
    if (result.reason.empty())
        result.outcome = Outcome::OK;
}

}  // namespace gang
