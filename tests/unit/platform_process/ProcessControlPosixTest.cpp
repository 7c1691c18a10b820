// What only a POSIX system shows of process control: the permission bits, the signal state a
// program starts with, and the terminal check.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "Platform.h"
#include "ProcessControl.h"
#include "TemporaryDirectory.h"

namespace {

std::string ChildProgram() {
    return platform::ExeDirectory() + "zq_process_child";
}

using ProcessControlPosixTest = TemporaryDirectoryTest;

TEST_F(ProcessControlPosixTest, FileWithoutRunPermissionIsRefused) {
    const std::string path = At("not-runnable");
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_FALSE(platform::IsRunnableFile(path));
    platform::ChildProcess process;
    std::string error;
    EXPECT_FALSE(platform::StartProcess(path, {path}, "", process, error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

// Bit of a signal in a /proc/<pid>/status mask line such as "SigIgn:\t0000000000001000".
bool InMask(const std::string& status, const std::string& field, int signalNumber) {
    const std::size_t at = status.find(field + ":\t");
    if (at == std::string::npos)
        return true;
    const unsigned long long mask = std::stoull(status.substr(at + field.size() + 2, 16), nullptr, 16);
    return ((mask >> (signalNumber - 1)) & 1u) != 0;
}

TEST_F(ProcessControlPosixTest, ProgramStartsWithDefaultSignalsWhateverTheCallerSet) {
    if (!std::ifstream("/proc/self/status"))
        GTEST_SKIP() << "skipped: no /proc/<pid>/status to read a program's signal state from";
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldPipe {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    sigset_t term, oldMask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &oldMask), 0);

    platform::ChildProcess process;
    std::string error;
    const bool started =
        platform::StartProcess(ChildProgram(), {"child", "sleep", "60000"}, "", process, error);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ASSERT_TRUE(started) << error;

    // The program's own state, once it runs the child's code (its name changes at exec).
    const std::string proc = "/proc/" + std::to_string(process.id) + "/status";
    std::string status;
    for (int i = 0; i < 2000 && status.find("zq_process_chil") == std::string::npos; ++i) {
        usleep(5000);
        status = ReadFile(proc);
    }
    platform::ProcessEnd end;
    platform::KillProcess(process, end);
    EXPECT_FALSE(InMask(status, "SigIgn", SIGPIPE)) << status;
    EXPECT_FALSE(InMask(status, "SigBlk", SIGTERM)) << status;
}

TEST_F(ProcessControlPosixTest, LiveTerminalNeedsATerminalThatTakesCursorMoves) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "skipped: no pseudo-terminal to stand in for the operator's terminal";
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int savedOutput = dup(STDOUT_FILENO);
    const char* savedTerm = getenv("TERM");
    const std::string oldTerm = savedTerm != nullptr ? savedTerm : "";

    struct Case {
        bool onTerminal;
        const char* term;  // null: unset
        bool live;
    };
    const Case cases[] = {{true, "xterm-256color", true}, {true, "dumb", false},
                          {true, "", false},             {true, nullptr, false},
                          {false, "xterm", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.onTerminal ? "terminal, TERM=" : "pipe, TERM=") +
                     (c.term != nullptr ? c.term : "(unset)"));
        if (c.term != nullptr)
            setenv("TERM", c.term, 1);
        else
            unsetenv("TERM");
        dup2(c.onTerminal ? terminal : pipeEnds[1], STDOUT_FILENO);
        const bool live = platform::StandardOutputIsLiveTerminal();
        dup2(savedOutput, STDOUT_FILENO);
        EXPECT_EQ(live, c.live);
    }
    if (savedTerm != nullptr)
        setenv("TERM", oldTerm.c_str(), 1);
    else
        unsetenv("TERM");
    close(savedOutput);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    close(terminal);
    close(master);
}

}  // namespace
