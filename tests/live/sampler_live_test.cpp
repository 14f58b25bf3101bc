// A sampler on a null sink of the private PulseAudio server (scripts/pulse):
// what the sink's monitor hears has the clip's pitch after resampling, and
// clips queued back to back join without a gap.
#include "marovel_audio.h"
#include "mv_pulse_support.h"
#include "mv_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int kSinkRate = 48000;
constexpr int kClipRate = 44100;
constexpr double kPitch = 440.0; // whole cycles in one second: the loop is seamless
constexpr double kAmplitude = 0.5;
constexpr int kBufferFrames = 2048; // generous, so the server never runs dry
constexpr auto kSettle = std::chrono::milliseconds(300);

// Frames first .. first + count of one continuous int16 sine.
std::vector<int16_t> sine(int first, int count) {
    std::vector<int16_t> samples(count);
    for (int i = 0; i < count; ++i)
        samples[i] = int16_t(
            std::lrint(32767 * kAmplitude * std::sin(2 * M_PI * kPitch * (first + i) / kClipRate)));
    return samples;
}

class SamplerLive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "no private PulseAudio server: run the live tier through scripts/test";
        ASSERT_EQ(session_.status(), MV_OK);
        MvSoundModel *model = nullptr;
        ASSERT_EQ(mvNewStereoSoundModel(&model), MV_OK);
        ASSERT_EQ(mvNewSink(&sink_, model, kBufferFrames), MV_OK);
        ASSERT_EQ(mvOpenSink(sink_, mvtest::deviceIndexOf("mv_null_b"), kSinkRate), MV_OK);
        ASSERT_EQ(mvGetSinkError(&sink_->base), MV_OK);
        ASSERT_EQ(mvNewSampler(&sampler_, &sink_->base), MV_OK);
    }

    // Queues the clips, loops them and returns what the monitor hears.
    std::vector<float> playLooping(const std::vector<std::vector<int16_t>> &clips) {
        for (const auto &clip : clips)
            EXPECT_EQ(mvEnqueueClip(&sampler_->machine, 0, nullptr, nullptr, 1, kClipRate,
                                    MV_FORMAT_INT16, 1, int(clip.size()),
                                    const_cast<int16_t *>(clip.data())),
                      MV_OK);
        EXPECT_EQ(mvSetLooping(&sampler_->machine, 1), MV_OK);
        EXPECT_EQ(mvPlay(&sampler_->machine), MV_OK);
        std::this_thread::sleep_for(kSettle);
        return mvtest::captureMonitor("mv_null_b", kSinkRate);
    }

    mvtest::EngineSession session_{mvtest::DispatcherKind::threadSafe, mvtest::kDefaultOrder};
    MvSink *sink_ = nullptr;
    MvSampler *sampler_ = nullptr;
};

TEST_F(SamplerLive, A440HzClipAt44100HzSoundsAt440HzOnA48000HzSink) {
    const std::vector<float> heard = playLooping({sine(0, kClipRate)});
    ASSERT_GT(heard.size(), size_t(kSinkRate / 2));
    const mvtest::Tone tone = mvtest::measureTone(heard, kSinkRate);
    EXPECT_NEAR(tone.hertz, kPitch, 0.5);
    EXPECT_NEAR(tone.amplitude, kAmplitude, 0.05);
}

TEST_F(SamplerLive, TwoClipsQueuedBackToBackJoinWithoutAGap) {
    constexpr int kSplit = 20000; // mid-cycle, so a gap or a repeat would show
    const std::vector<float> heard =
        playLooping({sine(0, kSplit), sine(kSplit, kClipRate - kSplit)});
    ASSERT_GT(heard.size(), size_t(kSinkRate / 2)); // holds a join and a wrap
    // A sine this slow bends by at most A·(2πf/rate)² per frame; a gap, a
    // repeated or a skipped stretch bends far more.
    const double smoothest = kAmplitude * std::pow(2 * M_PI * kPitch / kSinkRate, 2);
    double sharpest = 0.0;
    for (size_t i = heard.size() / 10; i < heard.size(); ++i)
        sharpest = std::max(sharpest, std::abs(double(heard[i]) - 2 * heard[i - 1] + heard[i - 2]));
    EXPECT_LT(sharpest, 4 * smoothest);
    EXPECT_NEAR(mvtest::measureTone(heard, kSinkRate).hertz, kPitch, 0.5);
}

} // namespace
