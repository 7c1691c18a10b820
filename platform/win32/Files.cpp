// File system services on Win32. Text lines are written as they are, each ended by CR LF.
//
// A report or log is never written in place: the lines go to a temporary file beside it, which
// takes the final name only once it is complete and flushed. A full disk then leaves the old
// state (no file, or the previous report) rather than a report cut off in the middle that looks
// like a run still in progress.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

constexpr std::size_t WriteChunkBytes = std::size_t{64} * 1024;
// As much of the final name as a temporary name carries, so that one left by a power cut can
// be told apart while the whole stays within the 255 characters a file name may have.
constexpr std::size_t TemporaryNameStemBytes = 160;

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
HANDLE CreateTemporaryBeside(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const std::size_t separator = path.find_last_of("\\/");
    const std::string directory =
        separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    // Appended piece by piece: GCC 12 at -O3 misreads "." + std::string&& as an overlapping copy.
    std::string stem(1, '.');
    stem.append(name, 0, TemporaryNameStemBytes)
        .append(1, '.')
        .append(std::to_string(GetCurrentProcessId()))
        .append(1, '.');
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + stem + std::to_string(++counter) + ".tmp";
        HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
WriteOutcome WriteTextFile(const std::string& path, const std::vector<std::string>& lines,
                           DWORD moveFlags) {
    std::string temporary;
    HANDLE file = CreateTemporaryBeside(path, temporary);
    if (file == INVALID_HANDLE_VALUE)
        return WriteOutcome::Failed;
    const bool written = WriteLinesTo(file, lines) && FlushFileBuffers(file) != 0;
    const bool closed = CloseHandle(file) != 0;
    if (written && closed &&
        MoveFileExA(temporary.c_str(), path.c_str(), moveFlags | MOVEFILE_WRITE_THROUGH) != 0)
        return WriteOutcome::Written;
    const DWORD error = GetLastError();
    DeleteFileA(temporary.c_str());
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
    return WriteTextFile(path, lines, MOVEFILE_REPLACE_EXISTING);
}

WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines) {
    // A taken name is known before anything is written; the move still never replaces a file.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return WriteOutcome::AlreadyExists;
    return WriteTextFile(path, lines, 0);
}

}  // namespace platform
