#include "GangConsole.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "GangReports.h"

namespace gang {

namespace {

// The groups of the live view, in the order they are shown.
enum class Group { NG, Running, Waiting, OK };

Group GroupOf(const PortView& port) {
    switch (port.state) {
        case PortState::Waiting:
            return Group::Waiting;
        case PortState::Running:
            return Group::Running;
        case PortState::Done:
            break;
    }
    return port.result != nullptr && port.result->outcome == Outcome::OK ? Group::OK : Group::NG;
}

// Safe text cut to at most width bytes, the cut moved back to the start of a UTF-8 sequence,
// trailing blanks dropped.
std::string CutLine(std::string line, std::size_t width) {
    if (line.size() > width) {
        std::size_t cut = width;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line.resize(cut);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

// "32 ports: 2 NG, 20 running, 3 waiting, 7 OK", leaving out at its end the counts that do not
// fit whole into width.
std::string SummaryLine(const std::vector<PortView>& ports, std::size_t width) {
    std::array<std::size_t, 4> count{};
    for (const PortView& port : ports) ++count[static_cast<std::size_t>(GroupOf(port))];
    const std::array<const char*, 4> names = {" NG", " running", " waiting", " OK"};
    std::string line = std::to_string(ports.size()) + (ports.size() == 1 ? " port:" : " ports:");
    for (std::size_t group = 0; group < count.size(); ++group) {
        const std::string part =
            (group == 0 ? " " : ", ") + std::to_string(count[group]) + names[group];
        if (line.size() + part.size() > width)
            break;
        line += part;
    }
    return CutLine(line, width);
}

// The lines of the live view for a terminal of rows x columns.
std::vector<std::string> LiveView(const std::vector<PortView>& ports, unsigned rows,
                                  unsigned columns) {
    const std::size_t room = rows > 0 ? rows - 1 : 0;
    const std::size_t width = columns > 0 ? columns - 1 : 0;
    std::vector<std::string> lines;
    if (room == 0)
        return lines;
    if (ports.size() <= room) {
        for (const PortView& port : ports) lines.push_back(PortLine(port, width));
        return lines;
    }
    lines.push_back(SummaryLine(ports, width));
    std::vector<std::size_t> order(ports.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&ports](std::size_t a, std::size_t b) {
        const Group groupA = GroupOf(ports[a]);
        const Group groupB = GroupOf(ports[b]);
        if (groupA != groupB)
            return groupA < groupB;
        return groupA == Group::Running && ports[a].elapsedMs > ports[b].elapsedMs;
    });
    for (std::size_t i = 0; lines.size() < room; ++i)
        lines.push_back(PortLine(ports[order[i]], width));
    return lines;
}

}  // namespace

std::string PortLine(const PortView& port, std::size_t width) {
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
    // Made safe first, so that the cut falls between whole characters.
    return CutLine(OneLine(line), width);
}

void LiveConsole::Show(const std::vector<PortView>& ports) {
    unsigned rows = 0;
    unsigned columns = 0;
    if (!size_ || !size_(rows, columns) || rows == 0 || columns == 0) {
        rows = DefaultTerminalRows;
        columns = DefaultTerminalColumns;
    }
    const bool resized = rows != rows_ || columns != columns_;
    std::vector<std::string> lines = LiveView(ports, rows, columns);
    if (!resized && lines == shown_)
        return;
    std::string out;
    // Back to the first line of the previous view. ESC [ 0 A would move one line, so never that.
    if (!shown_.empty())
        out += "\x1b[" + std::to_string(shown_.size()) + "A";
    out += "\r";
    // Each line cleared and written anew; CR LF, so that the next starts at its first column even
    // where the terminal takes LF as a line feed only.
    for (const std::string& line : lines) out += "\x1b[2K" + line + "\r\n";
    // After a change of size, what the old view left below the new one goes. Cleared from here and
    // not from the view's first line: tmux moves the whole screen into the scroll-back when the
    // clearing starts at its top left corner.
    if (resized && rows_ != 0)
        out += "\x1b[J";
    (void)std::fputs(out.c_str(), out_);
    (void)std::fflush(out_);
    shown_ = std::move(lines);
    rows_ = rows;
    columns_ = columns;
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
