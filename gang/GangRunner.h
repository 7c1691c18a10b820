// Runs one tester per port, at most a given number at a time, watches them end (ending those that
// outlive the time limit, or all of them when the gang is interrupted), resets the programmer of
// every tester it ended, and reads each port's outcome from the tester's files. One gang per
// station directory and port: a port another gang holds is NG without a tester.
#pragma once

#include <cstdint>
#include <functional>
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

// The English and Chinese texts (UTF-8) of a programmer's error code.
struct ErrorTexts {
    std::string en;
    std::string cn;
};
using ErrorTextLookup = std::function<ErrorTexts(unsigned code)>;

// How long the reset run after an ended tester may take before it is ended too: a programmer
// that answers at all answers a reset within the tester's own first wait (4.5 s).
inline constexpr unsigned ResetLimitSeconds = 15;

// The lock file of a port in a station directory (with its trailing separator).
std::string PortLockPath(const std::string& directory, std::string_view portName);

std::vector<PortResult> RunGang(const GangOptions& options, const TesterLocation& tester,
                                GangDisplay& display, const ErrorTextLookup& errorTexts);

}  // namespace gang
