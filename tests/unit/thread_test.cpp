// Threading layer: exit statuses, the creation seam, clock resolution, sleep
// rounding and interruption, timed waits and broadcast exactness.
#include "mv_test_support.h"
#include "mv_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using mv::ThreadResult;

int64_t millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

mv::TimePoint millisFromNow(int64_t millis) {
    mv::TimePoint now{};
    EXPECT_EQ(mv::clockGet(mv::ClockBase::wallClock, &now), ThreadResult::success);
    int64_t total = now.seconds * 1000 + now.nanoseconds / 1000000 + millis;
    return {total / 1000, (total % 1000) * 1000000};
}

TEST(Threads, JoinYieldsTheExitStatus) {
    mv::Thread *thread = nullptr;
    ASSERT_EQ(mv::threadCreate(
                  &thread, [](void *) { return -94; }, nullptr),
              ThreadResult::success);
    int status = 0;
    EXPECT_EQ(mv::threadJoin(thread, &status), ThreadResult::success);
    EXPECT_EQ(status, -94);
}

TEST(Threads, ArgumentReachesTheThreadAndStatusMayBeIgnored) {
    std::atomic<int> seen{0};
    mv::Thread *thread = nullptr;
    ASSERT_EQ(mv::threadCreate(
                  &thread,
                  [](void *argument) {
                      *static_cast<std::atomic<int> *>(argument) = 7;
                      return 0;
                  },
                  &seen),
              ThreadResult::success);
    EXPECT_EQ(mv::threadJoin(thread, nullptr), ThreadResult::success);
    EXPECT_EQ(seen.load(), 7);
}

TEST(Threads, CreationSeamForcesTheChosenFailureWithoutRunningTheBody) {
    static std::atomic<int> runs{0};
    const mv::ThreadFunc body = [](void *) {
        ++runs;
        return 0;
    };
    for (ThreadResult forced : {ThreadResult::noMemory, ThreadResult::error}) {
        mv::threadCreateFailure = forced == ThreadResult::noMemory
                                      ? +[] { return ThreadResult::noMemory; }
                                      : +[] { return ThreadResult::error; };
        mv::Thread *thread = nullptr;
        EXPECT_EQ(mv::threadCreate(&thread, body, nullptr), forced);
        EXPECT_EQ(thread, nullptr);
    }
    mv::threadCreateFailure = [] { return ThreadResult::success; };
    mv::Thread *thread = nullptr;
    ASSERT_EQ(mv::threadCreate(&thread, body, nullptr), ThreadResult::success);
    mv::threadJoin(thread, nullptr);
    mv::threadCreateFailure = nullptr;
    EXPECT_EQ(runs.load(), 1);
}

TEST(Clock, WallClockHasMillisecondResolutionAndNoOtherBase) {
    mv::TimePoint now{};
    ASSERT_EQ(mv::clockGet(mv::ClockBase::wallClock, &now), ThreadResult::success);
    EXPECT_EQ(now.nanoseconds % 1000000, 0);
    EXPECT_GE(now.nanoseconds, 0);
    EXPECT_LT(now.nanoseconds, 1000000000);
    EXPECT_GT(now.seconds, 1600000000); // a wall clock, not a monotonic one
    EXPECT_EQ(mv::clockGet(mv::ClockBase::other, &now), ThreadResult::error);
}

TEST(ThreadSleep, RoundsUpToWholeMilliseconds) {
    auto start = Clock::now();
    EXPECT_EQ(mv::threadSleep({0, 1}, nullptr), 0);
    EXPECT_GE(millisSince(start), 1) << "1 ns must sleep a whole millisecond";

    start = Clock::now();
    EXPECT_EQ(mv::threadSleep({0, 8000000}, nullptr), 0);
    EXPECT_GE(millisSince(start), 8);

    start = Clock::now();
    EXPECT_EQ(mv::threadSleep({0, 8000001}, nullptr), 0);
    EXPECT_GE(millisSince(start), 9);
}

TEST(ThreadSleep, NegativeDurationIsAFailureNotASleep) {
    EXPECT_EQ(mv::threadSleep({-1, 0}, nullptr), -2);
}

TEST(ThreadSleep, InterruptionEndsTheSleepWithMinus1AndTheRemainder) {
    std::atomic<bool> finished{false};
    std::atomic<int> result{0};
    mv::TimePoint remaining{};
    std::thread sleeper([&] {
        result = mv::threadSleep({60, 0}, &remaining);
        finished = true;
    });
    mvtest::interruptUntil(sleeper.native_handle(), finished);
    sleeper.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_GT(remaining.seconds, 0);
}

// ---------------------------------------------------------------------------
// Condition variables with real waiters.

class ConditionConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mv::mutexCreate(&mutex_, mv::MutexKind::plain), ThreadResult::success);
        ASSERT_EQ(mv::conditionCreate(&condition_), ThreadResult::success);
    }
    void TearDown() override {
        EXPECT_EQ(mv::conditionDestroy(condition_), ThreadResult::success);
        EXPECT_EQ(mv::mutexDestroy(mutex_), ThreadResult::success);
    }

    // Waits under the mutex until `waiting` waiters have entered their wait:
    // a waiter registers before it lets the mutex go.
    void awaitWaiters(int waiting) {
        for (;;) {
            mv::mutexLock(mutex_);
            bool all = entered_ == waiting;
            mv::mutexUnlock(mutex_);
            if (all) return;
            std::this_thread::yield();
        }
    }

    // One timed wait with the mutex held, counted as entered first.
    ThreadResult timedWait(int64_t millis) {
        mv::TimePoint deadline = millisFromNow(millis);
        mv::mutexLock(mutex_);
        ++entered_;
        ThreadResult result = mv::conditionTimedWait(condition_, mutex_, deadline);
        mv::mutexUnlock(mutex_);
        return result;
    }

    void broadcastUnderMutex() {
        mv::mutexLock(mutex_);
        EXPECT_EQ(mv::conditionBroadcast(condition_), ThreadResult::success);
        mv::mutexUnlock(mutex_);
    }

    mv::Mutex *mutex_ = nullptr;
    mv::Condition *condition_ = nullptr;
    int entered_ = 0; // under mutex_
};

TEST_F(ConditionConcurrency, TimedWaitWithoutBroadcastTimesOutAfterItsDeadline) {
    auto start = Clock::now();
    EXPECT_EQ(timedWait(33), ThreadResult::timedOut);
    EXPECT_GE(millisSince(start), 31); // the deadline is cut to whole milliseconds
}

TEST_F(ConditionConcurrency, DeadlineInThePastWaitsZeroTime) {
    auto start = Clock::now();
    EXPECT_EQ(timedWait(-5000), ThreadResult::timedOut);
    EXPECT_LT(millisSince(start), 1000);
}

TEST_F(ConditionConcurrency, BroadcastWakesATimedWaiterAtOnce) {
    std::atomic<ThreadResult> result{ThreadResult::busy};
    auto start = Clock::now();
    std::thread waiter([&] { result = timedWait(20000); });
    awaitWaiters(1);
    broadcastUnderMutex();
    waiter.join();
    EXPECT_EQ(result.load(), ThreadResult::success);
    EXPECT_LT(millisSince(start), 10000) << "the broadcast, not the deadline, must end the wait";
}

TEST_F(ConditionConcurrency, BroadcastWakesExactlyTheThreadsWaitingAtThatMoment) {
    constexpr int kWaiters = 4;
    std::vector<ThreadResult> first(kWaiters, ThreadResult::busy);
    std::vector<ThreadResult> second(kWaiters, ThreadResult::busy);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            first[i] = timedWait(20000);
            // Waiting again right away must not consume the same broadcast.
            second[i] = timedWait(60);
        });
    }
    awaitWaiters(kWaiters);
    broadcastUnderMutex();
    for (std::thread &waiter : waiters) waiter.join();
    for (int i = 0; i < kWaiters; ++i) {
        EXPECT_EQ(first[i], ThreadResult::success) << i;
        EXPECT_EQ(second[i], ThreadResult::timedOut) << i;
    }
}

TEST_F(ConditionConcurrency, BroadcastWithoutWaitersIsNotRememberedForLaterOnes) {
    broadcastUnderMutex();
    EXPECT_EQ(timedWait(40), ThreadResult::timedOut);
}

TEST_F(ConditionConcurrency, UntimedWaitReturnsAfterBroadcast) {
    std::atomic<ThreadResult> result{ThreadResult::busy};
    std::thread waiter([&] {
        mv::mutexLock(mutex_);
        ++entered_;
        result = mv::conditionWait(condition_, mutex_);
        mv::mutexUnlock(mutex_);
    });
    awaitWaiters(1);
    broadcastUnderMutex();
    waiter.join();
    EXPECT_EQ(result.load(), ThreadResult::success);
}

} // namespace
