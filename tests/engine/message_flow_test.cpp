// Message flow on sinks without a stream: far more changes than a queue
// holds, made before a loopback render, neither wait for a consumer that can
// never come nor lose a message, with either dispatcher.
#include "loopback_tree.h"
#include "marovel_audio.h"
#include "mv_machine_probe.h"

#include <gtest/gtest.h>

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 64;
// Several times what one queue holds (at least 256 messages).
constexpr int kChanges = 2000;

class StreamlessMessageFlow : public ::testing::TestWithParam<mvtest::DispatcherKind> {
protected:
    void SetUp() override { ASSERT_EQ(mvtest::newProbe(&probe_, tree_.root(), 1.0f), MV_OK); }

    mvtest::LoopbackTree tree_{mvtest::Model::mono, kRate, kBlock, GetParam()};
    MvSink *sink_ = tree_.sink();
    mvtest::Probe *probe_ = nullptr;
};

TEST_P(StreamlessMessageFlow, ThousandsOfChangesBeforeARenderAllArrive) {
    // Each change is an up message whose record comes back as a down message.
    for (int i = 1; i <= kChanges; ++i)
        ASSERT_EQ(mvSetGain(&probe_->machine, 0.0, float(i) / kChanges), MV_OK);
    // Engine-side work runs in order, so once this has run every posted
    // change has been queued.
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    std::vector<float> out = tree_.render(kBlock);
    EXPECT_EQ(out.front(), 1.0f);
    EXPECT_EQ(out.back(), 1.0f);
}

TEST_P(StreamlessMessageFlow, ARenderSendingThousandsOfNoticesNeverWaitsForItself) {
    // A one-frame looping clip wraps on every output frame, and every wrap
    // sends a notice down: one render call sends far more than fit.
    static const float oneFrame[] = {-0.5f};
    MvSampler *sampler;
    ASSERT_EQ(mvNewSampler(&sampler, &sink_->base), MV_OK);
    ASSERT_EQ(mvEnqueueClip(&sampler->machine, 0, nullptr, nullptr, 1, kRate, MV_FORMAT_FLOAT32, 1,
                            1, const_cast<float *>(oneFrame)),
              MV_OK);
    ASSERT_EQ(mvSetLooping(&sampler->machine, 1), MV_OK);
    ASSERT_EQ(mvPlay(&sampler->machine), MV_OK);
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    std::vector<float> out = tree_.render(kChanges);
    EXPECT_EQ(out.back(), 0.5f); // the probe's 1.0 plus the clip's -0.5
    EXPECT_EQ(mvGetProcessedClips(&sampler->machine), kChanges);
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, StreamlessMessageFlow,
                         ::testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                           mvtest::DispatcherKind::threadSafe));

} // namespace
