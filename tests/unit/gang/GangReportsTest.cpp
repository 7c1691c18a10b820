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
    summary.station = "Line <1>";
    summary.host = "pc1";
    summary.version = "1.0.0";
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
    ok.device = "/dev/ttyUSB0";
    ok.record.chipId = "0A FF";
    ok.record.serialNumber = "0x00001005";
    ok.record.dataSums = {{"ACC16", "0xB7E1"}, {"CRC16", "0x3C5A"}};
    ok.record.chipSums = {{"CRC32", "0xDEADBEEF"}};
    gang::PortResult ng;
    ng.command = gang::GangCommand::Program;
    ng.record.errorCode = 0x86;
    ng.errorTextEn = "Opertaion Failed!";
    ng.errorTextCn = "\xE6\x93\x8D\xE4\xBD\x9C";
    ng.resetAfter = gang::ResetRecord{"time limit", gang::Outcome::OK, "", "/srv/r.log"};
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
    EXPECT_EQ(json.rfind("{\n  \"schema_version\": 1,\n  \"station\": \"Line <1>\",\n  \"host\": "
                         "\"pc1\",\n  \"zq_gang_version\": \"1.0.0\",\n",
                         0),
              0u)
        << json;
    EXPECT_NE(json.find("\"ok\": 1,\n  \"ng\": 1"), std::string::npos);
    EXPECT_NE(json.find("{\"port\": \"COM3\", \"command\": \"-DOPROGA\", \"outcome\": \"OK\", "
                        "\"duration_s\": 1.234, "
                        "\"log_file\": \"/srv/LogFileS/ZQ_COM3_OK_1.log\", \"reason\": \"\", "
                        "\"tester_end\": \"exited\", \"tester_exit_status\": 0, \"device\": "
                        "\"/dev/ttyUSB0\", \"chip\": {\"name\": null, \"id\": \"0A FF\", \"uid\": "
                        "null}, \"serial_number\": \"0x00001005\", \"data_sums\": {\"ACC16\": "
                        "\"0xB7E1\", \"CRC16\": \"0x3C5A\"}, \"chip_sums\": {\"CRC32\": "
                        "\"0xDEADBEEF\"}, \"error_code\": null, \"error_text\": null, "
                        "\"reset_after\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"port\": \"COM4\", \"command\": \"-DOPROGA\", \"outcome\": \"NG\", "
                        "\"duration_s\": 20.001, "
                        "\"log_file\": null, \"reason\": \"ZqCmdLin did not end within 20 s and "
                        "was ended\", \"tester_end\": \"killed\", \"tester_exit_status\": null, "
                        "\"device\": null, \"chip\": null, \"serial_number\": null, "
                        "\"data_sums\": null, \"chip_sums\": null, \"error_code\": 134, "
                        "\"error_text\": {\"en\": \"Opertaion Failed!\", \"cn\": "
                        "\"\xE6\x93\x8D\xE4\xBD\x9C\"}, \"reset_after\": {\"cause\": \"time "
                        "limit\", \"outcome\": \"OK\", \"reason\": \"\", \"log_file\": "
                        "\"/srv/r.log\"}}"),
              std::string::npos)
        << json;
}

TEST(GangReports, JUnitCountsFailuresAndEscapesTheReport) {
    const std::string xml = gang::JUnitXml(TwoPorts());
    EXPECT_NE(xml.find("<testsuites name=\"zq-gang\" tests=\"2\" failures=\"1\" errors=\"0\" "
                       "skipped=\"0\" time=\"4.567\">\n  <testsuite name=\"Line &lt;1&gt;\" "
                       "hostname=\"pc1\" tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\" "
                       "time=\"4.567\" timestamp=\"2026-12-07T15:04:05\">"),
              std::string::npos)
        << xml;
    // The record as properties of each test case; what the run did not show is left out.
    EXPECT_NE(xml.find("<testcase classname=\"Line &lt;1&gt;\" name=\"COM3\" time=\"1.234\">\n"
                       "      <properties>\n"
                       "        <property name=\"command\" value=\"-DOPROGA\"/>\n"
                       "        <property name=\"device\" value=\"/dev/ttyUSB0\"/>\n"
                       "        <property name=\"chip_id\" value=\"0A FF\"/>\n"
                       "        <property name=\"serial_number\" value=\"0x00001005\"/>\n"
                       "        <property name=\"data_sums\" value=\"ACC16=0xB7E1,CRC16=0x3C5A\"/>\n"
                       "        <property name=\"chip_sums\" value=\"CRC32=0xDEADBEEF\"/>\n"
                       "      </properties>\n"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<property name=\"error_code\" value=\"134\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<property name=\"reset_after\" value=\"time limit: OK\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("value=\"/srv/line &quot;1&quot;/ZqCmdLin\""), std::string::npos);
    EXPECT_NE(xml.find("<system-out>&gt; 10:00:00 a &amp; b &lt; c\nEnd of Commad: Success!\n"
                       "</system-out>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("      </properties>\n      <failure type=\"NG\" message=\"ZqCmdLin did not "
                       "end within 20 s and was ended\">"),
              std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("<failure", xml.find("name=\"COM3\"")), xml.find("<failure"));
}

TEST(GangReports, TimesForPeopleAreRoundedToTheTenthShown) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {0, "0.0 s"}, {49, "0.0 s"}, {50, "0.1 s"}, {175, "0.2 s"}, {949, "0.9 s"},
        {950, "1.0 s"}, {12345, "12.3 s"}, {59999, "60.0 s"},
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(gang::TenthsText(ms), text) << ms;
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
