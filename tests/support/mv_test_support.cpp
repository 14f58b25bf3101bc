// Failing allocator, print capture and queue-only sink for the tests.
#include "mv_test_support.h"

#include "mv_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace mvtest {

// ---------------------------------------------------------------------------
// FailingAllocator

struct FailingAllocator::State {
    void *(*previousMalloc)(size_t);
    void *(*previousRealloc)(void *, size_t);
    void (*previousFree)(void *);

    mutable std::mutex mutex;
    std::unordered_map<void *, size_t> blocks; // live blocks -> requested size
    size_t bytes = 0;
    int calls = 0;
    int failed = 0;
    int failAt = 0;         // 0: never
    bool failAfter = false; // failAt and every later call

    // Counts one allocation call; true when it is to fail. Under mutex.
    bool nextCallFails() {
        ++calls;
        bool fails = failAt != 0 && (calls == failAt || (failAfter && calls > failAt));
        if (fails) ++failed;
        return fails;
    }
    void track(void *block, size_t size) {
        blocks.emplace(block, size);
        bytes += size;
    }
    // True when the block was ours.
    bool untrack(void *block) {
        auto it = blocks.find(block);
        if (it == blocks.end()) return false;
        bytes -= it->second;
        blocks.erase(it);
        return true;
    }
};

namespace {
std::atomic<FailingAllocator::State *> installedAllocator{nullptr};

void *failingMalloc(size_t size) {
    FailingAllocator::State &state = *installedAllocator.load();
    std::lock_guard lock(state.mutex);
    if (state.nextCallFails()) return nullptr;
    void *block = state.previousMalloc(size);
    if (block) state.track(block, size);
    return block;
}

void *failingRealloc(void *pointer, size_t size) {
    FailingAllocator::State &state = *installedAllocator.load();
    std::lock_guard lock(state.mutex);
    if (state.nextCallFails()) return nullptr;
    void *block = state.previousRealloc(pointer, size);
    if (!block && size != 0) return nullptr; // old block still alive
    if (pointer) state.untrack(pointer);
    if (block) state.track(block, size);
    return block;
}

void failingFree(void *pointer) {
    FailingAllocator::State &state = *installedAllocator.load();
    {
        std::lock_guard lock(state.mutex);
        if (pointer) state.untrack(pointer);
    }
    state.previousFree(pointer);
}
} // namespace

FailingAllocator::FailingAllocator() : state_(std::make_unique<State>()) {
    state_->previousMalloc = mvMalloc;
    state_->previousRealloc = mvRealloc;
    state_->previousFree = mvFree;
    State *expected = nullptr;
    if (!installedAllocator.compare_exchange_strong(expected, state_.get()))
        ADD_FAILURE() << "two FailingAllocator instances at once";
    mvMalloc = failingMalloc;
    mvRealloc = failingRealloc;
    mvFree = failingFree;
}

FailingAllocator::~FailingAllocator() {
    mvMalloc = state_->previousMalloc;
    mvRealloc = state_->previousRealloc;
    mvFree = state_->previousFree;
    installedAllocator.store(nullptr);
}

void FailingAllocator::failNth(int n) {
    std::lock_guard lock(state_->mutex);
    state_->calls = state_->failed = 0;
    state_->failAt = n;
    state_->failAfter = false;
}

void FailingAllocator::failFrom(int n) {
    failNth(n);
    std::lock_guard lock(state_->mutex);
    state_->failAfter = true;
}

void FailingAllocator::failNever() { failNth(0); }

int FailingAllocator::allocationCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

int FailingAllocator::failedCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->failed;
}

long FailingAllocator::liveBlocks() const {
    std::lock_guard lock(state_->mutex);
    return long(state_->blocks.size());
}

size_t FailingAllocator::liveBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->bytes;
}

// ---------------------------------------------------------------------------
// PrintCapture

struct PrintCapture::State {
    int (*previousPrint)(const char *, ...);
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

namespace {
std::atomic<PrintCapture::State *> installedCapture{nullptr};

int capturePrint(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string line(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, arguments);
    va_end(arguments);

    PrintCapture::State &state = *installedCapture.load();
    std::lock_guard lock(state.mutex);
    state.lines.push_back(std::move(line));
    return length;
}
} // namespace

PrintCapture::PrintCapture() : state_(std::make_unique<State>()) {
    state_->previousPrint = mvPrint;
    State *expected = nullptr;
    if (!installedCapture.compare_exchange_strong(expected, state_.get()))
        ADD_FAILURE() << "two PrintCapture instances at once";
    mvPrint = capturePrint;
}

PrintCapture::~PrintCapture() {
    mvPrint = state_->previousPrint;
    installedCapture.store(nullptr);
}

std::vector<std::string> PrintCapture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

std::string PrintCapture::text() const {
    std::string joined;
    for (const std::string &line : lines()) joined += line;
    return joined;
}

int PrintCapture::count(std::string_view fragment) const {
    int found = 0;
    for (const std::string &line : lines())
        if (line.find(fragment) != std::string::npos) ++found;
    return found;
}

void PrintCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->lines.clear();
}

// ---------------------------------------------------------------------------
// QueueOnlySink

QueueOnlySink::QueueOnlySink() {
    if (mv::createSinkQueues(&sink_) != MV_OK) ADD_FAILURE() << "cannot create sink queues";
}

QueueOnlySink::~QueueOnlySink() { mv::destroySinkQueues(&sink_); }

void QueueOnlySink::pretendStreamRuns() {
    // Only its null-ness is read by the queues; never dereferenced.
    sink_.stream = reinterpret_cast<SoundIoOutStream *>(this);
}

// ---------------------------------------------------------------------------
// Interrupting a sleeping thread

namespace {
void ignoreSignal(int) {}
} // namespace

void interruptUntil(pthread_t thread, const std::atomic<bool> &finished) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the sleep must see EINTR
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    while (!finished.load()) {
        pthread_kill(thread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

} // namespace mvtest
