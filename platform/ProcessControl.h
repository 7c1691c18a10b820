// The services a production-line tool takes from the operating system to run testers side by
// side: starting a program in a directory of its choice, watching it end without blocking,
// ending it, a monotonic clock, and what standard output is connected to.
// platform/posix/ and platform/win32/ implement this contract.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A started program, until its end has been collected. Only the thread that started it uses it.
struct ChildProcess {
    std::intptr_t id = 0;      // process id (POSIX) or process handle (Win32); 0 when none
    std::intptr_t group = 0;   // Win32: the job object that holds the process; 0 elsewhere
};

// How a program ended.
struct ProcessEnd {
    bool exited = false;       // it returned or called exit: exitStatus holds its status
    int exitStatus = 0;        // POSIX: 0..255; Win32: the exit code as a signed value
    int signal = 0;            // POSIX: the signal that ended it; 0 otherwise
    bool crashed = false;      // ended by a signal (POSIX) or a fault exit code (Win32)
    bool killed = false;       // ended by KillProcess
};

// Starts program (a path, not looked up along PATH) with arguments[0] as its argument 0 and the
// rest as its arguments, each passed as one argument exactly as given, with directory as its
// working directory. On Win32 program, arguments and directory are UTF-8 and reach the system as
// wide-character text. Standard input reads nothing; standard output and error are those of the
// caller. The program starts with the signal dispositions and mask the caller was started with
// (see InstallInterruptHandlers): ignored stays ignored, as a shell does it.
// The program and everything it starts form one unit (POSIX: a process group of its own, so that
// the terminal's and the caller's group signals do not reach it; Win32: a job object), which
// KillProcess ends as a whole. The program ends with the caller: when the caller dies, the
// program is ended too where the system allows it (Linux parent-death signal, Win32 job object).
// Returns false with a one-line reason in error when it could not be started (no such file, not
// executable, no such directory).
bool StartProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory, ChildProcess& process, std::string& error);

// True once the program has ended: its end is in end, whatever it left running in its unit is
// ended, and everything held for it is released (process becomes empty). Never blocks.
bool ProcessEnded(ChildProcess& process, ProcessEnd& end);

// Ends the program and everything in its unit at once, waits until the program is gone and
// releases everything held for it. end tells how it ended (killed is set unless it had already
// ended by itself).
void KillProcess(ChildProcess& process, ProcessEnd& end);

// Milliseconds from an arbitrary start, never going back.
std::uint64_t MonotonicMilliseconds();

// True when standard output is an interactive terminal (console) that takes the cursor movement
// and line erase sequences (ESC [ n A, ESC [ 2 K); on Win32 this switches the console to take
// them where it can.
bool StandardOutputIsLiveTerminal();

// True when path (UTF-8 on Win32) names a regular file the caller may run.
bool IsRunnableFile(const std::string& path);

// The file name suffix of programs: ".exe" on Win32, empty on POSIX.
const char* ProgramSuffix();

}  // namespace platform
