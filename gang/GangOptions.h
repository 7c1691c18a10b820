// What zq-gang is asked to do: the ports, the tester's switches, and the gang's own options.
// Parsing is pure, so that every bad command line is turned down before anything starts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RunRecord.h"

namespace gang {

inline constexpr unsigned MaxPorts = 256;
inline constexpr unsigned DefaultTimeoutSeconds = 600;

struct GangOptions {
    // Port numbers in the order given: 3 for COM3.
    std::vector<unsigned> ports;
    // The tester's switches in the order given; the one at portSwitchIndex is the -COM switch,
    // replaced for each port by -COM=<number>.
    std::vector<std::string> testerSwitches;
    std::size_t portSwitchIndex = 0;
    unsigned jobs = 0;                                // 0: all ports at once
    unsigned timeoutSeconds = DefaultTimeoutSeconds;  // 0: no limit
    std::string testerPath;                           // empty: the ZqCmdLin beside zq-gang
    std::string junitPath;
    std::string jsonPath;
    std::string station;  // empty: the host name
    // The one command switch among testerSwitches, which decides the gang's verdict rule.
    GangCommand command = GangCommand::Program;
    Sums expectedData;  // --expect-data: every programmer must report these data sums
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    std::optional<GangOptions> options;
    std::string error;  // one line when options is empty
};

ParsedOptions ParseGangOptions(const std::vector<std::string>& arguments);

// Ports from the value of -COM: numbers and ranges separated by commas ("3,4,7", "1-8").
// Empty when the list is turned down; error then says why.
std::vector<unsigned> ParsePortList(std::string_view list, std::string& error);

// The tester's arguments for one port: the switches with the -COM switch naming that port.
std::vector<std::string> TesterSwitchesForPort(const GangOptions& options, unsigned port);

extern const char* const UsageText;

}  // namespace gang
