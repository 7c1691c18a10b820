// Running programs side by side on POSIX: fork and exec with the failure of the exec carried back
// over a close-on-exec pipe, non-blocking reaping with waitpid, and the terminal checks of a live
// display.

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

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ProcessControl.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not declared by every libc

namespace platform {
namespace {

// Where the child stopped on its way to the program, sent to the parent in place of the exec.
enum class StartStage : int { Input, Directory, Program };

struct StartFailure {
    StartStage stage;
    int error;
};

// strerror_r comes as the XSI variant (an int) or the GNU one (the text); both end here.
[[maybe_unused]] const char* ErrorTextOf(int result, const char* buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) {
    return result != nullptr ? result : "unknown error";
}

std::string ErrorText(int error) {
    char buffer[256] = {};
    return ErrorTextOf(strerror_r(error, buffer, sizeof buffer), buffer);
}

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

[[noreturn]] void RunChild(pid_t parent, int report, const char* program, char* const* argv,
                           char* const* envp, const char* directory) {
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
    // Ignored signals stay ignored across exec, and the mask is inherited as it is: the program
    // starts as if from a shell, whatever the caller did with SIGPIPE, SIGINT and the rest.
    // Caught signals return to their defaults at exec by themselves.
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber == SIGKILL || signalNumber == SIGSTOP)
            continue;
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            signal(signalNumber, SIG_DFL);  // NOLINT(cert-err33-c): a signal it cannot reset
    }
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);

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
        RunChild(parent, report[1], program.c_str(), argv.data(), environ, directory.c_str());
    }
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
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0)
        return false;
    if (result == pid) {
        FillEnd(status, end);
    } else {
        // Reaped elsewhere (SIGCHLD ignored by the caller): it has ended, how is not known.
        end = ProcessEnd{};
    }
    process = ChildProcess{};
    return true;
}

void KillProcess(ChildProcess& process, ProcessEnd& end) {
    if (ProcessEnded(process, end))
        return;
    const auto pid = static_cast<pid_t>(process.id);
    kill(pid, SIGKILL);
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    end = ProcessEnd{};
    if (result == pid) {
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
