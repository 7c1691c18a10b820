#include "GangReports.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "Platform.h"
#include "StationServices.h"

namespace gang {
namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of bytes that XML may hold; 0 when there is
// none (a stray or overlong byte, a surrogate, beyond U+10FFFF, or U+FFFE/U+FFFF).
std::size_t ValidSequenceLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        value = (value << 6) | (byte(i) & 0x3Fu);
    }
    const std::uint32_t smallest = length == 3 ? 0x800u : length == 4 ? 0x10000u : 0x80u;
    if (value < smallest || value > 0x10FFFFu || (value >= 0xD800u && value <= 0xDFFFu) ||
        value == 0xFFFEu || value == 0xFFFFu)
        return 0;
    return length;
}

std::string XmlEscaped(std::string_view bytes) {
    std::string out;
    for (char c : SafeText(bytes)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// An attribute keeps its line ends only as character references; a reason is one line anyway.
std::string XmlAttribute(std::string_view bytes) {
    std::string out;
    for (char c : XmlEscaped(bytes)) {
        if (c == '\r' || c == '\n' || c == '\t')
            out += c == '\t' ? "&#9;" : c == '\r' ? "&#13;" : "&#10;";
        else
            out += c;
    }
    return out;
}

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (char c : SafeText(bytes)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// The run log with its CR LF line ends as plain LF, as the XML file's own lines take CR LF.
std::string WithoutCarriageReturns(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

std::string EndName(TesterEnd end) {
    switch (end) {
        case TesterEnd::NotStarted:
            return "not started";
        case TesterEnd::Exited:
            return "exited";
        case TesterEnd::Crashed:
            return "crashed";
        case TesterEnd::Killed:
            return "killed";
    }
    return "exited";
}

std::string JsonOrNull(const std::optional<std::string>& text) {
    return text ? JsonString(*text) : std::string("null");
}

// {"ACC16": "0xB7E1", "CRC16": "0x3C5A"}, or null when the run showed none.
std::string JsonSums(const Sums& sums) {
    if (sums.empty())
        return "null";
    std::string json = "{";
    for (std::size_t i = 0; i < sums.size(); ++i)
        json += (i == 0 ? "" : ", ") + JsonString(sums[i].first) + ": " + JsonString(sums[i].second);
    return json + "}";
}

std::string SumsText(const Sums& sums) {
    std::string text;
    for (const auto& [name, value] : sums) {
        if (!text.empty())
            text += ',';
        text.append(name).append(1, '=').append(value);
    }
    return text;
}

std::string JsonChip(const RunRecord& record) {
    if (!record.chipName && !record.chipId && !record.chipUid)
        return "null";
    return "{\"name\": " + JsonOrNull(record.chipName) + ", \"id\": " + JsonOrNull(record.chipId) +
           ", \"uid\": " + JsonOrNull(record.chipUid) + "}";
}

std::string JsonReset(const std::optional<ResetRecord>& reset) {
    if (!reset)
        return "null";
    return "{\"cause\": " + JsonString(reset->cause) +
           ", \"outcome\": " + JsonString(OutcomeName(reset->outcome)) +
           ", \"reason\": " + JsonString(reset->reason) + ", \"log_file\": " +
           (reset->logFile.empty() ? std::string("null") : JsonString(reset->logFile)) + "}";
}

// The record of a port as name and text pairs, for JUnit properties; absent fields left out.
std::vector<std::pair<std::string, std::string>> RecordProperties(const PortResult& port) {
    std::vector<std::pair<std::string, std::string>> properties;
    const RunRecord& r = port.record;
    properties.emplace_back("command", SwitchOfCommand(port.command));
    if (!port.device.empty())
        properties.emplace_back("device", port.device);
    if (r.chipName)
        properties.emplace_back("chip_name", *r.chipName);
    if (r.chipId)
        properties.emplace_back("chip_id", *r.chipId);
    if (r.chipUid)
        properties.emplace_back("chip_uid", *r.chipUid);
    if (r.serialNumber)
        properties.emplace_back("serial_number", *r.serialNumber);
    if (!r.dataSums.empty())
        properties.emplace_back("data_sums", SumsText(r.dataSums));
    if (!r.chipSums.empty())
        properties.emplace_back("chip_sums", SumsText(r.chipSums));
    if (r.errorCode) {
        properties.emplace_back("error_code", std::to_string(*r.errorCode));
        properties.emplace_back("error_text_en", port.errorTextEn);
        properties.emplace_back("error_text_cn", port.errorTextCn);
    }
    if (port.resetAfter) {
        properties.emplace_back("reset_after",
                                port.resetAfter->cause + ": " + OutcomeName(port.resetAfter->outcome) +
                                    (port.resetAfter->reason.empty() ? "" : " " + port.resetAfter->reason));
    }
    return properties;
}

std::size_t CountNG(const GangSummary& summary) {
    std::size_t ng = 0;
    for (const PortResult& port : summary.ports) ng += port.outcome == Outcome::NG ? 1 : 0;
    return ng;
}

}  // namespace

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

std::string TenthsText(std::uint64_t ms) {
    const std::uint64_t tenths = (ms + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

std::string SafeText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const unsigned char c = static_cast<unsigned char>(bytes.front());
        if (c < 0x80) {
            const bool allowed = c >= 0x20 || c == '\t' || c == '\r' || c == '\n';
            out += allowed && c != 0x7F ? static_cast<char>(c) : '?';
            bytes.remove_prefix(1);
            continue;
        }
        const std::size_t length = ValidSequenceLength(bytes);
        if (length == 0) {
            out += ReplacementCharacter;
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
    return out;
}

std::string OneLine(std::string_view bytes) {
    std::string line = SafeText(bytes);
    for (char& c : line) {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return line;
}

std::string OutcomeName(Outcome outcome) {
    return outcome == Outcome::OK ? "OK" : "NG";
}

std::string SecondsText(std::uint64_t ms) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%llu.%03llu",
                        static_cast<unsigned long long>(ms / 1000),
                        static_cast<unsigned long long>(ms % 1000));
    return text;
}

std::string SummaryTable(const GangSummary& summary) {
    std::size_t logWidth = 8;
    for (const PortResult& port : summary.ports) logWidth = std::max(logWidth, port.logFile.size());
    std::string table = Padded("PORT", 8) + Padded("RESULT", 8) + Padded("TIME", 10) +
                        Padded("LOG FILE", logWidth + 2) + "REASON\n";
    for (const PortResult& port : summary.ports) {
        // One decimal is enough for a person; the files keep milliseconds.
        std::string row = Padded(port.portName, 8) + Padded(OutcomeName(port.outcome), 8) +
                          Padded(TenthsText(port.durationMs), 10) +
                          Padded(port.logFile.empty() ? "-" : port.logFile, logWidth + 2) +
                          OneLine(port.reason);
        while (row.back() == ' ') row.pop_back();
        table += row + "\n";
    }
    const std::size_t ng = CountNG(summary);
    table += std::to_string(summary.ports.size()) +
             (summary.ports.size() == 1 ? " port: " : " ports: ") +
             std::to_string(summary.ports.size() - ng) + " OK, " + std::to_string(ng) + " NG\n";
    return table;
}

std::string JUnitXml(const GangSummary& summary) {
    std::string switches;
    for (const std::string& s : summary.switches) switches += (switches.empty() ? "" : " ") + s;
    const std::string counts = " tests=\"" + std::to_string(summary.ports.size()) +
                               "\" failures=\"" + std::to_string(CountNG(summary)) +
                               "\" errors=\"0\" skipped=\"0\" time=\"" +
                               SecondsText(summary.durationMs) + "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuites name=\"zq-gang\"" + counts + ">\n";
    xml += "  <testsuite name=\"" + XmlAttribute(summary.station) + "\" hostname=\"" +
           XmlAttribute(summary.host) + "\"" + counts + " timestamp=\"" + summary.startedUtc +
           "\">\n";
    xml += "    <properties>\n";
    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"station", summary.station},
          {"zq_gang_version", summary.version},
          {"tester", summary.tester},
          {"switches", switches}})
        xml += "      <property name=\"" + name + "\" value=\"" + XmlAttribute(value) + "\"/>\n";
    xml += "    </properties>\n";
    for (const PortResult& port : summary.ports) {
        xml += "    <testcase classname=\"" + XmlAttribute(summary.station) + "\" name=\"" +
               XmlAttribute(port.portName) + "\" time=\"" + SecondsText(port.durationMs) + "\">\n";
        xml += "      <properties>\n";
        for (const auto& [name, value] : RecordProperties(port))
            xml += "        <property name=\"" + name + "\" value=\"" + XmlAttribute(value) + "\"/>\n";
        xml += "      </properties>\n";
        if (port.outcome == Outcome::NG) {
            xml += "      <failure type=\"NG\" message=\"" + XmlAttribute(port.reason) + "\">" +
                   XmlEscaped(port.reason) + "</failure>\n";
        }
        xml += "      <system-out>" + XmlEscaped(WithoutCarriageReturns(port.report)) +
               "</system-out>\n";
        xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

std::string JsonText(const GangSummary& summary) {
    const std::size_t ng = CountNG(summary);
    std::string json = "{\n";
    json += "  \"schema_version\": " + std::to_string(JsonSchemaVersion) + ",\n";
    json += "  \"station\": " + JsonString(summary.station) + ",\n";
    json += "  \"host\": " + JsonString(summary.host) + ",\n";
    json += "  \"zq_gang_version\": " + JsonString(summary.version) + ",\n";
    json += "  \"tester\": " + JsonString(summary.tester) + ",\n";
    json += "  \"switches\": [";
    for (std::size_t i = 0; i < summary.switches.size(); ++i)
        json += (i == 0 ? "" : ", ") + JsonString(summary.switches[i]);
    json += "],\n";
    json += "  \"started_utc\": " + JsonString(summary.startedUtc + "Z") + ",\n";
    json += "  \"duration_s\": " + SecondsText(summary.durationMs) + ",\n";
    json += "  \"ok\": " + std::to_string(summary.ports.size() - ng) + ",\n";
    json += "  \"ng\": " + std::to_string(ng) + ",\n";
    json += "  \"ports\": [";
    for (std::size_t i = 0; i < summary.ports.size(); ++i) {
        const PortResult& port = summary.ports[i];
        const bool hasStatus =
            port.end == TesterEnd::Exited || (port.end == TesterEnd::Crashed && port.signal == 0);
        json += i == 0 ? "\n" : ",\n";
        const RunRecord& r = port.record;
        json += "    {\"port\": " + JsonString(port.portName) +
                ", \"command\": " + JsonString(SwitchOfCommand(port.command)) +
                ", \"outcome\": " + JsonString(OutcomeName(port.outcome)) +
                ", \"duration_s\": " + SecondsText(port.durationMs) +
                ", \"log_file\": " + (port.logFile.empty() ? "null" : JsonString(port.logFile)) +
                ", \"reason\": " + JsonString(port.reason) +
                ", \"tester_end\": " + JsonString(EndName(port.end)) +
                ", \"tester_exit_status\": " +
                (hasStatus ? std::to_string(port.exitStatus) : std::string("null")) +
                ", \"device\": " + (port.device.empty() ? "null" : JsonString(port.device)) +
                ", \"chip\": " + JsonChip(r) +
                ", \"serial_number\": " + JsonOrNull(r.serialNumber) +
                ", \"data_sums\": " + JsonSums(r.dataSums) +
                ", \"chip_sums\": " + JsonSums(r.chipSums) +
                ", \"error_code\": " + (r.errorCode ? std::to_string(*r.errorCode) : "null") +
                ", \"error_text\": " +
                (r.errorCode ? "{\"en\": " + JsonString(port.errorTextEn) +
                                   ", \"cn\": " + JsonString(port.errorTextCn) + "}"
                             : std::string("null")) +
                ", \"reset_after\": " + JsonReset(port.resetAfter) + "}";
    }
    json += summary.ports.empty() ? "]\n" : "\n  ]\n";
    json += "}\n";
    return json;
}

bool WriteReportFile(const std::string& path, std::string_view text, std::string& error) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.emplace_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    if (platform::WriteLinesUtf8(path, lines))
        return true;
    error = "could not write " + path;
    return false;
}

std::string UtcTimestamp() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[32];
    (void)std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d",
                        static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                        static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                        static_cast<int>(time.minutes().count()),
                        static_cast<int>(time.seconds().count()));
    return text;
}

}  // namespace gang
