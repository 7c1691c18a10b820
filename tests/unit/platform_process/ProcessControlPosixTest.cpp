// What only a POSIX system shows of process control and the station services: the permission
// bits, the process group a program and what it starts run in, the signal state a program starts
// with, caught interrupts, locks between processes, ports reached through links and
// pseudo-terminals, and the terminal. Whatever changes signal dispositions runs in a forked copy
// of this test program, so the test program's own stay as they were.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "ProcessControl.h"
#include "ProcessProbe.h"
#include "StationServices.h"
#include "TemporaryDirectory.h"

namespace {

namespace fs = std::filesystem;
using platform::ChildProcess;
using platform::FileLock;
using platform::LockOutcome;
using platform::ProcessEnd;

std::string ChildProgram() {
    return platform::ExeDirectory() + "zq_process_child";
}

// Text as one word of a /bin/sh command line.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string ReadToEnd(int fd) {
    std::string bytes;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

// Ends a forked copy of this program and collects it.
void EndForked(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Runs body in a forked copy of this test program and returns what it returned; a copy that did
// not end on its own (a signal, a minute's alarm, an exception) is told as such instead.
std::string InChild(const std::function<std::string()>& body) {
    int ends[2];
    if (pipe(ends) != 0)
        return "no pipe";
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return "no fork";
    if (pid == 0) {
        close(ends[0]);
        signal(SIGALRM, SIG_DFL);
        alarm(60);
        WriteAll(ends[1], body());
        _exit(0);
    }
    close(ends[1]);
    const std::string result = ReadToEnd(ends[0]);
    close(ends[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return "ended by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "ended with status " + std::to_string(WEXITSTATUS(status));
    return result;
}

// The signals whose state the tests set and look at.
const std::vector<int> kWatched = {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGUSR1, SIGUSR2};

// A forked copy's watched signals as if it had been started plainly: default, none blocked.
void PlainSignalStart() {
    for (const int s : kWatched) signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void Ignore(const std::vector<int>& signals) {
    for (const int s : signals) signal(s, SIG_IGN);
}

void Block(const std::vector<int>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : signals) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

// The watched signals listed after "label:" in a report of the child program's signals mode;
// {-1} when the report has no such line.
std::set<int> Listed(const std::string& report, const std::string& label) {
    const std::size_t at = report.find(label + ":");
    if (at == std::string::npos)
        return {-1};
    const std::size_t from = at + label.size() + 1;
    std::istringstream line(report.substr(from, report.find('\n', from) - from));
    std::set<int> numbers;
    for (int n = 0; line >> n;)
        if (std::find(kWatched.begin(), kWatched.end(), n) != kWatched.end())
            numbers.insert(n);
    return numbers;
}

using ProcessControlPosixTest = TemporaryDirectoryTest;

TEST_F(ProcessControlPosixTest, FileWithoutRunPermissionIsRefused) {
    const std::string path = At("not-runnable");
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_FALSE(platform::IsRunnableFile(path));
    ChildProcess process;
    std::string error;
    EXPECT_FALSE(platform::StartProcess(path, {path}, "", process, error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------------
// The process group: a wrapper script (/bin/sh here) and what it started end together.

TEST_F(ProcessControlPosixTest, ProgramAndWhatItStartedEndAsOneGroup) {
    enum class Ending { Killed, ByItself };
    struct Case {
        const char* name;
        std::string script;  // writes the process id of what it started to the file P
        Ending ending;
        bool exited;
        int exitStatus;
        int signal;
    };
    const std::string pidFile = At("started.pid");
    const std::string p = Quoted(pidFile);
    const std::string background = "sleep 30 & echo $! > " + p + ".tmp && mv " + p + ".tmp " + p;
    const Case cases[] = {
        {"killed while its background job runs", background + "; wait", Ending::Killed, false, 0,
         SIGKILL},
        {"killed while the program it waits for runs",
         Quoted(ChildProgram()) + " sleep 60000 " + p + "; exit 3", Ending::Killed, false, 0,
         SIGKILL},
        {"ended leaving a background job", background, Ending::ByItself, true, 0, 0},
        {"ended with a status leaving a background job", background + "; exit 9", Ending::ByItself,
         true, 9, 0},
        {"ended by a signal leaving a background job", background + "; kill -KILL $$",
         Ending::ByItself, false, 0, SIGKILL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(pidFile);
        ChildProcess process;
        std::string error;
        ASSERT_TRUE(platform::StartProcess("/bin/sh", {"sh", "-c", c.script}, "", process, error))
            << error;
        const ChildProcess before = process;
        const auto pid = static_cast<pid_t>(process.id);
        ASSERT_TRUE(Within(30000, [&] { return fs::exists(pidFile); }));
        const pid_t started = static_cast<pid_t>(std::stol(ReadFile(pidFile)));
        // One group, the program's own, apart from this program's. The program may have ended
        // by now, but is not collected yet and so still holds the group.
        EXPECT_EQ(getpgid(pid), pid);
        EXPECT_NE(getpgrp(), pid);
        EXPECT_EQ(getpgid(started), pid);

        ProcessEnd end;
        if (c.ending == Ending::Killed) {
            EXPECT_FALSE(platform::ProcessEnded(process, end));
            platform::KillProcess(process, end);
            EXPECT_TRUE(end.killed);
        } else {
            EXPECT_TRUE(Within(30000, [&] { return platform::ProcessEnded(process, end); }));
            EXPECT_FALSE(end.killed);
        }
        EXPECT_EQ(end.exited, c.exited);
        if (c.exited) {
            EXPECT_EQ(end.exitStatus, c.exitStatus);
        } else {
            EXPECT_EQ(end.signal, c.signal);
        }
        EXPECT_EQ(process.id, 0);
        EXPECT_TRUE(NothingHeldFor(before));
        // What it started sleeps for far longer: only the end of the group ends it this soon.
        EXPECT_TRUE(Within(10000, [&] { return !ProcessRunning(started); }));
        if (ProcessRunning(started))
            kill(started, SIGKILL);
    }
}

// ---------------------------------------------------------------------------------------------
// The signal state a started program gets: that of this process's start.

TEST_F(ProcessControlPosixTest, ProgramStartsWithTheSignalStateOfTheStart) {
    struct Case {
        const char* name;
        std::vector<int> ignoredAtStart;
        std::vector<int> blockedAtStart;
        int installs;  // InstallInterruptHandlers calls
        std::vector<int> ignoredLater;
        std::vector<int> blockedLater;
        std::set<int> ignored;  // in the started program, of the watched signals
        std::set<int> blocked;
    };
    const Case cases[] = {
        {"plain start: default although this process ignores SIGPIPE", {}, {}, 1, {}, {}, {}, {}},
        {"started under nohup", {SIGHUP}, {}, 1, {}, {}, {SIGHUP}, {}},
        {"started in the background", {SIGINT, SIGHUP}, {}, 1, {}, {}, {SIGINT, SIGHUP}, {}},
        {"started with SIGPIPE ignored", {SIGPIPE}, {}, 1, {}, {}, {SIGPIPE}, {}},
        {"all four ignored at start",
         {SIGHUP, SIGINT, SIGTERM, SIGPIPE},
         {},
         1,
         {},
         {},
         {SIGHUP, SIGINT, SIGTERM, SIGPIPE},
         {}},
        {"ignored after the start: default again", {}, {}, 1, {SIGUSR1, SIGTERM}, {}, {}, {}},
        {"the mask of the start, not a later one",
         {},
         {SIGUSR1},
         1,
         {},
         {SIGUSR2, SIGTERM},
         {},
         {SIGUSR1}},
        {"installed twice: still the start state",
         {SIGHUP},
         {SIGUSR2},
         2,
         {},
         {},
         {SIGHUP},
         {SIGUSR2}},
        {"never installed: as inherited",
         {SIGUSR2},
         {},
         0,
         {SIGPIPE, SIGUSR1},
         {SIGUSR2},
         {SIGPIPE, SIGUSR1, SIGUSR2},
         {SIGUSR2}},
    };
    const std::string reportFile = At("signals.txt");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(reportFile);
        const std::string report = InChild([&]() -> std::string {
            PlainSignalStart();
            Ignore(c.ignoredAtStart);
            Block(c.blockedAtStart);
            for (int i = 0; i < c.installs; ++i) platform::InstallInterruptHandlers();
            Ignore(c.ignoredLater);
            Block(c.blockedLater);
            ChildProcess process;
            std::string error;
            if (!platform::StartProcess(ChildProgram(), {"child", "signals", reportFile}, "",
                                        process, error))
                return error;
            ProcessEnd end;
            while (!platform::ProcessEnded(process, end)) usleep(2000);
            return ReadFile(reportFile);
        });
        EXPECT_EQ(Listed(report, "ignored"), c.ignored) << report;
        EXPECT_EQ(Listed(report, "blocked"), c.blocked) << report;
    }
}

// ---------------------------------------------------------------------------------------------
// Interrupts.

TEST(StationServicesPosix, InterruptsAreNotedNotObeyed) {
    struct Case {
        const char* name;
        std::vector<int> ignoredAtStart;
        std::vector<int> raised;
        std::string noted;  // "pending count"
    };
    const Case cases[] = {
        {"none", {}, {}, "0 0"},
        {"SIGTERM", {}, {SIGTERM}, "15 1"},
        {"SIGINT", {}, {SIGINT}, "2 1"},
        {"SIGHUP", {}, {SIGHUP}, "1 1"},
        {"the first one stays, all are counted", {}, {SIGTERM, SIGINT, SIGHUP}, "15 3"},
        {"SIGHUP ignored at start stays ignored", {SIGHUP}, {SIGHUP}, "0 0"},
        {"SIGINT ignored at start, SIGTERM caught", {SIGINT}, {SIGINT, SIGTERM}, "15 1"},
        {"SIGPIPE is ignored", {}, {SIGPIPE}, "0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string noted = InChild([&] {
            PlainSignalStart();
            Ignore(c.ignoredAtStart);
            const std::string before = std::to_string(platform::PendingInterrupt()) + " " +
                                       std::to_string(platform::InterruptCount());
            platform::InstallInterruptHandlers();
            for (const int s : c.raised) raise(s);
            platform::InterruptHandled();
            const std::string after = std::to_string(platform::PendingInterrupt()) + " " +
                                      std::to_string(platform::InterruptCount());
            return before == "0 0" ? after : "before any: " + before;
        });
        EXPECT_EQ(noted, c.noted);
    }
}

TEST(StationServicesPosix, InterruptWakesABlockingWait) {
    int report[2];
    int never[2];  // written by no one: a read of it waits until a signal breaks it off
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(never), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(report[0]);
        signal(SIGALRM, SIG_DFL);
        alarm(60);
        PlainSignalStart();
        platform::InstallInterruptHandlers();
        WriteAll(report[1], "ready\n");
        char byte = 0;
        const ssize_t got = read(never[0], &byte, 1);
        const bool woken = got < 0 && errno == EINTR;
        WriteAll(report[1], std::string(woken ? "woken " : "not woken ") +
                                std::to_string(platform::PendingInterrupt()));
        _exit(0);
    }
    close(report[1]);
    close(never[0]);
    char ready[6] = {};
    ASSERT_EQ(read(report[0], ready, sizeof ready), static_cast<ssize_t>(sizeof ready));
    // Again and again: the first may come before the read has begun.
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        kill(pid, SIGTERM);
        pollfd look{report[0], POLLIN, 0};
        answered = poll(&look, 1, 100) == 1;
    }
    if (!answered)
        kill(pid, SIGKILL);
    const std::string result = ReadToEnd(report[0]);
    close(report[0]);
    close(never[1]);
    EndForked(pid);
    EXPECT_EQ(result, "woken 15");
}

// ---------------------------------------------------------------------------------------------
// Locks between processes.

TEST_F(ProcessControlPosixTest, LockHeldByAnotherProcessIsBusyUntilItDies) {
    const std::string path = At("station.lock");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(ready[0]);
        signal(SIGALRM, SIG_DFL);
        alarm(60);
        FileLock lock = platform::kNoFileLock;
        std::string error;
        const bool taken = platform::TryLockFile(path, lock, error) == LockOutcome::Taken;
        WriteAll(ready[1], taken ? "T" : "F");
        for (;;) pause();
    }
    close(ready[1]);
    char taken = 0;  // the holder keeps its end open: one byte, not to the end
    while (read(ready[0], &taken, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    if (taken != 'T')
        EndForked(holder);
    ASSERT_EQ(taken, 'T');

    FileLock lock = platform::kNoFileLock;
    std::string error;
    EXPECT_EQ(platform::TryLockFile(path, lock, error), LockOutcome::Busy);
    EXPECT_EQ(lock, platform::kNoFileLock);
    EndForked(holder);  // killed: the system lets go of its lock
    EXPECT_EQ(platform::TryLockFile(path, lock, error), LockOutcome::Taken) << error;
    platform::ReleaseFileLock(lock);
}

TEST_F(ProcessControlPosixTest, LockDoesNotPassToStartedPrograms) {
    const std::string path = At("station.lock");
    FileLock lock = platform::kNoFileLock;
    std::string error;
    ASSERT_EQ(platform::TryLockFile(path, lock, error), LockOutcome::Taken) << error;
    const std::string pidFile = At("sleeper.pid");
    ChildProcess process;
    ASSERT_TRUE(platform::StartProcess(ChildProgram(), {"child", "sleep", "60000", pidFile}, "",
                                       process, error))
        << error;
    ASSERT_TRUE(Within(30000, [&] { return fs::exists(pidFile); }));  // it runs the program
    platform::ReleaseFileLock(lock);
    // Free again at once: a copy in the running program would still hold it.
    FileLock again = platform::kNoFileLock;
    EXPECT_EQ(platform::TryLockFile(path, again, error), LockOutcome::Taken) << error;
    platform::ReleaseFileLock(again);
    ProcessEnd end;
    platform::KillProcess(process, end);
}

TEST_F(ProcessControlPosixTest, LockFailureNamesThePathAndTheReason) {
    struct Case {
        const char* name;
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {"missing directory", At("missing/station.lock"), "No such file or directory"},
        {"a directory", dir.string(), "Is a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileLock lock = platform::kNoFileLock;
        std::string error;
        EXPECT_EQ(platform::TryLockFile(c.path, lock, error), LockOutcome::Failed);
        EXPECT_EQ(lock, platform::kNoFileLock);
        EXPECT_EQ(error, "cannot lock " + c.path + ": " + c.reason);
    }
}

// Turns the immutable flag of a directory on or off: the only stop root's writes know. False when
// the file system or the process's privileges do not allow it.
bool SetImmutable(const std::string& directory, bool immutable) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

TEST_F(ProcessControlPosixTest, DirectoryThisUserCannotWriteToIsNotWritable) {
    const std::string station = At("station");
    ASSERT_EQ(mkdir(station.c_str(), 0755), 0);
    // (what is done to the directory, whether it is writable then)
    struct Case {
        const char* name;
        std::function<bool()> make;
        bool writable;
    };
    const bool root = geteuid() == 0;
    const Case cases[] = {
        {"rwx for its owner", [&] { return chmod(station.c_str(), 0755) == 0; }, true},
        {"no write permission",
         [&] { return root ? SetImmutable(station, true) : chmod(station.c_str(), 0555) == 0; },
         false},
        {"write permission again",
         [&] { return root ? SetImmutable(station, false) : chmod(station.c_str(), 0755) == 0; },
         true},
        {"write but no search permission",
         [&] { return !root && chmod(station.c_str(), 0666) == 0; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.make()) {
            // Root writes and searches through permissions; only the immutable flag stops it.
            std::printf("skipped: %s: cannot be set up for %s here\n", c.name,
                        root ? "root" : "this user");
            continue;
        }
        EXPECT_EQ(platform::DirectoryWritable(station), c.writable);
    }
    SetImmutable(station, false);
    chmod(station.c_str(), 0755);
}

// ---------------------------------------------------------------------------------------------
// Serial ports reached through dosdevices links and pseudo-terminals.

// A pseudo-terminal pair: the far side (master) stays open, the port side is a path.
struct PseudoTerminal {
    int master = -1;
    std::string port;
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
            ptsname(master) != nullptr)
            port = ptsname(master);
    }
    ~PseudoTerminal() {
        if (master >= 0)
            close(master);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
};

class SerialPortsPosixTest : public TemporaryDirectoryTest {
  protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        if (freePort.port.empty() || heldPort.port.empty())
            GTEST_SKIP() << "skipped: no pseudo-terminals to stand in for serial ports";
        holder = open(heldPort.port.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // as a tester holds its port

        station = dir.string() + "/";
        const fs::path links = dir / "dosdevices";
        fs::create_directory(links);
        std::ofstream(At("plain.txt")) << "not a port\n";
        std::ofstream(At("locked.txt")) << "no access\n";
        ASSERT_EQ(chmod(At("locked.txt").c_str(), 0), 0);
        std::ofstream(links / "com3") << "a file in place of a link\n";
        fs::create_symlink(At("absent"), links / "com1");
        fs::create_symlink(At("plain.txt"), links / "com2");
        fs::create_symlink("/dev/null", links / "com4");
        fs::create_symlink(dir, links / "com5");
        fs::create_symlink(heldPort.port, links / "com6");
        fs::create_symlink(freePort.port, links / "com7");
        fs::create_symlink(At("locked.txt"), links / "com8");
        fs::create_symlink("com1", links / "com9");  // a link to a link that leads nowhere
        fs::create_symlink("gone", links / "com10");
        fs::create_symlink(At("alias"), links / "com11");
        fs::create_symlink("plain.txt", dir / "alias");
    }
    void TearDown() override {
        if (holder >= 0)
            close(holder);
        TemporaryDirectoryTest::TearDown();
    }

    PseudoTerminal freePort;
    PseudoTerminal heldPort;
    int holder = -1;
    std::string station;
};

TEST_F(SerialPortsPosixTest, PortLeadsToTheEndOfItsLinks) {
    struct Case {
        const char* port;
        std::string target;
    };
    const std::string links = fs::canonical(dir / "dosdevices").string();
    const std::string plain = fs::canonical(At("plain.txt")).string();
    const Case cases[] = {
        {"COM12", "/dev/ttyS11"},  // no link: the system's device
        {"com20", "/dev/ttyS19"},
        {"COM1", At("absent")},      // leads nowhere: where it points
        {"COM9", At("absent")},      // through a second link
        {"COM10", links + "/gone"},  // relative to the link's directory
        {"COM2", plain},
        {"COM11", plain},           // through a second link
        {"COM3", links + "/com3"},  // no link at all
        {"COM4", "/dev/null"},
        {"COM7", fs::canonical(freePort.port).string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(platform::SerialDeviceTarget(c.port, station), c.target);
    }
}

TEST_F(SerialPortsPosixTest, OpenProblemIsToldInOneShortLine) {
    struct Case {
        const char* port;
        bool unprivileged;  // root opens whatever the permission bits say
        std::string problem;
    };
    const Case cases[] = {
        {"COM1", false, "does not exist"},
        {"COM9", false, "does not exist"},
        {"COM999999", false, "does not exist"},  // no link and no such system device
        {"LPT1", false, "does not exist"},
        {"COM2", false, "is not a serial device"},
        {"COM3", false, "is not a serial device"},
        {"COM4", false, "is not a serial device"},
        {"COM5", false, "Is a directory"},
        {"COM6", false, "in use"},
        {"COM7", false, ""},
        {"COM7", false, ""},  // the look took nothing with it
        {"COM8", true, "Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        std::string problem;
        if (c.unprivileged && geteuid() == 0) {
            problem = InChild([&]() -> std::string {
                constexpr gid_t kNobodyGroup = 65534;
                constexpr uid_t kNobody = 65534;
                if (setgroups(0, nullptr) != 0 || setgid(kNobodyGroup) != 0 || setuid(kNobody) != 0)
                    return "cannot give up root";
                return platform::SerialPortOpenProblem(c.port, station, 1000000);
            });
        } else {
            problem = platform::SerialPortOpenProblem(c.port, station, 1000000);
        }
        EXPECT_EQ(problem, c.problem);
    }
    // The tester's hold on its port outlasts the look.
    EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), -1);
}

// ---------------------------------------------------------------------------------------------
// Terminal.

TEST(StationServicesPosix, TerminalSizeIsReadFromStandardOutput) {
    PseudoTerminal terminal;
    if (terminal.port.empty())
        GTEST_SKIP() << "skipped: no pseudo-terminal to stand in for the operator's terminal";
    const int port = open(terminal.port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    struct Case {
        const char* name;
        bool onTerminal;
        unsigned short rows;
        unsigned short columns;
        bool known;
    };
    const Case cases[] = {
        {"40 by 132", true, 40, 132, true},  {"resized to 25 by 80", true, 25, 80, true},
        {"size not set", true, 0, 0, false}, {"no columns", true, 24, 0, false},
        {"a pipe", false, 40, 132, false},
    };
    std::fflush(stdout);
    const int savedOutput = dup(STDOUT_FILENO);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        winsize size{};
        size.ws_row = c.rows;
        size.ws_col = c.columns;
        ASSERT_EQ(ioctl(port, TIOCSWINSZ, &size), 0);
        dup2(c.onTerminal ? port : pipeEnds[1], STDOUT_FILENO);
        unsigned rows = 7;
        unsigned columns = 7;
        const bool known = platform::TerminalSize(rows, columns);
        dup2(savedOutput, STDOUT_FILENO);
        EXPECT_EQ(known, c.known);
        if (c.known) {
            EXPECT_EQ(rows, c.rows);
            EXPECT_EQ(columns, c.columns);
        }
    }
    close(savedOutput);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    close(port);
}

TEST(StationServicesPosix, LiveTerminalNeedsATerminalThatTakesCursorMoves) {
    PseudoTerminal terminal;
    if (terminal.port.empty())
        GTEST_SKIP() << "skipped: no pseudo-terminal to stand in for the operator's terminal";
    const int port = open(terminal.port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
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
    const Case cases[] = {{true, "xterm-256color", true},
                          {true, "dumb", false},
                          {true, "", false},
                          {true, nullptr, false},
                          {false, "xterm", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.onTerminal ? "terminal, TERM=" : "pipe, TERM=") +
                     (c.term != nullptr ? c.term : "(unset)"));
        if (c.term != nullptr)
            setenv("TERM", c.term, 1);
        else
            unsetenv("TERM");
        std::fflush(stdout);
        dup2(c.onTerminal ? port : pipeEnds[1], STDOUT_FILENO);
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
    close(port);
}

// ---------------------------------------------------------------------------------------------
// Code page 936, where the system's converter decides how much of a broken sequence is lost.

TEST(StationServicesPosix, BrokenCp936SequencesLoseOneByteEach) {
    struct Case {
        const char* name;
        std::string cp936;
        std::string utf8;
    };
    const std::string bad = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"lead byte before ASCII", "\x81 ok", bad + " ok"},
        {"lead byte before DEL", "\x81\x7F", bad + "\x7F"},
        {"lead byte before 0xFF", "\x81\xFF", bad + bad},
        {"four-byte GB18030 form", "\x81\x30\x81\x30", bad + "0" + bad + "0"},
        {"0xFF before a character", "\xFF\xB4\xF2", bad + "\xE6\x89\x93"},  // 打
        {"0x80 before a character", "\x80\xA3\xBA", bad + "\xEF\xBC\x9A"},  // ：
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(platform::Cp936ToUtf8(c.cp936), c.utf8);
    }
}

}  // namespace

namespace {

// What a directory watch reports: names placed every way a tester or a script places a file, and
// nothing of a subdirectory's content; names and order as they appeared.
TEST_F(ProcessControlPosixTest, DirectoryWatchTellsTheNamesThatAppear) {
#if defined(__linux__)
    const fs::path logs = dir / "LogFileS";
    fs::create_directory(logs);
    fs::create_directory(logs / "sub");
    std::ofstream(dir / "outside.tmp") << "x";
    const platform::DirectoryWatch watch = platform::WatchDirectory(logs.string());
    ASSERT_NE(watch, platform::kNoDirectoryWatch);
    std::ofstream(logs / "ZQ_COM3_OK_1.log") << "created";
    ASSERT_EQ(link((logs / "ZQ_COM3_OK_1.log").c_str(), (logs / "ZQ_COM4_NG_1.log").c_str()), 0);
    fs::rename(dir / "outside.tmp", logs / "ZQ_COM5_OK_1.log");
    std::ofstream(logs / "sub" / "not-seen.log") << "x";
    std::vector<std::string> names;
    EXPECT_TRUE(platform::TakeNewNames(watch, names));
    EXPECT_EQ(names, (std::vector<std::string>{"ZQ_COM3_OK_1.log", "ZQ_COM4_NG_1.log",
                                               "ZQ_COM5_OK_1.log"}));
    // Taken once: the next call tells only what came since.
    names.clear();
    std::ofstream(logs / "ZQ_COM3_OK_2.log") << "x";
    EXPECT_TRUE(platform::TakeNewNames(watch, names));
    EXPECT_EQ(names, (std::vector<std::string>{"ZQ_COM3_OK_2.log"}));
    // The directory itself going away leaves nothing the watch could tell reliably.
    fs::remove_all(logs);
    names.clear();
    EXPECT_FALSE(platform::TakeNewNames(watch, names));
    platform::EndDirectoryWatch(watch);
    EXPECT_EQ(platform::WatchDirectory((dir / "no-such").string()), platform::kNoDirectoryWatch);
#else
    GTEST_SKIP() << "no directory watch on this system: callers read the directory";
#endif
}

}  // namespace
