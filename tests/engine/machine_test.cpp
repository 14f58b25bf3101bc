// Machine framework, rendered through a loopback sink: gain and frequency
// changes and ramps, values multiplying down the tree, the active-list walk,
// pull-record swaps, node removal, bad input and allocation failures.
#include "marovel_audio.h"
#include "loopback_tree.h"
#include "mv_machine.h"
#include "mv_machine_probe.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <cmath>
#include <limits>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 480;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

class Machines : public ::testing::Test {
protected:
    std::vector<float> renderBlocks(int blocks) { return tree_.render(blocks * kBlock); }
    mvtest::Probe *probeUnder(MvMachine *parent, float level = 1.0f,
                              std::atomic<int> *releases = nullptr) {
        mvtest::Probe *probe = nullptr;
        EXPECT_EQ(mvtest::newProbe(&probe, parent, level, releases), MV_OK);
        return probe;
    }
    int queuedUpMessages() const {
        return soundio_ring_buffer_fill_count(sink_->upQueue) / int(sizeof(MvMessage));
    }

    std::atomic<int> releases_{0}; // outlives the engine, whose teardown releases probes
    mvtest::LoopbackTree tree_{mvtest::Model::mono, kRate, kBlock};
    MvSink *sink_ = tree_.sink();
};

TEST_F(Machines, ImmediateGainHoldsForTheWholeNextBlock) {
    mvtest::Probe *probe = probeUnder(&sink_->base);
    ASSERT_EQ(mvSetGain(&probe->machine, 0.0, 0.5f), MV_OK);
    std::vector<float> out = renderBlocks(1);
    EXPECT_EQ(probe->last().gainStart, 0.5f);
    EXPECT_EQ(probe->last().gainEnd, 0.5f);
    EXPECT_EQ(out.front(), 0.5f);
    EXPECT_EQ(out.back(), 0.5f);
}

TEST_F(Machines, RampOfMinusHalfPerSecondLandsExactlyOnZeroAfter200Blocks) {
    mvtest::Probe *probe = probeUnder(&sink_->base);
    ASSERT_EQ(mvSetGain(&probe->machine, 2.0, 0.0f), MV_OK);
    renderBlocks(201);
    ASSERT_EQ(probe->renders.load(), 201);
    EXPECT_FLOAT_EQ(probe->seen[0].gainStart, 1.0f);
    EXPECT_FLOAT_EQ(probe->seen[0].gainEnd, 0.995f);
    for (int block = 1; block < 199; ++block) {
        EXPECT_NEAR(probe->seen[block].gainStart - probe->seen[block].gainEnd, 0.005f, 1e-6f);
        EXPECT_GT(probe->seen[block].gainEnd, 0.0f) << "block " << block;
    }
    EXPECT_EQ(probe->seen[199].gainEnd, 0.0f); // the 200th block arrives exactly
    EXPECT_EQ(probe->seen[200].gainStart, 0.0f);
    EXPECT_EQ(probe->seen[200].gainEnd, 0.0f);
    EXPECT_EQ(probe->machine.gainSlope, 0.0f); // cleared in the block after arrival
}

TEST_F(Machines, FrequencyRampsAndJumpsLikeGain) {
    mvtest::Probe *probe = probeUnder(&sink_->base);
    ASSERT_EQ(mvSetFrequency(&probe->machine, 0.04, 2.0), MV_OK); // four blocks
    renderBlocks(5);
    EXPECT_DOUBLE_EQ(probe->seen[0].frequencyEnd, 1.25);
    EXPECT_DOUBLE_EQ(probe->seen[3].frequencyStart, 1.75);
    EXPECT_EQ(probe->seen[3].frequencyEnd, 2.0);
    EXPECT_EQ(probe->seen[4].frequencyStart, 2.0);
    ASSERT_EQ(mvSetFrequency(&probe->machine, 0.0, 0.0), MV_OK); // 0 is a valid factor
    renderBlocks(1);
    EXPECT_EQ(probe->last().frequencyStart, 0.0);
    EXPECT_EQ(probe->last().frequencyEnd, 0.0);
}

TEST_F(Machines, GainsAndFrequenciesMultiplyDownTwoLevels) {
    mvtest::Group *outer, *inner;
    ASSERT_EQ(mvtest::newGroup(&outer, &sink_->base), MV_OK);
    ASSERT_EQ(mvtest::newGroup(&inner, &outer->machine), MV_OK);
    mvtest::Probe *probe = probeUnder(&inner->machine, 0.5f);
    ASSERT_EQ(mvSetGain(&sink_->base, 0.0, 0.5f), MV_OK);
    ASSERT_EQ(mvSetGain(&outer->machine, 0.0, 0.5f), MV_OK);
    ASSERT_EQ(mvSetGain(&inner->machine, 0.0, 0.5f), MV_OK);
    ASSERT_EQ(mvSetFrequency(&outer->machine, 0.0, 2.0), MV_OK);
    ASSERT_EQ(mvSetFrequency(&probe->machine, 0.0, 1.5), MV_OK);
    std::vector<float> out = renderBlocks(1);
    EXPECT_EQ(probe->last().gainStart, 0.125f);
    EXPECT_EQ(probe->last().frequencyEnd, 3.0);
    EXPECT_EQ(out[0], 0.0625f); // level 0.5 at gain 0.125
}

TEST_F(Machines, ARenderThatUnlinksItselfLeavesTheWalkIntact) {
    mvtest::Probe *first = probeUnder(&sink_->base, 0.25f);
    mvtest::Probe *middle = probeUnder(&sink_->base, 0.25f);
    mvtest::Probe *last = probeUnder(&sink_->base, 0.25f);
    middle->unlinkOnNextRender = true;
    EXPECT_EQ(renderBlocks(1)[0], 0.75f);
    EXPECT_EQ(renderBlocks(1)[0], 0.5f);
    EXPECT_EQ(first->renders.load(), 2);
    EXPECT_EQ(middle->renders.load(), 1);
    EXPECT_EQ(last->renders.load(), 2);
    EXPECT_EQ(sink_->destination.connectedHead->connectedNext, &middle->source);
}

TEST_F(Machines, DeletedNodeStopsRenderingAndIsReleasedOnceOnTheControlSide) {
    mvtest::Group *group;
    ASSERT_EQ(mvtest::newGroup(&group, &sink_->base), MV_OK);
    mvtest::Probe *inner = probeUnder(&group->machine, 0.5f, &releases_);
    probeUnder(&sink_->base, 0.25f, &releases_);
    EXPECT_EQ(renderBlocks(1)[0], 0.75f);
    ASSERT_EQ(mvDeleteMachine(&group->machine), MV_OK);
    EXPECT_EQ(releases_.load(), 0); // the audio side has not let go yet
    EXPECT_EQ(renderBlocks(1)[0], 0.25f);
    EXPECT_EQ(inner->renders.load(), 1);
    EXPECT_EQ(releases_.load(), 0); // still waiting in the down queue
    mvFlushDownQueueImpl(sink_);
    EXPECT_EQ(releases_.load(), 1); // the group released its probe with itself
    EXPECT_EQ(sink_->destination.connectedHead, sink_->destination.connectedTail);
}

// A pull record that counts its pulls and its retirement.
struct CountingPull {
    MvPullRecord record;
    int pulls = 0;
    int frees = 0;
};

int countPull(MvSink *, MvPullRecord *record, float, float, double, double, int, float *) {
    reinterpret_cast<CountingPull *>(record)->pulls++;
    return MV_OK;
}
void countFree(MvSink *, void *record) { static_cast<CountingPull *>(record)->frees++; }

TEST_F(Machines, PullRecordSwapsRetireTheOldRecordExactlyOnce) {
    CountingPull custom;
    custom.record = {&sink_->destination, nullptr, countPull, nullptr, countFree};
    probeUnder(&sink_->base, 0.5f);
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    sink_->destination.pull = &custom.record;
    ASSERT_EQ(mvDispatcher->post(sink_, mv::changeMessage(), &custom.record), MV_OK);
    EXPECT_EQ(renderBlocks(1)[0], 0.0f); // the counting pull renders nothing
    EXPECT_EQ(custom.pulls, 1);
    mvFlushDownQueueImpl(sink_); // the default record went back and was freed

    ASSERT_EQ(mvResetDestinationFunc(&sink_->base), MV_OK);
    EXPECT_EQ(sink_->destination.audioPull, &custom.record); // not before the audio side ran
    EXPECT_EQ(renderBlocks(1)[0], 0.5f);
    EXPECT_EQ(custom.frees, 0);
    mvFlushDownQueueImpl(sink_);
    EXPECT_EQ(custom.frees, 1);
    EXPECT_EQ(custom.pulls, 1);
    mvFlushDownQueueImpl(sink_);
    EXPECT_EQ(custom.frees, 1);
}

TEST_F(Machines, ResetOnTheDefaultRecordQueuesNothing) {
    MvPullRecord *before = sink_->destination.pull;
    EXPECT_EQ(mvResetDestinationFunc(&sink_->base), MV_OK);
    EXPECT_EQ(queuedUpMessages(), 0);
    EXPECT_EQ(sink_->destination.pull, before);
}

TEST_F(Machines, BadInputIsRejectedBeforeAnythingIsQueued) {
    mvtest::Probe *probe = probeUnder(&sink_->base);
    renderBlocks(1);
    MvMachine *m = &probe->machine;
    EXPECT_EQ(mvSetGain(nullptr, 0.0, 1.0f), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetGain(m, 0.0, kInfinity), MV_ERROR_GAIN);
    EXPECT_EQ(mvSetGain(m, 0.0, -kInfinity), MV_ERROR_GAIN);
    EXPECT_EQ(mvSetGain(m, 0.0, float(kNaN)), MV_ERROR_GAIN);
    EXPECT_EQ(mvSetGain(m, kNaN, 0.5f), MV_ERROR_GAIN);
    EXPECT_EQ(mvSetFrequency(nullptr, 0.0, 1.0), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetFrequency(m, 0.0, -0.5), MV_ERROR_FREQUENCY);
    EXPECT_EQ(mvSetFrequency(m, 0.0, kNaN), MV_ERROR_FREQUENCY);
    EXPECT_EQ(mvSetFrequency(m, 0.0, double(kInfinity)), MV_ERROR_FREQUENCY);
    EXPECT_EQ(mvSetFrequency(m, kNaN, 1.0), MV_ERROR_FREQUENCY);
    EXPECT_EQ(queuedUpMessages(), 0);
    EXPECT_EQ(mvSetGain(m, 0.0, -0.5f), MV_OK); // negative gains invert the signal
    EXPECT_EQ(renderBlocks(1)[0], -0.5f);

    EXPECT_EQ(mvDeleteMachine(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvResetDestinationFunc(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvResetDestinationFunc(m), MV_ERROR_NOT_DESTINATION);
}

TEST_F(Machines, AllocationFailuresReturnMinusOneAndLeakNothing) {
    mvtest::Group *group;
    ASSERT_EQ(mvtest::newGroup(&group, &sink_->base), MV_OK);
    CountingPull custom;
    custom.record = {&group->destination, nullptr, countPull, nullptr, countFree};
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    group->destination.pull = &custom.record;
    ASSERT_EQ(mvDispatcher->post(sink_, mv::changeMessage(), &custom.record), MV_OK);
    renderBlocks(1);
    mvFlushDownQueueImpl(sink_);

    mvtest::FailingAllocator allocator;
    allocator.failNth(1);
    EXPECT_EQ(mvSetGain(&group->machine, 0.0, 0.5f), MV_ERROR_NO_MEMORY);
    allocator.failNth(1);
    EXPECT_EQ(mvSetFrequency(&group->machine, 1.0, 0.5), MV_ERROR_NO_MEMORY);
    allocator.failNth(1);
    EXPECT_EQ(mvResetDestinationFunc(&group->machine), MV_ERROR_NO_MEMORY);
    EXPECT_EQ(group->destination.pull, &custom.record);
    allocator.failNth(1);
    mvtest::Group *child = nullptr;
    EXPECT_EQ(mvtest::newGroup(&child, &group->machine), MV_ERROR_NO_MEMORY);
    allocator.failNth(2); // the child's pull record
    EXPECT_EQ(mvtest::newGroup(&child, &group->machine), MV_ERROR_NO_MEMORY);
    EXPECT_EQ(queuedUpMessages(), 0);
    EXPECT_EQ(allocator.liveBlocks(), 0);

    allocator.failNever(); // retire the stack record before it goes out of scope
    ASSERT_EQ(mvResetDestinationFunc(&group->machine), MV_OK);
    renderBlocks(1);
    mvFlushDownQueueImpl(sink_);
    EXPECT_EQ(custom.frees, 1);
}

} // namespace
