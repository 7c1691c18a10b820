#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform.h"
#include "PortOutcome.h"
#include "RunRecord.h"
#include "TemporaryDirectory.h"

namespace {

using gang::Outcome;
using gang::TesterEnd;

TEST(PortLogName, ExactPortAndVerdict) {
    const std::vector<std::tuple<const char*, bool, bool>> cases = {
        {"ZQ_COM3_OK_2026_12_07_15_31_10.log", true, true},
        {"ZQ_COM3_NG_2026_12_07_15_31_10_2.log", true, false},
        {"ZQ_COM31_OK_2026_12_07_15_31_10.log", false, false},
        {"ZQ_COM3_OK_2026_12_07_15_31_10.log.tmp", false, false},
        {".ZQ_COM3_OK_2026_12_07_15_31_10.log.4242.1.tmp", false, false},
        {"ZQ_COM3_XX_2026.log", false, false},
        {"ZQ_COM.log", false, false},
    };
    for (const auto& [name, isLog, ok] : cases) {
        bool verdict = !ok;
        EXPECT_EQ(gang::IsPortLogName(name, "COM3", verdict), isLog) << name;
        if (isLog) {
            EXPECT_EQ(verdict, ok) << name;
        }
    }
}

class ReadOutcomeTest : public TemporaryDirectoryTest {
  protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        std::filesystem::create_directory(dir / "LogFileS");
        run.testerDirectory = dir.string() + platform::PathSeparator();
        run.started = true;
        run.end.exited = true;
        result.portName = "COM3";
    }
    void Write(const std::filesystem::path& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
    }
    void Log(const std::string& name, const std::string& content) {
        Write(std::filesystem::path("LogFileS") / name, content);
    }
    std::string LogPath(const std::string& name) const {
        return (dir / "LogFileS" / name).string();
    }

    // As the runner does it: the report when the tester ends, then LogFileS as it is now.
    void Judge() {
        gang::CaptureReport(run, "COM3");
        const gang::PortLogs logs =
            gang::ListPortLogs((dir / "LogFileS").string(), {{3, &run.logsBefore}});
        gang::ReadOutcome(run, logs.count(3) != 0 ? logs.at(3) : std::vector<std::string>{},
                          result);
    }

    gang::TesterRun run;
    gang::PortResult result;
};

const std::string OkRun =
    "> 10:00:00 CmdLin: Set COM Port=COM3\"\r\n> 10:00:00 CmdLin: Do Programming Starting!\r\n"
    "> 10:00:00 Current Data ACC16=0xB7E1,CRC16=0x3C5A.\r\n"
    "> 10:00:00 Initial Programming Interface ....\r\n"
    "> 10:00:01 Progrmming Completed : Successed !Chip ACC16=0xB7E1,CRC16=0x3C5A.\r\n"
    "End of Commad: Success!\r\n";
const std::string NgRun =
    "> 10:00:00 CmdLin: Set COM Port=COM3\"\r\n> 10:00:00 CmdLin: Do Programming Starting!\r\n"
    "> 10:00:05 CML: Operation Time Out!\r\n";

TEST_F(ReadOutcomeTest, OkLogOfThisRun) {
    Write("RptZq_COM3.Txt", OkRun);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", OkRun);
    Judge();
    EXPECT_EQ(result.outcome, Outcome::OK);
    EXPECT_EQ(result.logFile, LogPath("ZQ_COM3_OK_2026_12_07_10_00_00.log"));
    EXPECT_EQ(result.reason, "");
    EXPECT_EQ(result.report, OkRun);
    EXPECT_EQ(result.end, TesterEnd::Exited);
}

TEST_F(ReadOutcomeTest, OlderLogsAndOtherPortsAreNotThisRun) {
    // An OK log of an earlier run and a newer one of COM31 must not make this NG run OK.
    Log("ZQ_COM3_OK_2026_12_07_09_00_00.log", OkRun);
    run.logsBefore = {"ZQ_COM3_OK_2026_12_07_09_00_00.log"};
    Log("ZQ_COM31_OK_2026_12_07_10_00_00.log", OkRun);
    Write("RptZq_COM3.Txt", NgRun);
    Log("ZQ_COM3_NG_2026_12_07_10_00_00.log", NgRun);
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_EQ(result.logFile, LogPath("ZQ_COM3_NG_2026_12_07_10_00_00.log"));
    EXPECT_EQ(result.reason, "CML: Operation Time Out!");
}

TEST_F(ReadOutcomeTest, LogFileSIsReadForThePortsAskedOnly) {
    for (const char* name :
         {"ZQ_COM3_OK_1.log", "ZQ_COM31_OK_1.log", "ZQ_COM3_NG_2.log", "ZQ_COM4_OK_1.log",
          "ZQ_COM3_OK_1.log.tmp", "ZQ_COM03_OK_1.log", "ZQ_COM3_XX_1.log", "zq_com3_ok_1.log"})
        Log(name, "");
    const gang::PortLogs logs =
        gang::ListPortLogs((dir / "LogFileS").string(), {{3, nullptr}, {31, nullptr}});
    EXPECT_EQ(logs, (gang::PortLogs{{3, {"ZQ_COM3_NG_2.log", "ZQ_COM3_OK_1.log"}},
                                    {31, {"ZQ_COM31_OK_1.log"}}}));
    // Names known from before the start are left out.
    const std::vector<std::string> known = {"ZQ_COM3_OK_1.log"};
    EXPECT_EQ(gang::ListPortLogs((dir / "LogFileS").string(), {{3, &known}}),
              (gang::PortLogs{{3, {"ZQ_COM3_NG_2.log"}}}));
    EXPECT_TRUE(gang::ListPortLogs((dir / "no-such").string(), {{3, nullptr}}).empty());
}

TEST_F(ReadOutcomeTest, AnOkLogIsNotEnoughWithoutTheCommandsOwnAnswer) {
    // An earlier operation's success: the log says OK, the programmer's start is missing.
    const std::string late =
        "> 10:00:00 CmdLin: Set COM Port=COM3\"\r\n> 10:00:00 CmdLin: Do Programming Starting!\r\n"
        "> 10:00:00 Do Main Flash Verification....\r\n"
        "> 10:00:01 Progrmming Completed : Successed !Chip ACC16=0xB7E1,CRC16=0x3C5A.\r\n"
        "End of Commad: Success!\r\n";
    Write("RptZq_COM3.Txt", late);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", late);
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_NE(result.reason.find("without this run's programming start"), std::string::npos)
        << result.reason;

    // The same success with its start, but another image than the station expects.
    Write("RptZq_COM3.Txt", OkRun);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", OkRun);
    run.expectedData = {{"CRC16", "0x1111"}};
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_EQ(result.reason, "programmer data CRC16=0x3C5A, expected 0x1111");
}

TEST_F(ReadOutcomeTest, OfTwoNewLogsTheOneHoldingTheReportIsThisRuns) {
    Write("RptZq_COM3.Txt", NgRun);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", OkRun);
    Log("ZQ_COM3_NG_2026_12_07_10_00_00.log", NgRun);
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_EQ(result.logFile, LogPath("ZQ_COM3_NG_2026_12_07_10_00_00.log"));
}

TEST_F(ReadOutcomeTest, TwoNewLogsThatCannotBeToldApartAreNG) {
    Write("RptZq_COM3.Txt", OkRun);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", OkRun);
    Log("ZQ_COM3_OK_2026_12_07_10_00_00_2.log", OkRun);
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_EQ(result.logFile, "");
    EXPECT_NE(result.reason.find("more than one new log file of COM3"), std::string::npos);
}

TEST_F(ReadOutcomeTest, NoLogOrAnAbnormalEndIsNGWithItsReason) {
    struct Case {
        bool killed, crashed, timedOut;
        int exitStatus, signal;
        bool writeLog;
        const char* reason;
        TesterEnd end;
    };
    const std::vector<Case> cases = {
        {false, false, false, 0, 0, false, "ZqCmdLin wrote no log file", TesterEnd::Exited},
        {true, false, true, 0, 9, false, "did not end within 20 s and was ended",
         TesterEnd::Killed},
        {false, true, false, 0, 11, true, "ZqCmdLin crashed (signal 11)", TesterEnd::Crashed},
        {false, true, false, static_cast<int>(0xC0000005u), 0, true,
         "ZqCmdLin crashed (exit code 0xC0000005)", TesterEnd::Crashed},
        {false, false, false, 3, 0, true, "ZqCmdLin ended with exit status 3", TesterEnd::Exited},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir / "LogFileS");
        std::filesystem::create_directory(dir / "LogFileS");
        if (c.writeLog)
            Log("ZQ_COM3_OK_2026_12_07_10_00_00.log", OkRun);
        run.end = {};
        run.end.exited = !c.killed && !c.crashed;
        run.end.killed = c.killed;
        run.end.crashed = c.crashed;
        run.end.exitStatus = c.exitStatus;
        run.end.signal = c.signal;
        run.timedOut = c.timedOut;
        run.timeoutSeconds = 20;
        Judge();
        EXPECT_EQ(result.outcome, Outcome::NG) << c.reason;
        EXPECT_EQ(result.end, c.end) << c.reason;
        EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    }
}

TEST_F(ReadOutcomeTest, AReportLeftByAnEarlierRunIsNotThisRunsReport) {
    Write("RptZq_COM3.Txt", OkRun);
    run.reportBefore = gang::LastWriteTime(At("RptZq_COM3.Txt"));
    ASSERT_TRUE(run.reportBefore);
    run.end = {};
    run.end.crashed = true;
    run.end.signal = 11;
    Judge();
    EXPECT_EQ(result.report, "");
    EXPECT_EQ(result.reason, "ZqCmdLin crashed (signal 11)");

    // Written again by this run (a time of last writing of its own): it is this run's.
    std::filesystem::last_write_time(At("RptZq_COM3.Txt"),
                                     *run.reportBefore + std::chrono::seconds(2));
    Judge();
    EXPECT_EQ(result.report, OkRun);
}

TEST_F(ReadOutcomeTest, NotStartedIsNGWithTheSystemsReason) {
    run.started = false;
    run.startError = "No such file or directory";
    Judge();
    EXPECT_EQ(result.outcome, Outcome::NG);
    EXPECT_EQ(result.end, TesterEnd::NotStarted);
    EXPECT_EQ(result.reason, "ZqCmdLin could not be started: No such file or directory");
}

}  // namespace
