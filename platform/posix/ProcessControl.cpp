// Running programs side by side on POSIX: fork and exec with the failure of the exec carried back
// over a close-on-exec pipe, each program in a process group of its own that is ended as a whole,
// non-blocking reaping, and the terminal checks of a live display.
//
// The process group is the unit of a started program: a wrapper script and the tester it runs
// share it, so one kill(-group) ends both, and the terminal's Ctrl-C (sent to the foreground
// group) reaches only this process, which then ends its programs itself. The group id is the
// program's process id, which stays reserved while the program is an uncollected zombie; the
// group is therefore always signalled before the program is reaped, never after.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ProcessControl.h"
#include "ProcessPosix.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not declared by every libc

namespace platform {
namespace {

// Where the child stopped on its way to the program, sent to the parent in place of the exec.
enum class StartStage : int { Group, Input, Directory, Program };

struct StartFailure {
    StartStage stage;
    int error;
};

void CloseQuietly(int fd) {
    if (fd >= 0)
        close(fd);
}

bool MakePipe(int fds[2]) {
#if defined(__linux__)
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    if (pipe(fds) != 0)
        return false;
    // Another thread that forks between pipe and fcntl would leak the ends into its child; the
    // callers start programs from one thread.
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

// Child side, between fork and exec: async-signal-safe calls only, nothing allocated.
[[noreturn]] void FailStart(int report, StartStage stage, int error) {
    const StartFailure failure{stage, error};
    while (write(report, &failure, sizeof failure) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// The signal state this process was started with, noted by InstallInterruptHandlers before it
// changes anything, so that started programs get it back. Written once, before the flag.
struct StartSignalState {
    sigset_t ignored;
    sigset_t mask;
};
StartSignalState startSignals;
std::atomic<bool> startSignalsNoted{false};

// Child side, between fork and exec: the dispositions and mask the program starts with. With the
// start state noted, a signal ignored then is ignored again, one ignored since (SIGPIPE) returns
// to its default, and the mask is the one of the start; caught signals return to their defaults
// at exec by themselves. Without it everything stays as inherited, ignored signals included.
void RestoreStartSignals(const StartSignalState* start) {
    if (start == nullptr)
        return;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber == SIGKILL || signalNumber == SIGSTOP)
            continue;
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) != 0)
            continue;  // a number the system reserves for itself
        const bool ignoredNow = current.sa_handler == SIG_IGN;
        const bool ignoredAtStart = sigismember(&start->ignored, signalNumber) == 1;
        if (ignoredNow == ignoredAtStart)
            continue;
        struct sigaction wanted {};
        wanted.sa_handler = ignoredAtStart ? SIG_IGN : SIG_DFL;
        sigemptyset(&wanted.sa_mask);
        sigaction(signalNumber, &wanted, nullptr);
    }
    // The child has one thread, so the process mask is its mask; sigprocmask is the call that
    // may be made between fork and exec.
    sigprocmask(SIG_SETMASK, &start->mask, nullptr);  // NOLINT(concurrency-mt-unsafe)
}

[[noreturn]] void RunChild(pid_t parent, int report, const char* program, char* const* argv,
                           char* const* envp, const char* directory,
                           const StartSignalState* start) {
    // A group of its own before anything else runs: the parent does the same, so neither order
    // of the two leaves a moment in which a kill of the group would miss the program.
    if (setpgid(0, 0) != 0)
        FailStart(report, StartStage::Group, errno);
#if defined(__linux__)
    // The program must not outlive the caller: a killed gang leaves no tester holding a port.
    // The parent may have died before the request took hold; then nobody waits for this child.
    // The signal follows the thread that forked, so programs are started from one that lives as
    // long as they may.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(127);
#else
    (void)parent;
#endif
    RestoreStartSignals(start);

    const int input = open("/dev/null", O_RDONLY);
    if (input < 0)
        FailStart(report, StartStage::Input, errno);
    if (input != STDIN_FILENO) {
        if (dup2(input, STDIN_FILENO) < 0)
            FailStart(report, StartStage::Input, errno);
        close(input);
    }
    if (directory[0] != '\0' && chdir(directory) != 0)
        FailStart(report, StartStage::Directory, errno);
    execve(program, argv, envp);
    FailStart(report, StartStage::Program, errno);
}

// Collects the end of a program known to have ended (a zombie): never blocks for long.
bool Reap(pid_t pid, int& status) {
    pid_t result = 0;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result == pid;
}

void FillEnd(int status, ProcessEnd& end) {
    end = ProcessEnd{};
    if (WIFEXITED(status)) {
        end.exited = true;
        end.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
        end.crashed = true;
    }
}

}  // namespace

namespace posix_process {

// strerror_r comes as the XSI variant (an int) or the GNU one (the text); both end here.
[[maybe_unused]] static const char* ErrorTextOf(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] static const char* ErrorTextOf(const char* result, const char*) {
    return result != nullptr ? result : "unknown error";
}

std::string ErrorText(int error) {
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(error, buffer, sizeof buffer), buffer);
}

void RecordStartSignalState() {
    if (startSignalsNoted.load(std::memory_order_acquire))
        return;
    sigemptyset(&startSignals.ignored);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            sigaddset(&startSignals.ignored, signalNumber);
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &startSignals.mask);
    startSignalsNoted.store(true, std::memory_order_release);
}

bool SignalIgnoredAtStart(int signalNumber) {
    if (startSignalsNoted.load(std::memory_order_acquire))
        return sigismember(&startSignals.ignored, signalNumber) == 1;
    struct sigaction current {};
    return sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace posix_process

using posix_process::ErrorText;

bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory, ChildProcess& process, std::string& error) {
    process = ChildProcess{};
    error.clear();
    if (program.empty()) {
        error = "no program given";
        return false;
    }
    // Everything the child needs is made here: after fork it may not allocate.
    std::vector<char*> argv;
    if (arguments.empty())
        argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int report[2] = {-1, -1};
    if (!MakePipe(report)) {
        error = "cannot start " + program + ": " + ErrorText(errno);
        return false;
    }
    const StartSignalState* start =
        startSignalsNoted.load(std::memory_order_acquire) ? &startSignals : nullptr;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int forkError = errno;
        CloseQuietly(report[0]);
        CloseQuietly(report[1]);
        error = "cannot start " + program + ": " + ErrorText(forkError);
        return false;
    }
    if (pid == 0) {
        close(report[0]);
        RunChild(parent, report[1], program.c_str(), argv.data(), environ, directory.c_str(),
                 start);
    }
    // The child does the same; this one fails harmlessly once the child has run its exec.
    (void)setpgid(pid, pid);
    close(report[1]);

    // End of file: the exec closed the pipe, the program runs. A record: it never started.
    StartFailure failure{};
    ssize_t got = 0;
    do {
        got = read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == 0) {
        process.id = static_cast<std::intptr_t>(pid);
        return true;
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof failure)) {
        error = "cannot start " + program + ": the child ended before the program started";
        return false;
    }
    switch (failure.stage) {
    case StartStage::Group:
        error = "cannot give " + program + " a process group: " + ErrorText(failure.error);
        break;
    case StartStage::Input:
        error = "cannot open /dev/null for " + program + ": " + ErrorText(failure.error);
        break;
    case StartStage::Directory:
        error = "cannot enter directory " + directory + ": " + ErrorText(failure.error);
        break;
    case StartStage::Program:
        error = "cannot start " + program + ": " + ErrorText(failure.error);
        break;
    }
    return false;
}

bool ProcessEnded(ChildProcess& process, ProcessEnd& end) {
    if (process.id == 0) {
        end = ProcessEnd{};
        return true;
    }
    const auto pid = static_cast<pid_t>(process.id);
    // A look that leaves the end uncollected: the zombie keeps the group id reserved while what
    // the program left behind is ended.
    siginfo_t info{};
    int result = 0;
    do {
        info.si_pid = 0;
        result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result == 0 && info.si_pid == 0)
        return false;
    // Ended. Whatever still runs in its group (the tester of a wrapper script) ends with it.
    // Reaped elsewhere (SIGCHLD ignored by the caller), the group lives on only while a member
    // does, and then still holds the id.
    (void)kill(-pid, SIGKILL);
    int status = 0;
    if (result == 0 && Reap(pid, status))
        FillEnd(status, end);
    else
        end = ProcessEnd{};  // it has ended, how is not known
    process = ChildProcess{};
    return true;
}

void KillProcess(ChildProcess& process, ProcessEnd& end) {
    if (ProcessEnded(process, end))
        return;
    const auto pid = static_cast<pid_t>(process.id);
    // The program is ours and uncollected, so both ids are still its own.
    (void)kill(-pid, SIGKILL);
    (void)kill(pid, SIGKILL);
    int status = 0;
    end = ProcessEnd{};
    if (Reap(pid, status)) {
        FillEnd(status, end);
        // It may have ended by itself between the look above and the signal.
        if (end.signal == SIGKILL) {
            end.killed = true;
            end.crashed = false;
        }
    } else {
        end.killed = true;
    }
    process = ChildProcess{};
}

std::uint64_t MonotonicMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

bool StandardOutputIsLiveTerminal() {
    if (isatty(STDOUT_FILENO) == 0)
        return false;
    // Read once, by the thread that draws; nothing in the program changes its environment.
    const char* term = std::getenv("TERM");  // NOLINT(concurrency-mt-unsafe)
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

bool IsRunnableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

const char* ProgramSuffix() {
    return "";
}

}  // namespace platform
