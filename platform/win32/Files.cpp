// File system services on Win32. Text lines are written as they are, each ended by CR LF.
// Paths come in the system's code page (WriteLines, WriteLinesNew) or as UTF-8 (WriteLinesUtf8);
// either way the writing itself goes through the wide-character calls.
//
// A report or log is never written in place: the lines go to a temporary file beside it, which
// takes the final name only once it is complete and flushed. A full disk then leaves the old
// state (no file, or the previous report) rather than a report cut off in the middle that looks
// like a run still in progress.

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "Platform.h"
#include "StationServices.h"
#include "WideText.h"

namespace platform {
namespace {

constexpr std::size_t WriteChunkBytes = std::size_t{64} * 1024;
// As much of the final name as a temporary name carries, so that one left by a power cut can
// be told apart while the whole stays within the 255 characters a file name may have.
constexpr std::size_t TemporaryNameStemUnits = 160;

// A path in the code page the narrow file calls take it in.
std::wstring SystemCodePagePath(const std::string& path) {
    return win32::WideFromCodePage(path, win32::FileCodePage(), 0);
}

bool WriteAll(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, part, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Writes the lines in blocks, so that time and memory stay linear in the size of the log.
bool WriteLinesTo(HANDLE file, const std::vector<std::string>& lines) {
    std::string block;
    block.reserve(WriteChunkBytes + 256);
    for (const std::string& line : lines) {
        block.append(line).append("\r\n");
        if (block.size() >= WriteChunkBytes) {
            if (!WriteAll(file, block.data(), block.size()))
                return false;
            block.clear();
        }
    }
    return WriteAll(file, block.data(), block.size());
}

// A new file beside path, created exclusively under a name no other writer uses: it holds the
// process id and a number of this process, and a clash with a leftover is stepped over.
HANDLE CreateTemporaryBeside(const std::wstring& path, std::wstring& temporary) {
    static std::atomic<unsigned> counter{0};
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::wstring directory =
        separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
    const std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
    std::size_t kept = name.size();
    if (kept > TemporaryNameStemUnits) {
        kept = TemporaryNameStemUnits;
        // Never half of a character written as two units.
        if (name[kept - 1] >= 0xD800 && name[kept - 1] <= 0xDBFF)
            --kept;
    }
    std::wstring stem(1, L'.');
    stem.append(name, 0, kept)
        .append(1, L'.')
        .append(std::to_wstring(GetCurrentProcessId()))
        .append(1, L'.');
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory;
        temporary.append(stem).append(std::to_wstring(++counter)).append(L".tmp");
        HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

// Writes the lines into a temporary file beside path and moves it to path: over an existing
// file with MOVEFILE_REPLACE_EXISTING, else only to a name nobody has taken.
WriteOutcome WriteTextFile(const std::wstring& path, const std::vector<std::string>& lines,
                           DWORD moveFlags) {
    if (path.empty())
        return WriteOutcome::Failed;
    std::wstring temporary;
    HANDLE file = CreateTemporaryBeside(path, temporary);
    if (file == INVALID_HANDLE_VALUE)
        return WriteOutcome::Failed;
    const bool written = WriteLinesTo(file, lines) && FlushFileBuffers(file) != 0;
    const bool closed = CloseHandle(file) != 0;
    if (written && closed &&
        MoveFileExW(temporary.c_str(), path.c_str(), moveFlags | MOVEFILE_WRITE_THROUGH) != 0)
        return WriteOutcome::Written;
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    if (written && closed && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
        return WriteOutcome::AlreadyExists;
    return WriteOutcome::Failed;
}

}  // namespace

bool FileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteFileAt(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool DirectoryExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectoryAt(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

WriteOutcome WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    return WriteTextFile(SystemCodePagePath(path), lines, MOVEFILE_REPLACE_EXISTING);
}

WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines) {
    // A taken name is known before anything is written; the move still never replaces a file.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return WriteOutcome::AlreadyExists;
    return WriteTextFile(SystemCodePagePath(path), lines, 0);
}

bool WriteLinesUtf8(const std::string& path, const std::vector<std::string>& lines) {
    return WriteTextFile(win32::WideFromUtf8(path), lines,
                         MOVEFILE_REPLACE_EXISTING) == WriteOutcome::Written;
}

}  // namespace platform
