#include <signal.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "ProcessProbe.h"

long SystemProcessId(const platform::ChildProcess& process) {
    return static_cast<long>(process.id);
}

bool ProcessRunning(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (stat) {
        // "pid (name) S ...": the state follows the last parenthesis; Z is ended, not collected.
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
    }
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool NothingHeldFor(const platform::ChildProcess& before) {
    const auto pid = static_cast<pid_t>(before.id);
    int status = 0;
    const bool noChild = waitpid(pid, &status, WNOHANG) < 0 && errno == ECHILD;
    return noChild && kill(pid, 0) < 0 && errno == ESRCH;
}

bool SystemEndsProgramsWithStarter() {
#if defined(__linux__)
    return true;
#else
    return false;
#endif
}

StandardInputHolding::StandardInputHolding(const char* bytes) : saved_(dup(STDIN_FILENO)) {
    int ends[2];
    if (pipe(ends) != 0)
        return;
    const ssize_t written = write(ends[1], bytes, std::strlen(bytes));
    (void)written;
    close(ends[1]);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
}

StandardInputHolding::~StandardInputHolding() {
    if (saved_ >= 0) {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }
}
