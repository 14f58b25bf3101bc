// Test helpers shared by every test program: a failing, counting allocator
// for the engine's allocator hooks, a capture of the engine's print hook, and
// a bare sink that has nothing but its two message queues.
//
// Each helper installs itself in its constructor and restores what it
// replaced in its destructor, so a test scopes it with a local variable.
#pragma once

#include "marovel_audio.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

namespace mvtest {

// Replaces mvMalloc, mvRealloc and mvFree while it lives. Every block the
// engine obtains meanwhile is counted until it is released; blocks from
// before pass through to the previous hooks uncounted. Counters are safe to
// read while other threads allocate. One instance at a time.
//
//   mvtest::FailingAllocator allocator;
//   allocator.failNth(3);                  // the third allocation fails
//   EXPECT_EQ(mvSomething(...), MV_ERROR_NO_MEMORY);
//   EXPECT_EQ(allocator.liveBlocks(), 0);  // nothing left behind
//
// Allocation calls are those of mvMalloc and mvRealloc; numbering starts at
// 1 with the first call after construction or after the last failNth /
// failFrom / failNever. A failed mvRealloc returns null and leaves the old
// block alive, as realloc does.
class FailingAllocator {
public:
    FailingAllocator();  // installs; fails nothing until told to
    ~FailingAllocator(); // restores the previous hooks
    FailingAllocator(const FailingAllocator &) = delete;
    FailingAllocator &operator=(const FailingAllocator &) = delete;

    void failNth(int n);  // only the n-th allocation call from now fails
    void failFrom(int n); // the n-th allocation call from now and all later fail
    void failNever();     // allocations succeed again

    int allocationCalls() const; // allocation calls since the last failNth/failFrom/failNever
    int failedCalls() const;     // of those, how many returned null
    long liveBlocks() const;     // blocks obtained while installed and not yet freed
    size_t liveBytes() const;    // their total requested size

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Replaces mvPrint while it lives; every call is formatted (vsnprintf) and
// kept as one entry, under a mutex so audio and engine threads may print
// concurrently. Restores the previous hook on destruction. One at a time.
class PrintCapture {
public:
    PrintCapture();
    ~PrintCapture();
    PrintCapture(const PrintCapture &) = delete;
    PrintCapture &operator=(const PrintCapture &) = delete;

    std::vector<std::string> lines() const;     // one entry per mvPrint call, in order
    std::string text() const;                   // all entries joined
    int count(std::string_view fragment) const; // entries containing fragment
    void clear();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// A zeroed MvSink holding only its up and down queues (created as a real
// sink creates them): enough for the queues and the dispatchers' drains.
// stream stays null (no consumer for the up queue) unless a test sets
// pretendStreamRuns(). The queues are destroyed undrained on destruction.
class QueueOnlySink {
public:
    QueueOnlySink();
    ~QueueOnlySink();
    QueueOnlySink(const QueueOnlySink &) = delete;
    QueueOnlySink &operator=(const QueueOnlySink &) = delete;

    MvSink *get() { return &sink_; }
    // Marks the sink as if its stream ran, so full up queues wait for a
    // consumer thread instead of being drained by the producer.
    void pretendStreamRuns();

private:
    MvSink sink_{};
};

// Sends SIGUSR1 (handled by a no-op handler installed without SA_RESTART)
// to thread every millisecond until finished is true, so that a sleep or
// wait inside it returns early as if interrupted.
void interruptUntil(pthread_t thread, const std::atomic<bool> &finished);

} // namespace mvtest
