// Sampler control: the state machine, seeks, queue counts, clip ownership
// (every release callback exactly once, on every path), argument checks and
// allocation failures. Played through float32 loopback sinks.
#include "loopback_tree.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using mvtest::LoopbackTree;
using mvtest::m;
using mvtest::Model;
using mvtest::ReleaseLog;

namespace {

// A mono 8000 Hz loopback tree with one sampler and clips whose frames are
// all the same value, so the output tells which clip plays.
class SamplerControl : public ::testing::Test {
protected:
    ReleaseLog log;
    std::vector<std::vector<float>> clips;
    LoopbackTree tree{Model::mono, 8000};
    MvSampler *sampler = tree.newSampler();

    // Enqueues `seconds` of the constant `value` at `rate`.
    const float *add(float value, double rate, double seconds = 1.0, bool removeWhenDone = false) {
        const int frames = int(rate * seconds);
        clips.emplace_back(frames, value);
        EXPECT_EQ(mvtest::enqueue(sampler, log, clips.back().data(), frames, 1, rate,
                                  MV_FORMAT_FLOAT32, removeWhenDone),
                  MV_OK);
        return clips.back().data();
    }
    float next() { return tree.render(1)[0]; }
};

TEST_F(SamplerControl, PlayOnAnEmptyQueueEndsStopped) {
    ASSERT_EQ(mvPlay(m(sampler)), MV_OK);
    EXPECT_EQ(sampler->controlState, MV_SAMPLER_PLAYING);
    tree.render(1);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 0);
}

TEST_F(SamplerControl, EnqueueingNeverStartsPlayback) {
    add(0.5f, 8000.0);
    EXPECT_EQ(next(), 0.0f);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
}

TEST_F(SamplerControl, PlayAtSeeksThroughClipsOfDifferentRates) {
    mvSetInterpolation(m(sampler), 0);
    add(0.1f, 8000.0);
    add(0.2f, 4000.0);
    const std::vector<float> third = mvtest::linearRamp(16000, 0.0f, 1.0f / 16000);
    clips.push_back(third);
    mvtest::enqueue(sampler, log, clips.back().data(), 16000, 1, 16000.0, MV_FORMAT_FLOAT32);
    ASSERT_EQ(mvPlayAt(m(sampler), 2.5), MV_OK);
    EXPECT_EQ(next(), third[8000]); // half a second into the third clip
    EXPECT_EQ(next(), third[8002]);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PLAYING);
}

TEST_F(SamplerControl, PlayAtBeyondTheQueueStopsUnlessLooping) {
    add(0.1f, 8000.0);
    add(0.2f, 8000.0);
    add(0.3f, 8000.0);
    mvPlay(m(sampler));
    EXPECT_EQ(next(), 0.1f);
    mvPlayAt(m(sampler), 3.5);
    EXPECT_EQ(next(), 0.0f);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);

    mvSetLooping(m(sampler), 1);
    mvPlayAt(m(sampler), 3.5);
    EXPECT_EQ(next(), 0.1f); // the first clip at frame 0
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PLAYING);
}

TEST_F(SamplerControl, PlayPositionIsExactAtBlockEndsAcrossAClipChangeAndALoopWrap) {
    auto position = [&] {
        double seconds = -1.0;
        EXPECT_EQ(mvGetPlayPosition(m(sampler), &seconds), MV_OK);
        return seconds;
    };
    add(0.1f, 8000.0);      // 1 s
    add(0.2f, 4000.0, 0.5); // 0.5 s at half the sink's rate
    mvSetLooping(m(sampler), 1);
    EXPECT_EQ(position(), 0.0);
    mvPlay(m(sampler));
    const struct {
        int frames;     // rendered at 8000 Hz, in blocks of at most 1024
        double seconds; // from the head
    } steps[] = {{1000, 0.125}, {7500, 1.0625}, {4000, 0.0625}, {1, 0.0625 + 1.0 / 8000}};
    for (const auto &step : steps) {
        tree.render(step.frames);
        EXPECT_NEAR(position(), step.seconds, 1e-12) << step.frames;
    }
    mvPause(m(sampler));
    tree.render(1024);
    EXPECT_NEAR(position(), 0.0625 + 1.0 / 8000, 1e-12);
    mvStop(m(sampler));
    tree.render(16);
    EXPECT_EQ(position(), 0.0);

    double seconds = 0.0;
    MvMixer *mixer = tree.newMixer();
    EXPECT_EQ(mvGetPlayPosition(nullptr, &seconds), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetPlayPosition(m(sampler), nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetPlayPosition(&mixer->machine, &seconds), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvGetSinkLatency(m(sampler), &seconds), MV_OK);
    EXPECT_EQ(seconds, 0.0); // a loopback sink holds nothing back
}

TEST_F(SamplerControl, NegativeAndNaNTimesSeekToTheStart) {
    add(0.1f, 8000.0);
    add(0.2f, 8000.0);
    mvPlayAt(m(sampler), -4.0);
    EXPECT_EQ(next(), 0.1f);
    mvPlayAt(m(sampler), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(next(), 0.1f);
    mvPlayAt(m(sampler), 1.0);
    EXPECT_EQ(next(), 0.2f);
}

TEST_F(SamplerControl, PauseResumeAndPlayFollowTheStateTable) {
    const std::vector<float> ramp = mvtest::linearRamp(8000, 0.0f, 1.0f / 8000);
    clips.push_back(ramp);
    mvtest::enqueue(sampler, log, clips.back().data(), 8000, 1, 8000.0, MV_FORMAT_FLOAT32);
    mvPlay(m(sampler));
    tree.render(10);
    mvPause(m(sampler));
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PAUSED);
    EXPECT_EQ(next(), ramp[10]);
    EXPECT_EQ(mvPause(m(sampler)), MV_OK); // not playing: no effect
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PAUSED);

    mvPlay(m(sampler)); // from paused: resumes where it held
    EXPECT_EQ(next(), ramp[10]);
    EXPECT_EQ(next(), ramp[11]);
    mvPlay(m(sampler)); // while playing: restarts from the head
    EXPECT_EQ(next(), ramp[0]);

    mvEnsurePlaying(m(sampler)); // playing: nothing changes
    EXPECT_EQ(next(), ramp[1]);
    mvPause(m(sampler));
    mvEnsurePlaying(m(sampler)); // paused: resumes
    EXPECT_EQ(next(), ramp[2]);

    EXPECT_EQ(mvResume(m(sampler)), MV_OK); // not paused: no effect
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PLAYING);
    mvStop(m(sampler));
    EXPECT_EQ(next(), 0.0f);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 1); // stop keeps the queue
    mvEnsurePlaying(m(sampler));                  // stopped: from the head
    EXPECT_EQ(next(), ramp[0]);
}

TEST_F(SamplerControl, ClearingWhilePlayingStopsAndReleasesEveryClipOnce) {
    const float *a = add(0.1f, 8000.0, 0.001);
    const float *b = add(0.2f, 8000.0);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    tree.render(20); // past the first clip: one transition
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 1);
    ASSERT_EQ(mvClearClipQueue(m(sampler)), MV_OK);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
    EXPECT_EQ(next(), 0.0f);
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 0);
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 1);
    EXPECT_EQ(log.countFor(a), 1);
    EXPECT_EQ(log.countFor(b), 1);
    tree.uninitialize();
    EXPECT_EQ(log.count(), 2);
}

TEST_F(SamplerControl, QueueSizeCountsClipsUntilTheirRelease) {
    add(0.1f, 8000.0, 0.001, true);
    add(0.2f, 8000.0, 0.001, false);
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 2);
    mvPlay(m(sampler));
    tree.render(100);
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 1); // the kept clip stays counted
    EXPECT_EQ(log.count(), 1);
    mvPlay(m(sampler)); // and plays again
    EXPECT_EQ(next(), 0.2f);
}

TEST_F(SamplerControl, LoopingInterpolationAndLoopStartReadBackWhatWasSet) {
    EXPECT_EQ(mvGetLooping(m(sampler)), 0);
    EXPECT_EQ(mvGetInterpolation(m(sampler)), 1);
    mvSetLooping(m(sampler), 0x101); // the low byte counts
    mvSetInterpolation(m(sampler), 0x100);
    EXPECT_EQ(mvGetLooping(m(sampler)), 1);
    EXPECT_EQ(mvGetInterpolation(m(sampler)), 0);
    mvSetLoopStart(m(sampler), 2.25);
    EXPECT_EQ(mvGetLoopStart(m(sampler)), 2.25);
    mvSetLoopStart(m(sampler), -1.0);
    EXPECT_EQ(mvGetLoopStart(m(sampler)), 0.0);
    mvSetLoopStart(m(sampler), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(mvGetLoopStart(m(sampler)), 0.0);
    tree.render(1);
    EXPECT_EQ(sampler->audioLoopStart, 0.0);
}

TEST_F(SamplerControl, EnqueueSwapsAForeignByteOrderInPlace) {
    int16_t data[2] = {0x0040, 0x00E0}; // 0.5 and -0.25 written big-endian
    ASSERT_EQ(
        mvEnqueueClip(m(sampler), 0, nullptr, nullptr, 1, 8000.0, MV_FORMAT_INT16, 0, 2, data),
        MV_OK);
    EXPECT_EQ(data[0], 0x4000);
    mvPlay(m(sampler));
    EXPECT_EQ(tree.render(2), (std::vector<float>{0.5f, -0.25f}));
}

TEST_F(SamplerControl, EnqueueRejectsBadClipsBeforeTouchingTheData) {
    int16_t data[2] = {0x0102, 0x0304};
    auto enqueue = [&](MvMachine *target, int channels, double rate, int format, int frames,
                       void *samples) {
        return mvEnqueueClip(target, 0, nullptr, nullptr, channels, rate, format, 0, frames,
                             samples);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(enqueue(nullptr, 1, 8000.0, MV_FORMAT_INT16, 2, data), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(enqueue(m(sampler), 1, 8000.0, MV_FORMAT_INT16, 2, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(enqueue(m(sampler), 1, 8000.0, MV_FORMAT_INT16, 0, data), MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(enqueue(m(sampler), 1, 8000.0, MV_FORMAT_INT16, -5, data), MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(enqueue(tree.root(), 1, 8000.0, MV_FORMAT_INT16, 2, data), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(enqueue(m(sampler), 0, 8000.0, MV_FORMAT_INT16, 2, data), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(enqueue(m(sampler), -1, 8000.0, MV_FORMAT_INT16, 2, data), MV_ERROR_SPEAKER_LAYOUT);
    for (double rate : {0.0, -8000.0, nan, inf})
        EXPECT_EQ(enqueue(m(sampler), 1, rate, MV_FORMAT_INT16, 2, data), MV_ERROR_SAMPLE_RATE);
    EXPECT_EQ(enqueue(m(sampler), 1, 8000.0, 6, 2, data), MV_ERROR_SAMPLE_FORMAT);
    EXPECT_EQ(enqueue(m(sampler), 1, 8000.0, -1, 2, data), MV_ERROR_SAMPLE_FORMAT);
    EXPECT_EQ(enqueue(m(sampler), 65536, 8000.0, MV_FORMAT_INT16, 65536, data),
              MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(data[0], 0x0102); // never swapped
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 0);
}

TEST_F(SamplerControl, CallsRejectNullsAndOtherMachines) {
    MvMixer *mixer = tree.newMixer();
    MvMachine *other = &mixer->machine;
    for (auto call : {mvPlay, mvStop, mvPause, mvResume, mvEnsurePlaying, mvClearClipQueue,
                      mvGetClipQueueSize, mvGetProcessedClips, mvGetState, mvGetLooping,
                      mvGetInterpolation, mvClearChannelMatrix, mvDeleteSampler}) {
        EXPECT_EQ(call(nullptr), MV_ERROR_NULL_POINTER);
        EXPECT_EQ(call(other), MV_ERROR_MACHINE_TYPE);
    }
    EXPECT_EQ(mvGetLoopStart(nullptr), double(MV_ERROR_NULL_POINTER));
    EXPECT_EQ(mvGetLoopStart(other), double(MV_ERROR_MACHINE_TYPE));
    EXPECT_EQ(mvPlayAt(other, 1.0), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvSetLoopStart(nullptr, 1.0), MV_ERROR_NULL_POINTER);

    MvSampler *child = nullptr;
    EXPECT_EQ(mvNewSampler(nullptr, tree.root()), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewSampler(&child, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewSampler(&child, m(sampler)), MV_ERROR_NOT_DESTINATION);
    EXPECT_EQ(child, nullptr);
}

TEST_F(SamplerControl, ChannelMatricesMustFitTheModelAndABoundedSourceCount) {
    const float weights[128] = {};
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 1, 2, weights), MV_ERROR_VECTOR_SIZE);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 0, 1, weights), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 65, 1, weights), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 64, 1, weights), MV_OK);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 1, 1, nullptr), MV_OK); // clears
    EXPECT_EQ(sampler->controlMatrix, nullptr);
}

// A host-written model with four weights per source channel: the render's
// ramp deltas (128 on the audio thread's stack) bound the product, not the
// channel count alone.
TEST(SamplerMatrixBound, SourceChannelsTimesVectorSizeFitTheRampBuffer) {
    mvtest::EngineSession session(mvtest::DispatcherKind::threadUnsafe, mvtest::kFallbackOnlyOrder);
    MvSoundModel *model = nullptr;
    ASSERT_EQ(mvNewStereoSoundModel(&model), 0);
    model->vectorSize = 4;
    MvSink *sink = nullptr;
    ASSERT_EQ(mvNewSink(&sink, model, 256), 0);
    MvSampler *sampler = nullptr;
    ASSERT_EQ(mvNewSampler(&sampler, &sink->base), 0);
    const float weights[64 * 4] = {};
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 64, 4, weights), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.5, 33, 4, weights), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 32, 4, weights), MV_OK);
    EXPECT_EQ(mvSetChannelMatrix(m(sampler), 0.5, 32, 4, weights), MV_OK);
}

TEST_F(SamplerControl, OnlyALaterMatrixRamps) {
    const float one = 1.0f;
    mvSetChannelMatrix(m(sampler), 0.5, 1, 1, &one);
    EXPECT_EQ(sampler->controlMatrix->rampTime, 0.0); // nothing to ramp from
    mvSetChannelMatrix(m(sampler), std::numeric_limits<double>::quiet_NaN(), 1, 1, &one);
    EXPECT_EQ(sampler->controlMatrix->rampTime, 0.0);
    mvSetChannelMatrix(m(sampler), 0.5, 1, 1, &one);
    EXPECT_EQ(sampler->controlMatrix->rampTime, 0.5);
    EXPECT_NE(sampler->controlMatrix->current, sampler->controlMatrix->target);
}

TEST_F(SamplerControl, AnInconsistentQueueIsReportedThroughThePrintHookAndPlayContinues) {
    mvtest::PrintCapture print;
    add(0.1f, 8000.0);
    tree.render(1); // appended
    MvClip *first = sampler->head;
    sampler->head = nullptr; // a tail without a head
    add(0.2f, 8000.0);
    tree.render(1);
    EXPECT_EQ(print.count("Assertion sampler->head != NULL failed @ src/mv_sampler : 60"), 1);
    sampler->head = first; // the append still linked the clip behind the tail
    mvPlayAt(m(sampler), 1.0);
    EXPECT_EQ(next(), 0.2f);
}

// ---- release callbacks: exactly once on every path ------------------------

class SamplerRelease : public ::testing::Test {
protected:
    ReleaseLog log;
    const int16_t data[3][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11, 12}};
    LoopbackTree tree{Model::stereo};

    void fill(MvSampler *sampler) {
        for (const auto &clip : data)
            mvtest::enqueue(sampler, log, clip, 4, 1, 48000.0, MV_FORMAT_INT16);
        mvPlay(&sampler->machine);
        tree.render(2);
    }
    void expectEachReleasedOnce() {
        EXPECT_EQ(log.count(), 3);
        for (const auto &clip : data) EXPECT_EQ(log.countFor(clip), 1);
        for (const auto &entry : log.entries) EXPECT_EQ(entry.context, &log);
    }
};

TEST_F(SamplerRelease, DeletingTheSampler) {
    MvSampler *sampler = tree.newSampler();
    fill(sampler);
    ASSERT_EQ(mvDeleteSampler(m(sampler)), MV_OK);
    tree.render(1);
    tree.flush();
    expectEachReleasedOnce();
    tree.uninitialize();
    EXPECT_EQ(log.count(), 3);
}

TEST_F(SamplerRelease, DeletingTheSink) {
    fill(tree.newSampler());
    ASSERT_EQ(mvDeleteSink(tree.root()), MV_OK);
    expectEachReleasedOnce();
    tree.uninitialize();
    EXPECT_EQ(log.count(), 3);
}

TEST_F(SamplerRelease, Uninitialising) {
    fill(tree.newSampler(&tree.newMixer()->machine));
    tree.uninitialize();
    expectEachReleasedOnce();
}

TEST_F(SamplerRelease, UninitialisingWithEnqueuesStillOnTheirWay) {
    MvSampler *sampler = tree.newSampler();
    for (const auto &clip : data)
        mvtest::enqueue(sampler, log, clip, 4, 1, 48000.0, MV_FORMAT_INT16);
    tree.uninitialize(); // the append messages never reached an audio thread
    expectEachReleasedOnce();
}

TEST_F(SamplerRelease, PlayingThroughRemoveWhenDoneClips) {
    MvSampler *sampler = tree.newSampler();
    for (const auto &clip : data)
        mvtest::enqueue(sampler, log, clip, 4, 1, 48000.0, MV_FORMAT_INT16, true);
    mvPlay(m(sampler));
    tree.render(20);
    tree.flush();
    expectEachReleasedOnce();
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 0);
    tree.uninitialize();
    EXPECT_EQ(log.count(), 3);
}

// ---- allocation failures -------------------------------------------------

class SamplerAllocation : public testing::TestWithParam<mvtest::DispatcherKind> {};

TEST_P(SamplerAllocation, EveryAllocationFailureReturnsMinusOneAndLeavesNothing) {
    LoopbackTree tree(Model::mono, 48000, 1024, GetParam());
    MvSampler *sampler = tree.newSampler();
    const float weight = 1.0f;
    int16_t data[2] = {1, 2};
    const std::vector<std::function<int()>> calls = {
        [&] {
            MvSampler *other = nullptr;
            return mvNewSampler(&other, tree.root());
        },
        [&] {
            return mvEnqueueClip(m(sampler), 0, nullptr, nullptr, 1, 8000.0, MV_FORMAT_INT16, 1, 2,
                                 data);
        },
        [&] { return mvPlayAt(m(sampler), 1.0); },
        [&] { return mvSetLoopStart(m(sampler), 1.0); },
        [&] { return mvSetChannelMatrix(m(sampler), 0.0, 1, 1, &weight); },
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        mvtest::FailingAllocator allocator;
        allocator.failFrom(1);
        EXPECT_EQ(calls[i](), MV_ERROR_NO_MEMORY) << "call " << i;
        EXPECT_EQ(allocator.liveBlocks(), 0) << "call " << i;
    }
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 0);
    EXPECT_EQ(sampler->controlMatrix, nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, SamplerAllocation,
                         testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                         mvtest::DispatcherKind::threadSafe));

} // namespace
