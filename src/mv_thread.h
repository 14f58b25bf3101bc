// Threading layer: the only place the engine touches the operating system's
// threads, mutexes, condition variables, clock and sleep. Internal.
#pragma once

#include <cstdint>

namespace mv {

enum class ThreadResult { success, error, timedOut, busy, noMemory };

struct TimePoint {
    int64_t seconds;
    int64_t nanoseconds; // 0..999 999 999
};

using ThreadFunc = int (*)(void *argument);

struct Thread; // opaque handle, valid until joined
struct Mutex;
struct Condition;

enum class MutexKind { plain };
enum class ClockBase { wallClock, other };

ThreadResult threadCreate(Thread **out, ThreadFunc fn, void *argument);
ThreadResult threadJoin(Thread *thread, int *exitStatus);

ThreadResult mutexCreate(Mutex **out, MutexKind kind);
ThreadResult mutexDestroy(Mutex *mutex);
ThreadResult mutexLock(Mutex *mutex);
ThreadResult mutexUnlock(Mutex *mutex);

ThreadResult conditionCreate(Condition **out);
ThreadResult conditionDestroy(Condition *condition);
ThreadResult conditionBroadcast(Condition *condition);
ThreadResult conditionWait(Condition *condition, Mutex *mutex);
// Waits until the absolute wall-clock deadline (whole milliseconds).
ThreadResult conditionTimedWait(Condition *condition, Mutex *mutex, const TimePoint &deadline);

// Whole-millisecond conversions (millisOf drops any sub-millisecond part).
TimePoint timePointFromMillis(int64_t millis);
int64_t millisOf(const TimePoint &point);

// Wall clock with millisecond resolution; failure for any other base.
ThreadResult clockGet(ClockBase base, TimePoint *out);

// Sleeps the duration rounded up to whole milliseconds.
// 0 slept fully, -1 interrupted, -2 other failure.
int threadSleep(const TimePoint &duration, TimePoint *remaining);

// Test seam: when set, threadCreate returns this result instead of starting
// a thread (success means "behave normally").
extern ThreadResult (*threadCreateFailure)();

} // namespace mv
