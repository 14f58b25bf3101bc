// The sampler's render, sample by sample through float32 loopback sinks:
// resampling steps, interpolation across joins and wraps, clip ends and
// loop starts with the overshoot carried, pause, channel matrices, formats.
#include "loopback_tree.h"
#include "mv_sampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

using mvtest::LoopbackTree;
using mvtest::m;
using mvtest::Model;
using mvtest::ReleaseLog;

namespace {

// Whether two renders hold the same floats, bit for bit (so -0 differs
// from +0 and NaNs compare by their bits).
::testing::AssertionResult sameBits(const std::vector<float> &a, const std::vector<float> &b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << a.size() << " against " << b.size() << " floats";
    if (std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) != 0)
        return ::testing::AssertionFailure() << "the bits differ";
    return ::testing::AssertionSuccess();
}

TEST(SamplerResampling, A44100HzClipOnA48000HzSinkRepeatsTheFrameAtOrBeforeThePosition) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const std::vector<float> clip = mvtest::linearRamp(1000, 0.0f, 0.001f);
    MvSampler *sampler = tree.newSampler();
    ASSERT_EQ(mvtest::enqueue(sampler, log, clip.data(), 1000, 1, 44100.0, MV_FORMAT_FLOAT32),
              MV_OK);
    mvSetInterpolation(m(sampler), 0);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(900);
    double position = 0.0; // 0.91875 added frame by frame
    for (int k = 0; k < 900; ++k, position += 44100.0 * 1.0 / 48000.0)
        ASSERT_EQ(out[k], clip[int(position)]) << "output frame " << k;
    EXPECT_EQ(out[1], clip[0]);     // 0.91875: the first frame plays twice
    EXPECT_EQ(out[12], clip[11]);   // 11.025
    EXPECT_EQ(out[320], clip[293]); // the sum of 320 steps stays just below 294
}

// The defined per-frame loop, written out for a mono float32 clip on a mono
// sink with interpolation: mix at p with gain g, then p += rate · f / R,
// g += gain step, f += frequency step.
std::vector<float> perFrameLoop(const std::vector<float> &clip, double clipRate, int sinkRate,
                                int frames, float gainStart, float gainEnd, double frequencyStart,
                                double frequencyEnd, double *position) {
    std::vector<float> out(size_t(frames), 0.0f);
    float gain = gainStart;
    const float gainStep = (gainEnd - gain) / float(frames);
    double frequency = frequencyStart;
    const double frequencyStep = (frequencyEnd - frequency) / frames;
    for (int k = 0; k < frames; ++k) {
        const int i = int(*position);
        const float x = float(*position - i);
        float a = clip[size_t(i)];
        if (x > 0.0f) a = a + (clip[size_t(i) + 1] - a) * x;
        out[size_t(k)] = gain * a;
        *position += clipRate * frequency / sinkRate;
        gain += gainStep;
        frequency += frequencyStep;
    }
    return out;
}

TEST(SamplerResampling, GainAndFrequencyRampsAdvanceFrameByFrameExactlyAsDefined) {
    std::vector<float> clip(2000);
    for (size_t i = 0; i < clip.size(); ++i) clip[i] = float(std::sin(0.05 * double(i)));
    double expectedPosition = 0.0;
    const std::vector<float> expected =
        perFrameLoop(clip, 44100.0, 48000, 1024, 1.0f, 0.5f, 1.0, 1.5, &expectedPosition);
    for (bool fastRuns : {true, false}) {
        mv::samplerFastRunsEnabled = fastRuns;
        ReleaseLog log;
        LoopbackTree tree(Model::mono, 48000, 1024);
        MvSampler *sampler = tree.newSampler();
        mvtest::enqueue(sampler, log, clip.data(), 2000, 1, 44100.0, MV_FORMAT_FLOAT32);
        mvSetGain(m(sampler), 0.001, 0.5f); // both ramps arrive within the first block
        mvSetFrequency(m(sampler), 0.001, 1.5);
        mvPlay(m(sampler));
        const std::vector<float> out = tree.render(1024);
        mv::samplerFastRunsEnabled = true;
        for (int k = 0; k < 1024; ++k)
            ASSERT_EQ(out[size_t(k)], expected[size_t(k)]) << "frame " << k << " fast " << fastRuns;
        EXPECT_EQ(sampler->position, expectedPosition);
    }
}

TEST(SamplerResampling, QuarterStepsInterpolateAndALoneClipFadesTowardZero) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const float clip[2] = {0.0f, 1.0f};
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip, 2, 1, 12000.0, MV_FORMAT_FLOAT32);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(10);
    const std::vector<float> expected = {0.0f,  0.25f, 0.5f,  0.75f, 1.0f,
                                         0.75f, 0.5f,  0.25f, 0.0f,  0.0f};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
}

TEST(SamplerResampling, ALoopingClipInterpolatesItsLastFrameTowardItsFirstAndKeepsTheOvershoot) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const float clip[3] = {0.0f, 0.5f, 1.0f};
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip, 3, 1, 38400.0, MV_FORMAT_FLOAT32); // step 0.8
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(6);
    const float expected[6] = {0.0f, 0.4f, 0.8f,
                               0.6f, 0.1f, 0.45f}; // 0, .8, 1.6, 2.4, 0.2, 1.0-ish
    EXPECT_NEAR(out[0], expected[0], 1e-6);
    EXPECT_NEAR(out[1], expected[1], 1e-6);
    EXPECT_NEAR(out[2], expected[2], 1e-6);
    EXPECT_NEAR(out[3], expected[3], 1e-6); // 1.0 toward the first frame 0.0 by 0.4
    EXPECT_NEAR(out[4], expected[4], 1e-6); // wrapped: 0.2 into the clip
    EXPECT_NEAR(out[5], 0.5f, 1e-6);        // 1.0
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 1);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PLAYING);
}

TEST(SamplerClipEnds, TheOvershootOfAOneAndAHalfStepCarriesIntoTheNextClip) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const std::vector<float> first(100, 0.5f);
    const std::vector<float> second = mvtest::linearRamp(200, 0.0f, 0.001f);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, first.data(), 100, 1, 72000.0, MV_FORMAT_FLOAT32);
    mvtest::enqueue(sampler, log, second.data(), 200, 1, 72000.0, MV_FORMAT_FLOAT32);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(70);
    EXPECT_EQ(out[66], 0.5f);            // position 99
    EXPECT_FLOAT_EQ(out[67], 0.0005f);   // 100.5 - 100 = 0.5 into the second clip
    EXPECT_FLOAT_EQ(out[68], second[2]); // 2.0
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 1);
}

TEST(SamplerClipEnds, TwoClipEndsInOneBlockSendTwoNotices) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const float clip[3] = {0.1f, 0.2f, 0.3f};
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip, 3, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvtest::enqueue(sampler, log, clip, 3, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    tree.render(8); // one block: into the second clip at 3, wrapped at 6
    EXPECT_EQ(mvGetProcessedClips(m(sampler)), 2);
}

TEST(SamplerClipEnds, ARemoveWhenDoneClipIsReleasedOnceAndLoopingStopsWithoutIt) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const float clip[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip, 4, 1, 48000.0, MV_FORMAT_FLOAT32, true);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(8);
    EXPECT_FLOAT_EQ(out[3], 0.4f);
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_EQ(mvGetClipQueueSize(m(sampler)), 0);
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_STOPPED);
    ASSERT_EQ(log.count(), 1);
    EXPECT_EQ(log.entries[0].data, clip);
    EXPECT_EQ(log.entries[0].context, &log);
    tree.render(8);
    tree.uninitialize();
    EXPECT_EQ(log.count(), 1);
}

// Two 1 s clips at 8000 Hz played at 1.5 times their rate on an 8000 Hz
// sink: the queue ends at output frame 10667, 0.5 frames past its end.
class SamplerLoopStart : public ::testing::Test {
protected:
    ReleaseLog log;
    LoopbackTree tree{Model::mono, 8000};
    std::vector<float> first = mvtest::linearRamp(8000, 0.0f, 1.0f / 16000);
    std::vector<float> second = mvtest::linearRamp(8000, 0.5f, 1.0f / 16000);
    MvSampler *sampler = tree.newSampler();

    std::vector<float> playLoopingFrom(double loopStart) {
        mvtest::enqueue(sampler, log, first.data(), 8000, 1, 8000.0, MV_FORMAT_FLOAT32);
        mvtest::enqueue(sampler, log, second.data(), 8000, 1, 8000.0, MV_FORMAT_FLOAT32);
        mvSetLooping(m(sampler), 1);
        mvSetInterpolation(m(sampler), 0);
        mvSetLoopStart(m(sampler), loopStart);
        mvSetFrequency(m(sampler), 0.0, 1.5);
        mvPlay(m(sampler));
        return tree.render(10670);
    }
};

TEST_F(SamplerLoopStart, OneAndAHalfSecondsLandsHalfwayIntoTheSecondClipPlusTheOvershoot) {
    const std::vector<float> out = playLoopingFrom(1.5);
    EXPECT_EQ(out[10666], second[7999]);
    EXPECT_EQ(out[10667], second[4000]); // 4000.5
    EXPECT_EQ(out[10668], second[4002]);
}

TEST_F(SamplerLoopStart, ALoopStartBeyondTheQueueLandsOnTheHeadPlusTheOvershoot) {
    const std::vector<float> out = playLoopingFrom(5.0);
    EXPECT_EQ(out[10667], first[0]); // 0.5
    EXPECT_EQ(out[10668], first[2]);
}

TEST(SamplerPause, PausingHoldsTheFrameAndResumingContinuesWithoutAJump) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const std::vector<float> clip = mvtest::linearRamp(100, 0.0f, 0.01f);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip.data(), 100, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvPlay(m(sampler));
    tree.render(10);
    mvPause(m(sampler));
    EXPECT_EQ(mvGetState(m(sampler)), MV_SAMPLER_PAUSED);
    EXPECT_EQ(tree.render(5), std::vector<float>(5, clip[10]));
    mvResume(m(sampler));
    const std::vector<float> resumed = tree.render(3);
    EXPECT_EQ(resumed, (std::vector<float>{clip[10], clip[11], clip[12]}));
}

TEST(SamplerMatrix, ATenthOfASecondRampOverFiveBlocksLandsExactlyOnTheTarget) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono, 48000, 1024);
    const std::vector<float> ones(48000, 1.0f);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, ones.data(), 48000, 1, 48000.0, MV_FORMAT_FLOAT32);
    const float silent = 0.0f, full = 1.0f;
    ASSERT_EQ(mvSetChannelMatrix(m(sampler), 0.1, 1, 1, &silent), MV_OK); // first: instant
    ASSERT_EQ(mvSetChannelMatrix(m(sampler), 0.1, 1, 1, &full), MV_OK);   // second: ramps
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(5 * 1024 + 1);
    EXPECT_EQ(out[0], 0.0f);
    for (int block = 1; block <= 4; ++block) // 1024 of the 4800 ramp frames each
        EXPECT_NEAR(out[block * 1024], block * 1024 / 4800.0, 1e-4) << "block " << block;
    EXPECT_GT(out[5 * 1024 - 1], out[4 * 1024]);
    EXPECT_LT(out[5 * 1024 - 1], 1.0f);
    EXPECT_EQ(out[5 * 1024], 1.0f);
    const MvChannelMatrix *matrix = sampler->audioMatrix;
    EXPECT_EQ(matrix->current, matrix->target);
    EXPECT_EQ(matrix->rampTime, -1.0);
}

TEST(SamplerMatrix, AStereoClipOnAMonoSinkPlaysItsLeftChannelOrTheWeightedAverage) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const std::vector<float> frames = {0.8f, 0.2f, 0.8f, 0.2f, 0.8f, 0.2f, 0.8f, 0.2f};
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, frames.data(), 4, 2, 48000.0, MV_FORMAT_FLOAT32);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    EXPECT_EQ(tree.render(2), std::vector<float>(2, 0.8f));
    const float halves[2] = {0.5f, 0.5f};
    ASSERT_EQ(mvSetChannelMatrix(m(sampler), 0.0, 2, 1, halves), MV_OK);
    EXPECT_EQ(tree.render(2), std::vector<float>(2, 0.5f));
    ASSERT_EQ(mvClearChannelMatrix(m(sampler)), MV_OK);
    EXPECT_EQ(tree.render(1), std::vector<float>(1, 0.8f));
}

TEST(SamplerMatrix, AStereoSinkDoublesAMonoClipAndTakesTheFirstTwoOfMore) {
    ReleaseLog log;
    LoopbackTree tree(Model::stereo);
    const float mono[1] = {0.3f};
    const float four[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    MvSampler *a = tree.newSampler();
    MvSampler *b = tree.newSampler();
    mvtest::enqueue(a, log, mono, 1, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvtest::enqueue(b, log, four, 1, 4, 48000.0, MV_FORMAT_FLOAT32);
    mvPlay(m(a));
    mvPlay(m(b));
    const std::vector<float> out = tree.render(1);
    EXPECT_FLOAT_EQ(out[0], 0.3f + 0.1f);
    EXPECT_FLOAT_EQ(out[1], 0.3f + 0.2f);
}

TEST(SamplerFormats, EverySampleFormatReadsToTheSameValues) {
    // 0.5 and -0.25 in each format, native byte order.
    const float f32[2] = {0.5f, -0.25f};
    const int32_t i32[2] = {0x40000000, -0x20000000};
    const uint8_t i24[6] = {0x00, 0x00, 0x40, 0x00, 0x00, 0xE0};
    const int16_t i16[2] = {16384, -8192};
    const int8_t i8[2] = {64, -32};
    const uint8_t u8[2] = {192, 96};
    const void *data[6] = {f32, i32, i24, i16, i8, u8};
    for (int format = MV_FORMAT_FLOAT32; format <= MV_FORMAT_UINT8; ++format) {
        ReleaseLog log;
        LoopbackTree tree(Model::mono);
        MvSampler *sampler = tree.newSampler();
        mvtest::enqueue(sampler, log, data[format], 2, 1, 48000.0, format);
        mvPlay(m(sampler));
        EXPECT_EQ(tree.render(2), (std::vector<float>{0.5f, -0.25f})) << "format " << format;
    }
}

// A stereo int16 clip placed so that its last sample ends a page, with an
// unreadable page after it: the fast runs must not read a byte past it.
TEST(SamplerFormats, AnInt16ClipIsNeverReadPastItsLastSample) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void *pages =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t *>(pages) + page, page, PROT_NONE), 0);
    constexpr int kFrames = 65; // eight-frame chunks end with frame 63 reading frame 64
    auto *clip = reinterpret_cast<int16_t *>(static_cast<uint8_t *>(pages) + page) - 2 * kFrames;
    for (int i = 0; i < 2 * kFrames; ++i) clip[i] = int16_t(100 * i);
    {
        ReleaseLog log;
        LoopbackTree tree(Model::stereo);
        MvSampler *sampler = tree.newSampler();
        mvtest::enqueue(sampler, log, clip, kFrames, 2, 48000.0, MV_FORMAT_INT16);
        mvPlay(m(sampler));
        const std::vector<float> out = tree.render(kFrames);
        EXPECT_EQ(out[2 * 64 + 1], clip[2 * 64 + 1] / 32768.0f);
    }
    munmap(pages, 2 * page);
}

// ---- the specialised runs against the per-frame reference path -----------

// Builds a random tree (formats, channel counts, rates, gain and frequency
// ramps, loops, interpolation, pauses, clips queued while playing) from
// `scene` and renders it; every sampler gets `resampler` unless it is
// negative (the call never made).
std::vector<float> renderRandomScene(uint32_t scene, Model model, bool fastRuns,
                                     int resampler = -1) {
    mv::samplerFastRunsEnabled = fastRuns;
    std::mt19937 random(scene);
    auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    auto pick = [&](int count) { return int(random() % unsigned(count)); };

    ReleaseLog log;
    std::vector<std::vector<uint8_t>> clips;
    auto enqueueRandomClip = [&](MvSampler *sampler) {
        const int format = pick(6);
        const int channels = 1 + pick(3);
        const int frames = 1 + pick(3000);
        std::vector<uint8_t> bytes(size_t(frames) * channels * mvGetSampleSize(format));
        for (auto &byte : bytes) byte = uint8_t(random());
        if (format == MV_FORMAT_FLOAT32) // finite values
            for (size_t i = 0; i < bytes.size(); i += 4) {
                const float v = float(uniform(-1.0, 1.0));
                std::memcpy(&bytes[i], &v, 4);
            }
        clips.push_back(std::move(bytes));
        mvtest::enqueue(sampler, log, clips.back().data(), frames, channels,
                        uniform(8000.0, 96000.0), format, pick(2));
    };
    // Small gains keep the sum inside the converter's clipping range.
    auto startRamps = [&](MvSampler *sampler) {
        mvSetGain(m(sampler), uniform(0.0, 0.2), float(uniform(0.0, 0.15)));
        mvSetFrequency(m(sampler), pick(2) ? 0.0 : uniform(0.01, 0.2), uniform(0.25, 3.0));
    };

    LoopbackTree tree(model, 48000, 256);
    MvMixer *mixer = tree.newMixer();
    mvSetFrequency(&mixer->machine, 0.3, uniform(0.5, 2.0));
    std::vector<MvSampler *> samplers;
    for (int s = 0; s < 6; ++s) {
        MvSampler *sampler = tree.newSampler(s % 2 ? &mixer->machine : nullptr);
        samplers.push_back(sampler);
        for (int c = 0, count = 1 + pick(3); c < count; ++c) enqueueRandomClip(sampler);
        mvSetLooping(m(sampler), pick(2));
        mvSetInterpolation(m(sampler), pick(4) != 0);
        if (resampler >= 0) {
            EXPECT_EQ(mvSetResampler(m(sampler), resampler), MV_OK);
        }
        mvSetGain(m(sampler), 0.0, float(uniform(0.0, 0.15)));
        startRamps(sampler);
        mvPlayAt(m(sampler), uniform(0.0, 0.05));
    }
    std::vector<float> out = tree.render(3000);
    mvPause(m(samplers[0]));
    const float weights[4] = {0.3f, 0.7f, 0.6f, 0.1f};
    mvSetChannelMatrix(m(samplers[1]), 0.0, 2, tree.channels(), weights);
    for (MvSampler *sampler : samplers) {
        startRamps(sampler);
        enqueueRandomClip(sampler);
    }
    const std::vector<float> more = tree.render(3000);
    out.insert(out.end(), more.begin(), more.end());
    mv::samplerFastRunsEnabled = true;
    return out;
}

TEST(SamplerSpecialisedRuns, RenderTheSameBitsAsTheReferencePath) {
    for (Model model : {Model::mono, Model::stereo})
        for (uint32_t scene = 1; scene <= 12; ++scene) {
            const std::vector<float> fast = renderRandomScene(scene, model, true);
            const std::vector<float> reference = renderRandomScene(scene, model, false);
            ASSERT_TRUE(sameBits(fast, reference)) << "scene " << scene;
            EXPECT_NE(std::count(fast.begin(), fast.end(), 0.0f), long(fast.size()));
        }
}

// Interpolated float32 clips in long runs: steady and pitched rates, steady
// and ramped gains (the ramp crosses binades of the gain), looping across
// the clip end. Each clip holds an infinity: where x is 0 the reference path
// reads the frame alone, while a + (b - a) · 0 would make it NaN.
struct Float32RunCase {
    int channels;
    double clipRate;
    double frequency;
    double gainSeconds; // 0: the gain holds still
};
constexpr Float32RunCase kFloat32RunCases[] = {
    {1, 48000.0, 1.0, 0.0},   {1, 44100.0, 1.26, 0.05}, {1, 44100.0, 0.75, 0.0},
    {2, 48000.0, 1.0, 0.05},  {2, 44100.0, 1.26, 0.0},  {2, 44100.0, 0.75, 0.05},
    {3, 44100.0, 1.26, 0.05},
};

// The mix, and the position where it stopped last: a position a unit in
// the last place off may take many frames to show in the mix.
struct Float32RunOutput {
    std::vector<float> mix;
    double position;
};

Float32RunOutput renderFloat32Run(const Float32RunCase &run, Model model, bool fastRuns) {
    constexpr int kClipFrames = 3001;
    std::vector<float> clip(size_t(kClipFrames) * run.channels);
    for (size_t i = 0; i < clip.size(); ++i) clip[i] = float(0.5 * std::sin(0.01 * double(i)));
    clip[size_t(kClipFrames / 2) * run.channels] = INFINITY;
    mv::samplerFastRunsEnabled = fastRuns;
    ReleaseLog log;
    LoopbackTree tree(model, 48000, 1024);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip.data(), kClipFrames, run.channels, run.clipRate,
                    MV_FORMAT_FLOAT32);
    mvSetLooping(m(sampler), 1);
    mvSetGain(m(sampler), 0.0, 0.1f);
    mvSetGain(m(sampler), run.gainSeconds, 0.7f);
    mvSetFrequency(m(sampler), 0.0, run.frequency);
    mvPlayAt(m(sampler), 1.0 / 64.0); // a whole frame at 48000 Hz
    Float32RunOutput out{tree.render(4 * 1024), sampler->position};
    mv::samplerFastRunsEnabled = true;
    return out;
}

TEST(SamplerSpecialisedRuns, Float32RunsRenderTheSameBitsAsTheReferencePath) {
    for (Model model : {Model::mono, Model::stereo})
        for (const Float32RunCase &run : kFloat32RunCases) {
            const Float32RunOutput fast = renderFloat32Run(run, model, true);
            const Float32RunOutput reference = renderFloat32Run(run, model, false);
            EXPECT_TRUE(sameBits(fast.mix, reference.mix))
                << run.channels << " channels at " << run.clipRate << " Hz, frequency "
                << run.frequency << ", gain ramp " << run.gainSeconds << " s";
            EXPECT_EQ(fast.position, reference.position) << run.channels << " channels";
        }
}

TEST(SamplerSpecialisedRuns, TheBandLimitedRunRendersTheSameBitsAsItsPlainReference) {
    for (Model model : {Model::mono, Model::stereo})
        for (uint32_t scene = 1; scene <= 8; ++scene) {
            const std::vector<float> fast =
                renderRandomScene(scene, model, true, MV_RESAMPLER_BANDLIMITED);
            const std::vector<float> reference =
                renderRandomScene(scene, model, false, MV_RESAMPLER_BANDLIMITED);
            ASSERT_TRUE(sameBits(fast, reference)) << "scene " << scene;
            // and it is not the standard path's sound
            EXPECT_NE(fast, renderRandomScene(scene, model, true)) << "scene " << scene;
        }
}

// One looping band-limited voice of noise at a steady rate, rendered in
// 253-frame blocks (so passes of four frames leave one to three over), its
// gain steady or gliding; through the fast runs or the reference path.
std::vector<float> renderSteadyBandLimited(Model model, int format, int channels, double rate,
                                           bool glide, bool fastRuns) {
    constexpr int kClipFrames = 1500;
    mv::samplerFastRunsEnabled = fastRuns;
    std::mt19937 random(uint32_t(format * 100 + channels));
    std::vector<uint8_t> bytes(size_t(kClipFrames) * channels * mvGetSampleSize(format));
    for (auto &byte : bytes) byte = uint8_t(random());
    if (format == MV_FORMAT_FLOAT32)
        for (size_t i = 0; i < bytes.size(); i += 4) {
            const float v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
            std::memcpy(&bytes[i], &v, 4);
        }
    ReleaseLog log;
    LoopbackTree tree(model, 48000, 253);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, bytes.data(), kClipFrames, channels, 44100.0, format);
    mvSetLooping(m(sampler), 1);
    EXPECT_EQ(mvSetResampler(m(sampler), MV_RESAMPLER_BANDLIMITED), MV_OK);
    mvSetGain(m(sampler), 0.0, 0.5f);
    if (glide) mvSetGain(m(sampler), 0.05, 0.125f);
    mvSetFrequency(m(sampler), 0.0, rate);
    mvPlay(m(sampler));
    std::vector<float> out = tree.render(4000);
    mv::samplerFastRunsEnabled = true;
    return out;
}

TEST(SamplerSpecialisedRuns, TheBandLimitedSteadyStretchRendersTheReferenceBits) {
    struct Clip {
        int format;
        int channels;
    };
    const Clip clips[] = {{MV_FORMAT_INT16, 1}, {MV_FORMAT_INT16, 2}, {MV_FORMAT_FLOAT32, 1}};
    // Filters of 16, 24 and 32 taps.
    const double rates[] = {1.0, 1.1, 1.37};
    for (Model model : {Model::mono, Model::stereo})
        for (const Clip &clip : clips)
            for (double rate : rates)
                for (bool glide : {false, true}) {
                    const std::vector<float> fast = renderSteadyBandLimited(
                        model, clip.format, clip.channels, rate, glide, true);
                    const std::vector<float> reference = renderSteadyBandLimited(
                        model, clip.format, clip.channels, rate, glide, false);
                    EXPECT_TRUE(sameBits(fast, reference))
                        << "format " << clip.format << ", " << clip.channels << " channels, rate "
                        << rate << (glide ? ", gliding gain" : "")
                        << (model == Model::mono ? ", mono model" : ", stereo model");
                }
}

TEST(SamplerResamplers, TheStandardPathIsBitIdenticalWhetherChosenOrNeverNamed) {
    for (uint32_t scene = 1; scene <= 6; ++scene) {
        const std::vector<float> untouched = renderRandomScene(scene, Model::stereo, true);
        EXPECT_EQ(untouched, renderRandomScene(scene, Model::stereo, true, MV_RESAMPLER_STANDARD))
            << "scene " << scene;
    }
}

// ---- sibling voices rendered together against the reference path ---------

// 1 to 5 sibling samplers under the sink, mostly int16 and float32 clips of
// one or two channels in any mix so that groups of 2, 3 and 4 and leftovers
// form: short clips (ends and loop wraps inside blocks), gain ramps, now and
// then an int8 clip; then one voice each gets a rate ramp, a matrix, a pause
// and a fade, the others playing on.
std::vector<float> renderSiblingVoices(uint32_t scene, Model model, bool fastRuns) {
    mv::samplerFastRunsEnabled = fastRuns;
    std::mt19937 random(scene);
    auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    auto pick = [&](int count) { return int(random() % unsigned(count)); };
    const int voices = 1 + int(scene % 5);
    const int channels = 1 + int(scene / 5 % 2);

    ReleaseLog log;
    std::vector<std::vector<uint8_t>> clips;
    auto enqueueClip = [&](MvSampler *sampler) {
        const int kind = pick(12);
        const int format = kind == 0  ? MV_FORMAT_INT8
                           : kind < 5 ? MV_FORMAT_FLOAT32
                                      : MV_FORMAT_INT16;
        const int clipChannels = pick(3) == 0 ? 3 - channels : channels;
        const int frames = 20 + pick(1200);
        std::vector<uint8_t> bytes(size_t(frames) * clipChannels * mvGetSampleSize(format));
        if (format == MV_FORMAT_FLOAT32) {
            // Finite samples, now and then a negative zero, which only the
            // reference's "interpolate where x > 0" keeps.
            for (size_t i = 0; i < bytes.size(); i += sizeof(float)) {
                const float sample = pick(40) == 0 ? -0.0f : float(uniform(-1.0, 1.0));
                std::memcpy(&bytes[i], &sample, sizeof sample);
            }
        } else {
            for (auto &byte : bytes) byte = uint8_t(random());
        }
        clips.push_back(std::move(bytes));
        mvtest::enqueue(sampler, log, clips.back().data(), frames, clipChannels,
                        uniform(22050.0, 48000.0), format, pick(4) == 0);
    };
    // Steps of at most one clip frame per output frame, two or four.
    const double fastest = scene % 7 < 3 ? 1.0 : scene % 7 < 5 ? 2.0 : 4.0;
    LoopbackTree tree(model, 48000, 256);
    std::vector<MvSampler *> samplers;
    for (int v = 0; v < voices; ++v) {
        MvSampler *sampler = tree.newSampler();
        samplers.push_back(sampler);
        for (int c = 0, count = 1 + pick(2); c < count; ++c) enqueueClip(sampler);
        mvSetLooping(m(sampler), pick(4) != 0);
        mvSetInterpolation(m(sampler), scene % 3 != 0);
        mvSetGain(m(sampler), 0.0, float(uniform(0.02, 0.15)));
        if (pick(2)) mvSetGain(m(sampler), uniform(0.001, 0.02), float(uniform(0.02, 0.15)));
        mvSetFrequency(m(sampler), 0.0, uniform(0.4, fastest));
        mvPlayAt(m(sampler), uniform(0.0, 0.01));
    }
    std::vector<float> out = tree.render(1500);
    auto any = [&] { return m(samplers[size_t(pick(voices))]); };
    mvSetFrequency(any(), 0.002, uniform(0.4, fastest));
    const float weights[4] = {0.3f, 0.7f, 0.6f, 0.1f};
    mvSetChannelMatrix(any(), 0.0, 2, tree.channels(), weights);
    mvPause(any());
    MvMachine *faded = any();
    mvSetTransitionFade(faded, 0.002);
    mvSetGain(faded, 0.0, 0.01f);
    for (MvSampler *sampler : samplers) enqueueClip(sampler);
    for (int round = 0; round < 2; ++round) {
        const std::vector<float> more = tree.render(1500);
        out.insert(out.end(), more.begin(), more.end());
        for (MvSampler *sampler : samplers) mvResume(m(sampler));
    }
    mv::samplerFastRunsEnabled = true;
    return out;
}

TEST(SamplerVoiceGroups, SiblingsRenderedTogetherGiveTheBitsOfTheReferencePath) {
    for (Model model : {Model::mono, Model::stereo})
        for (uint32_t scene = 1; scene <= 40; ++scene) {
            const std::vector<float> fast = renderSiblingVoices(scene, model, true);
            const std::vector<float> reference = renderSiblingVoices(scene, model, false);
            ASSERT_TRUE(sameBits(fast, reference)) << "scene " << scene << " model " << int(model);
            EXPECT_NE(std::count(fast.begin(), fast.end(), 0.0f), long(fast.size()));
        }
}

// Sibling samplers under a stereo sink, each set up by `setUp`, rendered
// for `frames` with the fast runs (renders[1]) and without them
// (renders[0]).
template <typename SetUp>
std::array<std::vector<float>, 2> renderSiblings(int voices, int frames, SetUp setUp) {
    std::array<std::vector<float>, 2> renders;
    for (bool fastRuns : {true, false}) {
        mv::samplerFastRunsEnabled = fastRuns;
        ReleaseLog log;
        LoopbackTree tree(Model::stereo);
        for (int v = 0; v < voices; ++v) setUp(tree.newSampler(), log);
        renders[fastRuns] = tree.render(frames);
    }
    mv::samplerFastRunsEnabled = true;
    return renders;
}

// Three voices on one clip whose last sample ends a page, with and without
// interpolation, at a step of one frame and of one and a half: a group must
// not read a byte past it, whatever the layout of its window.
TEST(SamplerVoiceGroups, SiblingsNeverReadAClipPastItsLastSample) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void *pages =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<uint8_t *>(pages) + page, page, PROT_NONE), 0);
    uint8_t *pageEnd = static_cast<uint8_t *>(pages) + page;
    constexpr int kFrames = 64;
    struct Layout {
        int format, channels;
    };
    for (const Layout layout : {Layout{MV_FORMAT_INT16, 1}, Layout{MV_FORMAT_INT16, 2},
                                Layout{MV_FORMAT_FLOAT32, 1}, Layout{MV_FORMAT_FLOAT32, 2}})
        for (double rate : {48000.0, 72000.0})
            for (int interpolation : {0, 1}) {
                const int samples = kFrames * layout.channels;
                uint8_t *clip = pageEnd - samples * mvGetSampleSize(layout.format);
                for (int i = 0; i < samples; ++i) {
                    if (layout.format == MV_FORMAT_INT16) {
                        reinterpret_cast<int16_t *>(clip)[i] = int16_t(100 * i);
                    } else {
                        reinterpret_cast<float *>(clip)[i] = 0.001f * float(i);
                    }
                }
                const auto renders =
                    renderSiblings(3, kFrames, [&](MvSampler *sampler, ReleaseLog &log) {
                        mvtest::enqueue(sampler, log, clip, kFrames, layout.channels, rate,
                                        layout.format);
                        mvSetInterpolation(m(sampler), interpolation);
                        mvPlay(m(sampler));
                    });
                EXPECT_TRUE(sameBits(renders[true], renders[false]))
                    << "format " << layout.format << " channels " << layout.channels << " rate "
                    << rate << " interpolation " << interpolation;
            }
    munmap(pages, 2 * page);
}

// Groups read int16 samples unscaled and fold the scale into each gain,
// which gives the same floats only while the scaled gain and every scaled
// intermediate stay normal. A gain, a gain step or a first position small
// enough to leave that range must still give the reference's bits.
TEST(SamplerVoiceGroups, TinyGainsStepsAndPositionsKeepTheReferenceBits) {
    struct Case {
        const char *what;
        int channels; // a mono clip's samples are scaled by 2^-15, a stereo one's by 2^-31
        float gain;
        float rampTo; // over 10 ms, when it differs from gain
        double start; // seconds
    };
    const Case cases[] = {
        {"gain", 1, 0x1.3579p-120f, 0x1.3579p-120f, 0.0},
        {"gain step", 2, 0x1p-94f, -0x1.345678p-91f, 0.0}, // steps of about 2^-99.6
        {"position", 1, 1e30f, 1e30f, 1e-45},
    };
    std::vector<int16_t> clip(1024);
    for (size_t i = 0; i < clip.size(); ++i) clip[i] = int16_t(i * 37 % 2000); // clip[0] is 0
    for (const Case &c : cases) {
        const auto renders = renderSiblings(3, 512, [&](MvSampler *sampler, ReleaseLog &log) {
            mvtest::enqueue(sampler, log, clip.data(), int(clip.size()) / c.channels, c.channels,
                            48000.0, MV_FORMAT_INT16);
            mvSetInterpolation(m(sampler), 1);
            mvSetGain(m(sampler), 0.0, c.gain);
            if (c.rampTo != c.gain) mvSetGain(m(sampler), 0.01, c.rampTo);
            mvPlayAt(m(sampler), c.start);
        });
        EXPECT_TRUE(sameBits(renders[true], renders[false])) << c.what;
        EXPECT_NE(std::count(renders[true].begin(), renders[true].end(), 0.0f),
                  long(renders[true].size()))
            << c.what;
    }
}

// A step of 1 + 2^-33 lies exactly halfway between two positions of the
// binade [2^20, 2^21), so each sum there rounds to even: from the odd
// position 2^20 + 2^-32 the first step moves 1 + 2^-32, the next ones 1.
// The runs that add multiples of one increment must not serve such a step.
// One voice and a group.
TEST(SamplerSpecialisedRuns, AStepHalfwayBetweenTwoPositionsRoundsAsTheSerialSums) {
    constexpr int kFrames = (1 << 20) + 8192;
    constexpr double kStart = (0x1p20 + 0x1p-32) / 48000.0; // the odd position, exactly
    std::vector<int16_t> clip(kFrames);
    for (size_t i = 0; i < clip.size(); ++i) clip[i] = int16_t(i * 7919 % 20000 - 10000);
    for (int voices : {1, 3}) {
        const auto renders = renderSiblings(voices, 8192, [&](MvSampler *sampler, ReleaseLog &log) {
            mvtest::enqueue(sampler, log, clip.data(), kFrames, 1, 48000.0, MV_FORMAT_INT16);
            mvSetInterpolation(m(sampler), 1);
            mvSetFrequency(m(sampler), 0.0, 1.0 + 0x1p-33);
            mvPlayAt(m(sampler), kStart);
        });
        EXPECT_TRUE(sameBits(renders[true], renders[false])) << voices << " voices";
    }
}

} // namespace
