#include <gtest/gtest.h>

#include <fstream>

#include "ParsCmdLinX.h"
#include "TesterFixture.h"

namespace {

constexpr const char* kFailedPlain = "=End of Commad: Failed!";

struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> log;  // a leading '=' marks a plain line
    std::uint8_t runResult;
    bool finished;
    std::vector<std::uint8_t> sentTypes;  // type byte of each frame offered to the port
    std::string portName;
    std::uint16_t timeoutReload;
    bool traceMode;
};

std::vector<std::string> Expand(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) out.push_back(l[0] == '=' ? l.substr(1) : Stamped(l));
    return out;
}

const std::string kPort3 = "CmdLin: Set COM Port=COM3\"";
const std::string kProg = "CmdLin: Do Programming Starting!";

class CommandLineTest : public TesterTest {};

TEST_F(CommandLineTest, SwitchesInOrder) {
    const CommandLineCase cases[] = {
        {"port and command",
         {"-COM=3", "-DOPROGA"},
         {kPort3, kProg},
         255,
         false,
         {0xF9},
         "COM3",
         2000,
         false},
        {"lower case",
         {"-com=3", "-doproga"},
         {kPort3, kProg},
         255,
         false,
         {0xF9},
         "COM3",
         2000,
         false},
        {"command before port",
         {"-DOPROGA", "-COM=3"},
         {kProg, kPort3},
         255,
         false,
         {0xF9},
         "COM3",
         2000,
         false},
        {"every command",
         {"-COM=3", "-DOCHECK", "-DORESET", "-DORDSUM", "-DOERASE"},
         {kPort3, "CmdLin: Do Programming Checking!", "CmdLin: Do Programming Reset!",
          "CmdLin: Do Read Chip Checksum.......", "CmdLin: Do Chip Erase......."},
         255,
         false,
         {0xF6, 0x8A, 0xF9, 0xF9},
         "COM3",
         2000,
         false},
        {"trace mode adds no line",
         {"-COM=3", "-ENDPDAT"},
         {kPort3},
         255,
         false,
         {},
         "COM3",
         2000,
         true},
        {"COM without value is a command",
         {"-COM=", "-DOPROGA"},
         {"> Not Supported Command Line Command : COM", kProg},
         64,
         true,
         {0xF9},
         "",
         2000,
         false},
        {"minus alone",
         {"-", "-COM=3"},
         {"> Not Supported Command Line Command : ", kPort3},
         64,
         true,
         {},
         "COM3",
         2000,
         false},
        {"not a switch, kept as written",
         {"doproga", "-COM=3", "-DOERASE"},
         {"> Command Line Parameter error : doproga", kFailedPlain, kPort3,
          "CmdLin: Do Chip Erase......."},
         64,
         true,
         {0xF9},
         "COM3",
         2000,
         false},
        {"unknown option shows its value",
         {"-COM=3", "-SPEED=fast"},
         {kPort3, ">Not Supported Command Line Command : FAST"},
         64,
         true,
         {},
         "COM3",
         2000,
         false},
        {"unknown command shows its name",
         {"-COM=3", "-dofly"},
         {kPort3, "> Not Supported Command Line Command : DOFLY"},
         64,
         true,
         {},
         "COM3",
         2000,
         false},
        {"TIMOUT 20", {"-COM=3", "-TIMOUT=20"}, {kPort3}, 255, false, {}, "COM3", 2000, false},
        {"TIMOUT 700 wraps to 16 bits",
         {"-TIMOUT=700", "-COM=3"},
         {kPort3},
         255,
         false,
         {},
         "COM3",
         4464,
         false},
        {"TIMOUT 0", {"-COM=3", "-TIMOUT=0"}, {kPort3}, 255, false, {}, "COM3", 0, false},
        {"TIMOUT negative",
         {"-COM=3", "-TIMOUT=-1"},
         {kPort3},
         255,
         false,
         {},
         "COM3",
         65436,
         false},
        {"TIMOUT not a number stops interpretation",
         {"-COM=3", "-TIMOUT=abc", "-DOPROGA", "-BAD"},
         {kPort3, "CmdLin: TIMOUT value is not a number: ABC"},
         255,
         false,
         {},
         "COM3",
         2000,
         false},
        {"TIMOUT too big for 32 bits",
         {"-COM=3", "-TIMOUT=99999999999"},
         {kPort3, "CmdLin: TIMOUT value is not a number: 99999999999"},
         255,
         false,
         {},
         "COM3",
         2000,
         false},
        {"single port switch",
         {"-COM=3"},
         {kPort3, "> Not Enough Parameter has been transformed!", kFailedPlain},
         64,
         true,
         {},
         "COM3",
         2000,
         false},
        {"single command switch",
         {"-DOPROGA"},
         {kProg, "> Not Enough Parameter has been transformed!", kFailedPlain},
         64,
         true,
         {0xF9},
         "",
         2000,
         false},
        {"second port switch renames",
         {"-COM=3", "-COM=12"},
         {kPort3, "CmdLin: Set COM Port=COM12\""},
         255,
         false,
         {},
         "COM12",
         2000,
         false},
        {"value keeps further '='",
         {"-COM=3=4", "-ENDPDAT"},
         {"CmdLin: Set COM Port=COM3=4\""},
         255,
         false,
         {},
         "COM3=4",
         2000,
         true},
        {"long switch name kept to 32 characters",
         {"-COM=3", "-" + std::string(40, 'a')},
         {kPort3, "> Not Supported Command Line Command : " + std::string(32, 'A')},
         64,
         true,
         {},
         "COM3",
         2000,
         false},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        NewForm();
        Start(c.args);
        EXPECT_EQ(Log(), Expand(c.log));
        EXPECT_EQ(RunState.RunResult, c.runResult);
        EXPECT_EQ(RunState.RunFinished, c.finished);
        std::vector<std::uint8_t> types;
        for (const Bytes& frame : fake->sent) types.push_back(frame.at(1));
        EXPECT_EQ(types, c.sentTypes);
        EXPECT_EQ(RunState.PortName, c.portName);
        EXPECT_EQ(RunState.TimeoutReload, c.timeoutReload);
        EXPECT_EQ(RunState.TraceMode, c.traceMode);
    }
}

TEST_F(CommandLineTest, PortSwitchOpensThePortAndWaits) {
    RunState.TimeoutCountdown = 5;
    Start({"-COM=7", "-DOPROGA"});
    EXPECT_EQ(fake->CommName(), "COM7");
    EXPECT_EQ(fake->openCalls, 1);
    EXPECT_NE(fake->PortHandle(), 0u);
    EXPECT_EQ(RecordedSleeps(), std::vector<unsigned>{50});
    EXPECT_EQ(RunState.TimeoutCountdown, 300);
    ASSERT_EQ(fake->sent.size(), 1u);
    EXPECT_EQ(fake->sent[0], kStartProgrammingWire);
}

TEST_F(CommandLineTest, PortThatFailsToOpenIsSwallowed) {
    for (bool throws : {true, false}) {
        SCOPED_TRACE(throws ? "raises" : "stays closed");
        NewForm();
        fake->throwOnOpen = throws;
        fake->opens = false;
        Start({"-COM=3", "-DOPROGA"});
        EXPECT_EQ(Log(), Expand({kPort3, kProg}));
        EXPECT_EQ(RunState.RunResult, 255);
        EXPECT_FALSE(RunState.RunFinished);
        EXPECT_EQ(RunState.TimeoutCountdown, 300);
        EXPECT_EQ(fake->PortHandle(), 0u);
    }
}

TEST_F(CommandLineTest, PortSwitchDeletesThatPortsOldReport) {
    const std::string old3 = TestExeDir() + "RptZq_COM3.Txt";
    const std::string old4 = TestExeDir() + "RptZq_COM4.Txt";
    std::ofstream(old3) << "old";
    std::ofstream(old4) << "old";
    Start({"-COM=3", "-DOPROGA"});
    EXPECT_FALSE(std::filesystem::exists(old3));
    EXPECT_TRUE(std::filesystem::exists(old4));
}

TEST_F(CommandLineTest, PortValueWithPathStaysInExeDir) {
    // A file outside ExeDir that the raw name would reach must survive, whichever separator the
    // name brings along.
    namespace fs = std::filesystem;
    const fs::path dir = TestExeDir();
    fs::create_directories(dir / "a" / "b");
    const fs::path outside = dir / "X.Txt";
    const fs::path renamed = dir / "a" / "b" / "RptZq_COM3_.._.._X.Txt";
    for (const char* port : {"3/../../X", "3\\..\\..\\X"}) {
        SCOPED_TRACE(port);
        NewForm();
        form->ExeDirectory = [] { return InExeDir({"a", "b", ""}); };
        std::ofstream(outside.string()) << "keep";
        std::ofstream(renamed.string()) << "old";
        Start({std::string("-COM=") + port, "-DOPROGA"});
        EXPECT_EQ(RunState.PortName, std::string("COM") + port);
        EXPECT_EQ(Log()[0], Stamped("CmdLin: Set COM Port=COM" + std::string(port) + "\""));
        EXPECT_TRUE(fs::exists(outside));
        EXPECT_FALSE(fs::exists(renamed));
        EXPECT_EQ(ReportFilePath(), InExeDir({"a", "b", "RptZq_COM3_.._.._X.Txt"}));
    }
}

struct ParseCase {
    std::string arg;
    int kind;
    std::string name;
    std::string value;
};

TEST_F(CommandLineTest, ParseSwitchKinds) {
    const ParseCase cases[] = {
        {"", SwitchNone, "", ""},
        {"COM=3", SwitchNone, "", ""},
        {"-", SwitchCommand, "", ""},
        {"-doproga", SwitchCommand, "DOPROGA", ""},
        {"-COM=", SwitchCommand, "COM", ""},
        {"-COM=3", SwitchOption, "COM", "3"},
        {"-=5", SwitchOption, "", "5"},
        {"-A=B=C", SwitchOption, "A", "B=C"},
        {"-" + std::string(33, 'X') + "=1", SwitchOption, std::string(32, 'X'), "1"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.arg);
        SwitchValue = "stale";
        EXPECT_EQ(ParseSwitch(c.arg), c.kind);
        EXPECT_EQ(CurrentSwitchName(), c.name);
        if (c.kind != SwitchNone) {
            EXPECT_EQ(SwitchValue, c.value);
        }
    }
}

}  // namespace
