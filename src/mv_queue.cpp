// The up and down message queues of a sink: single-producer single-consumer
// libsoundio rings holding whole {callback, argument} records. Pushing and
// draining allocate nothing and take no lock, so the audio thread may do both.
#include "mv_queue.h"

#include "mv_dispatch.h"
#include "mv_thread.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <soundio/soundio.h>

// libsoundio is not instrumented, so ThreadSanitizer cannot see the ordering
// its ring offsets give; tell it which accesses the ring orders.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *address);
extern "C" void __tsan_release(void *address);
#define MV_RING_ACQUIRE(ring) __tsan_acquire(ring)
#define MV_RING_RELEASE(ring) __tsan_release(ring)
#else
#define MV_RING_ACQUIRE(ring) ((void)0)
#define MV_RING_RELEASE(ring) ((void)0)
#endif

namespace {

constexpr int kMessageBytes = int(sizeof(MvMessage));
// The overfull wait: 0 s + 8 000 000 ns per step.
constexpr mv::TimePoint kOverfullSleep{0, 8000000};
// Exit status of the process when a ring holds a partial message.
constexpr int kCorruptQueueExitStatus = -78;

constexpr const char *kUpName = "Up";
constexpr const char *kDownName = "Down";

struct Queue {
    SoundIoRingBuffer *ring;
    const char *name;
};

void report(const char *format, const char *name) {
    if (int (*print)(const char *, ...) = mvPrint) print(format, name);
}

// libsoundio sizes rings by the page size it learns when its first context is
// created; before that it cannot create one. A throwaway context fixes that.
void prepareRingAllocator() {
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        if (SoundIo *context = soundio_create()) soundio_destroy(context);
    });
}

SoundIoRingBuffer *createRing() {
    prepareRingAllocator();
    return soundio_ring_buffer_create(nullptr, mv::kQueueRequestedBytes);
}

bool hasRoom(SoundIoRingBuffer *ring) {
    return soundio_ring_buffer_free_count(ring) >= kMessageBytes;
}

// Runs every message queued when the drain starts, in place, and only then
// gives their room back; messages queued meanwhile wait for the next drain.
void drain(MvSink *sink, SoundIoRingBuffer *ring) {
    if (!ring) return;
    int queuedBytes = soundio_ring_buffer_fill_count(ring);
    if (queuedBytes % kMessageBytes != 0) std::_Exit(kCorruptQueueExitStatus);
    MV_RING_ACQUIRE(ring);
    const char *messages = soundio_ring_buffer_read_ptr(ring);
    for (int offset = 0; offset < queuedBytes; offset += kMessageBytes) {
        MvMessage message;
        std::memcpy(&message, messages + offset, kMessageBytes);
        message.callback(sink, message.argument);
    }
    MV_RING_RELEASE(ring);
    soundio_ring_buffer_advance_read_ptr(ring, queuedBytes);
}

// Nothing consumes the up queue of a sink without a stream, so its producer
// makes the room itself rather than waiting for ever. The same goes for the
// down queue when the producer is the very thread that drains it: a
// control-side drain of the up queue, or a loopback render under the
// thread-unsafe dispatcher, would otherwise wait for itself.
bool drainsOwnQueue(MvSink *sink, const Queue &queue) {
    if (sink->stream != nullptr) return false;
    return queue.ring == sink->upQueue || mv::callerIsEngineSide();
}

int waitForRoom(MvSink *sink, const Queue &queue) {
    report("Overfull %s-Message queue\n", queue.name);
    while (!hasRoom(queue.ring)) {
        if (drainsOwnQueue(sink, queue)) {
            drain(sink, queue.ring);
            continue;
        }
        if (mv::threadSleep(kOverfullSleep, nullptr) != 0) {
            report("Unhandled %s-Message queue sleep error\n", queue.name);
            return MV_ERROR_THREAD;
        }
    }
    return MV_OK;
}

int push(MvSink *sink, const Queue &queue, MvMessageFunc callback, void *argument) {
    if (!sink || !callback) return MV_ERROR_NULL_POINTER;
    if (!queue.ring) return MV_ERROR_INCONSISTENT;
    if (!hasRoom(queue.ring)) {
        int status = waitForRoom(sink, queue);
        if (status != MV_OK) return status;
    }
    MV_RING_ACQUIRE(queue.ring);
    const MvMessage message{callback, argument};
    std::memcpy(soundio_ring_buffer_write_ptr(queue.ring), &message, kMessageBytes);
    MV_RING_RELEASE(queue.ring);
    soundio_ring_buffer_advance_write_ptr(queue.ring, kMessageBytes);
    return MV_OK;
}

void reportDownMessageFailure(int status) {
    if (int (*print)(const char *, ...) = mvPrint)
        print("Error %i sending down-message: %s\n", status, mvGetErrorString(status));
}

} // namespace

namespace mv {

int createSinkQueues(MvSink *sink) {
    SoundIoRingBuffer *up = createRing();
    SoundIoRingBuffer *down = up ? createRing() : nullptr;
    if (!down) {
        if (up) soundio_ring_buffer_destroy(up);
        return MV_ERROR_NO_MEMORY;
    }
    sink->upQueue = up;
    sink->downQueue = down;
    return MV_OK;
}

void destroySinkQueues(MvSink *sink) {
    if (sink->upQueue) soundio_ring_buffer_destroy(sink->upQueue);
    if (sink->downQueue) soundio_ring_buffer_destroy(sink->downQueue);
    sink->upQueue = nullptr;
    sink->downQueue = nullptr;
}

} // namespace mv

extern "C" {

int mvSendUpMessage(MvSink *sink, MvMessageFunc callback, void *argument) {
    return push(sink, {sink ? sink->upQueue : nullptr, kUpName}, callback, argument);
}

int mvSendDownMessage(MvSink *sink, MvMessageFunc callback, void *argument) {
    int status = push(sink, {sink ? sink->downQueue : nullptr, kDownName}, callback, argument);
    if (status != MV_OK) reportDownMessageFailure(status);
    return status;
}

int mvFlushUpQueueImpl(MvSink *sink) {
    if (!sink) return MV_ERROR_NULL_POINTER;
    drain(sink, sink->upQueue);
    return MV_OK;
}

int mvFlushDownQueueImpl(MvSink *sink) {
    if (!sink) return MV_ERROR_NULL_POINTER;
    drain(sink, sink->downQueue);
    return MV_OK;
}

} // extern "C"
