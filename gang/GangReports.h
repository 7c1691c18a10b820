// What a gang run tells at its end: the summary table on the console, and the JUnit XML and JSON
// files that CI servers and manufacturing systems read. All pure text building; WriteReportFile
// puts a text in place whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "PortOutcome.h"

namespace gang {

// The version of the JSON record; raised when a field changes its meaning or goes away.
inline constexpr int JsonSchemaVersion = 1;

struct GangSummary {
    std::string station;                // --station, else the host name
    std::string host;                   // this computer's name
    std::string version;                // of zq-gang
    std::string tester;                 // the ZqCmdLin that ran
    std::vector<std::string> switches;  // as given, -COM with the whole list
    std::string startedUtc;             // 2026-12-07T15:04:05
    std::uint64_t durationMs = 0;
    std::vector<PortResult> ports;
};

// The text in a form every reader takes: valid UTF-8 sequences kept, any other byte (a code page
// 936 chip name, say) as U+FFFD, and control characters other than tab, CR and LF as '?'.
std::string SafeText(std::string_view bytes);

// SafeText on one line: tab, CR and LF as blanks.
std::string OneLine(std::string_view bytes);

std::string OutcomeName(Outcome outcome);
std::string SecondsText(std::uint64_t ms);  // 12.345
// For people: 12.3 s, rounded to the tenth shown.
std::string TenthsText(std::uint64_t ms);
// text filled with blanks to width columns.
std::string Padded(std::string text, std::size_t width);

std::string SummaryTable(const GangSummary& summary);
std::string JUnitXml(const GangSummary& summary);
std::string JsonText(const GangSummary& summary);

// Writes text to path, each line ended by CR LF like every file of the tester, whole or not at
// all: a reader never sees half a file.
// False with a one-line reason when it could not be written.
bool WriteReportFile(const std::string& path, std::string_view text, std::string& error);

// Now, in UTC, as 2026-12-07T15:04:05.
std::string UtcTimestamp();

}  // namespace gang
