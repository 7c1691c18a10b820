// The station services on Win32: stations in directories with names outside the ANSI code page,
// a kill that reaches what a wrapper started, file locks, code page 936 text and port names.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
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
using platform::LockOutcome;

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// The whole file at a wide path; empty when it cannot be opened.
std::string ReadWide(const fs::path& path) {
    std::string bytes;
    FILE* file = _wfopen(path.wstring().c_str(), L"rb");
    if (file == nullptr)
        return bytes;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    std::fclose(file);
    return bytes;
}

const fs::path kChildName = L"zq_process_child.exe";

fs::path ChildProgram() {
    return fs::path(Wide(platform::ExeDirectory())) / kChildName;
}

using StationServicesWin32Test = TemporaryDirectoryTest;

// "Müller" and "产线1" as UTF-8, which the ANSI calls misread; the second fits no single-byte code
// page at all.
TEST_F(StationServicesWin32Test, StationInNonAsciiDirectoryStartsAndWritesItsFiles) {
    for (const std::string name : {"M\xC3\xBCller", "\xE4\xBA\xA7\xE7\xBA\xBF\x31"}) {
        SCOPED_TRACE(name);
        const fs::path station = dir / Wide(name);
        ASSERT_TRUE(fs::create_directory(station));
        // The program itself inside the directory too, so that its path is no ANSI text either.
        ASSERT_TRUE(CopyFileW(ChildProgram().wstring().c_str(),
                              (station / kChildName).wstring().c_str(), TRUE));
        const std::string program = Utf8((station / kChildName).wstring());
        EXPECT_TRUE(platform::IsRunnableFile(program));

        platform::ChildProcess process;
        std::string error;
        ASSERT_TRUE(platform::StartProcess(program, {program, "sleep", "0", "here.pid"},
                                           Utf8(station.wstring()), process, error))
            << error;
        const long pid = SystemProcessId(process);
        platform::ProcessEnd end;
        ASSERT_TRUE(Within(30000, [&] { return platform::ProcessEnded(process, end); }));
        EXPECT_TRUE(end.exited && end.exitStatus == 0);
        // A relative name lands in the working directory it was given.
        EXPECT_EQ(ReadWide(station / L"here.pid"), std::to_string(pid) + "\n");

        const fs::path report = station / Wide("report " + name + ".txt");
        ASSERT_TRUE(platform::WriteLinesUtf8(Utf8(report.wstring()), {"old"}));
        ASSERT_TRUE(platform::WriteLinesUtf8(Utf8(report.wstring()), {"line 1", name}));
        EXPECT_EQ(ReadWide(report), "line 1\r\n" + name + "\r\n");
        std::vector<std::wstring> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(station))
            names.push_back(entry.path().filename().wstring());
        EXPECT_EQ(names.size(), 3u) << "a temporary file was left behind";
    }
}

TEST_F(StationServicesWin32Test, WriteLinesUtf8FailsWhereNoFileCanBe) {
    fs::create_directory(dir / "taken");
    EXPECT_FALSE(platform::WriteLinesUtf8(At("missing") + "\\x.txt", {"x"}));
    EXPECT_FALSE(platform::WriteLinesUtf8(At("taken"), {"x"}));  // a directory has the name
    EXPECT_FALSE(platform::WriteLinesUtf8(Utf8(dir.wstring()) + "\\bad\xFF.txt", {"x"}));
    // The temporary file written beside the directory is gone again.
    EXPECT_EQ(Names(dir), std::vector<std::string>{"taken"});
}

// A wrapper (the command interpreter here) between the runner and the program it starts: a kill
// ends both, even while the job lives on in another handle and so is not ended by its closing.
TEST_F(StationServicesWin32Test, KillEndsWhatTheProgramStarted) {
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    const std::string shell = Utf8(std::wstring(system, n) + L"\\cmd.exe");
    ASSERT_TRUE(
        CopyFileW(ChildProgram().wstring().c_str(), (dir / kChildName).wstring().c_str(), TRUE));
    platform::ChildProcess wrapper;
    std::string error;
    ASSERT_TRUE(platform::StartProcess(
        shell, {shell, "/c", "zq_process_child.exe", "sleep", "60000", "inner.pid"},
        Utf8(dir.wstring()), wrapper, error))
        << error;
    ASSERT_NE(wrapper.group, 0) << "no job for the program";
    ASSERT_TRUE(Within(30000, [&] { return fs::exists(dir / "inner.pid"); }));
    const long inner = std::stol(ReadWide(dir / "inner.pid"));
    ASSERT_TRUE(ProcessRunning(inner));

    HANDLE job = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(wrapper.group),
                                GetCurrentProcess(), &job, 0, FALSE, DUPLICATE_SAME_ACCESS));
    platform::ProcessEnd end;
    platform::KillProcess(wrapper, end);
    EXPECT_TRUE(end.killed);
    EXPECT_FALSE(ProcessRunning(inner)) << "the wrapper's program outlived the kill";
    TerminateJobObject(job, 1);  // nothing left behind, whatever the outcome
    CloseHandle(job);
}

TEST_F(StationServicesWin32Test, FileLockIsExclusiveUntilReleased) {
    const std::string path = Utf8((dir / Wide("\xE4\xBA\xA7\xE7\xBA\xBF\x31.lock")).wstring());
    const HANDLE other = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    platform::FileLock lock = platform::kNoFileLock;
    std::string error;
    EXPECT_EQ(platform::TryLockFile(path, lock, error), LockOutcome::Busy);
    CloseHandle(other);

    ASSERT_EQ(platform::TryLockFile(path, lock, error), LockOutcome::Taken) << error;
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(lock), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "a started program would hold the lock";
    platform::FileLock second = platform::kNoFileLock;
    EXPECT_EQ(platform::TryLockFile(path, second, error), LockOutcome::Busy);
    platform::ReleaseFileLock(lock);
    EXPECT_EQ(platform::TryLockFile(path, second, error), LockOutcome::Taken) << error;
    platform::ReleaseFileLock(second);
    EXPECT_TRUE(fs::exists(Wide(path)));

    EXPECT_EQ(platform::TryLockFile(At("missing") + "\\x.lock", lock, error), LockOutcome::Failed);
    EXPECT_EQ(error.rfind("cannot lock ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

// The pairs go to the system one by one, so one bad byte spoils only itself.
TEST(StationServicesWin32, Cp936TextBecomesUtf8PairByPair) {
    const std::string bad = "\xEF\xBF\xBD";
    const struct {
        std::string gbk;
        std::string utf8;
    } rows[] = {
        {"\xB4\xF2\xBF\xAA", "\xE6\x89\x93\xE5\xBC\x80"},  // 打开
        {"\xA3\xBA", "\xEF\xBC\x9A"},                      // full-width colon
        {"\x81", bad},                                     // lead byte alone
        {"\x81\x30\x41", bad + "0A"},                      // no trail: the ASCII stays
        {"\xB4\x7F", bad + "\x7F"},                        // 0x7F is no trail byte
        {"\x81\x81\xB4", "\xE4\xBA\x96" + bad},            // a lead byte as trail: 亖
        {"a\xB4\xF2\x80z\xFF\xA3\xBA", "a\xE6\x89\x93" + bad + "z" + bad + "\xEF\xBC\x9A"},
    };
    for (const auto& row : rows) EXPECT_EQ(platform::Cp936ToUtf8(row.gbk), row.utf8) << row.gbk;
}

TEST(StationServicesWin32, SerialPortNamesLeadToTheDevicePath) {
    const struct {
        const char* name;
        const char* target;
    } rows[] = {
        {"COM1", "\\\\.\\COM1"}, {"com12", "\\\\.\\COM12"}, {"COM999999", "\\\\.\\COM999999"},
        {"COM3 ", ""},           {"\\\\.\\COM3", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(platform::SerialDeviceTarget(row.name, "C:\\station\\"), row.target) << row.name;
}

TEST(StationServicesWin32, PortNobodyMappedDoesNotExist) {
    EXPECT_EQ(platform::SerialPortOpenProblem("COM250", ".\\", 1000000), "does not exist");
    EXPECT_EQ(platform::SerialPortOpenProblem("NUL", ".\\", 1000000), "does not exist");
}

TEST(StationServicesWin32, ProcessTextMatchesTheAnsiViewForAsciiNames) {
    EXPECT_EQ(platform::Utf8CommandLineArguments(), platform::CommandLineArguments());
    EXPECT_EQ(platform::Utf8ExeDirectory(), platform::ExeDirectory());
}

// Ctrl-C and Ctrl-Break only raise the flag: the process lives on to see them. They go to a
// console of this process alone, never to the one it shares with whoever started it, so the test
// runs only where standard output is no console and nothing is lost by leaving it.
std::atomic<unsigned> gEventsPastTheHandler{0};

// Installed before the handler under test, so the system calls it only when that one declined the
// event: the test then fails instead of ending with the process.
BOOL WINAPI CatchEventsPastTheHandler(DWORD) {
    ++gEventsPastTheHandler;
    return TRUE;
}

TEST(StationServicesWin32, ConsoleInterruptsOnlySetTheFlag) {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        GTEST_SKIP() << "skipped: standard output is a console here";
    FreeConsole();
    if (!AllocConsole())
        GTEST_SKIP() << "skipped: no console of its own for this process";
    ASSERT_TRUE(SetConsoleCtrlHandler(CatchEventsPastTheHandler, TRUE));
    platform::InstallInterruptHandlers();
    EXPECT_EQ(platform::PendingInterrupt(), 0);
    for (unsigned count = 1; count <= 2; ++count) {
        ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        EXPECT_TRUE(Within(10000, [&] { return platform::InterruptCount() == count; }));
        EXPECT_EQ(platform::PendingInterrupt(), 2);  // the first one stays
    }
    // Wine sends no Ctrl-Break to a whole console.
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
        EXPECT_TRUE(Within(10000, [&] { return platform::InterruptCount() == 3; }));
        EXPECT_EQ(platform::PendingInterrupt(), 2);
    }
    EXPECT_EQ(gEventsPastTheHandler, 0u);
    platform::InterruptHandled();
    FreeConsole();
}

TEST(StationServicesWin32, NoTerminalSizeWithoutConsole) {
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        GTEST_SKIP() << "skipped: standard output is a console here";
    unsigned rows = 7, columns = 7;
    EXPECT_FALSE(platform::TerminalSize(rows, columns));
}

}  // namespace
