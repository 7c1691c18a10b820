// The console while a gang runs. On a terminal a live view rewritten in place; otherwise a plain
// line per port as it finishes, which a log file or a pipe keeps readable.
//
// The live view never makes the terminal scroll, so that the scroll-back keeps nothing of it but
// what stood last:
// - The terminal's size is read at every redraw; 24 rows by 80 columns when it is not known.
// - The view takes at most rows - 1 lines: the cursor's own line below it stays free, so the
//   line feed that ends the view's last line never scrolls.
// - Every line is cut to columns - 1 characters (counted in bytes, never through a UTF-8
//   sequence), so no line wraps and nothing is written into the last column, which some consoles
//   wrap at once.
// - When every port has a line, one line per port in port order: the operator finds a socket
//   where it sits on the gang.
// - Otherwise a summary line first, "32 ports: 2 NG, 20 running, 3 waiting, 7 OK" (counts in the
//   order of the lines below it; on a narrow terminal the counts at its end that do not fit whole
//   are left out), and below it as many port lines as fit, in this order: NG, then running
//   (longest running first), then waiting, then OK; port order within each group and between
//   ports running equally long. What needs a hand shows first; what went well is left out first.
// - A redraw moves up by the lines the previous one wrote (never more than the rows - 1 of that
//   time) and clears and writes every line anew. After a change of size it also clears from the
//   line below the new view to the end of the screen, so neither shrinking nor growing leaves
//   stale lines. The gang's ports are the same at every redraw, so only a change of size changes
//   the number of lines.
// - Nothing is written while neither the lines nor the terminal's size changed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "GangRunner.h"
#include "StationServices.h"

namespace gang {

// The terminal's size taken when it is not known.
inline constexpr unsigned DefaultTerminalRows = 24;
inline constexpr unsigned DefaultTerminalColumns = 80;

// The width of a port's line unless told otherwise: the usual terminal less its last column.
inline constexpr std::size_t LiveLineColumns = DefaultTerminalColumns - 1;

// The live line of a port, at most width bytes, never cut through a UTF-8 sequence, no trailing
// blanks.
std::string PortLine(const PortView& port, std::size_t width = LiveLineColumns);

// Tells the terminal's rows and columns; false when they are not known.
using TerminalSizeSource = std::function<bool(unsigned& rows, unsigned& columns)>;

class LiveConsole final : public GangDisplay {
  public:
    explicit LiveConsole(std::FILE* out, TerminalSizeSource size = platform::TerminalSize)
        : out_(out), size_(std::move(size)) {}
    void Show(const std::vector<PortView>& ports) override;
    void PortFinished(const PortResult&) override {}

  private:
    std::FILE* out_;
    TerminalSizeSource size_;
    std::vector<std::string> shown_;  // the lines the last redraw wrote
    unsigned rows_ = 0;               // the size at the last redraw; 0 before the first
    unsigned columns_ = 0;
};

class PlainConsole final : public GangDisplay {
  public:
    explicit PlainConsole(std::FILE* out) : out_(out) {}
    void Show(const std::vector<PortView>&) override {}
    void PortFinished(const PortResult& result) override;

  private:
    std::FILE* out_;
};

}  // namespace gang
