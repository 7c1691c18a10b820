#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GangConsole.h"
#include "GangReports.h"

namespace {

TEST(SafeText, KeepsUtf8AndMarksWhatNoReaderTakes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain text\r\n\ttab", "plain text\r\n\ttab"},
        {"\xE8\x8A\xAF\xE7\x89\x87", "\xE8\x8A\xAF\xE7\x89\x87"},                  // UTF-8 kept
        {"\xB2\xE2\xCA\xD4", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // cp936 bytes
        {std::string("a\0b\x1b\x7f", 5), "a?b??"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xEF\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // U+FFFF
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"cut \xE8\x8A", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(gang::SafeText(in), out) << in;
}

gang::GangSummary TwoPorts() {
    gang::GangSummary summary;
    summary.tester = "/srv/line \"1\"/ZqCmdLin";
    summary.switches = {"-COM=3,4", "-DOPROGA"};
    summary.startedUtc = "2026-12-07T15:04:05";
    summary.durationMs = 4567;
    gang::PortResult ok;
    ok.portName = "COM3";
    ok.outcome = gang::Outcome::OK;
    ok.durationMs = 1234;
    ok.logFile = "/srv/LogFileS/ZQ_COM3_OK_1.log";
    ok.report = "> 10:00:00 a & b < c\r\nEnd of Commad: Success!\r\n";
    ok.end = gang::TesterEnd::Exited;
    gang::PortResult ng;
    ng.portName = "COM4";
    ng.durationMs = 20001;
    ng.reason = "ZqCmdLin did not end within 20 s and was ended";
    ng.end = gang::TesterEnd::Killed;
    ng.signal = 9;
    summary.ports = {ok, ng};
    return summary;
}

TEST(GangReports, JsonHoldsEveryPortWithEscapedText) {
    const std::string json = gang::JsonText(TwoPorts());
    EXPECT_NE(json.find("\"tester\": \"/srv/line \\\"1\\\"/ZqCmdLin\""), std::string::npos);
    EXPECT_NE(json.find("\"ok\": 1,\n  \"ng\": 1"), std::string::npos);
    EXPECT_NE(json.find("{\"port\": \"COM3\", \"outcome\": \"OK\", \"duration_s\": 1.234, "
                        "\"log_file\": \"/srv/LogFileS/ZQ_COM3_OK_1.log\", \"reason\": \"\", "
                        "\"tester_end\": \"exited\", \"tester_exit_status\": 0}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"port\": \"COM4\", \"outcome\": \"NG\", \"duration_s\": 20.001, "
                        "\"log_file\": null, \"reason\": \"ZqCmdLin did not end within 20 s and "
                        "was ended\", \"tester_end\": \"killed\", \"tester_exit_status\": null}"),
              std::string::npos)
        << json;
}

TEST(GangReports, JUnitCountsFailuresAndEscapesTheReport) {
    const std::string xml = gang::JUnitXml(TwoPorts());
    EXPECT_NE(xml.find("<testsuite name=\"zq-gang\" tests=\"2\" failures=\"1\" errors=\"0\" "
                       "skipped=\"0\" time=\"4.567\" timestamp=\"2026-12-07T15:04:05\">"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("value=\"/srv/line &quot;1&quot;/ZqCmdLin\""), std::string::npos);
    EXPECT_NE(xml.find("<system-out>&gt; 10:00:00 a &amp; b &lt; c\nEnd of Commad: Success!\n"
                       "</system-out>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<testcase classname=\"zq-gang\" name=\"COM4\" time=\"20.001\">\n"
                       "    <failure type=\"NG\" message=\"ZqCmdLin did not end within 20 s and "
                       "was ended\">"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("<failure", xml.find("name=\"COM3\"")), xml.find("<failure"));
}

TEST(GangConsole, LiveLinesStayOnOneLineOfTheTerminal) {
    gang::PortResult ng;
    ng.outcome = gang::Outcome::NG;
    ng.reason = std::string(200, 'x') + "\r\nforged";
    const std::vector<std::pair<gang::PortView, std::string>> cases = {
        {{"COM3", gang::PortState::Waiting, 0, nullptr}, "COM3     waiting"},
        {{"COM3", gang::PortState::Running, 12345, nullptr}, "COM3     running  12.3 s"},
        {{"COM12", gang::PortState::Done, 4600, &ng},
         "COM12    NG       4.6 s     " + std::string(gang::LiveLineColumns - 28, 'x')},
    };
    for (const auto& [view, line] : cases) EXPECT_EQ(gang::PortLine(view), line);
}

}  // namespace
