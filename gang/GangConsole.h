// The console while a gang runs. On a terminal one line per port, rewritten in place (waiting,
// running with its elapsed time, OK, NG with the reason); otherwise a plain line per port as it
// finishes, which a log file or a pipe keeps readable.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "GangRunner.h"

namespace gang {

// At most this many columns, so that no line wraps on a usual terminal and the lines moved over
// stay the lines written.
inline constexpr std::size_t LiveLineColumns = 79;

// The live line of a port.
std::string PortLine(const PortView& port);

class LiveConsole final : public GangDisplay {
  public:
    explicit LiveConsole(std::FILE* out) : out_(out) {}
    void Show(const std::vector<PortView>& ports) override;
    void PortFinished(const PortResult&) override {}

  private:
    std::FILE* out_;
    std::vector<std::string> shown_;
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
