// A whole engine for one test: initialised with the chosen dispatcher
// (thread-unsafe unless asked) on the fallback backend only, one sink with the chosen sound model
// opened as a float32 loopback sink, and helpers to render and inspect it. The calling thread is
// both the control side and the sink's audio thread.
//
//   mvtest::LoopbackTree tree(mvtest::Model::stereo);
//   MvSampler *sampler = tree.newSampler();
//   ... mvEnqueueClip(&sampler->machine, ...); mvPlay(&sampler->machine);
//   std::vector<float> out = tree.render(480);   // interleaved frames
//
// Declare clip data and release logs before the tree: its end releases
// every clip still queued.
#pragma once

#include "marovel_audio.h"
#include "mv_session.h"

#include <cstdint>
#include <vector>

namespace mvtest {

enum class Model { mono, stereo };

class LoopbackTree {
public:
    explicit LoopbackTree(Model model = Model::stereo, int sampleRate = 48000,
                          int bufferSize = 1024,
                          DispatcherKind dispatcher = DispatcherKind::threadUnsafe);
    LoopbackTree(const LoopbackTree &) = delete;
    LoopbackTree &operator=(const LoopbackTree &) = delete;

    MvSink *sink() const { return sink_; }
    MvMachine *root() const { return &sink_->base; }
    int channels() const { return channels_; }
    int sampleRate() const { return sampleRate_; }

    // New nodes under `parent` (the sink when null); fail the test on error.
    MvSampler *newSampler(MvMachine *parent = nullptr);
    MvMixer *newMixer(MvMachine *parent = nullptr);

    // Renders frames through the loopback sink: interleaved, channels() per frame.
    std::vector<float> render(int frames);
    // One channel of a render.
    std::vector<float> renderChannel(int frames, int channel);
    // Runs every pending down-message now (notices, releases, frees).
    void flush();
    // Ends the engine early, as a host's shut-down would; the session
    // would otherwise end it with the tree.
    void uninitialize();

private:
    EngineSession session_;
    MvSink *sink_ = nullptr;
    int channels_;
    int sampleRate_;
};

// Counts release callbacks and remembers their arguments.
struct ReleaseLog {
    struct Entry {
        void *data;
        void *context;
    };
    std::vector<Entry> entries;
    int count() const { return int(entries.size()); }
    int countFor(const void *data) const;
    // Use as the release callback with the log itself as context.
    static void record(void *data, void *context);
};

// The sampler's machine, for the mv… control calls.
inline MvMachine *m(MvSampler *sampler) { return &sampler->machine; }

// Enqueues a clip that releases into `log`, native byte order. Returns the status.
int enqueue(MvSampler *sampler, ReleaseLog &log, const void *data, int frames, int channels,
            double sampleRate, int format, bool removeWhenDone = false);

// Sample data helpers.
std::vector<float> linearRamp(int frames, float start, float step);
std::vector<float> constantFrames(int frames, int channels, float value);

} // namespace mvtest
