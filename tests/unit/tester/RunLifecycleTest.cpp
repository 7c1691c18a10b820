#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "TesterFixture.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\r\n";
    return out;
}

std::vector<std::string> LogFiles() {
    std::vector<std::string> names;
    const fs::path dir = fs::path(TestExeDir()) / "LogFileS";
    if (!fs::exists(dir))
        return names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RunLifecycleTest : public TesterTest {
  protected:
    // Ticks until the window closes; returns the number of ticks taken (limit: give up).
    int TickUntilClosed(int limit) {
        for (int tick = 1; tick <= limit; ++tick) {
            form->Timer1Timer();
            if (form->Closed())
                return tick;
        }
        return -1;
    }
};

TEST_F(RunLifecycleTest, NoArgumentFailsAndWritesBothFilesWithEmptyPort) {
    int closedCalls = 0;
    form->OnClosed = [&closedCalls] { ++closedCalls; };
    Start({});
    const std::vector<std::string> expected{Stamped("No Paramter is Passed to this Application!"),
                                            "End of Commad: Failed!"};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(RunState.RunResult, 64);
    EXPECT_TRUE(RunState.RunFinished);
    EXPECT_EQ(RunState.ExeDir, TestExeDir());

    EXPECT_EQ(TickUntilClosed(10), 1);
    EXPECT_EQ(closedCalls, 1);
    EXPECT_EQ(ReadFile(TestExeDir() + "RptZq_.Txt"), Joined(expected));
    EXPECT_EQ(LogFiles(), std::vector<std::string>{"ZQ__NG_2024_01_31_12_34_56.log"});
    EXPECT_EQ(ReadFile(InExeDir({"LogFileS", "ZQ__NG_2024_01_31_12_34_56.log"})), Joined(expected));
}

TEST_F(RunLifecycleTest, SilentProgrammerTimesOutAfter300Ticks) {
    Start({"-COM=3", "-TIMOUT=20", "-DOPROGA"});
    EXPECT_EQ(TickUntilClosed(1000),
              300);  // the first answer is awaited 300 ticks, whatever TIMOUT
    EXPECT_EQ(Log().back(), Stamped("CML: Operation Time Out!"));
    EXPECT_EQ(RunState.RunResult, 64);
    EXPECT_EQ(fake->closeCalls, 1);  // FormClose closed the open port
    EXPECT_EQ(ReadFile(TestExeDir() + "RptZq_COM3.Txt"), Joined(Log()));
    EXPECT_EQ(LogFiles(), std::vector<std::string>{"ZQ_COM3_NG_2024_01_31_12_34_56.log"});
}

struct TimeoutCase {
    const char* name;
    std::string timout;
    int ticksAfterChunk;  // ticks from the last chunk to the time-out
};

TEST_F(RunLifecycleTest, TimeoutAfterDataCountsFromTheLastChunk) {
    const TimeoutCase cases[] = {
        {"default reload", "", 2000},
        {"TIMOUT=20", "-TIMOUT=20", 2000},
        {"TIMOUT=1", "-TIMOUT=1", 100},
        {"TIMOUT=700 wraps to 4464", "-TIMOUT=700", 4464},
        {"TIMOUT=0 wraps the countdown", "-TIMOUT=0", 65536},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        NewForm();
        std::vector<std::string> args{"-COM=3", "-DOPROGA"};
        if (!c.timout.empty())
            args.push_back(c.timout);
        Start(args);
        for (int i = 0; i < 50; ++i) form->Timer1Timer();
        Feed(Frame(Status(0x20, 0, 0, 0)));
        EXPECT_EQ(TickUntilClosed(70000), c.ticksAfterChunk);
        EXPECT_EQ(Log().back(), Stamped("CML: Operation Time Out!"));
    }
}

TEST_F(RunLifecycleTest, FinishedRunSavesReportAtTheNextTick) {
    Start({"-COM=3", "-DOPROGA"});
    Feed(Frame(Status(0xF0, 0x06, 0x1234, 0)));
    EXPECT_TRUE(RunState.RunFinished);
    EXPECT_FALSE(fs::exists(TestExeDir() + "RptZq_COM3.Txt"));
    EXPECT_EQ(TickUntilClosed(5), 1);
    const std::vector<std::string> expected{
        Stamped("CmdLin: Set COM Port=COM3\""), Stamped("CmdLin: Do Programming Starting!"),
        Stamped("Progrmming Completed : Successed !CheckSum: 0x1234"), "End of Commad: Success!"};
    EXPECT_EQ(ReadFile(TestExeDir() + "RptZq_COM3.Txt"), Joined(expected));
    EXPECT_EQ(LogFiles(), std::vector<std::string>{"ZQ_COM3_OK_2024_01_31_12_34_56.log"});
    // Nothing more happens after the window has closed.
    form->Timer1Timer();
    EXPECT_EQ(LogFiles().size(), 1u);
}

struct LogNameCase {
    const char* name;
    std::string port;
    std::uint8_t result;
    std::string (*date)();
    std::string (*time)();
    std::string expected;
};

TEST_F(RunLifecycleTest, LogFileNames) {
    auto isoDate = [] { return std::string("2024-01-31"); };
    auto usDate = [] { return std::string("01/31/2024"); };
    auto clock24 = [] { return std::string("14:05:09"); };
    auto clock12 = [] { return std::string("2:05:09 PM"); };
    const LogNameCase cases[] = {
        {"success", "COM3", 0, isoDate, clock24, "ZQ_COM3_OK_2024_01_31_14_05_09.log"},
        {"success status 6", "COM3", 6, isoDate, clock24, "ZQ_COM3_OK_2024_01_31_14_05_09.log"},
        {"no verdict", "COM3", 255, isoDate, clock24, "ZQ_COM3_NG_2024_01_31_14_05_09.log"},
        {"tester failure", "COM3", 64, isoDate, clock24, "ZQ_COM3_NG_2024_01_31_14_05_09.log"},
        {"status 0x16", "COM3", 0x16, isoDate, clock24, "ZQ_COM3_NG_2024_01_31_14_05_09.log"},
        {"slashes, blanks and AM/PM", "COM3", 0, usDate, clock12,
         "ZQ_COM3_OK_01_31_2024_2_05_09 PM.log"},
        {"port with dashes", "COM-A", 0, isoDate, clock24, "ZQ_COM_A_OK_2024_01_31_14_05_09.log"},
        {"port with path", "COM3/../../x", 1, isoDate, clock24,
         "ZQ_COM3_.._.._x_NG_2024_01_31_14_05_09.log"},
        {"port with backslash", "COM3\\..\\x", 1, isoDate, clock24,
         "ZQ_COM3_.._x_NG_2024_01_31_14_05_09.log"},
        {"port of 250 characters", "COM" + std::string(247, '7'), 0, isoDate, clock24,
         "ZQ_COM" + std::string(61, '7') + "_OK_2024_01_31_14_05_09.log"},
    };
    for (const LogNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(TestExeDir() + "LogFileS");
        RunState.ExeDir = TestExeDir();
        RunState.PortName = c.port;
        form->ShortDateText = c.date;
        form->LongTimeText = c.time;
        SetLog({"line"});
        form->SaveRunLog(c.result);
        EXPECT_EQ(LogFiles(), std::vector<std::string>{c.expected});
    }
    // Nothing was written outside ExeDir/LogFileS.
    for (const auto& entry : fs::directory_iterator(TestExeDir())) {
        EXPECT_EQ(entry.path().filename().string(), "LogFileS");
    }
}

struct PortPartCase {
    std::string port;
    std::string posix;
    std::string win32;  // where a file name cannot hold : * ? " < > | or control characters
};

TEST_F(RunLifecycleTest, FileNamePortPart) {
    const PortPartCase cases[] = {
        {"COM3", "COM3", "COM3"},
        {"COM3/x\\y", "COM3_x_y", "COM3_x_y"},
        {"COM3:*?\"<>|", "COM3:*?\"<>|", "COM3_______"},
        {"COM3\x01\x1f\x7f\x80", "COM3\x01\x1f\x7f\x80", "COM3__\x7f\x80"},
        {"COM" + std::string(247, '9'), "COM" + std::string(61, '9'), "COM" + std::string(61, '9')},
    };
    const bool win32 = platform::PathSeparator() == '\\';
    for (const PortPartCase& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(FileNamePortPart(c.port), win32 ? c.win32 : c.posix);
    }
}

TEST_F(RunLifecycleTest, LogNameAlreadyTakenGetsANumber) {
    RunState.ExeDir = TestExeDir();
    RunState.PortName = "COM3";
    const std::vector<std::string> runs[] = {{"first run"}, {"second run"}, {"third run"}};
    for (const auto& lines : runs) {
        SetLog(lines);
        form->SaveRunLog(0);
    }
    const std::string base = InExeDir({"LogFileS", "ZQ_COM3_OK_2024_01_31_12_34_56"});
    EXPECT_EQ(ReadFile(base + ".log"), "first run\r\n");
    EXPECT_EQ(ReadFile(base + "_2.log"), "second run\r\n");
    EXPECT_EQ(ReadFile(base + "_3.log"), "third run\r\n");
    EXPECT_EQ(LogFiles().size(), 3u);
}

TEST_F(RunLifecycleTest, ReportFileIsOverwritten) {
    std::ofstream(TestExeDir() + "RptZq_COM3.Txt") << "an older and much longer report\r\n";
    RunState.ExeDir = TestExeDir();
    RunState.PortName = "COM3";
    RunState.RunFinished = true;
    SetLog({"new"});
    form->Timer1Timer();
    EXPECT_EQ(ReadFile(TestExeDir() + "RptZq_COM3.Txt"), "new\r\n");
}

TEST_F(RunLifecycleTest, UnwritableDirectoryStillEndsTheRun) {
    form->ExeDirectory = [] { return InExeDir({"missing", "dir", ""}); };
    Start({"-COM=3", "-DOPROGA"});
    EXPECT_EQ(TickUntilClosed(400), 300);
    EXPECT_TRUE(form->Closed());
    EXPECT_FALSE(fs::exists(TestExeDir() + "missing"));
}

TEST_F(RunLifecycleTest, ExistingLogDirectoryIsReused) {
    fs::create_directory(TestExeDir() + "LogFileS");
    std::ofstream(InExeDir({"LogFileS", "other.log"})) << "x";
    Start({});
    TickUntilClosed(2);
    EXPECT_EQ(LogFiles().size(), 2u);
}

int gDateFailures = 0;  // ShortDateText throws this many times; -1: every time

std::string FailingDate() {
    if (gDateFailures != 0) {
        if (gDateFailures > 0)
            --gDateFailures;
        throw std::bad_alloc();
    }
    return kDate;
}

struct FailureCase {
    const char* name;
    std::function<void()> provoke;  // makes one of the window's handlers fail
    std::string line;
    bool logWritten;
};

TEST_F(RunLifecycleTest, HandlerFailureEndsTheRunNgWithOneLineInBothFiles) {
    const std::string outOfMemory = Stamped("CML: Tester Failure: Out of Memory!");
    const FailureCase cases[] = {
        {"receive, with no memory left",
         [&] {
             fake->onSend = [] {
                 gFailAllocations = true;
                 throw std::bad_alloc();
             };
             Feed(Frame(Status(0xF0, 0x86, 0, 0)));  // the retry's reset fails
             gFailAllocations = false;
             fake->onSend = nullptr;
         },
         outOfMemory, true},
        {"timer",
         [&] {
             Feed(Frame(Status(0xF0, 0x86, 0, 0)));
             Feed(Frame({0xFA, 'W', 'D', 'I', 0, 0, 0, 0}));
             fake->onSend = [] { throw std::runtime_error("send"); };
             for (int tick = 0; tick < 20; ++tick) form->Timer1Timer();  // the re-send fails
         },
         Stamped("CML: Tester Failure: Internal Error!"), true},
        {"close, once", [] { gDateFailures = 1; }, outOfMemory, true},
        {"close, every time", [] { gDateFailures = -1; }, outOfMemory, false},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(TestExeDir() + "LogFileS");
        NewForm();
        int closedCalls = 0;
        form->OnClosed = [&closedCalls] { ++closedCalls; };
        form->ShortDateText = FailingDate;
        Start({"-COM=3", "-DOPROGA"});
        c.provoke();
        Feed(Frame(Status(0xF0, 0x06, 0, 0)));  // success, unless the tester failed before
        TickUntilClosed(5);
        gDateFailures = 0;

        EXPECT_EQ(closedCalls, 1);
        EXPECT_EQ(RunState.RunResult, 64);
        EXPECT_EQ(std::count(Log().begin(), Log().end(), c.line), 1);
        EXPECT_EQ(Log().back(), c.line);
        EXPECT_EQ(ReadFile(TestExeDir() + "RptZq_COM3.Txt"), Joined(Log()));
        const std::vector<std::string> logs{"ZQ_COM3_NG_2024_01_31_12_34_56.log"};
        EXPECT_EQ(LogFiles(), c.logWritten ? logs : std::vector<std::string>{});
        if (c.logWritten) {
            EXPECT_EQ(ReadFile(InExeDir({"LogFileS", logs[0]})), Joined(Log()));
        }
    }
}

TEST_F(RunLifecycleTest, InitRunClosesAPortLeftOpenAndResetsTheRun) {
    fake->handle = 9;
    RunState.RetryStarted = true;
    RunState.RetryCountdown = 7;
    RunState.TraceMode = true;
    RunState.TimeoutReload = 5;
    Link.RxCount = 40;
    Start({"-DORESET", "-DOCHECK"});
    EXPECT_EQ(fake->closeCalls, 1);
    EXPECT_FALSE(RunState.RetryStarted);
    EXPECT_EQ(RunState.RetryCountdown, 0);
    EXPECT_FALSE(RunState.TraceMode);
    EXPECT_EQ(RunState.TimeoutReload, 2000);
    EXPECT_EQ(RunState.TimeoutCountdown, 300);
    EXPECT_EQ(Link.RxCount, 0);
    EXPECT_EQ(RunState.RunResult, 255);
}

TEST_F(RunLifecycleTest, RetryCountdownOnlyRunsWhileRetryStarted) {
    Start({"-COM=3", "-DOPROGA"});
    fake->sent.clear();
    RunState.RetryCountdown = 2;  // without RetryStarted nothing counts
    for (int i = 0; i < 5; ++i) form->Timer1Timer();
    EXPECT_EQ(RunState.RetryCountdown, 2);
    EXPECT_TRUE(fake->sent.empty());
    RunState.RetryStarted = true;
    form->Timer1Timer();
    form->Timer1Timer();
    EXPECT_EQ(fake->sent.size(), 1u);
    EXPECT_TRUE(Log().size() == 2u);  // the timer's re-send adds no line
}

}  // namespace
