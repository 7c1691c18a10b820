#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GangOptions.h"

namespace {

using gang::ParseGangOptions;
using gang::ParsePortList;

struct PortListCase {
    const char* list;
    std::vector<unsigned> ports;
    const char* error;  // a part of the message when the list is turned down
};

TEST(PortList, ListsAndRangesOrTheReasonTheyAreTurnedDown) {
    const std::vector<PortListCase> cases = {
        {"3,4,7", {3, 4, 7}, ""},
        {"1-8", {1, 2, 3, 4, 5, 6, 7, 8}, ""},
        {" 7 , 2-3 ,12", {7, 2, 3, 12}, ""},
        {"03,5-5", {3, 5}, ""},
        {"1-256", {}, ""},  // checked by count below
        {"", {}, "empty"},
        {"  ", {}, "empty"},
        {"3,,4", {}, "empty entry"},
        {"3,", {}, "empty entry"},
        {",3", {}, "empty entry"},
        {"0", {}, "no port 0"},
        {"0-3", {}, "no port 0"},
        {"3,4,3", {}, "port 3 is listed twice"},
        {"1-4,3", {}, "port 3 is listed twice"},
        {"8-1", {}, "8-1 runs backwards"},
        {"1-257", {}, "more than 256 ports"},
        {"1-200,300-400", {}, "more than 256 ports"},
        {"1-99999", {}, "more than 256 ports"},
        {"3/../x", {}, "path separator"},
        {"..\\3", {}, "path separator"},
        {"COM3", {}, "\"COM3\" is not a port number"},
        {"-3", {}, "not a port number"},
        {"3-", {}, "not a port number"},
        {"123456", {}, "too large"},
        {"00000000000000000003", {3}, ""},
    };
    for (const PortListCase& c : cases) {
        std::string error;
        const std::vector<unsigned> ports = ParsePortList(c.list, error);
        if (std::string(c.error).empty()) {
            if (std::string(c.list) == "1-256") {
                ASSERT_EQ(ports.size(), 256u);
                EXPECT_EQ(ports.front(), 1u);
                EXPECT_EQ(ports.back(), 256u);
            } else {
                EXPECT_EQ(ports, c.ports) << c.list;
            }
        } else {
            EXPECT_TRUE(ports.empty()) << c.list;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.list << ": " << error;
        }
    }
}

TEST(GangOptions, GangOptionsAreTakenAndTesterSwitchesKeptInOrder) {
    const auto parsed = ParseGangOptions(
        {"--jobs", "2", "-com=1-3", "-doCheck", "--timeout=20", "-TIMOUT=20", "--tester",
         "/opt/zq/ZqCmdLin", "--junit=out.xml", "--json", "out.json", "-ENDPDAT", "--station",
         "Line 1", "--expect-data", "crc16=3c5a,ACC16=0xB7E1"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const gang::GangOptions& o = *parsed.options;
    EXPECT_EQ(o.ports, (std::vector<unsigned>{1, 2, 3}));
    EXPECT_EQ(o.jobs, 2u);
    EXPECT_EQ(o.timeoutSeconds, 20u);
    EXPECT_EQ(o.testerPath, "/opt/zq/ZqCmdLin");
    EXPECT_EQ(o.junitPath, "out.xml");
    EXPECT_EQ(o.jsonPath, "out.json");
    EXPECT_EQ(o.station, "Line 1");
    EXPECT_EQ(o.command, gang::GangCommand::Check);
    EXPECT_EQ(o.expectedData.size(), 2u);
    EXPECT_EQ(o.testerSwitches,
              (std::vector<std::string>{"-com=1-3", "-doCheck", "-TIMOUT=20", "-ENDPDAT"}));
    // Each tester gets its own port where the list stood, the rest exactly as given.
    EXPECT_EQ(gang::TesterSwitchesForPort(o, 2),
              (std::vector<std::string>{"-COM=2", "-doCheck", "-TIMOUT=20", "-ENDPDAT"}));
}

TEST(GangOptions, DefaultsRunAllPortsAtOnceWithATimeLimit) {
    const auto parsed = ParseGangOptions({"-COM=3", "-DOPROGA"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->jobs, 0u);
    EXPECT_EQ(parsed.options->timeoutSeconds, gang::DefaultTimeoutSeconds);
    EXPECT_TRUE(parsed.options->testerPath.empty());
    EXPECT_FALSE(parsed.options->help);
}

TEST(GangOptions, BadCommandLinesAreTurnedDownWithTheirReason) {
    const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
        {{"-COM=3"}, "no command switch"},
        {{"-COM=3", "-TIMOUT=20"}, "no command switch"},
        {{"-DOPROGA", "-COM=3"}, "comes before -COM"},
        {{"-COM=3", "-DOPROGA", "-DOERASE"}, "more than one command switch (-DOPROGA, -DOERASE)"},
        {{"-COM=3", "-DOCHECK", "-docheck"}, "more than one command switch"},
        {{"-COM=3", "-DOPROGA", "extra"}, "\"extra\" is no switch of ZqCmdLin"},
        {{"-COM=3", "-DOPROGA", "-DOPROG"}, "\"-DOPROG\" is no switch"},
        {{"-COM=3", "-DOPROGA", "-TIMOUT="}, "-TIMOUT needs a whole number"},
        {{"-COM=3", "-DOPROGA", "-TIMOUT=2x"}, "-TIMOUT needs a whole number"},
        {{"-COM=3", "-DOPROGA", "--station="}, "--station needs a name"},
        {{"-COM=3", "-DOPROGA", "--expect-data", "CRC32=0x1"}, "--expect-data"},
        {{}, "no ports given"},
        {{"-COM=3", "-COM=4", "-DOPROGA"}, "given twice"},
        {{"-COM", "-DOPROGA"}, "-COM needs a port list"},
        {{"-COM=", "-DOPROGA"}, "empty"},
        {{"-COM=3,3", "-DOPROGA"}, "listed twice"},
        {{"-COM=3", "-DOPROGA", "--verbose"}, "unknown option --verbose"},
        {{"-COM=3", "--jobs"}, "--jobs needs a value"},
        {{"-COM=3", "--jobs", "0"}, "at least 1"},
        {{"-COM=3", "--jobs=two"}, "at least 1"},
        {{"-COM=3", "--timeout", "-5"}, "whole number of seconds"},
        {{"-COM=3", "--tester="}, "needs a file name"},
        {{"-COM=3", "-DOPROGA", "--junit", "a", "--json", "a"}, "same file"},
    };
    for (const auto& [arguments, error] : cases) {
        const auto parsed = ParseGangOptions(arguments);
        EXPECT_FALSE(parsed.options) << error;
        EXPECT_NE(parsed.error.find(error), std::string::npos) << parsed.error;
    }
}

TEST(GangOptions, HelpAndVersionNeedNoPorts) {
    const auto help = ParseGangOptions({"--help"});
    ASSERT_TRUE(help.options);
    EXPECT_TRUE(help.options->help);
    const auto version = ParseGangOptions({"--version"});
    ASSERT_TRUE(version.options);
    EXPECT_TRUE(version.options->version);
}

}  // namespace
