// Clip release and the sampler's notices: clip ends, loop wraps and stops
// that the audio thread reports in lock-free fields (never by message, so it
// never waits for room), and the control side's collection of them on every
// drain of a sink's down queue, which also hands released clips back to the
// host.
#include "mv_machine.h"
#include "mv_sampler.h"

namespace mv {
namespace {

// The clip leaves the queue count; its release callback comes separately.
void countOff(MvClip *clip) { --clip->sampler->queuedClips; }

// Hands the data back to the host and frees the record; touches no sampler,
// so a callback that deletes the clip's sampler cannot pull it away.
void handBack(MvClip *clip) {
    if (clip->release) clip->release(clip->data, clip->releaseContext);
    mvFree(clip);
}

void releaseClip(MvClip *clip) {
    countOff(clip);
    handBack(clip);
}

void releaseChain(MvClip *clip) {
    while (clip) {
        MvClip *next = clip->next;
        releaseClip(clip);
        clip = next;
    }
}

constexpr uint32_t kStoppedBit = 0x80000000u;

// Applies one sampler's notices and appends the clips it released, oldest
// first and already counted off, at *tail; returns the new end of the list.
MvClip **takeNotices(MvSampler *sampler, MvClip **tail) {
    SamplerNotices &notices = noticesOf(sampler);
    const uint32_t progress = notices.progress.exchange(0, std::memory_order_acquire);
    if (progress & kStoppedBit) {
        sampler->controlState = kSamplerStopped;
        sampler->processedClips = 0;
    }
    sampler->processedClips += int32_t(progress & ~kStoppedBit);
    MvClip *newest = notices.released.exchange(nullptr, std::memory_order_acquire);
    MvClip *oldest = nullptr;
    while (newest) {
        MvClip *older = newest->next;
        newest->next = oldest;
        oldest = newest;
        newest = older;
        countOff(oldest);
    }
    for (*tail = oldest; *tail; tail = &(*tail)->next) {
    }
    return tail;
}

MvClip **takeNoticesBelow(MvDestination *destination, MvClip **tail) {
    for (MvSource *source = destination->connectedHead; source; source = source->connectedNext) {
        MvMachine *owner = source->owner;
        if (owner->deleteFunc == mvDeleteSampler)
            tail = takeNotices(static_cast<MvSampler *>(owner->self), tail);
        if (owner->destination) tail = takeNoticesBelow(owner->destination, tail);
    }
    return tail;
}

// Hands back a list gathered by takeNotices. The whole tree is walked first
// and only then do the host's callbacks run, since they may change it.
void handBackChain(MvClip *clip) {
    while (clip) {
        MvClip *next = clip->next;
        handBack(clip);
        clip = next;
    }
}

} // namespace

// ---- audio side ------------------------------------------------------------

void noticeStopped(MvSampler *sampler) {
    noticesOf(sampler).progress.store(kStoppedBit, std::memory_order_release);
}

void noticeClipAdvanced(MvSampler *sampler) {
    noticesOf(sampler).progress.fetch_add(1, std::memory_order_release);
}

void noticeReleasedClip(MvSampler *sampler, MvClip *clip) {
    std::atomic<MvClip *> &released = noticesOf(sampler).released;
    clip->next = released.load(std::memory_order_relaxed);
    while (!released.compare_exchange_weak(clip->next, clip, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

// ---- control side ----------------------------------------------------------

void releaseClipsNotice(MvSink *, void *head) { releaseChain(static_cast<MvClip *>(head)); }

void releaseSamplerClips(MvSampler *sampler) {
    MvClip *released = nullptr;
    takeNotices(sampler, &released);
    handBackChain(released);
    releaseChain(sampler->head);
}

void collectSamplerNotices(MvSink *sink) {
    MvClip *released = nullptr;
    takeNoticesBelow(&sink->destination, &released);
    handBackChain(released);
}

} // namespace mv
