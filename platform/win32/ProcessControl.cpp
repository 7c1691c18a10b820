// Running programs side by side on Win32: CreateProcessW with a command line the C runtime splits
// back into the same arguments, a job object per program so that it and everything it starts end
// together (with the caller, or by KillProcess), and a look at the process handle that never
// waits. Program, arguments and directory come as UTF-8 and go to the system as wide text.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "ProcessControl.h"
#include "WideText.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {
namespace {

// The exit code of a program ended by KillProcess, as the system's own task tools leave it.
constexpr UINT kKilledExitCode = 1;

// An exit code at or above this is an NTSTATUS error: an unhandled exception ended the program.
constexpr DWORD kFirstFaultCode = 0xC0000000u;

// How long KillProcess waits for the rest of a program's job once the program itself is gone.
constexpr std::uint64_t kJobEmptyWaitMs = 5000;

// UTF-8 as wide text. Text that is not UTF-8 is taken as the system's code page text, as the
// callers passed it before they spoke UTF-8, so that such a name still reaches the program.
std::wstring Wide(std::string_view text) {
    std::wstring wide = win32::WideFromUtf8(text);
    return wide.empty() ? win32::WideFromCodePage(text, win32::FileCodePage(), 0) : wide;
}

// One argument as the C runtime reads it back: backslashes count literally unless a quote
// follows them, so those before a quote (and before the closing quote) are doubled.
void AppendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(backslashes, L'\\');
            line += c;
        }
        backslashes = 0;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// Argument 0 is read differently: up to the first blank outside quotes, with no backslash
// escapes, so it goes quoted whole and cannot hold a quote itself.
bool BuildCommandLine(const std::string& program, const std::vector<std::string>& arguments,
                      std::wstring& line, std::string& error) {
    const std::string& argument0 = arguments.empty() ? program : arguments.front();
    if (argument0.find('"') != std::string::npos) {
        error = "argument 0 cannot hold a quote on this system: " + argument0;
        return false;
    }
    line = L'"';
    line.append(Wide(argument0)).append(1, L'"');
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        line += L' ';
        AppendQuoted(line, Wide(arguments[i]));
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
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
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
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
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

HANDLE JobHandle(const ChildProcess& process) {
    return reinterpret_cast<HANDLE>(process.group);
}

// Whether the job holds no running process any more; also true when the system does not tell.
bool JobEmpty(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr))
        return true;
    return accounting.ActiveProcesses == 0;
}

void Release(ChildProcess& process) {
    CloseValid(ProcessHandle(process));
    // Whatever the program left running in its job ends with it; closing the job would end it
    // too, but only while nobody else holds the job open.
    const HANDLE job = JobHandle(process);
    if (job != nullptr) {
        TerminateJobObject(job, kKilledExitCode);
        CloseHandle(job);
    }
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
    std::wstring commandLine;
    if (!BuildCommandLine(program, arguments, commandLine, error))
        return false;
    const std::wstring wideProgram = Wide(program);
    const std::wstring wideDirectory = Wide(directory);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = OpenNul(GENERIC_READ);
    startup.hStdOutput = InheritableStandardHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableStandardHandle(STD_ERROR_HANDLE);

    // Suspended until it sits in its job, so nothing it starts escapes the job.
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(
        wideProgram.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
        directory.empty() ? nullptr : wideDirectory.c_str(), &startup, &started);
    const DWORD createError = GetLastError();
    CloseValid(startup.hStdInput);
    CloseValid(startup.hStdOutput);
    CloseValid(startup.hStdError);
    if (!created) {
        if (createError == ERROR_DIRECTORY)
            error = "cannot enter directory " + directory + ": " + win32::SystemErrorText(createError);
        else
            error = "cannot start " + program + ": " + win32::SystemErrorText(createError);
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
        error = "cannot start " + program + ": " + win32::SystemErrorText(resumeError);
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
    // The program first, on its own: the system refuses once it has ended by itself, and then its
    // own exit code stands. Then everything it started (a wrapper's tester, say), all at once.
    const bool terminated = TerminateProcess(handle, kKilledExitCode) != FALSE;
    const HANDLE job = JobHandle(process);
    if (job != nullptr)
        TerminateJobObject(job, kKilledExitCode);
    WaitForSingleObject(handle, INFINITE);
    // The rest of the job may still hold what the next program needs (a port): wait for it too.
    if (job != nullptr) {
        const std::uint64_t deadline = GetTickCount64() + kJobEmptyWaitMs;
        while (!JobEmpty(job) && GetTickCount64() < deadline) Sleep(1);
    }
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
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const char* ProgramSuffix() {
    return ".exe";
}

}  // namespace platform
