// File system services on POSIX. Text lines are written as they are, each ended by CR LF.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

constexpr std::size_t WriteChunkBytes = 64 * 1024;

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the lines in blocks, so that time and memory stay linear in the size of the log.
bool WriteLinesTo(int fd, const std::vector<std::string>& lines) {
    std::string block;
    block.reserve(WriteChunkBytes + 256);
    for (const std::string& line : lines) {
        block.append(line).append("\r\n");
        if (block.size() >= WriteChunkBytes) {
            if (!WriteAll(fd, block.data(), block.size()))
                return false;
            block.clear();
        }
    }
    return WriteAll(fd, block.data(), block.size());
}

WriteOutcome WriteFile(const std::string& path, const std::vector<std::string>& lines,
                       int createFlags) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | createFlags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno == EEXIST ? WriteOutcome::AlreadyExists : WriteOutcome::Failed;
    const bool written = WriteLinesTo(fd, lines);
    const bool closed = close(fd) == 0;
    if (written && closed)
        return WriteOutcome::Written;
    if (createFlags & O_EXCL)
        unlink(path.c_str());  // the name was ours: leave no half file
    return WriteOutcome::Failed;
}

}  // namespace

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DeleteFileAt(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDirectoryAt(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}

WriteOutcome WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    return WriteFile(path, lines, O_TRUNC);
}

WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines) {
    return WriteFile(path, lines, O_EXCL);
}

}  // namespace platform
