// The station services on POSIX: text and paths are bytes and pass unchanged, locks are flock
// locks on close-on-exec descriptors, interrupts are caught signals that only set a flag, and
// code page 936 text goes through iconv.

#include "ProcessPosix.h"
#include "StationServices.h"

#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"
#include "SerialDevice.h"
#include "SerialPosix.h"

namespace platform {

namespace {

using posix_process::ErrorText;

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int LockRetrying(int fd) {
    int result = 0;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Interrupts: the handler only touches lock-free atomics, which is all a handler may do.

std::atomic<int> pendingInterrupt{0};
std::atomic<unsigned> interruptCount{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free,
              "the interrupt handler needs lock-free atomics");

void OnInterrupt(int signalNumber) {
    int none = 0;
    pendingInterrupt.compare_exchange_strong(none, signalNumber);
    interruptCount.fetch_add(1);
}

// ---------------------------------------------------------------------------------------------
// Serial ports.

// dir/name, or name alone when it is absolute.
std::string Joined(const std::string& directory, const std::string& name) {
    if (!name.empty() && name.front() == '/')
        return name;
    return directory + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReadLink(const std::string& path, std::string& target) {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<std::size_t>(length) >= buffer.size())
        return false;
    target.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

// The path with every link followed and no . or .. left; empty (with the reason in error) when
// some part of it does not resolve.
std::string RealPath(const std::string& path, int& error) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                               &std::free);
    error = resolved ? 0 : errno;
    return resolved ? std::string(resolved.get()) : std::string();
}

// Where a chain of links that leads nowhere ends: the first name in it that does not exist, each
// link's target taken relative to the directory the link is in.
std::string MissingEndOf(std::string path) {
    constexpr int kMostLinks = 40;  // as the kernel counts before ELOOP
    for (int hop = 0; hop < kMostLinks; ++hop) {
        struct stat info {};
        std::string target;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || !ReadLink(path, target))
            return path;
        int error = 0;
        std::string directory = RealPath(DirectoryOf(path), error);
        if (directory.empty())
            directory = DirectoryOf(path);
        path = Joined(directory == "/" ? "" : directory, target);
    }
    return path;
}

// ---------------------------------------------------------------------------------------------
// Code page 936.

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool IsLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

bool IsTrailByte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

// One converter per call, so that calls on several threads never share one.
class Gbk {
  public:
    Gbk() : converter_(iconv_open("UTF-8", "GBK")) {
        if (converter_ == kNone)
            converter_ = iconv_open("UTF-8", "CP936");
    }
    ~Gbk() {
        if (converter_ != kNone)
            iconv_close(converter_);
    }
    Gbk(const Gbk&) = delete;
    Gbk& operator=(const Gbk&) = delete;

    // Appends the character of a lead and trail byte; false when GBK has none there.
    bool AppendPair(const char* pair, std::string& out) {
        if (converter_ == kNone)
            return false;
        char input[2] = {pair[0], pair[1]};
        char output[8] = {};
        char* in = input;
        std::size_t inLeft = sizeof input;
        char* outAt = output;
        std::size_t outLeft = sizeof output;
        if (iconv(converter_, &in, &inLeft, &outAt, &outLeft) == static_cast<std::size_t>(-1) ||
            inLeft != 0) {
            iconv(converter_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
            return false;
        }
        out.append(output, sizeof output - outLeft);
        return true;
    }

  private:
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
    iconv_t converter_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// UTF-8 text of the process: bytes pass unchanged.

std::vector<std::string> Utf8CommandLineArguments() {
    return CommandLineArguments();
}

std::string Utf8ExeDirectory() {
    return ExeDirectory();
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

bool WriteLinesUtf8(const std::string& path, const std::vector<std::string>& lines) {
    return WriteLines(path, lines) == WriteOutcome::Written;
}

bool DirectoryWritable(const std::string& utf8Path) {
    struct stat info {};
    return stat(utf8Path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(utf8Path.c_str(), W_OK | X_OK) == 0;
}

// ---------------------------------------------------------------------------------------------
// Locks: flock belongs to the open file, which the system closes when the holder ends.

LockOutcome TryLockFile(const std::string& path, FileLock& lock, std::string& error) {
    lock = kNoFileLock;
    error.clear();
    int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        // Never descriptor 0, which is no lock, nor a standard stream.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int moveError = errno;
        close(fd);
        fd = moved;
        errno = moveError;
    }
    if (fd < 0) {
        error = "cannot lock " + path + ": " + ErrorText(errno);
        return LockOutcome::Failed;
    }
    if (LockRetrying(fd) != 0) {
        const int lockError = errno;
        close(fd);
        if (lockError == EWOULDBLOCK)
            return LockOutcome::Busy;
        error = "cannot lock " + path + ": " + ErrorText(lockError);
        return LockOutcome::Failed;
    }
    lock = static_cast<FileLock>(fd);
    return LockOutcome::Taken;
}

void ReleaseFileLock(FileLock lock) {
    if (lock != kNoFileLock)
        close(static_cast<int>(lock));  // lets go of the lock with the file
}

// ---------------------------------------------------------------------------------------------
// Interrupts.

void InstallInterruptHandlers() {
    posix_process::RecordStartSignalState();
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        if (posix_process::SignalIgnoredAtStart(signalNumber))
            continue;  // started with it ignored (nohup): it stays so
        struct sigaction caught {};
        caught.sa_handler = OnInterrupt;
        sigemptyset(&caught.sa_mask);
        caught.sa_flags = 0;  // no SA_RESTART: a sleep or a wait wakes to look at the flag
        sigaction(signalNumber, &caught, nullptr);
    }
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    sigemptyset(&ignored.sa_mask);
    sigaction(SIGPIPE, &ignored, nullptr);
}

int PendingInterrupt() {
    return pendingInterrupt.load();
}

unsigned InterruptCount() {
    return interruptCount.load();
}

void InterruptHandled() {}

// ---------------------------------------------------------------------------------------------
// Terminal.

bool TerminalSize(unsigned& rows, unsigned& columns) {
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return false;
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Serial ports.

std::string SerialDeviceTarget(const std::string& commName, const std::string& directory) {
    std::string path = SerialDevicePath(commName, directory);
    if (path.empty())
        return {};
    const std::string systemDevice = "/dev/ttyS" + std::to_string(SerialPortNumber(commName) - 1);
    if (path == systemDevice)
        return path;
    // The dosdevices entry: the device it leads to, or where it points when that is missing.
    int error = 0;
    std::string resolved = RealPath(path, error);
    if (!resolved.empty())
        return resolved;
    return error == ENOENT ? MissingEndOf(path) : path;
}

std::string SerialPortOpenProblem(const std::string& commName, const std::string& directory,
                                  std::uint32_t baudRate) {
    const std::string path = SerialDevicePath(commName, directory);
    if (path.empty())
        return "does not exist";  // no name of a port
    const int fd = OpenRetrying(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int openError = errno;
        if (openError == ENOENT)
            return "does not exist";  // also a link that leads nowhere
        if (openError == EBUSY)
            return "in use";  // held with TIOCEXCL
        return ErrorText(openError);
    }
    std::string problem;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) || isatty(fd) == 0) {
        problem = "is not a serial device";
    } else if (LockRetrying(fd) != 0) {
        const int lockError = errno;
        problem = lockError == EWOULDBLOCK ? "in use" : ErrorText(lockError);
    } else if (const std::uint32_t held = serial_posix::RequestLineSpeed(fd, baudRate);
               held != 0 && !serial_posix::LineSpeedKept(baudRate, held)) {
        problem = "holds " + std::to_string(held) + " baud when asked for " +
                  std::to_string(baudRate);
    }
    close(fd);  // also drops the lock just taken
    return problem;
}

// ---------------------------------------------------------------------------------------------
// Text.

std::string Cp936ToUtf8(std::string_view bytes) {
    Gbk gbk;
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 4);
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            out.push_back(bytes[at]);
            ++at;
            continue;
        }
        // Two bytes make a character; a single 0x80 or 0xFF is none (some converters take 0x80
        // for the euro sign, which GBK does not have there).
        if (IsLeadByte(byte) && at + 1 < bytes.size() &&
            IsTrailByte(static_cast<unsigned char>(bytes[at + 1])) &&
            gbk.AppendPair(bytes.data() + at, out)) {
            at += 2;
            continue;
        }
        out += kReplacement;  // and the next byte starts afresh
        ++at;
    }
    return out;
}

}  // namespace platform
