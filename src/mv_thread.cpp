// Threading layer on POSIX threads.
#include "mv_thread.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

namespace mv {

namespace {
constexpr int64_t kNanosPerMilli = 1000000;
constexpr int64_t kMillisPerSecond = 1000;
constexpr int64_t kNanosPerSecond = kNanosPerMilli * kMillisPerSecond;

struct StartRecord {
    ThreadFunc fn;
    void *argument;
};

void *threadMain(void *raw) {
    // The start record is the creator's; free it before running the body so
    // a body that never returns leaks nothing.
    StartRecord record = *static_cast<StartRecord *>(raw);
    std::free(raw);
    intptr_t status = record.fn(record.argument);
    return reinterpret_cast<void *>(status);
}

int64_t nowMillis() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * kMillisPerSecond + now.tv_nsec / kNanosPerMilli;
}
} // namespace

ThreadResult (*threadCreateFailure)() = nullptr;

struct Thread {
    pthread_t handle;
};
struct Mutex {
    pthread_mutex_t handle;
};
// A waiter count and a broadcast generation under a private lock make a
// broadcast wake exactly the threads that were waiting when it happened.
struct Condition {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    uint64_t generation;
    uint32_t waiters;
};

ThreadResult threadCreate(Thread **out, ThreadFunc fn, void *argument) {
    if (threadCreateFailure) {
        ThreadResult forced = threadCreateFailure();
        if (forced != ThreadResult::success) return forced;
    }
    auto *record = static_cast<StartRecord *>(std::malloc(sizeof(StartRecord)));
    if (!record) return ThreadResult::noMemory;
    auto *thread = static_cast<Thread *>(std::malloc(sizeof(Thread)));
    if (!thread) {
        std::free(record);
        return ThreadResult::noMemory;
    }
    *record = {fn, argument};
    int rc = pthread_create(&thread->handle, nullptr, threadMain, record);
    if (rc != 0) {
        std::free(record);
        std::free(thread);
        return rc == EAGAIN || rc == ENOMEM ? ThreadResult::noMemory : ThreadResult::error;
    }
    *out = thread;
    return ThreadResult::success;
}

ThreadResult threadJoin(Thread *thread, int *exitStatus) {
    void *status = nullptr;
    if (pthread_join(thread->handle, &status) != 0) return ThreadResult::error;
    std::free(thread);
    if (exitStatus) *exitStatus = static_cast<int>(reinterpret_cast<intptr_t>(status));
    return ThreadResult::success;
}

ThreadResult mutexCreate(Mutex **out, MutexKind) {
    auto *mutex = static_cast<Mutex *>(std::malloc(sizeof(Mutex)));
    if (!mutex) return ThreadResult::noMemory;
    if (pthread_mutex_init(&mutex->handle, nullptr) != 0) {
        std::free(mutex);
        return ThreadResult::error;
    }
    *out = mutex;
    return ThreadResult::success;
}

ThreadResult mutexDestroy(Mutex *mutex) {
    int rc = pthread_mutex_destroy(&mutex->handle);
    std::free(mutex);
    return rc == 0 ? ThreadResult::success : ThreadResult::error;
}

ThreadResult mutexLock(Mutex *mutex) {
    return pthread_mutex_lock(&mutex->handle) == 0 ? ThreadResult::success : ThreadResult::error;
}

ThreadResult mutexUnlock(Mutex *mutex) {
    return pthread_mutex_unlock(&mutex->handle) == 0 ? ThreadResult::success : ThreadResult::error;
}

ThreadResult conditionCreate(Condition **out) {
    auto *condition = static_cast<Condition *>(std::malloc(sizeof(Condition)));
    if (!condition) return ThreadResult::noMemory;
    if (pthread_mutex_init(&condition->lock, nullptr) != 0) {
        std::free(condition);
        return ThreadResult::error;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&condition->cond, &attributes);
    pthread_condattr_destroy(&attributes);
    if (rc != 0) {
        pthread_mutex_destroy(&condition->lock);
        std::free(condition);
        return ThreadResult::error;
    }
    condition->generation = 0;
    condition->waiters = 0;
    *out = condition;
    return ThreadResult::success;
}

ThreadResult conditionDestroy(Condition *condition) {
    int rc = pthread_cond_destroy(&condition->cond);
    rc |= pthread_mutex_destroy(&condition->lock);
    std::free(condition);
    return rc == 0 ? ThreadResult::success : ThreadResult::error;
}

ThreadResult conditionBroadcast(Condition *condition) {
    if (pthread_mutex_lock(&condition->lock) != 0) return ThreadResult::error;
    if (condition->waiters > 0) {
        ++condition->generation;
        pthread_cond_broadcast(&condition->cond);
    }
    pthread_mutex_unlock(&condition->lock);
    return ThreadResult::success;
}

namespace {
// Waits for a broadcast newer than the one current at entry, releasing the
// caller's mutex meanwhile; millis < 0 waits without a limit.
ThreadResult waitForBroadcast(Condition *condition, Mutex *mutex, int64_t millis) {
    if (pthread_mutex_lock(&condition->lock) != 0) return ThreadResult::error;
    uint64_t generation = condition->generation;
    ++condition->waiters;
    if (pthread_mutex_unlock(&mutex->handle) != 0) {
        --condition->waiters;
        pthread_mutex_unlock(&condition->lock);
        return ThreadResult::error;
    }
    timespec deadline{};
    if (millis >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        int64_t nanos = deadline.tv_nsec + (millis % kMillisPerSecond) * kNanosPerMilli;
        deadline.tv_sec += millis / kMillisPerSecond + nanos / kNanosPerSecond;
        deadline.tv_nsec = nanos % kNanosPerSecond;
    }
    ThreadResult result = ThreadResult::success;
    while (condition->generation == generation) {
        int rc = millis >= 0 ? pthread_cond_timedwait(&condition->cond, &condition->lock, &deadline)
                             : pthread_cond_wait(&condition->cond, &condition->lock);
        if (rc == ETIMEDOUT) {
            if (condition->generation == generation) result = ThreadResult::timedOut;
            break;
        }
        if (rc != 0) {
            result = ThreadResult::error;
            break;
        }
    }
    --condition->waiters;
    pthread_mutex_unlock(&condition->lock);
    if (pthread_mutex_lock(&mutex->handle) != 0) return ThreadResult::error;
    return result;
}
} // namespace

ThreadResult conditionWait(Condition *condition, Mutex *mutex) {
    return waitForBroadcast(condition, mutex, -1);
}

TimePoint timePointFromMillis(int64_t millis) {
    return {millis / kMillisPerSecond, (millis % kMillisPerSecond) * kNanosPerMilli};
}

int64_t millisOf(const TimePoint &point) {
    return point.seconds * kMillisPerSecond + point.nanoseconds / kNanosPerMilli;
}

ThreadResult conditionTimedWait(Condition *condition, Mutex *mutex, const TimePoint &deadline) {
    int64_t wait = millisOf(deadline) - nowMillis();
    return waitForBroadcast(condition, mutex, wait > 0 ? wait : 0);
}

ThreadResult clockGet(ClockBase base, TimePoint *out) {
    if (base != ClockBase::wallClock) return ThreadResult::error;
    *out = timePointFromMillis(nowMillis());
    return ThreadResult::success;
}

int threadSleep(const TimePoint &duration, TimePoint *remaining) {
    int64_t millis = millisOf(duration) + (duration.nanoseconds % kNanosPerMilli != 0 ? 1 : 0);
    if (millis < 0) return -2;
    timespec request{time_t(millis / kMillisPerSecond),
                     long((millis % kMillisPerSecond) * kNanosPerMilli)};
    timespec left{};
    if (nanosleep(&request, &left) == 0) return 0;
    if (remaining) *remaining = {left.tv_sec, left.tv_nsec};
    return errno == EINTR ? -1 : -2;
}

} // namespace mv
