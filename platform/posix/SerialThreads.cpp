// The receive and transmit thread bodies on POSIX, with the close event and the transmit queue.
//
// Every wait is one poll() over the device and the close event, so a close signalled during any
// wait ends the thread at once. The close event is an eventfd (a pipe elsewhere) that is written
// once and never read: it stays readable, like a manual-reset event that stays signalled. The
// transmit queue is a pipe that carries (block, count) records; a record is far smaller than
// PIPE_BUF, so each write of one is atomic and no lock is needed.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstring>

#include "SerialPosix.h"

namespace platform {

using serial_posix::DeviceOf;
using serial_posix::OpenDevice;

namespace {

struct FdPair {
    int readFd = -1;
    int writeFd = -1;
};

FdPair* PairOf(std::intptr_t handle) {
    return reinterpret_cast<FdPair*>(handle);
}

std::intptr_t CreateFdPair(bool eventCounter) {
    auto* pair = new FdPair;
#ifdef __linux__
    if (eventCounter) {
        const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) {
            delete pair;
            return 0;
        }
        pair->readFd = pair->writeFd = fd;
        return reinterpret_cast<std::intptr_t>(pair);
    }
#else
    (void)eventCounter;
#endif
    int fds[2];
    if (pipe(fds) != 0) {
        delete pair;
        return 0;
    }
    for (int fd : fds) {
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    pair->readFd = fds[0];
    pair->writeFd = fds[1];
    return reinterpret_cast<std::intptr_t>(pair);
}

void DestroyFdPair(std::intptr_t handle) {
    FdPair* pair = PairOf(handle);
    if (pair == nullptr)
        return;
    close(pair->readFd);
    if (pair->writeFd != pair->readFd)
        close(pair->writeFd);
    delete pair;
}

struct WriteRecord {
    std::uint8_t* block;
    std::uint16_t count;
};
static_assert(sizeof(WriteRecord) <= PIPE_BUF, "a request must be written atomically");

bool TakeWriteRequest(int queueFd, WriteRecord& record) {
    for (;;) {
        const ssize_t n = read(queueFd, &record, sizeof record);
        if (n == static_cast<ssize_t>(sizeof record))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// poll() with an infinite wait given as -1; the smaller of two waits, -1 meaning none.
int ShorterWait(int a, int b) {
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

// Line error and modem counters, where the driver keeps them (not on a pseudo-terminal).
struct LineCounters {
    bool available = false;
#ifdef __linux__
    serial_icounter_struct last{};
#endif
};

void StartLineCounters(int fd, LineCounters& counters) {
#ifdef __linux__
    counters.available = ioctl(fd, TIOCGICOUNT, &counters.last) == 0;
#else
    (void)fd;
    counters.available = false;
#endif
}

// How often the counters are looked at; a pseudo-terminal has none and is never polled.
constexpr int kLineCounterPollMs = 20;

enum class Step { Continue, Stop };

// Posts a notification; a failed post is an unexpected failure that ends the thread.
Step PostOrHangUp(NotificationTarget target, std::uint32_t message, std::intptr_t lParam) {
    if (PostNotification(target, message, 0, lParam))
        return Step::Continue;
    PostNotification(target, WM_COMM_HANGUP, 0, 0);
    return Step::Stop;
}

Step CheckLineCounters(int fd, LineCounters& counters, NotificationTarget target) {
#ifdef __linux__
    serial_icounter_struct now{};
    if (ioctl(fd, TIOCGICOUNT, &now) != 0) {
        if (errno == EBADF)
            return Step::Stop;
        PostNotification(target, WM_COMM_HANGUP, 0, 0);
        return Step::Stop;
    }
    const serial_icounter_struct& was = counters.last;
    std::uint32_t errors = 0;
    if (now.buf_overrun != was.buf_overrun)
        errors |= kLineErrorRxOver;
    if (now.overrun != was.overrun)
        errors |= kLineErrorOverrun;
    if (now.parity != was.parity)
        errors |= kLineErrorParity;
    if (now.frame != was.frame)
        errors |= kLineErrorFrame;
    if (now.brk != was.brk)
        errors |= kLineErrorBreak;
    std::uint32_t modem = 0;
    if (now.dcd != was.dcd)
        modem |= kModemCarrierChanged;
    if (now.rng != was.rng)
        modem |= kModemRingSeen;
    counters.last = now;
    // A line error is reported before a modem event seen at the same look.
    if (errors != 0 && PostOrHangUp(target, WM_COMM_ERROR, errors) == Step::Stop)
        return Step::Stop;
    if (modem != 0 && PostOrHangUp(target, WM_COMM_MODEM, modem) == Step::Stop)
        return Step::Stop;
#else
    (void)fd;
    (void)counters;
    (void)target;
#endif
    return Step::Continue;
}

// Hands a chunk to the owner in a new data block.
Step HandOff(const std::uint8_t* bytes, std::size_t count, NotificationTarget target) {
    std::uint8_t* block = AllocateDataBlock(count);
    if (block == nullptr) {
        PostNotification(target, WM_COMM_HANGUP, 0, 0);
        return Step::Stop;
    }
    std::memcpy(block, bytes, count);
    if (!PostNotification(target, WM_COMM_DATA, count, reinterpret_cast<std::intptr_t>(block))) {
        ReleaseDataBlock(block);
        PostNotification(target, WM_COMM_HANGUP, 0, 0);
        return Step::Stop;
    }
    return Step::Continue;
}

enum class ReadOutcome { Chunk, Closed, Stopped };

// One read: waits without limit for the first byte (or up to the total limit), then gathers
// bytes until the read interval passes without a further byte or the buffer is full.
ReadOutcome ReadChunk(OpenDevice& device, int closeFd, LineCounters& counters,
                      NotificationTarget target, std::uint8_t* buffer, std::size_t& count,
                      bool& deviceGone) {
    count = 0;
    // The interval is taken afresh with every arrival, so a change while open applies at once.
    std::uint32_t interval = device.readInterval.load();
    const std::uint32_t totalMultiplier = device.readTotalMultiplier.load();
    const std::uint32_t totalConstant = device.readTotalConstant.load();
    const bool totalLimit = totalMultiplier != 0 || totalConstant != 0;
    const auto totalSpan = std::chrono::milliseconds(
        static_cast<std::uint64_t>(totalMultiplier) * kSerialReadChunk + totalConstant);
    auto totalDeadline = Clock::now() + totalSpan;
    // MAXDWORD as the interval: a read returns at once with what has arrived.
    const bool returnAtOnce = interval == 0xFFFFFFFFu && !totalLimit;
    Clock::time_point gapDeadline{};

    for (;;) {
        int wait = -1;
        if (count > 0 && interval != 0)
            wait = returnAtOnce ? 0 : MillisecondsUntil(gapDeadline);
        if (totalLimit)
            wait = ShorterWait(wait, MillisecondsUntil(totalDeadline));
        if (counters.available)
            wait = ShorterWait(wait, kLineCounterPollMs);

        pollfd fds[2] = {{closeFd, POLLIN, 0}, {device.fd, POLLIN, 0}};
        const int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            PostNotification(target, WM_COMM_HANGUP, 0, 0);
            return ReadOutcome::Stopped;
        }
        // The close event wins over everything that is ready at the same time.
        if (fds[0].revents != 0)
            return ReadOutcome::Closed;
        if (fds[1].revents & POLLNVAL)
            return ReadOutcome::Stopped;  // the descriptor is gone: stop quietly

        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(device.fd, buffer + count, kSerialReadChunk - count);
            if (n > 0) {
                count += static_cast<std::size_t>(n);
                interval = device.readInterval.load();
                if (count == kSerialReadChunk || returnAtOnce)
                    return ReadOutcome::Chunk;
                gapDeadline = Clock::now() + std::chrono::milliseconds(interval);
                continue;
            }
            // Nothing to read although the driver reported input: the input was purged in
            // between (a close under way). Only a hang-up or an error means the device has gone.
            const bool lineDown = (fds[1].revents & (POLLHUP | POLLERR)) != 0;
            if (n == 0 && !lineDown)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EINTR) && !(fds[1].revents & POLLHUP))
                continue;
            if (n < 0 && errno == EBADF)
                return ReadOutcome::Stopped;
            // End of file, an I/O error or a hang-up of the line: the device has gone. What had
            // already arrived is still delivered.
            deviceGone = true;
            return count > 0 ? ReadOutcome::Chunk : ReadOutcome::Stopped;
        }

        if (counters.available && CheckLineCounters(device.fd, counters, target) == Step::Stop)
            return ReadOutcome::Stopped;
        if (count > 0 && interval != 0 && Clock::now() >= gapDeadline)
            return ReadOutcome::Chunk;
        if (totalLimit && Clock::now() >= totalDeadline) {
            if (count > 0)
                return ReadOutcome::Chunk;
            // An empty read is not handed on and does not end the thread: reading goes on.
            totalDeadline = Clock::now() + totalSpan;
        }
    }
}

enum class BlockWritten { Written, Failed };

BlockWritten WriteBlock(int fd, int closeFd, const std::uint8_t* data, std::size_t count,
                        NotificationTarget target) {
    std::size_t offset = 0;
    while (offset < count) {
        const ssize_t n = write(fd, data + offset, count - offset);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);  // a partial write goes on with the rest
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EBADF)
            return BlockWritten::Failed;
        if (n < 0 && errno != EAGAIN) {
            PostNotification(target, WM_COMM_HANGUP, 0, 0);
            return BlockWritten::Failed;
        }
        pollfd fds[2] = {{closeFd, POLLIN, 0}, {fd, POLLOUT, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            PostNotification(target, WM_COMM_HANGUP, 0, 0);
            return BlockWritten::Failed;
        }
        if (fds[0].revents != 0)
            return BlockWritten::Failed;
        if (fds[1].revents & POLLNVAL)
            return BlockWritten::Failed;
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLOUT)) {
            PostNotification(target, WM_COMM_HANGUP, 0, 0);
            return BlockWritten::Failed;
        }
    }
    return BlockWritten::Written;
}

}  // namespace

CloseEvent CreateCloseEvent() {
    return CreateFdPair(true);
}

void SignalCloseEvent(CloseEvent event) {
    FdPair* pair = PairOf(event);
    if (pair == nullptr)
        return;
    const std::uint64_t one = 1;
    // On a pipe one byte is enough; on an eventfd the write must be eight bytes.
    const ssize_t written = write(pair->writeFd, &one, pair->readFd == pair->writeFd ? 8 : 1);
    (void)written;
}

bool CloseEventSignalled(CloseEvent event) {
    FdPair* pair = PairOf(event);
    if (pair == nullptr)
        return true;
    pollfd p{pair->readFd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;  // anything but "not ready" counts as signalled
}

void DestroyCloseEvent(CloseEvent event) {
    DestroyFdPair(event);
}

WriteQueue CreateWriteQueue() {
    return CreateFdPair(false);
}

// The block is not const: it passes to the transmit thread, which writes it and releases it.
// NOLINTNEXTLINE(readability-non-const-parameter)
bool PostWriteRequest(WriteQueue queue, std::uint8_t* block, std::uint16_t count) {
    FdPair* pair = PairOf(queue);
    if (pair == nullptr)
        return false;
    const WriteRecord record{block, count};
    for (;;) {
        const ssize_t n = write(pair->writeFd, &record, sizeof record);
        if (n == static_cast<ssize_t>(sizeof record))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void DiscardWriteRequests(WriteQueue queue) {
    FdPair* pair = PairOf(queue);
    if (pair == nullptr)
        return;
    WriteRecord record;
    while (TakeWriteRequest(pair->readFd, record)) ReleaseDataBlock(record.block);
}

void DestroyWriteQueue(WriteQueue queue) {
    DiscardWriteRequests(queue);
    DestroyFdPair(queue);
}

void RunSerialReceiveLoop(SerialDevice device, CloseEvent closeEvent, NotificationTarget target) {
    OpenDevice* d = DeviceOf(device);
    FdPair* close = PairOf(closeEvent);
    if (d == nullptr || close == nullptr) {
        PostNotification(target, WM_COMM_HANGUP, 0, 0);
        return;
    }
    LineCounters counters;
    StartLineCounters(d->fd, counters);
    std::uint8_t buffer[kSerialReadChunk];
    for (;;) {
        std::size_t count = 0;
        bool deviceGone = false;
        const ReadOutcome outcome =
            ReadChunk(*d, close->readFd, counters, target, buffer, count, deviceGone);
        if (outcome != ReadOutcome::Chunk) {
            if (deviceGone)
                PostNotification(target, WM_COMM_HANGUP, 0, 0);
            break;
        }
        if (HandOff(buffer, count, target) == Step::Stop)
            break;
        if (deviceGone) {
            PostNotification(target, WM_COMM_HANGUP, 0, 0);
            break;
        }
    }
    serial_posix::FlushQueues(d->fd, true, false);
}

void RunSerialTransmitLoop(SerialDevice device, CloseEvent closeEvent, WriteQueue queue,
                           NotificationTarget target) {
    OpenDevice* d = DeviceOf(device);
    FdPair* close = PairOf(closeEvent);
    FdPair* requests = PairOf(queue);
    if (d == nullptr || close == nullptr || requests == nullptr) {
        PostNotification(target, WM_COMM_HANGUP, 0, 0);
        return;
    }
    bool reportEmpty = true;
    for (;;) {
        WriteRecord record;
        if (!TakeWriteRequest(requests->readFd, record)) {
            if (reportEmpty && PostOrHangUp(target, WM_COMM_EMPTY, 0) == Step::Stop)
                break;
            reportEmpty = false;
            pollfd fds[2] = {{close->readFd, POLLIN, 0}, {requests->readFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                PostNotification(target, WM_COMM_HANGUP, 0, 0);
                break;
            }
            if (fds[0].revents != 0)
                break;
            if (fds[1].revents & (POLLERR | POLLNVAL)) {
                PostNotification(target, WM_COMM_HANGUP, 0, 0);
                break;
            }
            continue;
        }
        if (CloseEventSignalled(closeEvent)) {
            ReleaseDataBlock(record.block);
            break;
        }
        const BlockWritten written =
            WriteBlock(d->fd, close->readFd, record.block, record.count, target);
        ReleaseDataBlock(record.block);
        if (written == BlockWritten::Failed)
            break;
        reportEmpty = true;
    }
    DiscardWriteRequests(queue);
    serial_posix::FlushQueues(d->fd, false, true);
}

}  // namespace platform
