// Streams a playlist of sound files into one sampler: chunks read with
// libsndfile, a few queued at a time and refilled as the engine releases
// them (from the release callback itself, and on every call of the player),
// so memory does not grow with file length. The engine's looping
// stays off; the streamer loops itself by reading from the loop start again,
// so a loop of any length is sample-exact too.
#pragma once

#include "marovel_audio.h"
#include "sound_file.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <vector>

struct StreamSettings {
    int64_t chunkFrames = 0;  // 0: each file as one chunk (loaded whole)
    double queuedSeconds = 1; // source time kept queued ahead
    bool loop = false;
    double loopStart = 0.0; // seconds from the playlist's start
};

// Where the audio is: a file of the playlist and a time within it.
struct StreamPlace {
    int file = 0;
    double seconds = 0.0; // within the file
    double played = 0.0;  // since the last start or seek, loops included
};

class Streamer {
public:
    Streamer(MvMachine *sampler, const std::vector<SoundFile *> &files,
             const StreamSettings &settings);
    Streamer(const Streamer &) = delete;
    Streamer &operator=(const Streamer &) = delete;

    double length() const; // of the playlist, seconds
    // Clears the queue and plays from seconds into the playlist. Engine status.
    int start(double seconds);
    // Lets released chunks go and queues more until the settings' source
    // time lies ahead of position (the engine's mvGetPlayPosition). Engine
    // status; a file that fails to read is reported and its rest skipped.
    int refill(double position);
    bool hadReadError() const { return readError_.load(std::memory_order_acquire); }
    // Every chunk of the playlist has been queued (never when looping).
    bool exhausted() const { return exhausted_.load(std::memory_order_acquire); }
    // From here on releases only let chunks go: call before mvUninitialize.
    void stop() { stopped_.store(true, std::memory_order_release); }
    // The place of an engine play position (mvGetPlayPosition).
    StreamPlace place(double position);
    const SoundFile &file(int index) const { return *files_[size_t(index)]; }
    int fileCount() const { return int(files_.size()); }

private:
    struct Chunk {
        Streamer *streamer = nullptr;
        std::vector<uint8_t> data;
        int file = 0;
        int64_t firstFrame = 0;
        int frames = 0;
        double seconds = 0.0;
        std::atomic<bool> released{false};
    };
    static void release(void *data, void *chunk);

    // One thread at a time works on the queue: the player's waits for its
    // turn, a release callback (on the engine's thread, or inside an engine
    // call the player made) skips when the queue is busy, since whoever holds
    // it refills anyway.
    class Turn {
    public:
        Turn(Streamer &streamer, bool wait);
        ~Turn();
        bool held() const { return held_; }

    private:
        Streamer &streamer_;
        bool held_;
    };
    int refillHeld(double position);

    void locate(double seconds, int &file, int64_t &frame) const;
    int64_t chunkLimit(const SoundFile &file) const;
    int queueNext();
    void collectReleased();

    MvMachine *sampler_;
    std::vector<SoundFile *> files_;
    StreamSettings settings_;
    std::list<std::unique_ptr<Chunk>> owned_; // until the engine releases them
    std::deque<Chunk *> queued_;              // in play order, not yet released
    double queuedSeconds_ = 0.0;
    double consumed_ = 0.0; // seconds of chunks released since start
    double lastPlayed_ = 0.0;
    int file_ = 0; // read cursor
    int64_t frame_ = 0;
    std::atomic<bool> exhausted_{false};
    std::atomic<bool> readError_{false};
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopped_{false};
    int deferredStatus_ = MV_OK; // a failure met in a release callback, for the player
};
