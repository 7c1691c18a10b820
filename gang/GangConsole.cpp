#include "GangConsole.h"

#include "GangReports.h"

namespace gang {

std::string PortLine(const PortView& port) {
    std::string line = Padded(port.portName, 9);
    switch (port.state) {
        case PortState::Waiting:
            line += "waiting";
            break;
        case PortState::Running:
            line += Padded("running", 9) + TenthsText(port.elapsedMs);
            break;
        case PortState::Done:
            line += Padded(port.result != nullptr ? OutcomeName(port.result->outcome) : "NG", 9) +
                    Padded(TenthsText(port.elapsedMs), 10);
            if (port.result != nullptr)
                line += port.result->reason;
            break;
    }
    // Cut to the width, then made safe again: a cut through a UTF-8 sequence shows as one mark.
    if (line.size() > LiveLineColumns)
        line.resize(LiveLineColumns);
    line = OneLine(line);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

void LiveConsole::Show(const std::vector<PortView>& ports) {
    std::vector<std::string> lines;
    lines.reserve(ports.size());
    for (const PortView& port : ports) lines.push_back(PortLine(port));
    if (lines == shown_)
        return;
    std::string out;
    if (!shown_.empty())
        out += "\x1b[" + std::to_string(shown_.size()) + "A";
    for (const std::string& line : lines) out += "\r\x1b[2K" + line + "\n";
    (void)std::fputs(out.c_str(), out_);
    (void)std::fflush(out_);
    shown_ = std::move(lines);
}

void PlainConsole::PortFinished(const PortResult& result) {
    std::string line = result.portName + " " + OutcomeName(result.outcome) + " " +
                       SecondsText(result.durationMs) + " s";
    if (!result.reason.empty())
        line.append(1, ' ').append(OneLine(result.reason));
    line += "\n";
    (void)std::fputs(line.c_str(), out_);
    (void)std::fflush(out_);
}

}  // namespace gang
