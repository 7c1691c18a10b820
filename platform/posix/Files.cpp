// File system services on POSIX. Text lines are written as they are, each ended by CR LF.
//
// A report or log is never written in place: the lines go to a temporary file beside it, which
// takes the final name only once it is complete and on disk. A full disk or a size limit then
// leaves the old state (no file, or the previous report) rather than a report cut off in the
// middle that looks like a run still in progress.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

constexpr std::size_t WriteChunkBytes = std::size_t{64} * 1024;
// As much of the final name as a temporary name carries, so that one left by a power cut can
// be told apart while the whole stays within the 255 bytes a file name may have.
constexpr std::size_t TemporaryNameStemBytes = 160;

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

int OpenForWriting(const std::string& path, int createFlags) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | createFlags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes and closes; false when any of it failed. A file that is to take a name is flushed to
// the device first, so that a power cut cannot leave an empty file under that name (a file system
// that cannot flush says EINVAL, which is no failure of the file).
bool WriteAndClose(int fd, const std::vector<std::string>& lines, bool flush) {
    const bool written = WriteLinesTo(fd, lines) && (!flush || fsync(fd) == 0 || errno == EINVAL);
    const bool closed = close(fd) == 0;
    return written && closed;
}

// The old way, kept for what cannot be replaced by a rename: a device, a pipe, or a file system
// that offers neither an exclusive rename nor hard links.
WriteOutcome WriteInPlace(const std::string& path, const std::vector<std::string>& lines,
                          int createFlags) {
    const int fd = OpenForWriting(path, createFlags);
    if (fd < 0)
        return errno == EEXIST ? WriteOutcome::AlreadyExists : WriteOutcome::Failed;
    if (WriteAndClose(fd, lines, false))
        return WriteOutcome::Written;
    if (createFlags & O_EXCL)
        unlink(path.c_str());  // the name was ours: leave no half file
    return WriteOutcome::Failed;
}

// A new file beside path, created exclusively under a name no other writer uses: it holds the
// process id and a number of this process, and a clash with a leftover is stepped over.
int CreateTemporaryBeside(const std::string& path, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Appended piece by piece: GCC 12 at -O3 misreads "." + std::string&& as an overlapping copy.
    std::string stem(1, '.');
    stem.append(name, 0, TemporaryNameStemBytes)
        .append(1, '.')
        .append(std::to_string(static_cast<long>(getpid())))
        .append(1, '.');
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + stem + std::to_string(++counter) + ".tmp";
        const int fd = OpenForWriting(temporary, O_EXCL);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The file that a rename puts the lines of path into: path itself when it is missing or a plain
// file, the file a link points to when that is a plain file (a site may have linked the report
// elsewhere); empty for anything else (a device, a pipe, a dangling link), which is written in
// place as before.
std::string RenameTarget(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? path : std::string();
    if (S_ISREG(info.st_mode))
        return path;
    if (!S_ISLNK(info.st_mode))
        return {};
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string target(resolved);
    std::free(resolved);
    if (stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return target;
}

bool Unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM ||
           error == ENOTSUP;
}

enum class Placed { Done, NameTaken, Unsupported, Failed };

// Gives the complete temporary file the name path unless something has it already: an exclusive
// rename where the system offers it, else a hard link (which also fails on a taken name).
Placed PlaceUnderNewName(const std::string& temporary, const std::string& path) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return Placed::Done;
    if (errno == EEXIST)
        return Placed::NameTaken;
    if (!Unsupported(errno))
        return Placed::Failed;
#endif
    if (link(temporary.c_str(), path.c_str()) == 0) {
        unlink(temporary.c_str());
        return Placed::Done;
    }
    if (errno == EEXIST)
        return Placed::NameTaken;
    return Unsupported(errno) ? Placed::Unsupported : Placed::Failed;
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
    const std::string target = RenameTarget(path);
    if (target.empty())
        return WriteInPlace(path, lines, O_TRUNC);
    std::string temporary;
    const int fd = CreateTemporaryBeside(target, temporary);
    if (fd < 0)
        return WriteOutcome::Failed;
    if (WriteAndClose(fd, lines, true) && rename(temporary.c_str(), target.c_str()) == 0)
        return WriteOutcome::Written;
    unlink(temporary.c_str());
    return WriteOutcome::Failed;
}

WriteOutcome WriteLinesNew(const std::string& path, const std::vector<std::string>& lines) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0)
        return WriteOutcome::AlreadyExists;
    std::string temporary;
    const int fd = CreateTemporaryBeside(path, temporary);
    if (fd < 0)
        return WriteOutcome::Failed;
    if (!WriteAndClose(fd, lines, true)) {
        unlink(temporary.c_str());
        return WriteOutcome::Failed;
    }
    const Placed placed = PlaceUnderNewName(temporary, path);
    if (placed != Placed::Done)
        unlink(temporary.c_str());
    switch (placed) {
        case Placed::Done:
            return WriteOutcome::Written;
        case Placed::NameTaken:
            return WriteOutcome::AlreadyExists;
        case Placed::Unsupported:
            return WriteInPlace(path, lines, O_EXCL);
        default:
            return WriteOutcome::Failed;
    }
}

}  // namespace platform
