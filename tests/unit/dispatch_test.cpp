// Dispatchers: where engine-side work runs, when housekeeping happens, and
// how creation and destruction release what they made.
#include "mv_session.h"
#include "mv_test_support.h"
#include "mv_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

using mvtest::DispatcherKind;

namespace {

constexpr int kCallsPerDrain = 33;

struct RunProbe {
    std::thread::id ranOn;
    std::atomic<bool> finished{false};
};

int slowFunctionReturningMinus92(void *argument) {
    auto *probe = static_cast<RunProbe *>(argument);
    probe->ranOn = std::this_thread::get_id();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    probe->finished = true;
    return MV_ERROR_INDEX;
}

void countMessage(MvSink *, void *argument) { ++*static_cast<std::atomic<int> *>(argument); }

// Puts a sink into the registry's sink list for the test's lifetime.
class ListedSink {
public:
    ListedSink() {
        mvDispatcher->lock();
        mvSinkList.items[mvSinkList.count++] = sink_.get();
        mvDispatcher->unlock();
    }
    ~ListedSink() {
        mvDispatcher->lock();
        --mvSinkList.count;
        mvDispatcher->unlock();
    }
    MvSink *get() { return sink_.get(); }

private:
    mvtest::QueueOnlySink sink_;
};

// Waits (generously) until value reaches at least target.
bool eventually(const std::atomic<int> &value, int target) {
    for (int i = 0; i < 200 && value < target; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return value >= target;
}

int lockAndUnlock() {
    if (int status = mvDispatcher->lock()) return status;
    return mvDispatcher->unlock();
}

} // namespace

// ---------------------------------------------------------------------------

class BothDispatchers : public testing::TestWithParam<DispatcherKind> {};

TEST_P(BothDispatchers, RunReturnsTheStatusOfItsFunctionAfterItFinished) {
    mvtest::EngineSession session(GetParam(), mvtest::kDummyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    RunProbe probe;
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    EXPECT_EQ(mvDispatcher->run(slowFunctionReturningMinus92, &probe), MV_ERROR_INDEX);
    EXPECT_TRUE(probe.finished);
    EXPECT_EQ(mvDispatcher->unlock(), MV_OK);
    bool onEngineThread = probe.ranOn != std::this_thread::get_id();
    EXPECT_EQ(onEngineThread, GetParam() == DispatcherKind::threadSafe);
}

TEST_P(BothDispatchers, PostHandsTheMessageToTheUpQueueAndReleasesTheLock) {
    mvtest::EngineSession session(GetParam(), mvtest::kDummyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    ListedSink sink;
    std::atomic<int> delivered{0};
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    ASSERT_EQ(mvDispatcher->post(sink.get(), countMessage, &delivered), MV_OK);
    // Locking again would never return if post had kept the lock.
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    EXPECT_EQ(mvDispatcher->run(
                  [](void *s) { return mvFlushUpQueueImpl(static_cast<MvSink *>(s)); }, sink.get()),
              MV_OK);
    EXPECT_EQ(mvDispatcher->unlock(), MV_OK);
    EXPECT_EQ(delivered, 1);
}

TEST_P(BothDispatchers, DestroyUninstallsAndANewInitializeWorks) {
    mvtest::BackendOrderScope order(mvtest::kDummyOrder);
    for (int round = 0; round < 3; ++round) {
        MvDispatcher *dispatcher = nullptr;
        ASSERT_EQ(mvtest::newDispatcher(GetParam(), &dispatcher), MV_OK);
        ASSERT_EQ(mvInitialize(dispatcher), MV_OK);
        EXPECT_EQ(mvDispatcher, dispatcher);
        EXPECT_EQ(mvUninitialize(), MV_OK);
        EXPECT_EQ(mvDispatcher, nullptr);
        EXPECT_EQ(mvGetDeviceCount(), MV_ERROR_NOT_INITIALIZED);
    }
}

TEST_P(BothDispatchers, ConstructorsRefuseANullOut) {
    EXPECT_EQ(mvtest::newDispatcher(GetParam(), nullptr), MV_ERROR_NULL_POINTER);
}

// Every allocation of the dispatcher and of start-up, refresh and teardown
// fails in turn; each failing call answers -1 and, once the host finishes
// its session normally, no block is left.
TEST_P(BothDispatchers, EveryAllocationFailureAnswersMinus1AndLeaksNothing) {
    mvtest::BackendOrderScope order(mvtest::kDummyOrder);
    for (int n = 1;; ++n) {
        SCOPED_TRACE(testing::Message() << "failing allocation " << n);
        mvtest::FailingAllocator allocator;
        allocator.failNth(n);
        MvDispatcher *dispatcher = nullptr;
        int status = mvtest::newDispatcher(GetParam(), &dispatcher);
        if (status == MV_OK) status = mvInitialize(dispatcher);
        if (status == MV_OK) status = mvRefreshDeviceList();
        if (status == MV_OK) status = mvUninitialize();
        bool failed = allocator.failedCalls() > 0;
        if (!failed) {
            EXPECT_EQ(status, MV_OK);
            EXPECT_EQ(allocator.liveBlocks(), 0);
            EXPECT_GT(n, 3); // dispatcher, contexts, devices, sink list at least
            break;
        }
        ASSERT_EQ(status, MV_ERROR_NO_MEMORY);
        allocator.failNever();
        if (dispatcher && !mvDispatcher) {
            ASSERT_EQ(mvInitialize(dispatcher), MV_OK);
        }
        if (mvDispatcher) {
            ASSERT_EQ(mvUninitialize(), MV_OK);
        }
        EXPECT_EQ(allocator.liveBlocks(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, BothDispatchers,
                         testing::Values(DispatcherKind::threadUnsafe, DispatcherKind::threadSafe),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------------------

class ThreadUnsafeDispatcher : public testing::Test {
protected:
    mvtest::EngineSession session{DispatcherKind::threadUnsafe, mvtest::kDummyOrder};
    ListedSink sink;
    std::atomic<int> drained{0};

    void queueDownMessage() {
        ASSERT_EQ(mvSendDownMessage(sink.get(), countMessage, &drained), MV_OK);
    }

    // Calls until the pending down message has run: the counter starts
    // afresh after that call.
    void alignWithADrain() {
        queueDownMessage();
        int before = drained;
        for (int i = 0; i < kCallsPerDrain && drained == before; ++i)
            ASSERT_EQ(lockAndUnlock(), MV_OK);
        ASSERT_EQ(drained, before + 1);
    }
};

TEST_F(ThreadUnsafeDispatcher, DrainsDownQueuesOnThe33rdUnlockAndNotBefore) {
    alignWithADrain();
    queueDownMessage();
    for (int i = 1; i < kCallsPerDrain; ++i) ASSERT_EQ(lockAndUnlock(), MV_OK);
    EXPECT_EQ(drained, 1) << "drained before the 33rd call";
    ASSERT_EQ(lockAndUnlock(), MV_OK);
    EXPECT_EQ(drained, 2);
}

TEST_F(ThreadUnsafeDispatcher, PostsCountTowardsTheDrainLikeUnlocks) {
    alignWithADrain();
    queueDownMessage();
    std::atomic<int> upMessages{0};
    for (int i = 1; i < kCallsPerDrain; ++i) {
        ASSERT_EQ(mvDispatcher->lock(), MV_OK);
        ASSERT_EQ(i % 2 ? mvDispatcher->post(sink.get(), countMessage, &upMessages)
                        : mvDispatcher->unlock(),
                  MV_OK);
    }
    EXPECT_EQ(drained, 1);
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    ASSERT_EQ(mvDispatcher->post(sink.get(), countMessage, &upMessages), MV_OK);
    EXPECT_EQ(drained, 2);
    EXPECT_EQ(upMessages, 0) << "up messages wait for the audio side";
    mvFlushUpQueueImpl(sink.get());
}

// ---------------------------------------------------------------------------

TEST(ThreadSafeDispatcher, HousekeepingDrainsDownQueuesWithoutHostCalls) {
    mvtest::EngineSession session(DispatcherKind::threadSafe, mvtest::kDummyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    ListedSink sink;
    std::atomic<int> drained{0};
    ASSERT_EQ(mvSendDownMessage(sink.get(), countMessage, &drained), MV_OK);
    EXPECT_TRUE(eventually(drained, 1));
}

TEST(ThreadSafeDispatcher, SecondInitializeKeepsTheFirstInstalledAndTheSecondReusable) {
    mvtest::EngineSession session(DispatcherKind::threadSafe, mvtest::kDummyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    MvDispatcher *first = mvDispatcher;
    MvDispatcher *second = nullptr;
    ASSERT_EQ(mvNewThreadSafeDispatcher(&second), MV_OK);
    EXPECT_EQ(mvInitialize(second), MV_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(mvDispatcher, first);
    EXPECT_EQ(mvGetDeviceCount(), 2);
    ASSERT_EQ(mvUninitialize(), MV_OK);
    // The host still owns the refused dispatcher and may install it later.
    ASSERT_EQ(mvInitialize(second), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 2);
}

int threadsOfThisProcess() {
    int threads = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++threads;
    }
    return threads;
}

// The threads of this process once those that were joined have left it: a
// joined thread has finished running but may stay listed a moment longer,
// until the kernel has released it.
int threadsAfterJoins(int expected) {
    int threads = threadsOfThisProcess();
    for (int wait = 0; threads != expected && wait < 200; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        threads = threadsOfThisProcess();
    }
    return threads;
}

TEST_P(BothDispatchers, DeletingARefusedDispatcherFreesItAndItsThread) {
    mvtest::BackendOrderScope order(mvtest::kEmptyOrder);
    const int threadsBefore = threadsOfThisProcess();
    mvtest::FailingAllocator allocator; // counts what is left behind
    for (int i = 0; i < 50; ++i) {
        MvDispatcher *dispatcher = nullptr;
        ASSERT_EQ(mvtest::newDispatcher(GetParam(), &dispatcher), MV_OK);
        ASSERT_EQ(mvInitialize(dispatcher), MV_ERROR_BACKEND_NOT_TRIED);
        EXPECT_EQ(mvDeleteDispatcher(dispatcher), MV_OK);
    }
    EXPECT_EQ(threadsAfterJoins(threadsBefore), threadsBefore);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(mvDeleteDispatcher(nullptr), MV_ERROR_NULL_POINTER);
}

TEST_P(BothDispatchers, TheInstalledDispatcherIsNotDeleted) {
    mvtest::EngineSession session(GetParam(), mvtest::kFallbackOnlyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    EXPECT_EQ(mvDeleteDispatcher(mvDispatcher), MV_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(mvGetDeviceCount(), 1);
}

TEST(ThreadSafeDispatcher, ThreadCreationFailureReleasesEverything) {
    struct Case {
        mv::ThreadResult (*failure)();
        int status;
    };
    const Case cases[] = {
        {[] { return mv::ThreadResult::error; }, MV_ERROR_THREAD},
        {[] { return mv::ThreadResult::noMemory; }, MV_ERROR_NO_MEMORY},
    };
    for (const Case &c : cases) {
        mvtest::FailingAllocator allocator;
        mv::threadCreateFailure = c.failure;
        MvDispatcher *dispatcher = nullptr;
        EXPECT_EQ(mvNewThreadSafeDispatcher(&dispatcher), c.status);
        mv::threadCreateFailure = nullptr;
        EXPECT_EQ(dispatcher, nullptr);
        EXPECT_EQ(allocator.liveBlocks(), 0);
    }
}

// ---------------------------------------------------------------------------

namespace {
int addOne(void *counter) {
    ++*static_cast<int *>(counter); // plain int: the dispatcher serialises it
    return MV_OK;
}
} // namespace

TEST(ThreadSafeDispatcherConcurrency, ManyHostThreadsAreSerialised) {
    mvtest::EngineSession session(DispatcherKind::threadSafe, mvtest::kDummyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    int counter = 0;
    std::atomic<int> failures{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                if (mvDispatcher->lock() != MV_OK) ++failures;
                if (mvDispatcher->run(addOne, &counter) != MV_OK) ++failures;
                if (mvDispatcher->unlock() != MV_OK) ++failures;
                if (mvGetDeviceCount() != 2) ++failures;
                if (t == 0 && round % 50 == 0 && mvRefreshDeviceList() != MV_OK) ++failures;
            }
        });
    }
    for (std::thread &host : hosts) host.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(counter, kThreads * kRounds);
}
