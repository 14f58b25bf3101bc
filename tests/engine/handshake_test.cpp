// The control/audio handshake under the loads real hosts produce: bursts of
// clips on a playing stream, teardown right after one, release callbacks
// that call the engine (refilling a stream, querying), and many voices
// looping short clips. A deadlock here would hang the test, so each
// scenario runs under a watchdog that ends the process instead.
#include "loopback_tree.h"
#include "marovel_audio.h"
#include "mv_session.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using mvtest::DispatcherKind;
using mvtest::m;

constexpr int kRate = 48000;
constexpr auto kWatchdog = std::chrono::seconds(60);

// Runs the scenario on a thread of its own; a scenario still running after
// the watchdog's time is a deadlock, which no assertion could report.
void withinWatchdog(const std::function<void()> &scenario) {
    std::packaged_task<void()> task(scenario);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(kWatchdog) == std::future_status::timeout) {
        std::fprintf(stderr, "the scenario is still running: deadlock\n");
        std::_Exit(EXIT_FAILURE);
    }
    runner.join();
    done.get();
}

// Counts how often each clip of a burst is released.
struct BurstLog {
    explicit BurstLog(int clips) : releases(clips) {}
    std::vector<std::atomic<int>> releases;
    static void record(void *, void *context) { ++*static_cast<std::atomic<int> *>(context); }
    bool eachOnce() const {
        for (const std::atomic<int> &count : releases)
            if (count.load() != 1) return false;
        return true;
    }
};

// A sink playing on the Dummy backend's default device.
class StreamHandshakeConcurrency : public ::testing::TestWithParam<DispatcherKind> {
protected:
    void SetUp() override {
        ASSERT_EQ(session_.status(), MV_OK);
        MvSoundModel *model = nullptr;
        ASSERT_EQ(mvNewMonoSoundModel(&model), MV_OK);
        ASSERT_EQ(mvNewSink(&sink_, model, 256), MV_OK);
        ASSERT_EQ(mvOpenSink(sink_, mvGetDefaultDevice(), kRate), MV_OK);
        ASSERT_EQ(mvNewSampler(&sampler_, &sink_->base), MV_OK);
    }

    void enqueueBurst(BurstLog &log, int frames) {
        for (size_t i = 0; i < log.releases.size(); ++i)
            ASSERT_EQ(mvEnqueueClip(m(sampler_), 1, BurstLog::record, &log.releases[i], 1, kRate,
                                    MV_FORMAT_FLOAT32, 1, frames, silence_.data()),
                      MV_OK);
    }

    // Waits until every clip has been played and handed back.
    void awaitEmptyQueue() {
        for (int i = 0; i < 2000 && mvGetClipQueueSize(m(sampler_)) > 0; ++i) mvSleep(5);
        EXPECT_EQ(mvGetClipQueueSize(m(sampler_)), 0);
    }

    mvtest::EngineSession session_{GetParam(), mvtest::kDummyOrder};
    std::vector<float> silence_ = std::vector<float>(8192, 0.0f);
    MvSink *sink_ = nullptr;
    MvSampler *sampler_ = nullptr;
};

TEST_P(StreamHandshakeConcurrency, BurstOfTwoThousandOneFrameClipsOnAPlayingSampler) {
    BurstLog lead(1), burst(2000);
    withinWatchdog([&] {
        enqueueBurst(lead, 1);
        ASSERT_EQ(mvPlay(m(sampler_)), MV_OK);
        enqueueBurst(burst, 1); // both queues fill while the stream plays
        ASSERT_EQ(mvEnsurePlaying(m(sampler_)), MV_OK);
        awaitEmptyQueue();
        EXPECT_TRUE(burst.eachOnce());
        EXPECT_EQ(mvUninitialize(), MV_OK);
    });
}

TEST_P(StreamHandshakeConcurrency, TeardownRightAfterABurstFinishes) {
    // 300 clips end within a few callbacks, while the host makes no call.
    BurstLog burst(300);
    withinWatchdog([&] {
        enqueueBurst(burst, 10);
        ASSERT_EQ(mvPlay(m(sampler_)), MV_OK);
        mvSleep(300);
        EXPECT_EQ(mvDeleteSink(&sink_->base), MV_OK);
        EXPECT_TRUE(burst.eachOnce());
        MvSoundModel *model = nullptr;
        ASSERT_EQ(mvNewMonoSoundModel(&model), MV_OK);
        ASSERT_EQ(mvNewSink(&sink_, model, 256), MV_OK);
        ASSERT_EQ(mvNewSampler(&sampler_, &sink_->base), MV_OK);
        BurstLog second(2000); // queued before the sink ever opens
        enqueueBurst(second, 1);
        ASSERT_EQ(mvOpenSink(sink_, mvGetDefaultDevice(), kRate), MV_OK);
        ASSERT_EQ(mvPlay(m(sampler_)), MV_OK);
        mvSleep(100);
        EXPECT_EQ(mvUninitialize(), MV_OK);
        EXPECT_TRUE(second.eachOnce());
    });
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, StreamHandshakeConcurrency,
                         ::testing::Values(DispatcherKind::threadUnsafe,
                                           DispatcherKind::threadSafe));

// ---- release callbacks that call the engine --------------------------------

// A streaming host: every released clip is replaced by the next one, from
// inside the release callback.
struct Streamer {
    static constexpr int kFrames = 64;
    MvSampler *sampler = nullptr;
    std::vector<float> data = std::vector<float>(kFrames, 0.25f);
    int target = 0;
    bool query = false;
    std::atomic<int> released{0};
    std::atomic<int> refilled{0};
    std::atomic<int> failures{0};

    int enqueue() {
        return mvEnqueueClip(m(sampler), 1, onRelease, this, 1, kRate, MV_FORMAT_FLOAT32, 1,
                             kFrames, data.data());
    }
    static void onRelease(void *, void *context) {
        auto *self = static_cast<Streamer *>(context);
        ++self->released;
        if (self->query &&
            (mvGetClipQueueSize(m(self->sampler)) < 0 ||
             mvGetProcessedClips(m(self->sampler)) < 0 || mvGetState(m(self->sampler)) < 0))
            ++self->failures;
        if (self->refilled.load() >= self->target) return;
        ++self->refilled;
        if (self->enqueue() != MV_OK) ++self->failures;
    }
};

class ReleaseCallbackConcurrency : public ::testing::TestWithParam<DispatcherKind> {
protected:
    void stream(bool query) {
        streamer_.sampler = tree_.newSampler();
        streamer_.target = 10000;
        streamer_.query = query;
        withinWatchdog([&] {
            ASSERT_EQ(streamer_.enqueue(), MV_OK);
            ASSERT_EQ(streamer_.enqueue(), MV_OK);
            ASSERT_EQ(mvPlay(m(streamer_.sampler)), MV_OK);
            // Half a clip per block: the queue never runs dry while the
            // releases come back with every block's query.
            for (int block = 0; block < 40000 && streamer_.released.load() < 10000; ++block) {
                tree_.render(Streamer::kFrames / 2);
                ASSERT_GE(mvGetClipQueueSize(m(streamer_.sampler)), 0);
            }
        });
        EXPECT_EQ(streamer_.refilled.load(), 10000);
        EXPECT_GE(streamer_.released.load(), 10000);
        EXPECT_EQ(streamer_.failures.load(), 0);
        EXPECT_EQ(mvGetState(m(streamer_.sampler)), 1) << "the stream never ran dry";
        tree_.uninitialize();
        EXPECT_EQ(streamer_.released.load(), 10002) << "every clip released exactly once";
    }

    Streamer streamer_; // outlives the tree, whose end releases what is queued
    mvtest::LoopbackTree tree_{mvtest::Model::mono, kRate, 256, GetParam()};
};

TEST_P(ReleaseCallbackConcurrency, RefillingFromTheCallbackStreamsTenThousandClips) {
    stream(false);
}

TEST_P(ReleaseCallbackConcurrency, QueryingFromTheCallbackAnswers) { stream(true); }

// Deleting the clip's own sink from its release callback would free the sink
// under the drain that runs the callback; it is refused, and the sink lives.
TEST_P(ReleaseCallbackConcurrency, DeletingTheClipsOwnSinkIsRefused) {
    struct Attempt {
        MvSink *sink;
        std::atomic<int> status{1};
        static void onRelease(void *, void *context) {
            auto *self = static_cast<Attempt *>(context);
            self->status = mvDeleteSink(&self->sink->base);
        }
    } attempt{tree_.sink()};
    MvSampler *sampler = tree_.newSampler();
    std::vector<float> data(Streamer::kFrames, 0.25f);
    ASSERT_EQ(mvEnqueueClip(m(sampler), 1, Attempt::onRelease, &attempt, 1, kRate,
                            MV_FORMAT_FLOAT32, 1, Streamer::kFrames, data.data()),
              MV_OK);
    ASSERT_EQ(mvPlay(m(sampler)), MV_OK);
    withinWatchdog([&] {
        for (int block = 0; block < 100 && attempt.status.load() == 1; ++block) {
            tree_.render(Streamer::kFrames);
            mvGetClipQueueSize(m(sampler));
        }
    });
    EXPECT_EQ(attempt.status.load(), MV_ERROR_INCONSISTENT);
    EXPECT_EQ(mvGetSampleRate(&tree_.sink()->base), kRate) << "the sink is still there";
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, ReleaseCallbackConcurrency,
                         ::testing::Values(DispatcherKind::threadUnsafe,
                                           DispatcherKind::threadSafe));

// ---- short loops -----------------------------------------------------------

TEST(ShortLoops, ThirtyTwoVoicesLoopingHundredFrameClipsSendNoMessagePerWrap) {
    constexpr int kVoices = 32, kBlock = 256, kBlocks = 200;
    const std::vector<float> clip(100, 0.01f);
    mvtest::PrintCapture print;
    mvtest::LoopbackTree tree(mvtest::Model::mono, kRate, kBlock);
    std::array<MvSampler *, kVoices> voices{};
    for (MvSampler *&voice : voices) {
        voice = tree.newSampler();
        ASSERT_EQ(mvEnqueueClip(m(voice), 0, nullptr, nullptr, 1, kRate, MV_FORMAT_FLOAT32, 1, 100,
                                const_cast<float *>(clip.data())),
                  MV_OK);
        ASSERT_EQ(mvSetLooping(m(voice), 1), MV_OK);
        ASSERT_EQ(mvPlay(m(voice)), MV_OK);
    }
    tree.flush();
    int mostQueued = 0;
    for (int block = 0; block < kBlocks; ++block) {
        tree.render(kBlock);
        const int queued = soundio_ring_buffer_fill_count(tree.sink()->downQueue);
        mostQueued = std::max(mostQueued, queued / int(sizeof(MvMessage)));
    }
    EXPECT_EQ(mostQueued, 0) << "loop wraps must not cost down messages";
    EXPECT_TRUE(print.lines().empty());
    for (MvSampler *voice : voices)
        EXPECT_EQ(mvGetProcessedClips(m(voice)), kBlocks * kBlock / 100);
}

} // namespace
