// File system services on Win32. Text lines are written as they are, each ended by CR LF.

#include <windows.h>

#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

constexpr std::size_t WriteChunkBytes = 64 * 1024;

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

WriteOutcome WriteTextFile(const std::string& path, const std::vector<std::string>& lines,
                           DWORD creation) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, creation,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                   ? WriteOutcome::AlreadyExists
                   : WriteOutcome::Failed;
    }
    const bool written = WriteLinesTo(file, lines);
    const bool closed = CloseHandle(file) != 0;
    if (written && closed)
        return WriteOutcome::Written;
    if (creation == CREATE_NEW)
        DeleteFileA(path.c_str());  // the name was ours: leave no half file
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
    return WriteTextFile(path, lines, CREATE_ALWAYS);
}

WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines) {
    return WriteTextFile(path, lines, CREATE_NEW);
}

}  // namespace platform
