// Machine framework, rendered through a loopback sink: gain and frequency
// changes and ramps, values multiplying down the tree, the active-list walk,
// pull-record swaps, node removal, bad input and allocation failures.
#include "loopback_tree.h"
#include "marovel_audio.h"
#include "mv_machine.h"
#include "mv_machine_probe.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 480;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

class Machines : public ::testing::Test {
protected:
    explicit Machines(mvtest::DispatcherKind dispatcher = mvtest::DispatcherKind::threadUnsafe)
        : tree_{mvtest::Model::mono, kRate, kBlock, dispatcher} {}
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
    mvtest::LoopbackTree tree_;
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

TEST_F(Machines, ASecondDeleteBeforeTheReleaseIsRefusedAndReleasesOnce) {
    mvtest::Group *group;
    ASSERT_EQ(mvtest::newGroup(&group, &sink_->base), MV_OK);
    probeUnder(&group->machine, 0.5f, &releases_);
    MvSampler *sampler = tree_.newSampler();
    ASSERT_EQ(mvDeleteMachine(&group->machine), MV_OK);
    ASSERT_EQ(mvDeleteSampler(&sampler->machine), MV_OK);
    EXPECT_EQ(mvDeleteMachine(&group->machine), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvDeleteSampler(&sampler->machine), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvPlay(&sampler->machine), MV_ERROR_MACHINE_TYPE);
    mvtest::FailingAllocator allocator; // counts the frees
    renderBlocks(1);
    mvFlushDownQueueImpl(sink_);
    EXPECT_EQ(releases_.load(), 1);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(sink_->destination.connectedHead, nullptr);
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

// The same machine framework under either dispatcher.
class MachinesUnder : public Machines,
                      public ::testing::WithParamInterface<mvtest::DispatcherKind> {
protected:
    MachinesUnder() : Machines(GetParam()) {}

    // Engine-side work runs in order: once a refresh has run, everything
    // posted before it is in the up queue.
    void settle() { ASSERT_EQ(mvRefreshDeviceList(), MV_OK); }
};

TEST_P(MachinesUnder, AllocationFailuresReturnMinusOneAndLeakNothing) {
    mvtest::Group *group;
    ASSERT_EQ(mvtest::newGroup(&group, &sink_->base), MV_OK);
    CountingPull custom;
    custom.record = {&group->destination, nullptr, countPull, nullptr, countFree};
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    group->destination.pull = &custom.record;
    ASSERT_EQ(mvDispatcher->post(sink_, mv::changeMessage(), &custom.record), MV_OK);
    settle();
    renderBlocks(1);
    tree_.flush();

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
    settle();
    renderBlocks(1);
    tree_.flush();
    EXPECT_EQ(custom.frees, 1);
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, MachinesUnder,
                         ::testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                           mvtest::DispatcherKind::threadSafe));

// A failed post frees the message's record only when it queued nothing:
// -1 and -95 fail before the message is queued, -96 (the unlock) after it.
int (*realPost)(MvSink *, MvMessageFunc, void *);
int postFailure = MV_OK;

int failingPost(MvSink *sink, MvMessageFunc message, void *argument) {
    if (postFailure == MV_ERROR_MUTEX) {
        EXPECT_EQ(realPost(sink, message, argument), MV_OK);
        return postFailure;
    }
    EXPECT_EQ(mvDispatcher->unlock(), MV_OK);
    return postFailure;
}

TEST(FailedPost, FreesTheRecordOnlyWhenNothingWasQueued) {
    mvtest::LoopbackTree tree{mvtest::Model::mono, kRate, kBlock};
    MvSampler *sampler = tree.newSampler();
    MvMachine *s = &sampler->machine;
    const std::vector<std::pair<std::string, std::function<int()>>> calls = {
        {"gain", [&] { return mvSetGain(s, 1.0, 0.5f); }},
        {"frequency", [&] { return mvSetFrequency(s, 0.0, 0.5); }},
        {"loop start", [&] { return mvSetLoopStart(s, 1.0); }},
    };
    const struct {
        int status;
        int queued;
    } failures[] = {{MV_ERROR_NO_MEMORY, 0}, {MV_ERROR_CONDITION, 0}, {MV_ERROR_MUTEX, 1}};
    realPost = mvDispatcher->post;
    for (const auto &[name, call] : calls) {
        for (const auto &failure : failures) {
            mvtest::FailingAllocator allocator;
            mvDispatcher->post = failingPost;
            postFailure = failure.status;
            EXPECT_EQ(call(), failure.status) << name;
            mvDispatcher->post = realPost;
            EXPECT_EQ(soundio_ring_buffer_fill_count(tree.sink()->upQueue) / int(sizeof(MvMessage)),
                      failure.queued)
                << name << ", " << failure.status;
            EXPECT_EQ(allocator.liveBlocks(), failure.queued) << name << ", " << failure.status;
            tree.render(kBlock); // a queued message hands its record back
            tree.flush();
            EXPECT_EQ(allocator.liveBlocks(), 0) << name << ", " << failure.status;
        }
    }
}

// Every allocation of the calls that post a record, failed in turn, under
// either dispatcher: the thread-safe one allocates a job after the record.
class EveryAllocation : public ::testing::TestWithParam<mvtest::DispatcherKind> {};

TEST_P(EveryAllocation, FailingAnyOfThemReturnsMinusOneAndLeavesNothing) {
    mvtest::LoopbackTree tree{mvtest::Model::mono, kRate, kBlock, GetParam()};
    MvSampler *sampler = tree.newSampler();
    MvMachine *s = &sampler->machine;
    float data[2] = {0.5f, 0.5f};
    const float weight = 1.0f;
    const std::vector<std::pair<std::string, std::function<int()>>> calls = {
        {"gain now", [&] { return mvSetGain(s, 0.0, 0.5f); }},
        {"gain ramp", [&] { return mvSetGain(s, 1.0, 0.5f); }},
        {"frequency now", [&] { return mvSetFrequency(s, 0.0, 0.5); }},
        {"frequency ramp", [&] { return mvSetFrequency(s, 1.0, 0.5); }},
        {"enqueue",
         [&] {
             return mvEnqueueClip(s, 0, nullptr, nullptr, 1, kRate, MV_FORMAT_FLOAT32, 1, 2, data);
         }},
        {"play", [&] { return mvPlay(s); }},
        {"play at", [&] { return mvPlayAt(s, 0.0); }},
        {"loop start", [&] { return mvSetLoopStart(s, 0.0); }},
        {"matrix", [&] { return mvSetChannelMatrix(s, 0.0, 1, 1, &weight); }},
    };
    for (const auto &[name, call] : calls) {
        for (int n = 1;; ++n) {
            tree.render(kBlock); // hand back what earlier calls posted
            tree.flush();
            mvtest::FailingAllocator allocator;
            allocator.failNth(n);
            const int status = call();
            if (allocator.failedCalls() == 0) {
                EXPECT_EQ(status, MV_OK) << name;
                break;
            }
            EXPECT_EQ(status, MV_ERROR_NO_MEMORY) << name << ", allocation " << n;
            EXPECT_EQ(allocator.liveBlocks(), 0) << name << ", allocation " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, EveryAllocation,
                         ::testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                           mvtest::DispatcherKind::threadSafe));

} // namespace
