// The two message rings of a sink. Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

namespace mv {

// Requested bytes per ring: room for at least 256 messages; libsoundio may
// round the capacity up to whole pages.
constexpr int kQueueRequestedBytes = 2048;

// Creates sink->upQueue and sink->downQueue. 0, or -1 with neither created.
int createSinkQueues(MvSink *sink);

// Marks the calling thread as rendering for a sink while it lives: a full
// down queue then drops a message instead of waiting for the control side.
class AudioRenderScope {
public:
    AudioRenderScope();
    ~AudioRenderScope();
    AudioRenderScope(const AudioRenderScope &) = delete;
    AudioRenderScope &operator=(const AudioRenderScope &) = delete;

private:
    bool outer_;
};

// The audio thread's drain of the up queue: runs the queued messages in
// order while the down queue has room for what each hands back; the rest
// waits for the next chunk. Audio thread.
void drainUpQueueOnAudioThread(MvSink *sink) MV_AUDIO_THREAD;

// True while this thread drains the sink's down queue, that is inside a
// down message or a release callback of that sink: the drain still reads
// the sink and its tree afterwards.
bool drainsDownQueueOf(const MvSink *sink);

// Destroys both rings without running what they hold (drain them first) and
// clears the fields. Safe on a sink whose rings were never created.
void destroySinkQueues(MvSink *sink);

} // namespace mv
