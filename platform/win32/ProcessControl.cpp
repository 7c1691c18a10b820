// Running programs side by side on Win32: CreateProcessA with a command line the C runtime splits
// back into the same arguments, a job object per program so it ends with the caller, and a look
// at the process handle that never waits.

#include <windows.h>

#include <string>
#include <vector>

#include "ProcessControl.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {
namespace {

// The exit code of a program ended by KillProcess, as the system's own task tools leave it.
constexpr UINT kKilledExitCode = 1;

// An exit code at or above this is an NTSTATUS error: an unhandled exception ended the program.
constexpr DWORD kFirstFaultCode = 0xC0000000u;

std::string LastErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string line;
    if (n > 0 && text != nullptr)
        line.assign(text, n);
    LocalFree(text);
    // One line: the system's texts end in CR LF and some hold more than one sentence line.
    for (char& c : line)
        if (c == '\r' || c == '\n')
            c = ' ';
    while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
    if (line.empty())
        line = "error " + std::to_string(error);
    return line;
}

// One argument as the C runtime reads it back: backslashes count literally unless a quote
// follows them, so those before a quote (and before the closing quote) are doubled.
void AppendQuoted(std::string& line, const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
            line += '"';
        } else {
            line.append(backslashes, '\\');
            line += c;
        }
        backslashes = 0;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// Argument 0 is read differently: up to the first blank outside quotes, with no backslash
// escapes, so it goes quoted whole and cannot hold a quote itself.
bool BuildCommandLine(const std::string& program, const std::vector<std::string>& arguments,
                      std::string& line, std::string& error) {
    const std::string& argument0 = arguments.empty() ? program : arguments.front();
    if (argument0.find('"') != std::string::npos) {
        error = "argument 0 cannot hold a quote on this system: " + argument0;
        return false;
    }
    line = '"' + argument0 + '"';
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        line += ' ';
        AppendQuoted(line, arguments[i]);
    }
    // The system's limit on a command line, terminating zero included.
    if (line.size() >= 32767) {
        error = "the command line of " + program + " is too long";
        return false;
    }
    return true;
}

HANDLE OpenNul(DWORD access) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                       OPEN_EXISTING, 0, nullptr);
}

// An inheritable copy of one of the caller's standard handles, or NUL when the caller has none
// (a program without a console): the child writes somewhere either way.
HANDLE InheritableStandardHandle(DWORD which) {
    const HANDLE own = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own != nullptr && own != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS))
        return copy;
    return OpenNul(GENERIC_WRITE);
}

void CloseValid(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

// A job that ends the program when its last handle, held by the caller, closes: with the caller.
// Null when the system refuses one (a caller in a job that forbids nesting); the program then
// runs on without it.
HANDLE JobEndingWithCaller(HANDLE process) {
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, process)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

HANDLE ProcessHandle(const ChildProcess& process) {
    return reinterpret_cast<HANDLE>(process.id);
}

void Release(ChildProcess& process) {
    CloseValid(ProcessHandle(process));
    // Closing the job also ends whatever the program left running in it.
    CloseValid(reinterpret_cast<HANDLE>(process.group));
    process = ChildProcess{};
}

void FillEnd(HANDLE handle, ProcessEnd& end) {
    end = ProcessEnd{};
    DWORD code = 0;
    if (!GetExitCodeProcess(handle, &code))
        return;
    end.exitStatus = static_cast<int>(code);
    end.crashed = code >= kFirstFaultCode;
    end.exited = !end.crashed;
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
    std::string commandLine;
    if (!BuildCommandLine(program, arguments, commandLine, error))
        return false;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = OpenNul(GENERIC_READ);
    startup.hStdOutput = InheritableStandardHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableStandardHandle(STD_ERROR_HANDLE);

    // Suspended until it sits in its job, so nothing it starts escapes the job.
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                       CREATE_SUSPENDED, nullptr,
                                       directory.empty() ? nullptr : directory.c_str(), &startup,
                                       &started);
    const DWORD createError = GetLastError();
    CloseValid(startup.hStdInput);
    CloseValid(startup.hStdOutput);
    CloseValid(startup.hStdError);
    if (!created) {
        if (createError == ERROR_DIRECTORY)
            error = "cannot enter directory " + directory + ": " + LastErrorText(createError);
        else
            error = "cannot start " + program + ": " + LastErrorText(createError);
        return false;
    }

    const HANDLE job = JobEndingWithCaller(started.hProcess);
    if (ResumeThread(started.hThread) == static_cast<DWORD>(-1)) {
        const DWORD resumeError = GetLastError();
        TerminateProcess(started.hProcess, kKilledExitCode);
        WaitForSingleObject(started.hProcess, INFINITE);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        CloseValid(job);
        error = "cannot start " + program + ": " + LastErrorText(resumeError);
        return false;
    }
    CloseHandle(started.hThread);
    process.id = reinterpret_cast<std::intptr_t>(started.hProcess);
    process.group = reinterpret_cast<std::intptr_t>(job);
    return true;
}

bool ProcessEnded(ChildProcess& process, ProcessEnd& end) {
    if (process.id == 0) {
        end = ProcessEnd{};
        return true;
    }
    const DWORD state = WaitForSingleObject(ProcessHandle(process), 0);
    if (state == WAIT_TIMEOUT)
        return false;
    if (state == WAIT_OBJECT_0)
        FillEnd(ProcessHandle(process), end);
    else
        end = ProcessEnd{};  // a handle that cannot be waited on: nothing more to learn from it
    Release(process);
    return true;
}

void KillProcess(ChildProcess& process, ProcessEnd& end) {
    if (ProcessEnded(process, end))
        return;
    const HANDLE handle = ProcessHandle(process);
    // Refused once the program has ended by itself: then its own exit code stands.
    const bool terminated = TerminateProcess(handle, kKilledExitCode) != FALSE;
    WaitForSingleObject(handle, INFINITE);
    FillEnd(handle, end);
    if (terminated) {
        end.killed = true;
        end.exited = false;
        end.crashed = false;
    }
    Release(process);
}

std::uint64_t MonotonicMilliseconds() {
    return GetTickCount64();
}

bool StandardOutputIsLiveTerminal() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode))
        return false;
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

bool IsRunnableFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const char* ProgramSuffix() {
    return ".exe";
}

}  // namespace platform
