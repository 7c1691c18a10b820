// Runs one tester per port, at most a given number at a time, watches them end (ending those that
// outlive the time limit) and reads each port's outcome from the tester's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GangOptions.h"
#include "PortOutcome.h"

namespace gang {

enum class PortState { Waiting, Running, Done };

// What the console shows of a port while the gang runs.
struct PortView {
    std::string portName;
    PortState state = PortState::Waiting;
    std::uint64_t elapsedMs = 0;
    const PortResult* result = nullptr;  // when Done
};

class GangDisplay {
  public:
    virtual ~GangDisplay() = default;
    // Called often while the gang runs, with every port.
    virtual void Show(const std::vector<PortView>& ports) = 0;
    // Called once per port when its outcome is known.
    virtual void PortFinished(const PortResult& result) = 0;
};

// The tester as it is to be started: its path made absolute (links kept, so that a station's link
// makes the station's directory the tester's) and its directory with the trailing separator.
struct TesterLocation {
    std::string path;
    std::string directory;
};
TesterLocation LocateTester(const std::string& path);

std::vector<PortResult> RunGang(const GangOptions& options, const TesterLocation& tester,
                                GangDisplay& display);

}  // namespace gang
