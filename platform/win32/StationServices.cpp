// Station services on Win32: the command line, the program's directory and the computer's name
// as UTF-8 from the wide-character calls, station locks as files opened without sharing, the
// console's control events as a flag, the console window's size, a look at a serial port, and
// code page 936 text as UTF-8. WriteLinesUtf8 lives with the other file writers in Files.cpp.

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "SerialDevice.h"
#include "StationServices.h"
#include "WideText.h"

namespace platform {
namespace {

using win32::SystemErrorText;
using win32::Utf8FromWide;
using win32::WideFromUtf8;

constexpr wchar_t kReplacementCharacter = 0xFFFD;

// How long the handler of a console close, log-off or shut-down holds the process for the
// caller to finish: the system ends it about five seconds after the event.
constexpr DWORD kCloseGraceMs = 4500;

// ---------------------------------------------------------------------------------------------
// Console control events.

std::atomic<bool> gHandlersInstalled{false};
std::atomic<int> gFirstInterrupt{0};
std::atomic<unsigned> gInterruptCount{0};
// Set by InterruptHandled; a close handler waits for it. Made before the handler is installed.
HANDLE gInterruptHandled = nullptr;

// Runs on a thread the system starts for the event. A Ctrl-C reaches it only when the process
// was not started with Ctrl-C ignored: the system keeps that setting, so ignored stays ignored.
BOOL WINAPI OnConsoleControl(DWORD event) {
    int code = 0;
    bool ending = false;
    switch (event) {
        case CTRL_C_EVENT:
            code = 2;
            break;
        case CTRL_BREAK_EVENT:
            code = 21;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            code = 1;
            ending = true;
            break;
        default:
            return FALSE;
    }
    int none = 0;
    gFirstInterrupt.compare_exchange_strong(none, code);
    gInterruptCount.fetch_add(1);
    // The system ends the process as soon as this returns: hold it until the caller is done.
    if (ending && gInterruptHandled != nullptr)
        WaitForSingleObject(gInterruptHandled, kCloseGraceMs);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Code page 936.

constexpr UINT kGbkCodePage = 936;

bool GbkLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

bool GbkTrailByte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

// The character of one two-byte sequence; false when the code page has none for it.
bool GbkPair(const char* pair, std::wstring& out) {
    wchar_t character[2];
    const int n = MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, pair, 2, character, 2);
    if (n != 1 || character[0] == kReplacementCharacter)
        return false;
    out += character[0];
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// UTF-8 text of the process.

std::vector<std::string> Utf8CommandLineArguments() {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr)
        return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(split[i]));
    LocalFree(split);
    return arguments;
}

std::string Utf8ExeDirectory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return ".\\";
        if (n < buffer.size()) {
            buffer.resize(n);
            const std::size_t separator = buffer.find_last_of(L"\\/");
            if (separator == std::wstring::npos)
                return ".\\";
            return Utf8FromWide(std::wstring_view(buffer).substr(0, separator + 1));
        }
        if (buffer.size() >= 32768)
            return ".\\";
        buffer.resize(buffer.size() * 2);  // the path was cut short
    }
}

bool DirectoryWritable(const std::string& utf8Path) {
    std::wstring directory = WideFromUtf8(utf8Path);
    if (directory.empty())
        return false;
    const DWORD attributes = GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    // The read-only attribute of a directory stops nothing and its access list is long to read:
    // a file is created there instead, and goes again with its handle.
    if (directory.back() != L'\\' && directory.back() != L'/')
        directory += L'\\';
    const std::wstring probe =
        directory + L".zq-write-probe." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const HANDLE file = CreateFileW(
        probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

std::string HostName() {
    DWORD size = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    if (size == 0)
        return "unknown";
    std::wstring name(size, L'\0');
    if (!GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
        return "unknown";
    name.resize(size);
    const std::string text = Utf8FromWide(name);
    return text.empty() ? "unknown" : text;
}

// ---------------------------------------------------------------------------------------------
// Locks.

LockOutcome TryLockFile(const std::string& path, FileLock& lock, std::string& error) {
    lock = kNoFileLock;
    error.clear();
    const std::wstring wide = WideFromUtf8(path);
    if (wide.empty()) {
        error = "cannot lock " + path + ": the name is no UTF-8 text";
        return LockOutcome::Failed;
    }
    // No sharing: a second opener, in this process or another, is refused until the handle
    // closes, which the system does when the holder ends in any way.
    SECURITY_ATTRIBUTES notInherited{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &notInherited,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_SHARING_VIOLATION)
            return LockOutcome::Busy;
        error = "cannot lock " + path + ": " + SystemErrorText(failure);
        return LockOutcome::Failed;
    }
    lock = reinterpret_cast<FileLock>(file);
    return LockOutcome::Taken;
}

void ReleaseFileLock(FileLock lock) {
    if (lock != kNoFileLock)
        CloseHandle(reinterpret_cast<HANDLE>(lock));
}

// ---------------------------------------------------------------------------------------------
// Interrupts.

void InstallInterruptHandlers() {
    if (gHandlersInstalled.exchange(true))
        return;
    gInterruptHandled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // A writer to a pipe whose reader went away gets an error on this system, never a signal.
}

int PendingInterrupt() {
    return gFirstInterrupt.load();
}

unsigned InterruptCount() {
    return gInterruptCount.load();
}

void InterruptHandled() {
    if (gInterruptHandled != nullptr)
        SetEvent(gInterruptHandled);
}

// ---------------------------------------------------------------------------------------------
// Terminal.

bool TerminalSize(unsigned& rows, unsigned& columns) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (output == nullptr || output == INVALID_HANDLE_VALUE ||
        !GetConsoleScreenBufferInfo(output, &info))
        return false;
    const int height = info.srWindow.Bottom - info.srWindow.Top + 1;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (height <= 0 || width <= 0)
        return false;
    rows = static_cast<unsigned>(height);
    columns = static_cast<unsigned>(width);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Serial ports.

std::string SerialDeviceTarget(const std::string& commName, const std::string& /*directory*/) {
    const unsigned port = SerialPortNumber(commName);
    if (port == 0)
        return {};
    return "\\\\.\\COM" + std::to_string(port);
}

// The speed is not asked for here: a Windows driver refuses a speed it cannot take outright.
std::string SerialPortOpenProblem(const std::string& commName, const std::string& directory,
                                  std::uint32_t /*baudRate*/) {
    const std::string target = SerialDeviceTarget(commName, directory);
    if (target.empty())
        return "does not exist";
    const std::wstring wide = WideFromUtf8(target);
    const HANDLE port = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD failure = GetLastError();
        switch (failure) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                return "does not exist";
            // A port another program holds is refused as access denied.
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                return "in use";
            default:
                return SystemErrorText(failure);
        }
    }
    // The tester takes only a character device for a port.
    const bool character = GetFileType(port) == FILE_TYPE_CHAR;
    CloseHandle(port);
    return character ? std::string() : "is not a serial device";
}

// ---------------------------------------------------------------------------------------------
// Text.

std::string Cp936ToUtf8(std::string_view bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            wide += static_cast<wchar_t>(byte);
            ++i;
            continue;
        }
        if (GbkLeadByte(byte) && i + 1 < bytes.size()) {
            const auto trail = static_cast<unsigned char>(bytes[i + 1]);
            if (GbkTrailByte(trail)) {
                if (GbkPair(bytes.data() + i, wide)) {
                    i += 2;
                    continue;
                }
                // No character for the pair: an ASCII trail byte stands for itself again.
                wide += kReplacementCharacter;
                i += trail < 0x80 ? 1 : 2;
                continue;
            }
        }
        // 0x80, 0xFF, or a lead byte without its trail.
        wide += kReplacementCharacter;
        ++i;
    }
    return Utf8FromWide(wide);
}

}  // namespace platform
