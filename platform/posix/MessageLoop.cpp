// The user-interface thread's message loop on POSIX: notification targets (stand-ins for hidden
// windows), posting from any thread, periodic timers.
//
// Posted notifications travel as fixed-size records through one non-blocking pipe. A write of
// fewer than PIPE_BUF bytes is atomic, so any number of threads can post without a lock and the
// records come out in posting order; a full pipe makes the post fail instead of blocking, as a
// full window message queue does. Only the user-interface thread reads the pipe and touches the
// target handlers and timers.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

struct NotificationRecord {
    NotificationTarget target;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};
static_assert(sizeof(NotificationRecord) <= PIPE_BUF, "a record must be written atomically");

constexpr unsigned kMaxTargets = 64;
constexpr int kPipeBytes = 1 << 20;  // room for tens of thousands of queued notifications

// A target id holds the slot index in its low byte and a generation above it, so a post to a
// destroyed target fails even after its slot has been reused.
struct TargetSlot {
    std::atomic<NotificationTarget> id{0};
    NotificationHandler handler = nullptr;
    NotificationHandler discard = nullptr;
    void* context = nullptr;
};

struct Timer {
    std::uint32_t id;
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
    TimerHandler handler;
    void* context;
};

std::array<TargetSlot, kMaxTargets> targetSlots;
std::uint32_t nextGeneration = 1;

std::atomic<int> pipeReadFd{-1};
std::atomic<int> pipeWriteFd{-1};

// Records read from the pipe but not yet handled (a quit can come in the middle of a batch).
std::vector<NotificationRecord> pendingRecords;
std::size_t pendingNext = 0;

std::vector<Timer> timers;
std::uint32_t nextTimerId = 1;

bool quitRequested = false;

bool EnsurePipe() {
    if (pipeReadFd.load() >= 0)
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
#ifdef F_SETPIPE_SZ
    (void)fcntl(fds[1], F_SETPIPE_SZ, kPipeBytes);  // best effort; the default size also works
#endif
    pipeWriteFd.store(fds[1]);
    pipeReadFd.store(fds[0]);
    return true;
}

TargetSlot* SlotOf(NotificationTarget target) {
    if (target == 0)
        return nullptr;
    TargetSlot& slot = targetSlots[target % kMaxTargets];
    return slot.id.load(std::memory_order_acquire) == target ? &slot : nullptr;
}

// Appends whole records read from the pipe to pendingRecords; false when nothing was there.
bool ReadRecords() {
    const int fd = pipeReadFd.load();
    if (fd < 0)
        return false;
    std::array<NotificationRecord, 256> batch;
    for (;;) {
        const ssize_t n = read(fd, batch.data(), sizeof batch);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Writers put whole records, and the pipe keeps them whole for a reader that asks for
        // whole records, so n is always a multiple of the record size.
        const auto count = static_cast<std::size_t>(n) / sizeof(NotificationRecord);
        pendingRecords.insert(pendingRecords.end(), batch.begin(),
                              batch.begin() + static_cast<std::ptrdiff_t>(count));
        return count > 0;
    }
}

// Reads whatever the pipe holds now into pendingRecords. Returns false when nothing was there.
bool FillPending() {
    if (pendingNext < pendingRecords.size())
        return true;
    pendingRecords.clear();
    pendingNext = 0;
    return ReadRecords();
}

// The loop is the last guard of the user-interface thread: a failure that a handler lets out
// ends that handler's work, not the loop.
void CallHandler(NotificationHandler handler, void* context, const NotificationRecord& record) {
    try {
        handler(context, record.message, record.wParam, record.lParam);
    } catch (...) {
    }
}

// Handles pending notifications until none is left or a handler asks to quit.
// Returns true when at least one record was taken.
bool DispatchNotifications() {
    bool any = false;
    while (!quitRequested && FillPending()) {
        while (!quitRequested && pendingNext < pendingRecords.size()) {
            const NotificationRecord record = pendingRecords[pendingNext++];
            any = true;
            if (TargetSlot* slot = SlotOf(record.target))
                CallHandler(slot->handler, slot->context, record);
        }
    }
    return any;
}

bool NotificationWaiting() {
    if (pendingNext < pendingRecords.size())
        return true;
    const int fd = pipeReadFd.load();
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// Fires at most one tick per due timer. A late timer is not made up: its next tick is one
// interval after now.
void FireDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < timers.size() && !quitRequested; ++i) {
        if (timers[i].due > now)
            continue;
        auto next = timers[i].due + timers[i].interval;
        if (next <= now)
            next = now + timers[i].interval;
        timers[i].due = next;
        const Timer fired = timers[i];  // the handler may start or stop timers
        try {
            fired.handler(fired.context);
        } catch (...) {
        }
    }
}

int MillisecondsToNextTimer() {
    if (timers.empty())
        return -1;
    auto earliest = timers.front().due;
    for (const Timer& t : timers) earliest = std::min(earliest, t.due);
    const auto wait = earliest - std::chrono::steady_clock::now();
    if (wait <= std::chrono::steady_clock::duration::zero())
        return 0;
    // Round up so that the tick is due when poll returns.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

}  // namespace

NotificationTarget CreateNotificationTarget(NotificationHandler handler, void* context,
                                            NotificationHandler discard) {
    if (handler == nullptr || !EnsurePipe())
        return 0;
    for (unsigned index = 0; index < kMaxTargets; ++index) {
        TargetSlot& slot = targetSlots[index];
        if (slot.id.load() != 0)
            continue;
        slot.handler = handler;
        slot.discard = discard;
        slot.context = context;
        NotificationTarget id = nextGeneration++ * kMaxTargets + index;
        if (id == 0)
            id = nextGeneration++ * kMaxTargets + index;
        slot.id.store(id, std::memory_order_release);
        return id;
    }
    return 0;
}

void DestroyNotificationTarget(NotificationTarget target) {
    TargetSlot* slot = SlotOf(target);
    if (slot == nullptr)
        return;
    slot->id.store(0, std::memory_order_release);
    // Its records may wait in the pipe or in the batch already read from it. What the pipe holds
    // now is read into the batch (the order of the others is kept), and the target's records are
    // taken out of it and handed to discard.
    int queuedBytes = 0;
    const int fd = pipeReadFd.load();
    if (fd >= 0 && ioctl(fd, FIONREAD, &queuedBytes) == 0 && queuedBytes > 0) {
        const std::size_t wanted = pendingRecords.size() + static_cast<std::size_t>(queuedBytes) /
                                                               sizeof(NotificationRecord);
        while (pendingRecords.size() < wanted && ReadRecords()) {
        }
    }
    const NotificationHandler discard = slot->discard;
    void* const context = slot->context;
    slot->handler = nullptr;
    slot->discard = nullptr;
    slot->context = nullptr;
    for (std::size_t i = pendingNext; i < pendingRecords.size(); ++i) {
        if (pendingRecords[i].target != target)
            continue;
        pendingRecords[i].target = 0;  // never dispatched
        const NotificationRecord record = pendingRecords[i];
        if (discard != nullptr)
            CallHandler(discard, context, record);
    }
}

bool PostNotification(NotificationTarget target, std::uint32_t message, std::uintptr_t wParam,
                      std::intptr_t lParam) {
    if (SlotOf(target) == nullptr)
        return false;
    const int fd = pipeWriteFd.load();
    if (fd < 0)
        return false;
    const NotificationRecord record{target, message, wParam, lParam};
    for (;;) {
        const ssize_t n = write(fd, &record, sizeof record);
        if (n == static_cast<ssize_t>(sizeof record))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;  // queue full (EAGAIN) or pipe gone
    }
}

std::uint32_t StartTimer(unsigned intervalMs, TimerHandler handler, void* context) {
    if (handler == nullptr || intervalMs == 0)
        return 0;
    const std::uint32_t id = nextTimerId++;
    const std::chrono::milliseconds interval(intervalMs);
    timers.push_back({id, interval, std::chrono::steady_clock::now() + interval, handler, context});
    return id;
}

void StopTimer(std::uint32_t timer) {
    std::erase_if(timers, [timer](const Timer& t) { return t.id == timer; });
}

void RunMessageLoop() {
    EnsurePipe();
    quitRequested = false;
    while (!quitRequested) {
        if (NotificationWaiting()) {
            DispatchNotifications();
            continue;  // notifications first; ticks only when the queue is empty
        }
        FireDueTimers();
        if (quitRequested)
            break;
        const int timeout = MillisecondsToNextTimer();
        if (timeout == 0)
            continue;
        pollfd p{pipeReadFd.load(), POLLIN, 0};
        if (poll(&p, 1, timeout) < 0 && errno != EINTR) {
            // The pipe is gone; nothing more can arrive. Keep the timers alive by sleeping.
            if (timeout > 0) {
                const timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
                nanosleep(&ts, nullptr);
            } else {
                break;
            }
        }
    }
    quitRequested = false;
}

void QuitMessageLoop() {
    quitRequested = true;
}

void ProcessPendingNotifications() {
    EnsurePipe();
    const bool wasQuitting = quitRequested;
    quitRequested = false;
    DispatchNotifications();
    quitRequested = wasQuitting;
}

}  // namespace platform
