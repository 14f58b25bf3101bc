// The up and down message queues of a sink: single-producer single-consumer
// libsoundio rings holding whole {callback, argument} records. Pushing and
// draining allocate nothing and take no lock, so the audio thread may do both.
#include "mv_queue.h"

#include "mv_dispatch.h"
#include "mv_sampler.h"
#include "mv_thread.h"

#include <soundio/soundio.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

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

namespace mv {
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

// Runs the messages queued when the drain starts, in order; messages queued
// meanwhile wait for the next drain. Each message's room is given back
// before it runs, so a drain that one of the callbacks starts on the same
// queue (a release callback calling the engine) goes on after it instead of
// running it again. `mayGoOn` can end the drain early; the rest stays queued.
template <typename MayGoOn> void drain(MvSink *sink, SoundIoRingBuffer *ring, MayGoOn mayGoOn) {
    if (!ring) return;
    int queuedBytes = soundio_ring_buffer_fill_count(ring);
    if (queuedBytes % kMessageBytes != 0) std::_Exit(kCorruptQueueExitStatus);
    for (int left = queuedBytes / kMessageBytes; left > 0 && mayGoOn(); --left) {
        if (soundio_ring_buffer_fill_count(ring) < kMessageBytes) return; // a nested drain ran them
        MV_RING_ACQUIRE(ring);
        MvMessage message;
        std::memcpy(&message, soundio_ring_buffer_read_ptr(ring), kMessageBytes);
        MV_RING_RELEASE(ring);
        soundio_ring_buffer_advance_read_ptr(ring, kMessageBytes);
        message.callback(sink, message.argument);
    }
}

void drain(MvSink *sink, SoundIoRingBuffer *ring) {
    drain(sink, ring, [] { return true; });
}

// A release callback may call the engine, and that call may drain the same
// down queue again; this bounds how deep such drains nest on one thread.
// Every level is a callback that found the up queue full (or queried), so
// real hosts stay a level or two deep.
constexpr int kMaxNestedDownDrains = 16;
thread_local int nestedDownDrains = 0;
// The sinks whose down queue this thread is draining, outermost first.
thread_local MvSink *drainedSinks[kMaxNestedDownDrains];

// Set while the thread renders for a sink (a stream's audio thread, or a host
// thread rendering a loopback sink).
thread_local bool rendersAudio = false;

// Room the audio thread keeps in the down queue before it runs an up
// message: enough for what one message hands back (its record, a replaced
// matrix or pull record, a released node), so running up messages never
// finds the down queue full.
constexpr int kDownRoomPerUpMessage = 4 * kMessageBytes;

void drainDownQueue(MvSink *sink) {
    if (nestedDownDrains >= kMaxNestedDownDrains) return; // the drains below go on
    drainedSinks[nestedDownDrains++] = sink;
    drain(sink, sink->downQueue);
    mv::collectSamplerNotices(sink);
    --nestedDownDrains;
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

// The audio thread of a stream never waits for the control side: a full
// down queue drops the message (the caller reports it). A loopback render
// may wait: no control-side call ever waits for it. A control-side producer that
// waits for room in the up queue keeps emptying the down queue it consumes,
// since the audio thread runs up messages only while the down queue has
// room for what they hand back.
int waitForRoom(MvSink *sink, const Queue &queue) {
    report("Overfull %s-Message queue\n", queue.name);
    const bool upQueue = queue.ring == sink->upQueue;
    while (!hasRoom(queue.ring)) {
        if (drainsOwnQueue(sink, queue)) {
            drain(sink, queue.ring);
            continue;
        }
        if (!upQueue && rendersAudio && sink->stream) return MV_ERROR_THREAD;
        if (upQueue && mv::callerIsEngineSide()) {
            drainDownQueue(sink);
            if (hasRoom(queue.ring)) break;
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

AudioRenderScope::AudioRenderScope() : outer_(rendersAudio) { rendersAudio = true; }
AudioRenderScope::~AudioRenderScope() { rendersAudio = outer_; }

void drainUpQueueOnAudioThread(MvSink *sink) {
    // A loopback render may wait for room: no control-side call waits for it.
    SoundIoRingBuffer *down = sink->stream ? sink->downQueue : nullptr;
    drain(sink, sink->upQueue, [down] {
        return !down || soundio_ring_buffer_free_count(down) >= kDownRoomPerUpMessage;
    });
}

bool drainsDownQueueOf(const MvSink *sink) {
    for (int level = 0; level < nestedDownDrains; ++level)
        if (drainedSinks[level] == sink) return true;
    return false;
}

void destroySinkQueues(MvSink *sink) {
    if (sink->upQueue) soundio_ring_buffer_destroy(sink->upQueue);
    if (sink->downQueue) soundio_ring_buffer_destroy(sink->downQueue);
    sink->upQueue = nullptr;
    sink->downQueue = nullptr;
}

} // namespace mv

using namespace mv;

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
    drainDownQueue(sink);
    return MV_OK;
}

} // extern "C"
