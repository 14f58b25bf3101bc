// Biquad designs follow the usual cookbook formulas with the frequency as a
// fraction of the Nyquist frequency; both ends of the range and Q = 0 get
// fixed limit coefficients so no design ever divides by zero.
#include "mv_biquad.h"

#include "mv_dsp_samples.h"

#include <cmath>
#include <numbers>

namespace mv {

namespace {

// Common terms of every design, in double from the float arguments.
struct DesignTerms {
    double w; // frequency / Nyquist frequency
    double s; // sin(pi w)
    double c; // cos(pi w)
};

DesignTerms designTerms(const MvBiquad *filter, float frequency) {
    const double w = 2.0 * frequency / filter->sampleRate;
    const double theta = std::numbers::pi * w;
    return {w, std::sin(theta), std::cos(theta)};
}

void setCoefficients(MvBiquad *filter, double b0, double b1, double b2, double a1, double a2) {
    filter->b0 = static_cast<float>(b0);
    filter->b1 = static_cast<float>(b1);
    filter->b2 = static_cast<float>(b2);
    filter->a1 = static_cast<float>(a1);
    filter->a2 = static_cast<float>(a2);
}

void setGain(MvBiquad *filter, double gain) { setCoefficients(filter, gain, 0, 0, 0, 0); }
void setIdentity(MvBiquad *filter) { setGain(filter, 1); }
void setZero(MvBiquad *filter) { setGain(filter, 0); }

// Powers of ten go through the single-precision power function.
double powerOfTen(double exponent) { return std::pow(10.0f, static_cast<float>(exponent)); }
double resonanceFactor(float resonanceDb) { return powerOfTen(-0.05 * resonanceDb); }
double shelfAmplitude(float gainDb) { return powerOfTen(0.025 * gainDb); }      // A
double shelfAmplitudeRoot(float gainDb) { return powerOfTen(0.0125 * gainDb); } // sqrt(A)
double limitGain(float gainDb)                                                  // G = A^2
{
    return std::pow(100.0f, static_cast<float>(0.025 * gainDb));
}

// The denominator 1 + alpha shared by the Q and resonance designs.
void setFromAlpha(MvBiquad *filter, const DesignTerms &t, double alpha, double b0, double b1,
                  double b2) {
    const double k = 1.0 / (1.0 + alpha);
    setCoefficients(filter, b0 * k, b1 * k, b2 * k, -2.0 * t.c * k, (1.0 - alpha) * k);
}

bool slopeIsFlat(float slope) { return slope == 0 || std::isnan(slope); }

// K = sqrt(A) * s * R of the shelves, with R = sqrt(X + 2) clamped at X < -2.
double shelfTerm(const DesignTerms &t, double a, float slope, float gainDb) {
    const double x = (a + 1.0 / a) * (1.0 / slope - 1.0);
    const double r = x >= -2.0 ? std::sqrt(x + 2.0) : 0.0;
    return shelfAmplitudeRoot(gainDb) * t.s * r;
}

float flushSubnormal(float value) { return std::fpclassify(value) == FP_SUBNORMAL ? 0.0f : value; }

} // namespace

void biquadReset(MvBiquad *filter) {
    filter->x1 = filter->x2 = 0;
    filter->y1 = filter->y2 = 0;
}

// Direct form I with the history in double locals; the recurrence is
// latency-bound, so the state is written back once per call.
void biquadProcess(MvBiquad *filter, float *samples, int count, int step) {
    const double b0 = filter->b0, b1 = filter->b1, b2 = filter->b2;
    const double a1 = filter->a1, a2 = filter->a2;
    double x1 = filter->x1, x2 = filter->x2, y1 = filter->y1, y2 = filter->y2;
    for (int k = 0; k < count; ++k, samples += step) {
        const double x = loadSample(samples);
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        storeSample(samples, static_cast<float>(y));
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
    }
    filter->x1 = flushSubnormal(static_cast<float>(x1));
    filter->x2 = flushSubnormal(static_cast<float>(x2));
    filter->y1 = flushSubnormal(static_cast<float>(y1));
    filter->y2 = flushSubnormal(static_cast<float>(y2));
}

void biquadLowpass(MvBiquad *filter, float frequency, float resonanceDb) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w >= 1) return setIdentity(filter);
    if (t.w <= 0) return setZero(filter);
    const double half = (1.0 - t.c) / 2.0;
    setFromAlpha(filter, t, t.s * resonanceFactor(resonanceDb) / 2.0, half, 2.0 * half, half);
}

void biquadHighpass(MvBiquad *filter, float frequency, float resonanceDb) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w >= 1) return setZero(filter);
    if (t.w <= 0) return setIdentity(filter);
    const double half = (1.0 + t.c) / 2.0;
    setFromAlpha(filter, t, t.s * resonanceFactor(resonanceDb) / 2.0, half, -2.0 * half, half);
}

void biquadBandpass(MvBiquad *filter, float frequency, float q) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w <= 0 || t.w >= 1) return setZero(filter);
    if (q <= 0) return setIdentity(filter);
    const double alpha = t.s / (2.0 * q);
    setFromAlpha(filter, t, alpha, alpha, 0.0, -alpha);
}

void biquadNotch(MvBiquad *filter, float frequency, float q) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w <= 0 || t.w >= 1) return setIdentity(filter);
    if (q <= 0) return setZero(filter);
    setFromAlpha(filter, t, t.s / (2.0 * q), 1.0, -2.0 * t.c, 1.0);
}

void biquadAllpass(MvBiquad *filter, float frequency, float q) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w <= 0 || t.w >= 1) return setIdentity(filter);
    if (q <= 0) return setGain(filter, -1.0);
    const double alpha = t.s / (2.0 * q);
    setFromAlpha(filter, t, alpha, 1.0 - alpha, -2.0 * t.c, 1.0 + alpha);
}

void biquadPeaking(MvBiquad *filter, float frequency, float q, float gainDb) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w <= 0 || t.w >= 1) return setIdentity(filter);
    if (q <= 0) return setGain(filter, limitGain(gainDb));
    const double a = shelfAmplitude(gainDb);
    const double alpha = t.s / (2.0 * q);
    const double k = 1.0 / (1.0 + alpha / a);
    setCoefficients(filter, (1.0 + alpha * a) * k, -2.0 * t.c * k, (1.0 - alpha * a) * k,
                    -2.0 * t.c * k, (1.0 - alpha / a) * k);
}

void biquadLowShelf(MvBiquad *filter, float frequency, float slope, float gainDb) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w <= 0 || slopeIsFlat(slope)) return setIdentity(filter);
    if (t.w >= 1) return setGain(filter, limitGain(gainDb));
    const double a = shelfAmplitude(gainDb);
    const double k = shelfTerm(t, a, slope, gainDb);
    const double a0 = (a + 1) + (a - 1) * t.c + k;
    setCoefficients(filter, a * ((a + 1) - (a - 1) * t.c + k) / a0,
                    2 * a * ((a - 1) - (a + 1) * t.c) / a0, a * ((a + 1) - (a - 1) * t.c - k) / a0,
                    -2 * ((a - 1) + (a + 1) * t.c) / a0, ((a + 1) + (a - 1) * t.c - k) / a0);
}

void biquadHighShelf(MvBiquad *filter, float frequency, float slope, float gainDb) {
    const DesignTerms t = designTerms(filter, frequency);
    if (t.w >= 1 || slopeIsFlat(slope)) return setIdentity(filter);
    if (t.w <= 0) return setGain(filter, limitGain(gainDb));
    const double a = shelfAmplitude(gainDb);
    const double k = shelfTerm(t, a, slope, gainDb);
    const double a0 = (a + 1) - (a - 1) * t.c + k;
    setCoefficients(filter, a * ((a + 1) + (a - 1) * t.c + k) / a0,
                    -2 * a * ((a - 1) + (a + 1) * t.c) / a0, a * ((a + 1) + (a - 1) * t.c - k) / a0,
                    2 * ((a - 1) - (a + 1) * t.c) / a0, ((a + 1) - (a - 1) * t.c - k) / a0);
}

} // namespace mv
