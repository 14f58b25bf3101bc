// Mixers through float32 loopback sinks: they add nothing of their own,
// multiply their gain and rate into their children's, ramp per block onto
// their target, and take their children with them when deleted.
#include "loopback_tree.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>

using mvtest::LoopbackTree;
using mvtest::m;
using mvtest::Model;
using mvtest::ReleaseLog;

namespace {

TEST(Mixer, WithoutSourcesItAddsNothing) {
    ReleaseLog log;
    LoopbackTree tree(Model::stereo);
    const std::vector<float> halves(64, 0.5f);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, halves.data(), 64, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    tree.newMixer();
    tree.newMixer(&tree.newMixer()->machine);
    EXPECT_EQ(tree.render(64), std::vector<float>(128, 0.5f));
}

TEST(Mixer, GainsAndRatesMultiplyDownTheTree) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono);
    const std::vector<float> ramp = mvtest::linearRamp(1000, 0.0f, 0.001f);
    MvMixer *mixer = tree.newMixer();
    MvSampler *sampler = tree.newSampler(&mixer->machine);
    mvtest::enqueue(sampler, log, ramp.data(), 1000, 1, 48000.0, MV_FORMAT_FLOAT32);
    ASSERT_EQ(mvSetGain(&mixer->machine, 0.0, 0.5f), MV_OK);
    ASSERT_EQ(mvSetGain(m(sampler), 0.0, 0.5f), MV_OK);
    ASSERT_EQ(mvSetFrequency(&mixer->machine, 0.0, 2.0), MV_OK);
    ASSERT_EQ(mvSetFrequency(m(sampler), 0.0, 0.75), MV_OK);
    mvSetInterpolation(m(sampler), 0);
    mvPlay(m(sampler));
    const std::vector<float> out = tree.render(4);
    for (int k = 0; k < 4; ++k) // a step of 1.5 at a quarter of the level
        EXPECT_EQ(out[k], 0.25f * ramp[int(k * 1.5)]) << k;
}

TEST(Mixer, AOneSecondRampLandsExactlyOnZeroAndStaysThere) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono, 48000, 480);
    const std::vector<float> ones(4800, 1.0f);
    MvMixer *mixer = tree.newMixer();
    MvSampler *sampler = tree.newSampler(&mixer->machine);
    mvtest::enqueue(sampler, log, ones.data(), 4800, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvSetLooping(m(sampler), 1);
    mvPlay(m(sampler));
    ASSERT_EQ(mvSetGain(&mixer->machine, 1.0, 0.0f), MV_OK);
    int blocks = 0;
    float previous = 1.0f;
    while (mixer->machine.gain > 0.0f && blocks < 200) {
        const std::vector<float> out = tree.render(480);
        ++blocks;
        const float fall = previous - mixer->machine.gain; // 0.01, less only when landing
        EXPECT_TRUE(fall > 0.0f && fall < 0.01f + 1e-5f) << "block " << blocks;
        EXPECT_GE(mixer->machine.gain, 0.0f);
        EXPECT_NEAR(out[0], previous, 1e-5);      // each block runs from its start...
        EXPECT_GE(out[479], mixer->machine.gain); // ...toward its end value
        previous = mixer->machine.gain;
    }
    EXPECT_NEAR(blocks, 100, 1);
    EXPECT_EQ(mixer->machine.gain, 0.0f);
    EXPECT_NE(mixer->machine.gainSlope, 0.0f); // cleared by the next block
    EXPECT_EQ(tree.render(480), std::vector<float>(480, 0.0f));
    EXPECT_EQ(mixer->machine.gainSlope, 0.0f);
}

TEST(Mixer, DeletingItReleasesItsSamplersAndTheirClips) {
    ReleaseLog log;
    LoopbackTree tree(Model::stereo);
    const int16_t a[2] = {1, 2}, b[2] = {3, 4};
    MvMixer *outer = tree.newMixer();
    MvMixer *inner = tree.newMixer(&outer->machine);
    mvtest::enqueue(tree.newSampler(&outer->machine), log, a, 2, 1, 48000.0, MV_FORMAT_INT16);
    MvSampler *deep = tree.newSampler(&inner->machine);
    mvtest::enqueue(deep, log, b, 2, 1, 48000.0, MV_FORMAT_INT16);
    mvPlay(m(deep));
    tree.render(1);
    ASSERT_EQ(mvDeleteMixer(&outer->machine), MV_OK);
    tree.render(1);
    tree.flush();
    EXPECT_EQ(log.countFor(a), 1);
    EXPECT_EQ(log.countFor(b), 1);
    tree.uninitialize();
    EXPECT_EQ(log.count(), 2);
}

TEST(Mixer, CallsCheckTheirArguments) {
    LoopbackTree tree(Model::stereo);
    MvSampler *sampler = tree.newSampler();
    MvMixer *mixer = nullptr;
    EXPECT_EQ(mvNewMixer(nullptr, tree.root()), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewMixer(&mixer, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewMixer(&mixer, m(sampler)), MV_ERROR_NOT_DESTINATION);
    EXPECT_EQ(mvDeleteMixer(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvDeleteMixer(m(sampler)), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvDeleteMixer(tree.root()), MV_ERROR_MACHINE_TYPE);
}

class MixerAllocation : public testing::TestWithParam<mvtest::DispatcherKind> {};

TEST_P(MixerAllocation, EveryAllocationFailureReturnsMinusOneAndLeavesNothing) {
    LoopbackTree tree(Model::stereo, 48000, 1024, GetParam());
    for (int failing = 1; failing <= 2; ++failing) {
        mvtest::FailingAllocator allocator;
        allocator.failNth(failing);
        MvMixer *mixer = nullptr;
        EXPECT_EQ(mvNewMixer(&mixer, tree.root()), MV_ERROR_NO_MEMORY) << failing;
        EXPECT_EQ(allocator.liveBlocks(), 0) << failing;
        EXPECT_EQ(mixer, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, MixerAllocation,
                         testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                         mvtest::DispatcherKind::threadSafe));

} // namespace
