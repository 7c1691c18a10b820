// Starting, watching and ending programs as a gang runner does, with a small child program in
// place of the tester.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "ProcessControl.h"
#include "ProcessProbe.h"
#include "TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using platform::ChildProcess;
using platform::ProcessEnd;

std::string ChildProgram() {
    return platform::ExeDirectory() + "zq_process_child" + platform::ProgramSuffix();
}

class ProcessControlTest : public TemporaryDirectoryTest {
  protected:
    ChildProcess Start(const std::vector<std::string>& arguments, const std::string& directory = "") {
        ChildProcess process;
        std::string error;
        EXPECT_TRUE(platform::StartProcess(ChildProgram(), arguments, directory, process, error))
            << error;
        return process;
    }
    // The end of a program expected to end by itself, polled as the gang polls.
    static ProcessEnd EndOf(ChildProcess& process) {
        ProcessEnd end;
        if (!Within(30000, [&] { return platform::ProcessEnded(process, end); })) {
            ADD_FAILURE() << "the program did not end";
            platform::KillProcess(process, end);
        }
        EXPECT_EQ(process.id, 0);
        return end;
    }
    // The zero-ended fields of a record file.
    static std::vector<std::string> Fields(const std::string& bytes) {
        std::vector<std::string> fields;
        for (std::size_t start = 0, zero = 0; (zero = bytes.find('\0', start)) != std::string::npos;
             start = zero + 1)
            fields.push_back(bytes.substr(start, zero - start));
        return fields;
    }
};

TEST_F(ProcessControlTest, ArgumentsArriveExactlyAsGiven) {
    const std::vector<std::vector<std::string>> cases = {
        {"plain", "two words", "tab\there", "  "},
        {"", "x", "", ""},
        {"\"quoted\"", "a\"b", "\\\"", "a\\\\\"b", "\"\""},
        {"back\\slash", "trailing\\", "trailing two\\\\", "\\\\server\\share\\", "\\"},
        {"*", "?.txt", "%PATH%", "$HOME", "a&b|c", "\xB2\xE2"},
    };
    for (const std::vector<std::string>& given : cases) {
        SCOPED_TRACE(given.front());
        const std::string record = At("record.bin");
        std::vector<std::string> arguments = {"zq child 0", "record", record};
        arguments.insert(arguments.end(), given.begin(), given.end());
        ChildProcess process = Start(arguments);
        const ProcessEnd end = EndOf(process);
        EXPECT_TRUE(end.exited && end.exitStatus == 0);
        std::vector<std::string> fields = Fields(ReadFile(record));
        ASSERT_FALSE(fields.empty());
        fields.erase(fields.begin());  // the working directory
        EXPECT_EQ(fields, arguments);
        fs::remove(record);
    }
}

TEST_F(ProcessControlTest, WorkingDirectoryIsTheOneGiven) {
    const fs::path work = dir / "station 1";
    fs::create_directory(work);
    ChildProcess process = Start({ChildProgram(), "record", "here.bin"}, work.string());
    EXPECT_EQ(EndOf(process).exitStatus, 0);
    const std::vector<std::string> fields = Fields(ReadFile((work / "here.bin").string()));
    ASSERT_FALSE(fields.empty());
    EXPECT_TRUE(fs::equivalent(fields.front(), work)) << fields.front();
}

TEST_F(ProcessControlTest, EndsAreReportedAsTheyHappened) {
    struct Case {
        std::vector<std::string> arguments;
        bool exited;
        int exitStatus;
        bool crashed;
    };
    const Case cases[] = {
        {{"exit", "0"}, true, 0, false},
        {{"exit", "1"}, true, 1, false},
        {{"exit", "77"}, true, 77, false},
        {{"crash"}, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front());
        std::vector<std::string> arguments = {ChildProgram()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ChildProcess process = Start(arguments);
        const ProcessEnd end = EndOf(process);
        EXPECT_EQ(end.exited, c.exited);
        EXPECT_EQ(end.crashed, c.crashed);
        if (c.exited) {
            EXPECT_EQ(end.exitStatus, c.exitStatus);
        }
        EXPECT_FALSE(end.killed);
    }
}

TEST_F(ProcessControlTest, WhatCannotStartIsRefusedWithOneLineAndNoChild) {
    struct Case {
        const char* name;
        std::string program;
        std::string directory;
    };
    const Case cases[] = {
        {"no such program", At(std::string("missing") + platform::ProgramSuffix()), ""},
        {"no such directory", ChildProgram(), At("missing")},
        {"a directory as program", dir.string(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess process;
        std::string error;
        EXPECT_FALSE(platform::StartProcess(c.program, {c.program, "exit", "0"}, c.directory,
                                            process, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(process.id, 0);
        EXPECT_EQ(process.group, 0);
    }
}

TEST_F(ProcessControlTest, StandardInputReadsNothing) {
    const StandardInputHolding callerInput("abc");
    ChildProcess process = Start({ChildProgram(), "input", At("count.txt")});
    EXPECT_EQ(EndOf(process).exitStatus, 0);
    EXPECT_EQ(ReadFile(At("count.txt")), "0");
}

TEST_F(ProcessControlTest, SleepingProgramIsWatchedWithoutBlockingAndKilledAtOnce) {
    ChildProcess process = Start({ChildProgram(), "sleep", "60000"});
    const ChildProcess before = process;
    const long pid = SystemProcessId(process);
    ProcessEnd end;
    const std::uint64_t start = platform::MonotonicMilliseconds();
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(platform::ProcessEnded(process, end));
    platform::KillProcess(process, end);
    // Far below the minute it sleeps: neither the looks nor the kill waited for it.
    EXPECT_LT(platform::MonotonicMilliseconds() - start, 20000u);
    EXPECT_TRUE(end.killed);
    EXPECT_FALSE(end.exited);
    EXPECT_FALSE(end.crashed);
    EXPECT_EQ(process.id, 0);
    EXPECT_TRUE(NothingHeldFor(before));
    EXPECT_FALSE(ProcessRunning(pid));
}

TEST_F(ProcessControlTest, KillAfterItsOwnEndKeepsItsStatus) {
    ChildProcess process = Start({ChildProgram(), "exit", "77"});
    const long pid = SystemProcessId(process);
    ASSERT_TRUE(Within(30000, [&] { return !ProcessRunning(pid); }));
    ProcessEnd end;
    platform::KillProcess(process, end);
    EXPECT_TRUE(end.exited);
    EXPECT_EQ(end.exitStatus, 77);
    EXPECT_FALSE(end.killed);
    EXPECT_EQ(process.id, 0);
}

TEST_F(ProcessControlTest, SeveralProgramsRunSideBySide) {
    std::vector<ChildProcess> processes;
    for (int status = 10; status < 14; ++status)
        processes.push_back(Start({ChildProgram(), "exit", std::to_string(status)}));
    processes.push_back(Start({ChildProgram(), "sleep", "60000"}));
    std::vector<ProcessEnd> ends(processes.size());
    // One loop over all of them, as the gang polls: the four end, the sleeper does not.
    EXPECT_TRUE(Within(30000, [&] {
        bool all = true;
        for (std::size_t i = 0; i + 1 < processes.size(); ++i)
            if (processes[i].id != 0 && !platform::ProcessEnded(processes[i], ends[i]))
                all = false;
        return all;
    }));
    EXPECT_FALSE(platform::ProcessEnded(processes.back(), ends.back()));
    platform::KillProcess(processes.back(), ends.back());
    for (std::size_t i = 0; i + 1 < processes.size(); ++i)
        EXPECT_EQ(ends[i].exitStatus, 10 + static_cast<int>(i));
    EXPECT_TRUE(ends.back().killed);
}

TEST_F(ProcessControlTest, ProgramEndsWithItsStarter) {
    if (!SystemEndsProgramsWithStarter())
        GTEST_SKIP() << "skipped: this system does not end a program with its starter";
    const std::string pidFile = At("sleeper.pid");
    ChildProcess orphaner = Start({ChildProgram(), "orphan", pidFile});
    EXPECT_EQ(EndOf(orphaner).exitStatus, 0);
    ASSERT_TRUE(Within(30000, [&] { return fs::exists(pidFile); }));
    const long sleeper = std::stol(ReadFile(pidFile));
    EXPECT_TRUE(Within(10000, [&] { return !ProcessRunning(sleeper); }));
}

TEST_F(ProcessControlTest, RunnableFilesAreRegularFiles) {
    fs::create_directory(dir / "sub");
    EXPECT_TRUE(platform::IsRunnableFile(ChildProgram()));
    EXPECT_FALSE(platform::IsRunnableFile(At("sub")));
    EXPECT_FALSE(platform::IsRunnableFile(At("missing")));
}

}  // namespace
