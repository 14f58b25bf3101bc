#include "loopback_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace mvtest {

LoopbackTree::LoopbackTree(Model model, int sampleRate, int bufferSize, DispatcherKind dispatcher)
    : session_(dispatcher, kFallbackOnlyOrder), channels_(model == Model::mono ? 1 : 2),
      sampleRate_(sampleRate) {
    EXPECT_EQ(session_.status(), MV_OK);
    MvSoundModel *soundModel = nullptr;
    EXPECT_EQ(model == Model::mono ? mvNewMonoSoundModel(&soundModel)
                                   : mvNewStereoSoundModel(&soundModel),
              MV_OK);
    EXPECT_EQ(mvNewSink(&sink_, soundModel, bufferSize), MV_OK);
    EXPECT_EQ(mvOpenLoopbackSink(sink_, sampleRate, channels_, MV_FORMAT_FLOAT32), MV_OK);
}

void LoopbackTree::uninitialize() {
    if (mvDispatcher) {
        EXPECT_EQ(mvUninitialize(), MV_OK);
    }
    sink_ = nullptr;
}

MvSampler *LoopbackTree::newSampler(MvMachine *parent) {
    MvSampler *sampler = nullptr;
    EXPECT_EQ(mvNewSampler(&sampler, parent ? parent : root()), MV_OK);
    return sampler;
}

MvMixer *LoopbackTree::newMixer(MvMachine *parent) {
    MvMixer *mixer = nullptr;
    EXPECT_EQ(mvNewMixer(&mixer, parent ? parent : root()), MV_OK);
    return mixer;
}

std::vector<float> LoopbackTree::render(int frames) {
    std::vector<float> out(size_t(frames) * channels_, -99.0f);
    EXPECT_EQ(mvRenderLoopbackSink(sink_, frames, out.data()), MV_OK);
    return out;
}

std::vector<float> LoopbackTree::renderChannel(int frames, int channel) {
    const std::vector<float> all = render(frames);
    std::vector<float> one(frames);
    for (int k = 0; k < frames; ++k) one[k] = all[size_t(k) * channels_ + channel];
    return one;
}

void LoopbackTree::flush() { EXPECT_EQ(mvFlushDownQueueImpl(sink_), MV_OK); }

int ReleaseLog::countFor(const void *data) const {
    return int(std::count_if(entries.begin(), entries.end(),
                             [data](const Entry &e) { return e.data == data; }));
}

void ReleaseLog::record(void *data, void *context) {
    static_cast<ReleaseLog *>(context)->entries.push_back({data, context});
}

int enqueue(MvSampler *sampler, ReleaseLog &log, const void *data, int frames, int channels,
            double sampleRate, int format, bool removeWhenDone) {
    return mvEnqueueClip(&sampler->machine, removeWhenDone, ReleaseLog::record, &log, channels,
                         sampleRate, format, 1, frames, const_cast<void *>(data));
}

std::vector<float> linearRamp(int frames, float start, float step) {
    std::vector<float> v(frames);
    for (int i = 0; i < frames; ++i) v[i] = start + step * float(i);
    return v;
}

std::vector<float> constantFrames(int frames, int channels, float value) {
    return std::vector<float>(size_t(frames) * channels, value);
}

} // namespace mvtest
