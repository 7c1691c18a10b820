// A small program the process tests start in place of a tester: it ends the way it is told to and
// records what it was started with.
//   exit N                      ends with status N
//   sleep MS [PIDFILE]          writes its process id to PIDFILE (when given), then sleeps MS
//   record FILE ...             writes its working directory and every argument (argument 0
//                               included) to FILE, each followed by a zero byte
//   input FILE                  reads standard input to its end and writes the byte count to FILE
//   crash                       ends by a fault
//   orphan PIDFILE              starts itself as "sleep 30000 PIDFILE" and ends once PIDFILE is
//                               there, leaving that program to whatever ends it with its starter
//   signals FILE                (POSIX) writes the signals it was started with ignored and those
//                               blocked, as "ignored: 1 13\nblocked: 10\n"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "ProcessControl.h"

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

[[noreturn]] void Crash() {
#ifdef _WIN32
    // No error box and no debugger: the fault ends the program with its exception code.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
    const struct rlimit noCore {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // no core file left in the test directory
#endif
    std::abort();
}

// Whole or not at all, so a test polling for the file never reads half of it.
void WriteWhole(const std::string& path, const std::string& bytes) {
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << bytes;
    }
    std::filesystem::rename(partial, path);
}

#ifndef _WIN32
std::string SignalState() {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::string ignoredList;
    std::string blockedList;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            ignoredList += " " + std::to_string(signalNumber);
        if (sigismember(&blocked, signalNumber) == 1)
            blockedList += " " + std::to_string(signalNumber);
    }
    return "ignored:" + ignoredList + "\nblocked:" + blockedList + "\n";
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exit" && argc > 2)
        return std::atoi(argv[2]);
    if (mode == "sleep" && argc > 2) {
        if (argc > 3)
            WriteWhole(argv[3], std::to_string(ProcessId()) + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        return 0;
    }
    if (mode == "record" && argc > 2) {
        std::string bytes = std::filesystem::current_path().string();
        bytes += '\0';
        for (int i = 0; i < argc; ++i) {
            bytes += argv[i];
            bytes += '\0';
        }
        WriteWhole(argv[2], bytes);
        return 0;
    }
    if (mode == "input" && argc > 2) {
        std::size_t count = 0;
        while (std::cin.get() != EOF) ++count;
        WriteWhole(argv[2], std::to_string(count));
        return 0;
    }
    if (mode == "crash")
        Crash();
    if (mode == "orphan" && argc > 2) {
        platform::ChildProcess sleeper;
        std::string error;
        const std::string self = argv[0];
        if (!platform::StartProcess(self, {self, "sleep", "30000", argv[2]}, "", sleeper, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
        // Out without ending it once it runs: only the system's tie to this program may end it now.
        for (int i = 0; i < 3000 && !std::filesystem::exists(argv[2]); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::_Exit(0);
    }
#ifndef _WIN32
    if (mode == "signals" && argc > 2) {
        WriteWhole(argv[2], SignalState());
        return 0;
    }
#endif
    std::fprintf(stderr, "zq_process_child: unknown mode\n");
    return 2;
}
