// Biquad filters: limit coefficients, response of the general designs,
// the block filter against an array-indexed reference, state handling.
#include "dsp/mv_biquad.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <vector>

using namespace mv;

namespace {

constexpr int kRate = 44100;
constexpr float kNyquist = kRate / 2.0f;

MvBiquad newFilter(int rate = kRate) {
    MvBiquad filter{};
    filter.sampleRate = rate;
    return filter;
}

struct Coefficients {
    float b0, b1, b2, a1, a2;
};

void expectCoefficients(const MvBiquad &f, Coefficients c) {
    EXPECT_EQ(f.b0, c.b0);
    EXPECT_EQ(f.b1, c.b1);
    EXPECT_EQ(f.b2, c.b2);
    EXPECT_EQ(f.a1, c.a1);
    EXPECT_EQ(f.a2, c.a2);
}

constexpr Coefficients kIdentity{1, 0, 0, 0, 0};
constexpr Coefficients kZero{0, 0, 0, 0, 0};
Coefficients gain(float g) { return {g, 0, 0, 0, 0}; }
const float kSixDbGain = std::pow(100.0f, 0.025f * 6); // 10^(6/20)

// |H(e^jw)| in dB of the stored coefficients.
double magnitudeDb(const MvBiquad &f, double frequency) {
    const std::complex<double> z1 =
        std::polar(1.0, -2 * std::numbers::pi * frequency / f.sampleRate);
    const std::complex<double> z2 = z1 * z1;
    const double b0 = f.b0, b1 = f.b1, b2 = f.b2, a1 = f.a1, a2 = f.a2;
    const auto h = (b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2);
    return 20 * std::log10(std::abs(h));
}

std::vector<float> noise(size_t n, uint32_t state = 12345) {
    std::vector<float> v(n);
    for (float &x : v) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        x = static_cast<float>(state) / 2147483648.0f - 1.0f;
    }
    return v;
}

// y[n] over whole arrays, the history kept in double as the filter may.
std::vector<float> referenceFilter(const MvBiquad &f, const std::vector<float> &input) {
    std::vector<double> x(input.begin(), input.end()), y(input.size());
    auto at = [](const std::vector<double> &v, long i) { return i < 0 ? 0.0 : v[i]; };
    std::vector<float> out(input.size());
    for (long n = 0; n < static_cast<long>(input.size()); ++n) {
        y[n] = double{f.b0} * x[n] + double{f.b1} * at(x, n - 1) + double{f.b2} * at(x, n - 2) -
               double{f.a1} * at(y, n - 1) - double{f.a2} * at(y, n - 2);
        out[n] = static_cast<float>(y[n]);
    }
    return out;
}

TEST(BiquadLimits, FrequencyEndsGiveFixedCoefficients) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, kNyquist, 3), expectCoefficients(f, kIdentity);
    biquadLowpass(&f, 30000, 3), expectCoefficients(f, kIdentity);
    biquadLowpass(&f, 0, 3), expectCoefficients(f, kZero);
    biquadHighpass(&f, 0, 3), expectCoefficients(f, kIdentity);
    biquadHighpass(&f, kNyquist, 3), expectCoefficients(f, kZero);
    biquadBandpass(&f, 0, 1), expectCoefficients(f, kZero);
    biquadBandpass(&f, kNyquist, 1), expectCoefficients(f, kZero);
    biquadNotch(&f, -5, 1), expectCoefficients(f, kIdentity);
    biquadNotch(&f, kNyquist, 1), expectCoefficients(f, kIdentity);
    biquadAllpass(&f, 0, 1), expectCoefficients(f, kIdentity);
    biquadAllpass(&f, kNyquist, 1), expectCoefficients(f, kIdentity);
    biquadPeaking(&f, 0, 1, 6), expectCoefficients(f, kIdentity);
    biquadPeaking(&f, kNyquist, 1, 6), expectCoefficients(f, kIdentity);
    biquadLowShelf(&f, 0, 1, 6), expectCoefficients(f, kIdentity);
    biquadLowShelf(&f, kNyquist, 1, 6), expectCoefficients(f, gain(kSixDbGain));
    biquadHighShelf(&f, kNyquist, 1, 6), expectCoefficients(f, kIdentity);
    biquadHighShelf(&f, 0, 1, 6), expectCoefficients(f, gain(kSixDbGain));
}

TEST(BiquadLimits, ZeroQAndFlatSlopeGiveFixedCoefficients) {
    MvBiquad f = newFilter();
    biquadBandpass(&f, 1000, 0), expectCoefficients(f, kIdentity);
    biquadNotch(&f, 1000, 0), expectCoefficients(f, kZero);
    biquadAllpass(&f, 1000, -1), expectCoefficients(f, gain(-1));
    biquadPeaking(&f, 1000, 0, 6), expectCoefficients(f, gain(kSixDbGain));
    EXPECT_NEAR(f.b0, 1.9953, 1e-4);
    biquadLowShelf(&f, 1000, 0, 6), expectCoefficients(f, kIdentity);
    biquadHighShelf(&f, 1000, NAN, 6), expectCoefficients(f, kIdentity);
}

TEST(BiquadLimits, LimitOrderDecidesOverlappingCases) {
    MvBiquad f = newFilter();
    biquadBandpass(&f, 0, 0), expectCoefficients(f, kZero);               // w <= 0 before Q
    biquadLowShelf(&f, kNyquist, 0, 6), expectCoefficients(f, kIdentity); // slope before w >= 1
    biquadHighShelf(&f, 0, 0, 6), expectCoefficients(f, kIdentity);
}

TEST(BiquadDesigns, LowpassAt1000HzHasTheTextbookTerms) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, 1000, 0);
    const double theta = std::numbers::pi * 2000.0 / kRate, alpha = std::sin(theta) / 2;
    const double k = 1 / (1 + alpha), b0 = k * (1 - std::cos(theta)) / 2;
    expectCoefficients(f, {float(b0), float(2 * b0), float(b0), float(-2 * std::cos(theta) * k),
                           float((1 - alpha) * k)});
    EXPECT_NEAR((f.b0 + f.b1 + f.b2) / (1 + f.a1 + f.a2), 1.0, 1e-4);
}

TEST(BiquadDesigns, ResponseMatchesTheAnalyticCurves) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, 1000, 6);
    EXPECT_NEAR(magnitudeDb(f, 1000), 6, 0.01);
    EXPECT_NEAR(magnitudeDb(f, 10), 0, 0.01);
    biquadHighpass(&f, 2000, -3);
    EXPECT_NEAR(magnitudeDb(f, 2000), -3, 0.01);
    EXPECT_NEAR(magnitudeDb(f, kNyquist), 0, 0.01);
    biquadBandpass(&f, 3000, 2);
    EXPECT_NEAR(magnitudeDb(f, 3000), 0, 0.01);
    biquadNotch(&f, 3000, 2);
    EXPECT_LT(magnitudeDb(f, 3000), -80);
    EXPECT_NEAR(magnitudeDb(f, 10), 0, 0.01);
    biquadAllpass(&f, 3000, 0.7f);
    for (double hz : {100.0, 3000.0, 15000.0}) EXPECT_NEAR(magnitudeDb(f, hz), 0, 0.01);
    biquadPeaking(&f, 5000, 1.5f, -9);
    EXPECT_NEAR(magnitudeDb(f, 5000), -9, 0.01);
    EXPECT_NEAR(magnitudeDb(f, 10), 0, 0.01);
    biquadLowShelf(&f, 500, 1, 12);
    EXPECT_NEAR(magnitudeDb(f, 1), 12, 0.01);
    EXPECT_NEAR(magnitudeDb(f, 500), 6, 0.01);
    EXPECT_NEAR(magnitudeDb(f, kNyquist), 0, 0.01);
    biquadHighShelf(&f, 8000, 0.5f, -6);
    EXPECT_NEAR(magnitudeDb(f, kNyquist), -6, 0.01);
    EXPECT_NEAR(magnitudeDb(f, 8000), -3, 0.01);
    EXPECT_NEAR(magnitudeDb(f, 1), 0, 0.01);
}

TEST(BiquadDesigns, RedesignKeepsTheState) {
    MvBiquad f = newFilter();
    f.x1 = 0.25f, f.x2 = -0.5f, f.y1 = 0.125f, f.y2 = 1;
    biquadPeaking(&f, 700, 2, 3);
    EXPECT_EQ(f.x1, 0.25f);
    EXPECT_EQ(f.x2, -0.5f);
    EXPECT_EQ(f.y1, 0.125f);
    EXPECT_EQ(f.y2, 1);
}

TEST(BiquadBlock, MatchesTheReferenceAndWritesTheStateBack) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, 1200, 4);
    const std::vector<float> input = noise(4096);
    std::vector<float> samples = input;
    biquadProcess(&f, samples.data(), static_cast<int>(samples.size()), 1);
    const std::vector<float> expected = referenceFilter(f, input);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], expected[i]) << i;
    EXPECT_EQ(f.x1, input[4095]);
    EXPECT_EQ(f.x2, input[4094]);
    EXPECT_EQ(f.y1, samples[4095]);
    EXPECT_EQ(f.y2, samples[4094]);
}

TEST(BiquadBlock, LimitDesignsPassSilenceOrInvert) {
    const std::vector<float> input = noise(64);
    auto run = [&](void (*design)(MvBiquad *, float, float), float frequency, float value) {
        MvBiquad f = newFilter();
        design(&f, frequency, value);
        std::vector<float> samples = input;
        biquadProcess(&f, samples.data(), 64, 1);
        return samples;
    };
    EXPECT_EQ(run(biquadLowpass, 30000, 0), input);
    EXPECT_EQ(run(biquadHighpass, 0, 0), input);
    EXPECT_EQ(run(biquadBandpass, 1000, 0), input);
    EXPECT_EQ(run(biquadNotch, 1000, 0), std::vector<float>(64, 0.0f));
    const std::vector<float> inverted = run(biquadAllpass, 1000, 0);
    for (size_t i = 0; i < input.size(); ++i) EXPECT_EQ(inverted[i], -input[i]);
}

TEST(BiquadBlock, NotchAtAQuarterOfTheRateRemovesItsSine) {
    MvBiquad f = newFilter();
    biquadNotch(&f, 11025, 1);
    EXPECT_NEAR(f.b1, 0, 1e-12);
    EXPECT_NEAR(f.a1, 0, 1e-12);
    std::vector<float> sine(4000);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(std::sin(std::numbers::pi / 2 * i + 0.3));
    biquadProcess(&f, sine.data(), 4000, 1);
    for (size_t i = 3000; i < sine.size(); ++i) ASSERT_LT(std::fabs(sine[i]), 1e-5) << i;
}

TEST(BiquadBlock, SplitCallsAgreeUpToStateRounding) {
    MvBiquad whole = newFilter(), split = newFilter();
    biquadHighShelf(&whole, 3000, 1, 8);
    split = whole;
    std::vector<float> a = noise(512), b = a;
    biquadProcess(&whole, a.data(), 512, 1);
    biquadProcess(&split, b.data(), 256, 1);
    biquadProcess(&split, b.data() + 256, 256, 1);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(a[i], b[i]);
    for (size_t i = 256; i < 512; ++i) ASSERT_NEAR(a[i], b[i], 1e-5f);
}

TEST(BiquadBlock, StepSkipsTheFloatsBetween) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, 500, 0);
    const std::vector<float> input = noise(200);
    std::vector<float> samples = input;
    biquadProcess(&f, samples.data(), 100, 2);
    std::vector<float> even;
    for (size_t i = 0; i < 200; i += 2) even.push_back(input[i]);
    const std::vector<float> expected = referenceFilter(f, even);
    for (size_t i = 0; i < 100; ++i) {
        ASSERT_EQ(samples[2 * i], expected[i]);
        ASSERT_EQ(samples[2 * i + 1], input[2 * i + 1]);
    }
}

TEST(BiquadState, SubnormalStateIsFlushedButOutputsAreNot) {
    MvBiquad f = newFilter();
    f.b0 = 1, f.a1 = -0.25f;      // y = x + y1 / 4: an input decays geometrically
    float samples[12] = {1e-36f}; // ends at 1e-36 / 4^11, subnormal
    biquadProcess(&f, samples, 12, 1);
    EXPECT_EQ(std::fpclassify(samples[10]), FP_SUBNORMAL); // outputs keep their value
    EXPECT_EQ(f.y1, 0.0f);
    EXPECT_EQ(f.y2, 0.0f);

    f.x1 = 1e-40f, f.x2 = -1e-41f, f.y1 = 0.5f;
    biquadProcess(&f, samples, 0, 1); // count 0 still rounds and flushes
    EXPECT_EQ(f.x1, 0.0f);
    EXPECT_EQ(f.x2, 0.0f);
    EXPECT_EQ(f.y1, 0.5f);
    EXPECT_EQ(samples[0], 1e-36f);
}

TEST(BiquadState, ResetClearsOnlyTheHistory) {
    MvBiquad f = newFilter();
    biquadLowpass(&f, 1000, 0);
    const MvBiquad designed = f;
    f.x1 = f.x2 = f.y1 = f.y2 = 0.5f;
    biquadReset(&f);
    EXPECT_EQ(std::memcmp(&f, &designed, sizeof f), 0);
}

} // namespace
