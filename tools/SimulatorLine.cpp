// The line: making it, reading commands off it while answering, writing packets with the faults
// and timing asked for, pacing, and the end of the last answer (see SimulatorLine.h).
#include "SimulatorLine.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

namespace sim {

volatile sig_atomic_t stopRequested = 0;

namespace {

std::string linkPath;

// How long --exit-after waits for the tester to let go of the line after the last answer.
constexpr int kLastAnswerWaitMs = 3000;

// How long a write waits for room on a line nobody reads before its bytes are dropped.
constexpr int kNoRoomMs = 1000;

// Paced bytes go out in pieces of at most this many, each written once its last byte is due: a
// piece takes 0.7 ms at the line's rate, so a reader sees the bytes come in steadily.
constexpr std::size_t kPacedPiece = 64;

// How long the line may have been idle and the bytes after it still go on the clock of the burst
// before: a wakeup that comes this much late is made up by the next bytes (at most 91 of them at
// 1,000,000 baud, as a UART's FIFO would send them), a longer silence starts a new burst.
constexpr std::int64_t kIdleSlackNs = 1000000;

timespec Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

std::int64_t NowNs() {
    const timespec t = Now();
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int MillisecondsSince(const timespec& start) {
    const timespec now = Now();
    return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 +
                            (now.tv_nsec - start.tv_nsec) / 1000000);
}

// Raw mode, two stop bits, and the line speed when asked; false when the speed is one the
// device does not take, so that a dry run never goes on at a rate nobody asked for.
bool MakeRaw(int fd, unsigned baud, bool setSpeed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return !setSpeed;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (setSpeed && cfsetspeed(&t, static_cast<speed_t>(baud == 1000000 ? B1000000 : baud)) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &t) == 0 || !setSpeed;
}

}  // namespace

void Fail(const std::string& what) {
    std::fprintf(stderr, "zq-programmer-sim: %s: %s\n", what.c_str(), std::strerror(errno));
    RemoveLink();
    std::exit(2);
}

void SleepMs(unsigned ms) {
    if (ms == 0)
        return;
    const timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

LineEnds OpenLine(const Options& options) {
    LineEnds line;
    if (!options.device.empty()) {
        line.fd = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line.fd < 0)
            Fail("cannot open " + options.device);
        if (!MakeRaw(line.fd, options.baud, true))
            Fail("cannot set " + options.device + " to " + std::to_string(options.baud) + " baud");
        std::printf("DEVICE %s\n", options.device.c_str());
        return line;
    }
    line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0)
        Fail("cannot create a pseudo-terminal");
    const char* name = ptsname(line.fd);
    if (name == nullptr)
        Fail("cannot name the pseudo-terminal");
    const std::string slaveName = name;
    // Holding the terminal side open keeps the line up between two runs of the tester.
    line.slaveFd = open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.slaveFd < 0)
        Fail("cannot open " + slaveName);
    MakeRaw(line.slaveFd, options.baud, false);
    MakeRaw(line.fd, options.baud, false);
    std::printf("PTY %s\n", slaveName.c_str());
    if (!options.linkDir.empty()) {
        const std::string dir = options.linkDir + "/dosdevices";
        mkdir(dir.c_str(), 0755);
        linkPath = dir + "/com" + std::to_string(options.com);
        unlink(linkPath.c_str());
        if (symlink(slaveName.c_str(), linkPath.c_str()) != 0)
            Fail("cannot place " + linkPath);
        std::printf("LINK %s\n", linkPath.c_str());
    }
    return line;
}

void RemoveLink() {
    if (!linkPath.empty())
        unlink(linkPath.c_str());
}

void Record(FILE* record, const std::uint8_t* bytes, std::size_t count) {
    if (record == nullptr)
        return;
    (void)std::fwrite(bytes, 1, count, record);
    (void)std::fflush(record);
}

// ---------------------------------------------------------------------------------------------
// Receiver

void Receiver::Take(const std::uint8_t* bytes, std::size_t count) {
    Record(record_, bytes, count);
    reader_.Feed(bytes, count, [this](const Bytes& packet) {
        if (busy_ && CommandOf(packet) == "REST")
            resets_.push_back(packet);
        else
            waiting_.push_back(packet);
    });
}

void Receiver::Listen(unsigned ms) {
    const timespec started = Now();
    for (;;) {
        if (stopRequested)
            return;
        const int left = std::max(0, static_cast<int>(ms) - MillisecondsSince(started));
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) > 0) {
            std::uint8_t buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                Take(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                SleepMs(static_cast<unsigned>(std::min(left, 10)));  // no one on the line
        }
        if (left == 0)
            return;
    }
}

Bytes Receiver::NextCommand() {
    std::deque<Bytes>& from = resets_.empty() ? waiting_ : resets_;
    Bytes packet = std::move(from.front());
    from.pop_front();
    return packet;
}

// ---------------------------------------------------------------------------------------------
// Pacer

Pacer::Pacer(double bytesPerSecond) {
    if (bytesPerSecond > 0)
        nsPerByte_ = 1e9 / bytesPerSecond;
}

void Pacer::AwaitTurnOf(std::size_t count) {
    if (!Pacing() || count == 0)
        return;
    const std::int64_t now = NowNs();
    const auto idleFrom =
        startNs_ + static_cast<std::int64_t>(static_cast<double>(sent_) * nsPerByte_);
    if (now >= idleFrom + kIdleSlackNs) {
        startNs_ = now;
        sent_ = 0;
    }
    const auto lastByte = static_cast<double>(sent_ + count - 1);
    const std::int64_t due = startNs_ + static_cast<std::int64_t>(std::ceil(lastByte * nsPerByte_));
    if (due <= now)
        return;
    const timespec until{static_cast<time_t>(due / 1000000000),
                         static_cast<long>(due % 1000000000)};
    // An absolute time counted from the burst's start: a wakeup that comes late is made up by
    // the pieces after it, so that the rate holds on average; a signal makes the wait go on.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR &&
           !stopRequested) {
    }
}

// ---------------------------------------------------------------------------------------------
// Line

void Line::Write(const Bytes& bytes) {
    if (options_.merge) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        return;
    }
    if (options_.split == 0) {
        WriteAll(bytes.data(), bytes.size());
        return;
    }
    for (std::size_t at = 0; at < bytes.size(); at += options_.split) {
        const std::size_t n = std::min<std::size_t>(options_.split, bytes.size() - at);
        WriteAll(bytes.data() + at, n);
        receiver_.Listen(options_.splitGapMs);
    }
}

void Line::Fill() {
    const std::uint8_t fill = 0xFF;
    pacer_.AwaitTurnOf(1);
    const ssize_t written = write(fd_, &fill, 1);
    if (written == 1)
        pacer_.Sent(1);
}

void Line::Flush() {
    if (!pending_.empty())
        WriteAll(pending_.data(), pending_.size());
    pending_.clear();
}

void Line::Pause(unsigned ms) {
    if (!aborted_)
        receiver_.Listen(ms);
}

void Line::BeginAnswer() {
    packetsSent_ = 0;
    aborted_ = false;
}

void Line::SendPacket(const Bytes& packet) {
    if (aborted_ || stopRequested)
        return;
    if (options_.vanishAfter >= 0 && packetsSent_ >= options_.vanishAfter) {
        Flush();
        SleepMs(300);  // what was sent is on its way before the line goes dead
        std::fprintf(stdout, "VANISHED\n");
        std::fflush(stdout);
        close(fd_);
        RemoveLink();
        std::exit(0);
    }
    receiver_.Listen(options_.delayMs);
    if (receiver_.ResetWaiting()) {
        aborted_ = true;
        pending_.clear();
        return;
    }
    if (stopRequested)
        return;
    if (options_.shortFrames)
        Write(Frame(Bytes{0xFD, 0x10, 0x00, 0xF3}));
    if (options_.badEscape) {
        Bytes bad{kEnd, 0xFD, kEsc, 0x41, 0x01, 0x02, 0x03, 0x04, 0x05, kEnd};
        Write(bad);
    }
    if (options_.badCheck && packet[0] == 0xFD) {
        Bytes spoiled = packet;
        spoiled[7] = static_cast<std::uint8_t>(spoiled[7] + 1);
        Write(Frame(spoiled));
    }
    Write(Frame(packet));
    ++packetsSent_;
}

Bytes Line::Frame(const Bytes& packet) {
    Bytes out;
    if (options_.noise) {
        const unsigned n = 1 + Random() % 8;
        for (unsigned i = 0; i < n; ++i) {
            std::uint8_t b = static_cast<std::uint8_t>(Random());
            if (b == kEnd)
                b = 0x5A;
            out.push_back(b);
        }
    }
    out.push_back(kEnd);
    AppendStuffed(out, packet);
    out.push_back(kEnd);
    if (options_.fill)
        out.insert(out.end(), 5, 0xFF);
    return out;
}

unsigned Line::Random() {
    seed_ = seed_ * 1103515245u + 12345u;
    return (seed_ >> 16) & 0x7FFF;
}

// With --pace the bytes go in pieces, each once its turn has come; otherwise in one piece.
void Line::WriteAll(const std::uint8_t* data, std::size_t count) {
    while (count > 0 && !stopRequested) {
        const std::size_t piece = pacer_.Pacing() ? std::min(count, kPacedPiece) : count;
        pacer_.AwaitTurnOf(piece);
        if (!WritePiece(data, piece))
            return;
        data += piece;
        count -= piece;
    }
}

// The line is non-blocking. While no tester has the pty open, what is written waits in the
// input queue of the terminal side until a tester reads it or clears it on opening the port;
// once that queue is full (or when a device takes nothing), bytes that find no room within
// kNoRoomMs are dropped, as on a line that nobody listens to. A failed write (EIO: a device
// gone) loses its bytes; the answer goes on. False when bytes were lost (the rest of the write
// is dropped with them) or a stop request came.
bool Line::WritePiece(const std::uint8_t* data, std::size_t count) {
    timespec lastRoom = Now();
    while (count > 0 && !stopRequested) {
        const ssize_t n = write(fd_, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            pacer_.Sent(static_cast<std::size_t>(n));
            lastRoom = Now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && MillisecondsSince(lastRoom) < kNoRoomMs) {
            pollfd p{fd_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return count == 0;
}

// ---------------------------------------------------------------------------------------------
// The end of the last answer

void AwaitLastAnswerTaken(int fd, int& slaveFd, FILE* record) {
    if (slaveFd < 0) {
        tcdrain(fd);
        return;
    }
    close(slaveFd);
    slaveFd = -1;
    const timespec started = Now();
    for (;;) {
        const int left = kLastAnswerWaitMs - MillisecondsSince(started);
        if (left <= 0 || stopRequested)
            return;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, left);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        if (!(p.revents & POLLIN))
            return;  // hung up: the tester has closed its side
        std::uint8_t buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            Record(record, buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            return;  // EIO once what the tester wrote last has been read
    }
}

}  // namespace sim
