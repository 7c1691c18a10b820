// The user-interface thread's message loop: in-order delivery of notifications posted from other
// threads, targets that vanish with what was queued for them, timer ticks that are never made up,
// notifications before ticks, and handlers that throw.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Platform.h"
#include "SerialDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> records;  // (message, wParam)
};

void Record(void* context, std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
    static_cast<Received*>(context)->records.emplace_back(message, wParam);
}

class TargetGuard {
  public:
    explicit TargetGuard(Received& r) : id(platform::CreateNotificationTarget(&Record, &r)) {}
    ~TargetGuard() { platform::DestroyNotificationTarget(id); }
    platform::NotificationTarget id;
};

TEST(MessageLoop, PostsFromSeveralThreadsArriveCompleteAndInEachThreadsOrder) {
    Received received;
    TargetGuard target(received);
    ASSERT_NE(target.id, 0u);

    constexpr int kThreads = 4;
    constexpr std::uintptr_t kPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uintptr_t i = 0; i < kPerThread; ++i) {
                while (!platform::PostNotification(target.id, 1000 + t, i, 0)) {
                    std::this_thread::yield();  // queue full: the reader below catches up
                }
            }
        });
    }
    while (received.records.size() < kThreads * kPerThread) platform::ProcessPendingNotifications();
    for (auto& th : threads) th.join();
    platform::ProcessPendingNotifications();

    ASSERT_EQ(received.records.size(), kThreads * kPerThread);
    std::vector<std::uintptr_t> next(kThreads, 0);
    for (const auto& [message, value] : received.records) {
        const auto t = message - 1000;
        ASSERT_LT(t, static_cast<std::uint32_t>(kThreads));
        EXPECT_EQ(value, next[t]) << "thread " << t << " out of order";
        next[t] = value + 1;
    }
}

TEST(MessageLoop, DestroyedTargetRefusesPostsAndDropsWhatWasQueued) {
    Received received;
    auto id = platform::CreateNotificationTarget(&Record, &received);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(platform::PostNotification(id, 1, 1, 0));
    platform::DestroyNotificationTarget(id);
    EXPECT_FALSE(platform::PostNotification(id, 1, 2, 0));

    // A new target may reuse the slot; the old id must still be refused.
    Received other;
    TargetGuard reused(other);
    EXPECT_NE(reused.id, id);
    EXPECT_FALSE(platform::PostNotification(id, 1, 3, 0));
    EXPECT_TRUE(platform::PostNotification(reused.id, 2, 4, 0));

    platform::ProcessPendingNotifications();
    EXPECT_TRUE(received.records.empty());
    ASSERT_EQ(other.records.size(), 1u);
    EXPECT_EQ(other.records[0].second, 4u);
}

TEST(MessageLoop, PostToNoTargetFails) {
    EXPECT_FALSE(platform::PostNotification(0, 1, 0, 0));
    EXPECT_FALSE(platform::PostNotification(0xFFFFFF00u, 1, 0, 0));
}

struct TickState {
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;
    int quitAfter = 0;
    std::chrono::milliseconds busyOnFirst{0};
    Received* received = nullptr;
    std::size_t notificationsSeenAtFirstTick = 0;
};

void Tick(void* context) {
    auto* s = static_cast<TickState*>(context);
    s->starts.push_back(Clock::now());
    if (s->received != nullptr && s->starts.size() == 1) {
        s->notificationsSeenAtFirstTick = s->received->records.size();
    }
    if (s->starts.size() == 1)
        std::this_thread::sleep_for(s->busyOnFirst);
    s->ends.push_back(Clock::now());
    if (static_cast<int>(s->starts.size()) >= s->quitAfter)
        platform::QuitMessageLoop();
}

TEST(MessageLoop, TicksMissedWhileBusyAreNotMadeUp) {
    TickState state;
    state.quitAfter = 3;
    state.busyOnFirst = std::chrono::milliseconds(120);  // eight 15 ms ticks' worth
    const auto timer = platform::StartTimer(15, &Tick, &state);
    ASSERT_NE(timer, 0u);
    platform::RunMessageLoop();
    platform::StopTimer(timer);

    ASSERT_EQ(state.starts.size(), 3u);
    // The tick that fell due during the busy handler may come at once (as a window timer's does),
    // but the eight missed ones are not made up: the tick after it is a whole interval later.
    // A slow machine only makes the gap longer.
    const auto gap = state.starts[2] - state.ends[1];
    EXPECT_GE(gap, std::chrono::milliseconds(10));
}

TEST(MessageLoop, NotificationsWaitingAreHandledBeforeADueTick) {
    Received received;
    TargetGuard target(received);
    TickState state;
    state.quitAfter = 1;
    state.received = &received;
    const auto timer = platform::StartTimer(15, &Tick, &state);
    // Let the tick fall due, then queue notifications: both are due when the loop starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (std::uintptr_t i = 0; i < 5; ++i)
        ASSERT_TRUE(platform::PostNotification(target.id, 7, i, 0));
    platform::RunMessageLoop();
    platform::StopTimer(timer);
    EXPECT_EQ(state.notificationsSeenAtFirstTick, 5u);
}

struct QuitOnFirst {
    Received received;
};

void RecordAndQuit(void* context, std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
    auto* q = static_cast<QuitOnFirst*>(context);
    q->received.records.emplace_back(message, wParam);
    platform::QuitMessageLoop();
}

TEST(MessageLoop, QuitLeavesLaterNotificationsQueued) {
    QuitOnFirst q;
    const auto id = platform::CreateNotificationTarget(&RecordAndQuit, &q);
    for (std::uintptr_t i = 0; i < 3; ++i) ASSERT_TRUE(platform::PostNotification(id, 9, i, 0));
    platform::RunMessageLoop();
    ASSERT_EQ(q.received.records.size(), 1u);
    platform::RunMessageLoop();
    ASSERT_EQ(q.received.records.size(), 2u);
    EXPECT_EQ(q.received.records[1].second, 1u);
    platform::DestroyNotificationTarget(id);
    platform::ProcessPendingNotifications();
    EXPECT_EQ(q.received.records.size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Records still queued when a target goes: they own data blocks, which go to the target's discard
// handler, never to its handler.

struct Owned {
    std::vector<std::uintptr_t> handled;
    std::vector<std::uintptr_t> discarded;
    std::uintptr_t destroyOn = 0;
    std::uintptr_t quitOn = 0;
    platform::NotificationTarget id = 0;
};

void HandleOwned(void* context, std::uint32_t, std::uintptr_t wParam, std::intptr_t lParam) {
    auto* o = static_cast<Owned*>(context);
    o->handled.push_back(wParam);
    platform::ReleaseDataBlock(reinterpret_cast<void*>(lParam));
    if (wParam == o->destroyOn)
        platform::DestroyNotificationTarget(o->id);
    if (wParam == o->quitOn)
        platform::QuitMessageLoop();
}

void DiscardOwned(void* context, std::uint32_t, std::uintptr_t wParam, std::intptr_t lParam) {
    static_cast<Owned*>(context)->discarded.push_back(wParam);
    platform::ReleaseDataBlock(reinterpret_cast<void*>(lParam));
}

void PostOwned(platform::NotificationTarget id, std::uintptr_t from, std::uintptr_t to) {
    for (std::uintptr_t i = from; i <= to; ++i) {
        auto* block = platform::AllocateDataBlock(8);
        ASSERT_NE(block, nullptr);
        ASSERT_TRUE(platform::PostNotification(id, platform::WM_COMM_DATA, i,
                                               reinterpret_cast<std::intptr_t>(block)));
    }
}

TEST(MessageLoop, DestroyingATargetHandsItsQueuedRecordsToDiscardOnly) {
    struct Case {
        const char* what;
        std::uintptr_t quitOn;     // the loop runs until this record (0: it never runs)
        std::uintptr_t destroyOn;  // its handler destroys the target here (0: the test does)
        std::vector<std::uintptr_t> handled;
        std::vector<std::uintptr_t> discarded;
    };
    const Case cases[] = {
        {"never dispatched", 0, 0, {}, {1, 2, 3, 4, 5, 6}},
        // The loop has read all of them from its queue, then quit after the second.
        {"left by a quit", 2, 0, {1, 2}, {3, 4, 5, 6}},
        {"destroyed by its own handler", 0, 3, {1, 2, 3}, {4, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Owned owned;
        owned.quitOn = c.quitOn;
        owned.destroyOn = c.destroyOn;
        owned.id = platform::CreateNotificationTarget(&HandleOwned, &owned, &DiscardOwned);
        ASSERT_NE(owned.id, 0u);
        Received bystander;
        TargetGuard other(bystander);
        PostOwned(owned.id, 1, 3);
        ASSERT_TRUE(platform::PostNotification(other.id, 7, 100, 0));
        PostOwned(owned.id, 4, 6);
        ASSERT_TRUE(platform::PostNotification(other.id, 7, 101, 0));

        if (c.quitOn != 0)
            platform::RunMessageLoop();
        if (c.destroyOn != 0)
            platform::ProcessPendingNotifications();
        else
            platform::DestroyNotificationTarget(owned.id);
        platform::ProcessPendingNotifications();

        EXPECT_EQ(owned.handled, c.handled);
        EXPECT_EQ(owned.discarded, c.discarded);
        // The other target's records stay queued, in order, and reach its handler.
        EXPECT_EQ(bystander.records, (decltype(bystander.records){{7, 100}, {7, 101}}));
    }
}

// ---------------------------------------------------------------------------------------------
// The loop as the last guard: what a handler throws ends that handler, not the loop.

struct Throwing {
    std::vector<std::uintptr_t> handled;
    int ticks = 0;
};

void HandleOrThrow(void* context, std::uint32_t, std::uintptr_t wParam, std::intptr_t) {
    static_cast<Throwing*>(context)->handled.push_back(wParam);
    if (wParam % 2 == 1)
        throw std::runtime_error("handler failed");
}

void TickOrThrow(void* context) {
    auto* t = static_cast<Throwing*>(context);
    if (++t->ticks == 3)
        platform::QuitMessageLoop();
    throw std::bad_alloc();
}

TEST(MessageLoop, ExceptionsFromHandlersAreContainedAndTheLoopGoesOn) {
    Throwing t;
    const auto id = platform::CreateNotificationTarget(&HandleOrThrow, &t);
    ASSERT_NE(id, 0u);
    for (std::uintptr_t i = 1; i <= 4; ++i) ASSERT_TRUE(platform::PostNotification(id, 5, i, 0));
    EXPECT_NO_THROW(platform::ProcessPendingNotifications());
    EXPECT_EQ(t.handled, (std::vector<std::uintptr_t>{1, 2, 3, 4}));

    const auto timer = platform::StartTimer(5, &TickOrThrow, &t);
    ASSERT_NE(timer, 0u);
    ASSERT_TRUE(platform::PostNotification(id, 5, 7, 0));
    EXPECT_NO_THROW(platform::RunMessageLoop());
    platform::StopTimer(timer);
    EXPECT_EQ(t.ticks, 3);
    EXPECT_EQ(t.handled.back(), 7u);
    platform::DestroyNotificationTarget(id);
}

}  // namespace
