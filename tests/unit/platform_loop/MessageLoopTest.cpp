// The user-interface thread's message loop: in-order delivery of notifications posted from other
// threads, targets that vanish, timer ticks that are never made up, and notifications before ticks.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "Platform.h"

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

}  // namespace
