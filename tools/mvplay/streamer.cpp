#include "streamer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

// A play position that went back by more than this was measured after the
// engine had let a chunk go but before its release reached us.
constexpr double kReleaseLagTolerance = 0.2;

} // namespace

Streamer::Streamer(MvMachine *sampler, const std::vector<SoundFile *> &files,
                   const StreamSettings &settings)
    : sampler_(sampler), files_(files), settings_(settings) {}

Streamer::Turn::Turn(Streamer &streamer, bool wait) : streamer_(streamer) {
    while ((held_ = !streamer_.busy_.exchange(true, std::memory_order_acquire)) == false && wait)
        std::this_thread::yield();
}

Streamer::Turn::~Turn() {
    if (held_) streamer_.busy_.store(false, std::memory_order_release);
}

void Streamer::release(void *, void *context) {
    auto *chunk = static_cast<Chunk *>(context);
    Streamer &streamer = *chunk->streamer;
    chunk->released.store(true, std::memory_order_release); // the chunk may go from here on
    if (streamer.stopped_.load(std::memory_order_acquire)) return;
    Turn turn(streamer, false);
    if (!turn.held()) return;
    double position = 0.0;
    mvGetPlayPosition(streamer.sampler_, &position);
    if (const int status = streamer.refillHeld(position)) streamer.deferredStatus_ = status;
}

double Streamer::length() const {
    double seconds = 0.0;
    for (const SoundFile *file : files_) seconds += file->seconds();
    return seconds;
}

void Streamer::locate(double seconds, int &file, int64_t &frame) const {
    for (file = 0; file < int(files_.size()); ++file) {
        const SoundFile &f = *files_[size_t(file)];
        if (seconds < f.seconds()) {
            frame = std::clamp<int64_t>(int64_t(seconds * f.sampleRate()), 0, f.frames());
            return;
        }
        seconds -= f.seconds();
    }
    frame = 0; // beyond the playlist: the cursor is at its end
}

int64_t Streamer::chunkLimit(const SoundFile &file) const {
    const int64_t most = INT_MAX / file.channels(); // what one clip can address
    return settings_.chunkFrames > 0 ? std::min(settings_.chunkFrames, most) : most;
}

int Streamer::start(double seconds) {
    Turn turn(*this, true);
    if (const int status = mvClearClipQueue(sampler_)) return status;
    queued_.clear(); // their releases arrive later; owned_ keeps them until then
    queuedSeconds_ = consumed_ = lastPlayed_ = 0.0;
    exhausted_.store(false, std::memory_order_release);
    locate(std::max(seconds, 0.0), file_, frame_);
    if (file_ >= int(files_.size())) {
        if (!settings_.loop) {
            exhausted_.store(true, std::memory_order_release);
            return MV_OK;
        }
        locate(settings_.loopStart, file_, frame_);
    }
    if (const int status = refillHeld(0.0)) return status;
    return mvPlay(sampler_);
}

void Streamer::collectReleased() {
    for (auto it = owned_.begin(); it != owned_.end();) {
        Chunk *chunk = it->get();
        if (!chunk->released.load(std::memory_order_acquire)) {
            ++it;
            continue;
        }
        if (auto q = std::find(queued_.begin(), queued_.end(), chunk); q != queued_.end()) {
            queuedSeconds_ -= chunk->seconds;
            consumed_ += chunk->seconds;
            queued_.erase(q);
        }
        it = owned_.erase(it);
    }
}

// Reads and queues the chunk at the cursor and moves the cursor on (to the
// next file, or the loop start). 1 when a chunk was queued or a damaged
// file skipped, 0 at the end, else an engine status.
int Streamer::queueNext() {
    while (file_ < int(files_.size()) && frame_ >= files_[size_t(file_)]->frames()) {
        ++file_;
        frame_ = 0;
        if (file_ == int(files_.size()) && settings_.loop)
            locate(settings_.loopStart, file_, frame_);
    }
    if (file_ >= int(files_.size())) return 0;
    SoundFile &file = *files_[size_t(file_)];
    auto chunk = std::make_unique<Chunk>();
    chunk->streamer = this;
    const int64_t want = std::min(chunkLimit(file), file.frames() - frame_);
    int64_t got = file.seek(frame_) ? file.read(want, chunk->data) : -1;
    if (got <= 0) {
        std::fprintf(stderr, "mvplay: %s: read error at frame %lld\n", file.path().c_str(),
                     (long long)frame_);
        frame_ = file.frames(); // the rest of this file is skipped
        readError_.store(true, std::memory_order_release);
        return 1;
    }
    chunk->file = file_;
    chunk->firstFrame = frame_;
    chunk->frames = int(got);
    chunk->seconds = double(got) / file.sampleRate();
    const int status =
        mvEnqueueClip(sampler_, 1, release, chunk.get(), file.channels(), file.sampleRate(),
                      file.format(), file.nativeOrder(), chunk->frames, chunk->data.data());
    if (status) return status;
    frame_ += got;
    queuedSeconds_ += chunk->seconds;
    queued_.push_back(chunk.get());
    owned_.push_back(std::move(chunk));
    return 1;
}

int Streamer::refill(double position) {
    Turn turn(*this, true);
    const int deferred = std::exchange(deferredStatus_, MV_OK);
    return deferred ? deferred : refillHeld(position);
}

int Streamer::refillHeld(double position) {
    collectReleased();
    while (!exhausted() && queuedSeconds_ - position < settings_.queuedSeconds) {
        const int queued = queueNext();
        if (queued == 0) exhausted_.store(true, std::memory_order_release);
        if (queued < 0) return queued;
    }
    return MV_OK;
}

StreamPlace Streamer::place(double position) {
    Turn turn(*this, true);
    collectReleased();
    double played = consumed_ + position;
    size_t skipped = 0;
    // Chunks the engine has already passed but not yet handed back.
    for (double offset = consumed_;
         played < lastPlayed_ - kReleaseLagTolerance && skipped + 1 < queued_.size(); ++skipped) {
        offset += queued_[skipped]->seconds;
        played = offset + position;
    }
    lastPlayed_ = played;
    StreamPlace place;
    place.played = played;
    double within = position;
    for (size_t i = skipped; i < queued_.size(); ++i) {
        const Chunk *chunk = queued_[i];
        if (within < chunk->seconds || i + 1 == queued_.size()) {
            const SoundFile &file = *files_[size_t(chunk->file)];
            place.file = chunk->file;
            place.seconds =
                std::min(double(chunk->firstFrame) / file.sampleRate() + within, file.seconds());
            return place;
        }
        within -= chunk->seconds;
    }
    place.file = file_ < int(files_.size()) ? file_ : int(files_.size()) - 1;
    place.seconds = files_[size_t(place.file)]->seconds();
    return place;
}
