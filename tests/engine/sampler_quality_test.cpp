// The sampler's sound-quality additions through float32 loopback sinks: the
// band-limited resampler's distortion (measured FFT-free, as the residual
// after the ideal sine is taken out), transition fades, their control calls.
#include "loopback_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

using mvtest::LoopbackTree;
using mvtest::m;
using mvtest::Model;
using mvtest::ReleaseLog;

namespace {

constexpr double kClipRate = 44100.0;
constexpr int kSinkRate = 48000;

std::vector<float> sine(int frames, double hz, double amplitude) {
    std::vector<float> out(size_t(frames), 0.0f);
    for (int i = 0; i < frames; ++i)
        out[size_t(i)] = float(amplitude * std::sin(2.0 * M_PI * hz * i / kClipRate));
    return out;
}

// The residual of `y` against the best sine of `hz` (least squares over
// a·sin + b·cos), relative to that sine, in dB.
double residualDb(const std::vector<float> &y, double hz, int rate) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (size_t k = 0; k < y.size(); ++k) {
        const double s = std::sin(2.0 * M_PI * hz * double(k) / rate);
        const double c = std::cos(2.0 * M_PI * hz * double(k) / rate);
        ss += s * s, sc += s * c, cc += c * c, ys += y[k] * s, yc += y[k] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    double signal = 0, residual = 0;
    for (size_t k = 0; k < y.size(); ++k) {
        const double fit = a * std::sin(2.0 * M_PI * hz * double(k) / rate) +
                           b * std::cos(2.0 * M_PI * hz * double(k) / rate);
        signal += fit * fit;
        residual += (y[k] - fit) * (y[k] - fit);
    }
    return 10.0 * std::log10(residual / signal);
}

// A 15 kHz tone at 44.1 kHz played on a 48 kHz sink at `pitch`; the output
// frames after the start-up transient.
std::vector<float> playTone(int resampler, double pitch) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono, kSinkRate);
    const std::vector<float> clip = sine(int(kClipRate), 15000.0 / pitch, 0.9);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip.data(), int(clip.size()), 1, kClipRate, MV_FORMAT_FLOAT32);
    EXPECT_EQ(mvSetResampler(m(sampler), resampler), MV_OK);
    mvSetFrequency(m(sampler), 0.0, pitch);
    mvPlay(m(sampler));
    std::vector<float> out = tree.render(8192);
    out.erase(out.begin(), out.begin() + 1024);
    return out;
}

TEST(SamplerBandLimited, AFifteenKilohertzToneKeepsItsDistortionBelowMinus80Decibels) {
    for (double pitch : {1.0, 1.37}) {
        EXPECT_LT(residualDb(playTone(MV_RESAMPLER_BANDLIMITED, pitch), 15000.0, kSinkRate), -80.0)
            << "pitch " << pitch;
        // the linear path folds the tone's image into the band
        EXPECT_GT(residualDb(playTone(MV_RESAMPLER_STANDARD, pitch), 15000.0, kSinkRate), -40.0);
    }
}

TEST(SamplerBandLimited, TheResamplerCallsCheckTheirArguments) {
    LoopbackTree tree(Model::mono);
    MvSampler *sampler = tree.newSampler();
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_STANDARD);
    EXPECT_EQ(mvSetResampler(m(sampler), MV_RESAMPLER_BANDLIMITED), MV_OK);
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_BANDLIMITED);
    for (int bad : {-1, 2}) EXPECT_EQ(mvSetResampler(m(sampler), bad), MV_ERROR_INDEX) << bad;
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_BANDLIMITED);
    EXPECT_EQ(mvSetResampler(nullptr, 0), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetResampler(tree.root(), 0), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvGetResampler(tree.root()), MV_ERROR_MACHINE_TYPE);
}

// ---- transition fades ---------------------------------------------------------

// The largest sample-to-sample step of `y`.
float largestStep(const std::vector<float> &y) {
    float largest = 0.0f;
    for (size_t k = 1; k < y.size(); ++k) largest = std::max(largest, std::fabs(y[k] - y[k - 1]));
    return largest;
}

struct FadeEvent {
    const char *name;
    std::function<void(MvMachine *)> apply;
    bool endsSilent;
};

TEST(SamplerFade, EveryTransitionOfALoopingSineStepsNoMoreThanTheSineItself) {
    constexpr double kHz = 1000.0;
    const FadeEvent events[] = {
        {"stop", [](MvMachine *s) { mvStop(s); }, true},
        {"pause", [](MvMachine *s) { mvPause(s); }, true},
        {"clear", [](MvMachine *s) { mvClearClipQueue(s); }, true},
        {"seek", [](MvMachine *s) { mvPlayAt(s, 0.01011); }, false},
        {"restart", [](MvMachine *s) { mvPlay(s); }, false},
        {"gain jump", [](MvMachine *s) { mvSetGain(s, 0.0, 0.25f); }, false},
    };
    std::vector<float> clip(48);
    for (int i = 0; i < 48; ++i) clip[size_t(i)] = float(std::sin(2.0 * M_PI * kHz * i / 48000.0));
    const float sineStep = float(2.0 * std::sin(M_PI * kHz / 48000.0)) * 1.0001f;
    for (const FadeEvent &event : events)
        for (int phase : {3, 11, 29, 40}) {
            ReleaseLog log;
            LoopbackTree tree(Model::mono, 48000, 64);
            MvSampler *sampler = tree.newSampler();
            mvtest::enqueue(sampler, log, clip.data(), 48, 1, 48000.0, MV_FORMAT_FLOAT32);
            mvSetLooping(m(sampler), 1);
            ASSERT_EQ(mvSetTransitionFade(m(sampler), 0.001), MV_OK);
            mvPlay(m(sampler));
            std::vector<float> out = tree.render(256 + phase);
            event.apply(m(sampler));
            const std::vector<float> after = tree.render(512);
            out.insert(out.end(), after.begin(), after.end());
            EXPECT_LE(largestStep(out), sineStep) << event.name << " at phase " << phase;
            if (event.endsSilent) {
                EXPECT_EQ(*std::max_element(after.begin() + 128, after.end()), 0.0f)
                    << event.name << " at phase " << phase;
            }
        }
}

TEST(SamplerFade, APausedSamplerHoldsSilenceAndResumesWhereItPaused) {
    ReleaseLog log;
    LoopbackTree tree(Model::mono, 48000, 64);
    const std::vector<float> clip = mvtest::constantFrames(4800, 1, 0.5f);
    MvSampler *sampler = tree.newSampler();
    mvtest::enqueue(sampler, log, clip.data(), 4800, 1, 48000.0, MV_FORMAT_FLOAT32);
    mvSetTransitionFade(m(sampler), 0.001);
    mvPlay(m(sampler));
    tree.render(128);
    mvPause(m(sampler));
    EXPECT_EQ(mvGetState(m(sampler)), 2);
    const std::vector<float> paused = tree.render(256);
    EXPECT_GT(paused[0], 0.0f);     // fading out
    EXPECT_EQ(paused.back(), 0.0f); // then silence, not the held 0.5
    mvResume(m(sampler));
    const std::vector<float> resumed = tree.render(256);
    EXPECT_LT(resumed[0], 0.5f); // fading in
    EXPECT_EQ(resumed.back(), 0.5f);
}

TEST(SamplerFade, TheFadeCallsCheckTheirArguments) {
    LoopbackTree tree(Model::mono);
    MvSampler *sampler = tree.newSampler();
    EXPECT_EQ(mvGetTransitionFade(m(sampler)), 0.0);
    EXPECT_EQ(mvSetTransitionFade(m(sampler), 0.1), MV_OK);
    EXPECT_EQ(mvGetTransitionFade(m(sampler)), 0.1);
    for (double bad : {-0.001, 0.1001, std::nan("")})
        EXPECT_EQ(mvSetTransitionFade(m(sampler), bad), MV_ERROR_INDEX) << bad;
    EXPECT_EQ(mvGetTransitionFade(m(sampler)), 0.1);
    EXPECT_EQ(mvSetTransitionFade(tree.root(), 0.0), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvGetTransitionFade(nullptr), double(MV_ERROR_NULL_POINTER));
}

} // namespace
