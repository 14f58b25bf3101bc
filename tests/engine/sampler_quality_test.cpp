// The sampler's sound-quality additions through float32 loopback sinks: the
// band-limited resampler's distortion (measured FFT-free, as the residual
// after the ideal sine is taken out) and its control calls.
#include "loopback_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using mvtest::LoopbackTree;
using mvtest::m;
using mvtest::Model;
using mvtest::ReleaseLog;

namespace {

constexpr double kClipRate = 44100.0;
constexpr int kSinkRate = 48000;

std::vector<float> sine(int frames, double hz, double amplitude)
{
    std::vector<float> out(size_t(frames), 0.0f);
    for (int i = 0; i < frames; ++i)
        out[size_t(i)] = float(amplitude * std::sin(2.0 * M_PI * hz * i / kClipRate));
    return out;
}

// The residual of `y` against the best sine of `hz` (least squares over
// a·sin + b·cos), relative to that sine, in dB.
double residualDb(const std::vector<float> &y, double hz, int rate)
{
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
std::vector<float> playTone(int resampler, double pitch)
{
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

TEST(SamplerBandLimited, AFifteenKilohertzToneKeepsItsDistortionBelowMinus80Decibels)
{
    for (double pitch : {1.0, 1.37}) {
        EXPECT_LT(residualDb(playTone(MV_RESAMPLER_BANDLIMITED, pitch), 15000.0, kSinkRate), -80.0)
            << "pitch " << pitch;
        // the linear path folds the tone's image into the band
        EXPECT_GT(residualDb(playTone(MV_RESAMPLER_STANDARD, pitch), 15000.0, kSinkRate), -40.0);
    }
}

TEST(SamplerBandLimited, TheResamplerCallsCheckTheirArguments)
{
    LoopbackTree tree(Model::mono);
    MvSampler *sampler = tree.newSampler();
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_STANDARD);
    EXPECT_EQ(mvSetResampler(m(sampler), MV_RESAMPLER_BANDLIMITED), MV_OK);
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_BANDLIMITED);
    for (int bad : {-1, 2})
        EXPECT_EQ(mvSetResampler(m(sampler), bad), MV_ERROR_INDEX) << bad;
    EXPECT_EQ(mvGetResampler(m(sampler)), MV_RESAMPLER_BANDLIMITED);
    EXPECT_EQ(mvSetResampler(nullptr, 0), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetResampler(tree.root(), 0), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvGetResampler(tree.root()), MV_ERROR_MACHINE_TYPE);
}

} // namespace
