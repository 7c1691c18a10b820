#include "GangOptions.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace gang {

const char* const UsageText =
    "usage: zq-gang -COM=<ports> <command> [-TIMOUT=n] [-ENDPDAT] [options]\n"
    "  Runs one ZqCmdLin per port at once and reports one verdict for all of them.\n"
    "  <ports>: numbers and ranges, such as 3,4,7 or 1-8 (at most 256 ports).\n"
    "  <command>: exactly one of -DOPROGA, -DOCHECK, -DORESET, -DORDSUM, -DOERASE, after -COM.\n"
    "  -TIMOUT=n and -ENDPDAT go to every tester as given.\n"
    "options:\n"
    "  --jobs N          run at most N testers at a time (default: all at once)\n"
    "  --timeout SECONDS end a tester that runs longer and count its port NG (default 600;\n"
    "                    0: no limit)\n"
    "  --tester PATH     the ZqCmdLin to run (default: the one beside zq-gang)\n"
    "  --junit FILE      write the outcome as JUnit XML\n"
    "  --json FILE       write the outcome as JSON\n"
    "  --station NAME    the station named in the JSON and JUnit files (default: host name)\n"
    "  --expect-data CRC16=0x3C5A[,ACC16=0xB7E1]\n"
    "                    a port whose programmer reports other data sums is NG\n"
    "  --version         show the version\n"
    "  --help            show this text\n"
    "exit status: 0 every port OK, 1 any port NG, 2 bad command line (nothing started),\n"
    "  128 + n when ended by signal n (SIGINT 130, SIGTERM 143, SIGHUP 129)\n";

namespace {

// Port numbers have at most this many digits, which keeps every value far from overflow.
constexpr std::size_t MaxPortDigits = 5;

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ParsePortNumber(std::string_view text, unsigned& port, std::string& error) {
    if (!AllDigits(text)) {
        // Appended piece by piece: GCC 12 at -O3 misreads "x" + std::string&& as an overlapping
        // copy.
        error.assign(1, '"').append(text).append("\" is not a port number");
        return false;
    }
    const std::size_t firstDigit = std::min(text.find_first_not_of('0'), text.size());
    if (text.size() - firstDigit > MaxPortDigits) {
        error = "port number " + std::string(text) + " is too large";
        return false;
    }
    port = 0;
    for (char c : text) port = port * 10 + static_cast<unsigned>(c - '0');
    if (port == 0) {
        error = "there is no port 0: ports count from 1 (COM1)";
        return false;
    }
    return true;
}

// A whole number of at least minimum, for the gang's own options.
bool ParseCount(std::string_view text, unsigned minimum, unsigned& value) {
    if (!AllDigits(text) || text.size() > 9)
        return false;
    value = 0;
    for (char c : text) value = value * 10 + static_cast<unsigned>(c - '0');
    return value >= minimum;
}

}  // namespace

std::vector<unsigned> ParsePortList(std::string_view list, std::string& error) {
    std::vector<unsigned> ports;
    std::set<unsigned> seen;
    if (Trimmed(list).empty()) {
        error = "the port list is empty";
        return {};
    }
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view entry = Trimmed(list.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) {
            error = "the port list \"" + std::string(list) + "\" has an empty entry";
            return {};
        }
        if (entry.find_first_of("/\\") != std::string_view::npos) {
            error = "port name \"" + std::string(entry) + "\" holds a path separator";
            return {};
        }
        // A range is two numbers joined by '-'; a leading '-' is no range but a bad number.
        const std::size_t dash = entry.find('-', 1);
        unsigned first = 0;
        unsigned last = 0;
        if (dash == std::string_view::npos) {
            if (!ParsePortNumber(entry, first, error))
                return {};
            last = first;
        } else {
            if (!ParsePortNumber(Trimmed(entry.substr(0, dash)), first, error) ||
                !ParsePortNumber(Trimmed(entry.substr(dash + 1)), last, error))
                return {};
            if (first > last) {
                error = "the port range " + std::string(entry) + " runs backwards";
                return {};
            }
        }
        if (last - first >= MaxPorts || ports.size() + (last - first) + 1 > MaxPorts) {
            error.assign("more than ").append(std::to_string(MaxPorts)).append(" ports");
            return {};
        }
        for (unsigned port = first; port <= last; ++port) {
            if (!seen.insert(port).second) {
                error = "port " + std::to_string(port) + " is listed twice";
                return {};
            }
            ports.push_back(port);
        }
    }
    return ports;
}

ParsedOptions ParseGangOptions(const std::vector<std::string>& arguments) {
    GangOptions options;
    bool portSwitchSeen = false;
    bool commandSeen = false;
    auto fail = [](std::string error) { return ParsedOptions{std::nullopt, std::move(error)}; };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument.rfind("--", 0) == 0) {
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            std::string value;
            if (name != "--jobs" && name != "--timeout" && name != "--tester" &&
                name != "--junit" && name != "--json" && name != "--station" &&
                name != "--expect-data")
                return fail("unknown option " + name);
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return fail(name + " needs a value");
            }
            if (name == "--jobs") {
                if (!ParseCount(value, 1, options.jobs))
                    return fail("--jobs needs a whole number of at least 1, not \"" + value + "\"");
            } else if (name == "--timeout") {
                if (!ParseCount(value, 0, options.timeoutSeconds))
                    return fail("--timeout needs a whole number of seconds, not \"" + value + "\"");
            } else if (name == "--expect-data") {
                std::string error;
                options.expectedData = ParseExpectedData(value, error);
                if (options.expectedData.empty())
                    return fail("--expect-data: " + error);
            } else if (name == "--station") {
                if (value.empty())
                    return fail("--station needs a name");
                options.station = value;
            } else if (value.empty()) {
                return fail(name + " needs a file name");
            } else if (name == "--tester") {
                options.testerPath = value;
            } else if (name == "--junit") {
                options.junitPath = value;
            } else {
                options.jsonPath = value;
            }
            continue;
        }
        // The tester reads switch names without regard to case: -com=3 is -COM=3 to it.
        const std::size_t equals = argument.find('=');
        if (Upper(argument.substr(0, equals)) == "-COM") {
            if (portSwitchSeen)
                return fail("the ports are given twice (-COM)");
            portSwitchSeen = true;
            if (equals == std::string::npos)
                return fail("-COM needs a port list, such as -COM=3,4,7 or -COM=1-8");
            std::string error;
            options.ports = ParsePortList(std::string_view(argument).substr(equals + 1), error);
            if (options.ports.empty())
                return fail(error);
            options.portSwitchIndex = options.testerSwitches.size();
        } else if (const std::optional<GangCommand> command = CommandOfSwitch(argument)) {
            // The tester sends a command the moment it reads it: before -COM it goes nowhere.
            if (!portSwitchSeen)
                return fail(argument + " comes before -COM: the tester would send it before "
                                       "opening the port");
            if (commandSeen)
                return fail("more than one command switch (" + SwitchOfCommand(options.command) +
                            ", " + SwitchOfCommand(*command) +
                            "): a gang runs one command, so that its verdict means one thing");
            commandSeen = true;
            options.command = *command;
        } else if (Upper(argument.substr(0, equals)) == "-TIMOUT") {
            if (equals == std::string::npos || !AllDigits(argument.substr(equals + 1)))
                return fail("-TIMOUT needs a whole number, as in -TIMOUT=20");
        } else if (Upper(argument) != "-ENDPDAT") {
            // Anything else fails the tester's run after it has sent its command, leaving the
            // programmer at work with nobody listening.
            return fail("\"" + argument + "\" is no switch of ZqCmdLin a gang passes on (" +
                        "-TIMOUT=n, -ENDPDAT)");
        }
        options.testerSwitches.push_back(argument);
    }
    if (options.help || options.version)
        return ParsedOptions{std::move(options), {}};
    if (!portSwitchSeen)
        return fail("no ports given: name them with -COM=<ports>, such as -COM=3,4,7 or -COM=1-8");
    if (!commandSeen)
        return fail("no command switch: name one of -DOPROGA, -DOCHECK, -DORESET, -DORDSUM, "
                    "-DOERASE");
    if (options.junitPath == options.jsonPath && !options.junitPath.empty())
        return fail("--junit and --json name the same file");
    return ParsedOptions{std::move(options), {}};
}

std::vector<std::string> TesterSwitchesForPort(const GangOptions& options, unsigned port) {
    std::vector<std::string> switches = options.testerSwitches;
    switches[options.portSwitchIndex] = "-COM=" + std::to_string(port);
    return switches;
}

}  // namespace gang
