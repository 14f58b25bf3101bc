// The two dispatchers: where control-side engine work runs and how it is
// serialised. Each record keeps its private state in the same allocation,
// right after the five operations, and its operations find it through
// mvDispatcher.
#include "mv_dispatch.h"

#include "marovel_audio.h"
#include "mv_thread.h"

#include <atomic>
#include <cstddef>

extern "C" {
MV_API MvDispatcher *mvDispatcher = nullptr;
}

namespace mv {
namespace {

// Set on the thread-safe dispatcher's engine thread for its whole life.
thread_local bool isEngineThread = false;

// Housekeeping: what the control side owes the audio threads and libsoundio
// at regular intervals.
void drainDownQueuesOfEverySink() {
    // The list is the sink room's; this only walks it. Re-read count each
    // step: a down message may change the list.
    for (int i = 0; i < mvSinkList.count; ++i) mvFlushDownQueueImpl(mvSinkList.items[i]);
}

void housekeep() {
    drainDownQueuesOfEverySink();
    mvFlushDeviceEventsImpl();
}

// ---------------------------------------------------------------------------
// Thread-unsafe dispatcher: everything on the caller's thread.

// The counter exceeding this many calls makes the 33rd call drain.
constexpr int kCallsBetweenDrains = 32;

struct UnsafeDispatcher {
    MvDispatcher operations;
    int calls;
};

int &unsafeCallCounter() { return *static_cast<int *>(mvDispatcher->context); }

int unsafeLock() { return MV_OK; }

int unsafeUnlock() {
    int &calls = unsafeCallCounter();
    if (++calls > kCallsBetweenDrains) {
        drainDownQueuesOfEverySink();
        calls = 0;
    }
    mvFlushDeviceEventsImpl();
    return MV_OK;
}

int unsafePost(MvSink *sink, MvMessageFunc callback, void *argument) {
    mvSendUpMessage(sink, callback, argument); // its status goes to nobody
    return unsafeUnlock();
}

int unsafeRun(int (*fn)(void *), void *argument) { return fn(argument); }

int unsafeDestroy() {
    mvFree(mvDispatcher);
    mv::uninstallDispatcher();
    return MV_OK;
}

// ---------------------------------------------------------------------------
// Thread-safe dispatcher: one engine thread owns all engine-side work.

constexpr int kHousekeepingMillis = 33;
// A run job's result cell holds this until the engine thread stores the
// function's status (engine functions never return 1).
constexpr int kPending = 1;
constexpr int kJobWords = 3;

struct SafeState;

struct Job {
    void (*fn)(SafeState &state, void **payload);
    Job *next;
    void *payload[kJobWords];
};

struct SafeState {
    mv::Thread *thread;
    mv::Mutex *mutex;
    mv::Condition *workAvailable;
    mv::Condition *workDone;
    uint8_t running;
    Job *head;
    Job *tail;
};

struct SafeDispatcher {
    MvDispatcher operations;
    SafeState state;
};

SafeState &safeState() { return *static_cast<SafeState *>(mvDispatcher->context); }

Job *newJob(void (*fn)(SafeState &, void **), void *a, void *b, void *c) {
    auto *job = static_cast<Job *>(mvMalloc(sizeof(Job)));
    if (!job) return nullptr;
    *job = {fn, nullptr, {a, b, c}};
    return job;
}

// Unlinks a job that is still queued; false when the engine thread has
// already taken it.
bool unqueueJob(SafeState &state, const Job *job) {
    Job *previous = nullptr;
    for (Job *node = state.head; node; previous = node, node = node->next) {
        if (node != job) continue;
        (previous ? previous->next : state.head) = node->next;
        if (state.tail == node) state.tail = previous;
        mvFree(node);
        return true;
    }
    return false;
}

// Appends a job and wakes the engine thread. When the wake-up fails the job
// is taken back, so a failed call has had no effect.
int queueJob(SafeState &state, Job *job) {
    (state.tail ? state.tail->next : state.head) = job;
    state.tail = job;
    if (mv::conditionBroadcast(state.workAvailable) == mv::ThreadResult::success) return MV_OK;
    unqueueJob(state, job);
    return MV_ERROR_CONDITION;
}

void postJob(SafeState &, void **payload) {
    mvSendUpMessage(static_cast<MvSink *>(payload[0]), reinterpret_cast<MvMessageFunc>(payload[1]),
                    payload[2]);
}

void runJob(SafeState &state, void **payload) {
    auto fn = reinterpret_cast<int (*)(void *)>(payload[1]);
    *static_cast<int *>(payload[0]) = fn(payload[2]);
    mv::conditionBroadcast(state.workDone);
}

// The engine thread holds the mutex whenever it runs jobs or housekeeping,
// so a call it makes from there (a release callback calling the engine) is
// already serialised: lock and unlock leave the mutex alone, and run and
// post do their work at once instead of queueing a job the thread would
// wait for itself. Its calls therefore behave as if the lock were recursive,
// without a recursive mutex that other threads would have to know about.
int safeLock() {
    if (isEngineThread) return MV_OK;
    return mv::mutexLock(safeState().mutex) == mv::ThreadResult::success ? MV_OK : MV_ERROR_MUTEX;
}

int safeUnlock() {
    if (isEngineThread) return MV_OK;
    return mv::mutexUnlock(safeState().mutex) == mv::ThreadResult::success ? MV_OK : MV_ERROR_MUTEX;
}

int safePost(MvSink *sink, MvMessageFunc callback, void *argument) {
    if (isEngineThread) {
        mvSendUpMessage(sink, callback, argument); // its status goes to nobody, as queued
        return MV_OK;
    }
    SafeState &state = safeState();
    Job *job = newJob(postJob, sink, reinterpret_cast<void *>(callback), argument);
    int status = job ? queueJob(state, job) : MV_ERROR_NO_MEMORY;
    // No caller unlocks after post, so every path releases the mutex.
    int unlocked = safeUnlock();
    return status ? status : unlocked;
}

int safeRun(int (*fn)(void *), void *argument) {
    if (isEngineThread) return fn(argument);
    SafeState &state = safeState();
    int result = kPending;
    Job *job = newJob(runJob, &result, reinterpret_cast<void *>(fn), argument);
    if (!job) return MV_ERROR_NO_MEMORY;
    if (int status = queueJob(state, job)) return status;
    while (result == kPending) {
        if (mv::conditionWait(state.workDone, state.mutex) == mv::ThreadResult::success) continue;
        // The result cell lives in this frame: never leave a job behind
        // that could still write to it.
        if (result != kPending) break;
        unqueueJob(state, job);
        return MV_ERROR_CONDITION;
    }
    return result;
}

// Pops and runs every queued job in order; -94 when the list is found
// inconsistent.
int runQueuedJobs(SafeState &state) {
    while (Job *job = state.head) {
        job->fn(state, job->payload);
        state.head = job->next;
        if (!state.head) {
            if (state.tail != job) return MV_ERROR_INCONSISTENT;
            state.tail = nullptr;
        }
        mvFree(job);
    }
    return MV_OK;
}

mv::TimePoint housekeepingDeadline() {
    mv::TimePoint now{};
    mv::clockGet(mv::ClockBase::wallClock, &now);
    return mv::timePointFromMillis(mv::millisOf(now) + kHousekeepingMillis);
}

int engineThreadBody(void *argument) {
    auto &state = *static_cast<SafeState *>(argument);
    isEngineThread = true;
    auto *self = reinterpret_cast<MvDispatcher *>(reinterpret_cast<char *>(&state) -
                                                  offsetof(SafeDispatcher, state));
    if (mv::mutexLock(state.mutex) != mv::ThreadResult::success) return MV_ERROR_MUTEX;
    while (state.running) {
        mv::ThreadResult waited =
            mv::conditionTimedWait(state.workAvailable, state.mutex, housekeepingDeadline());
        if (waited != mv::ThreadResult::success && waited != mv::ThreadResult::timedOut) {
            mv::mutexUnlock(state.mutex);
            return MV_ERROR_CONDITION;
        }
        // A dispatcher the host holds but has not installed owns no engine
        // state yet; its thread must not touch the registry.
        if (mv::isInstalledDispatcher(self)) housekeep();
        if (int status = runQueuedJobs(state)) {
            mv::mutexUnlock(state.mutex);
            return status;
        }
    }
    return mv::mutexUnlock(state.mutex) == mv::ThreadResult::success ? MV_OK : MV_ERROR_MUTEX;
}

int stopEngineThread(void *argument) {
    static_cast<SafeState *>(argument)->running = 0;
    return MV_OK;
}

// Undoes a creation that got only part of the way.
void releasePartialRecord(SafeDispatcher *record) {
    SafeState &state = record->state;
    if (state.workDone) mv::conditionDestroy(state.workDone);
    if (state.workAvailable) mv::conditionDestroy(state.workAvailable);
    if (state.mutex) mv::mutexDestroy(state.mutex);
    mvFree(record);
}

int safeDestroy() {
    SafeState &state = safeState();
    if (int status = safeRun(stopEngineThread, &state)) {
        safeUnlock();
        return status;
    }
    // The engine thread finishes its pass, unlocks and ends; this thread
    // gets the mutex back inside run's wait, before the join.
    int exitStatus = MV_OK;
    if (mv::threadJoin(state.thread, &exitStatus) != mv::ThreadResult::success) {
        safeUnlock();
        return MV_ERROR_THREAD;
    }
    // Even when the engine thread ended with an error there is no thread
    // left to serve this record: release it rather than leave a dispatcher
    // installed that would make every later call wait forever.
    mv::conditionDestroy(state.workDone);
    mv::conditionDestroy(state.workAvailable);
    bool unlocked = mv::mutexUnlock(state.mutex) == mv::ThreadResult::success;
    mv::mutexDestroy(state.mutex);
    mvFree(mvDispatcher);
    mv::uninstallDispatcher();
    if (exitStatus != MV_OK) return exitStatus;
    return unlocked ? MV_OK : MV_ERROR_MUTEX;
}

// Ends the engine thread of a dispatcher that is not installed and frees
// the record. Nothing else holds its mutex: no engine call reaches a
// dispatcher that is not installed.
int deleteSafeRecord(SafeDispatcher *record) {
    SafeState &state = record->state;
    if (mv::mutexLock(state.mutex) != mv::ThreadResult::success) return MV_ERROR_MUTEX;
    state.running = 0;
    mv::conditionBroadcast(state.workAvailable);
    mv::mutexUnlock(state.mutex);
    int exitStatus = MV_OK;
    if (mv::threadJoin(state.thread, &exitStatus) != mv::ThreadResult::success)
        return MV_ERROR_THREAD;
    releasePartialRecord(record);
    return exitStatus;
}

int threadStartStatus(mv::ThreadResult result) {
    return result == mv::ThreadResult::noMemory ? MV_ERROR_NO_MEMORY : MV_ERROR_THREAD;
}

} // namespace
} // namespace mv

using namespace mv;

extern "C" {

MV_API int mvNewThreadUnsafeDispatcher(MvDispatcher **out) {
    if (!out) return MV_ERROR_NULL_POINTER;
    auto *record = static_cast<UnsafeDispatcher *>(mvMalloc(sizeof(UnsafeDispatcher)));
    if (!record) return MV_ERROR_NO_MEMORY;
    record->operations = {&record->calls, unsafeLock, unsafeUnlock,
                          unsafePost,     unsafeRun,  unsafeDestroy};
    record->calls = 0;
    *out = &record->operations;
    return MV_OK;
}

MV_API int mvNewThreadSafeDispatcher(MvDispatcher **out) {
    if (!out) return MV_ERROR_NULL_POINTER;
    auto *record = static_cast<SafeDispatcher *>(mvMalloc(sizeof(SafeDispatcher)));
    if (!record) return MV_ERROR_NO_MEMORY;
    SafeState &state = record->state;
    state = {};
    if (mv::mutexCreate(&state.mutex, mv::MutexKind::plain) != mv::ThreadResult::success) {
        releasePartialRecord(record);
        return MV_ERROR_MUTEX;
    }
    if (mv::conditionCreate(&state.workAvailable) != mv::ThreadResult::success ||
        mv::conditionCreate(&state.workDone) != mv::ThreadResult::success) {
        releasePartialRecord(record);
        return MV_ERROR_CONDITION;
    }
    state.running = 1;
    record->operations = {&record->state, safeLock, safeUnlock, safePost, safeRun, safeDestroy};
    mv::ThreadResult started = mv::threadCreate(&state.thread, engineThreadBody, &state);
    if (started != mv::ThreadResult::success) {
        releasePartialRecord(record);
        return threadStartStatus(started);
    }
    *out = &record->operations;
    return MV_OK;
}

MV_API int mvDeleteDispatcher(MvDispatcher *dispatcher) {
    if (!dispatcher) return MV_ERROR_NULL_POINTER;
    if (mv::isInstalledDispatcher(dispatcher)) return MV_ERROR_ALREADY_INITIALIZED;
    if (dispatcher->lock == unsafeLock) {
        mvFree(dispatcher);
        return MV_OK;
    }
    return deleteSafeRecord(reinterpret_cast<SafeDispatcher *>(dispatcher));
}

} // extern "C"

namespace mv {

void installDispatcher(MvDispatcher *dispatcher) {
    std::atomic_ref<MvDispatcher *>(mvDispatcher).store(dispatcher, std::memory_order_release);
}

void uninstallDispatcher() { installDispatcher(nullptr); }

bool isInstalledDispatcher(const MvDispatcher *dispatcher) {
    return std::atomic_ref<MvDispatcher *>(mvDispatcher).load(std::memory_order_acquire) ==
           dispatcher;
}

bool callerIsEngineSide() {
    MvDispatcher *installed =
        std::atomic_ref<MvDispatcher *>(mvDispatcher).load(std::memory_order_acquire);
    if (!installed) return false;
    return installed->lock == unsafeLock || isEngineThread;
}

} // namespace mv
