// Converters between the six sample formats, with clipping and triangular
// dither, and the dither generator.
//
// Each routine is one instance of a loop template around a per-sample rule,
// so a routine never branches on format, flags or stride inside its loop.
// All routines live in one constant table; mvSelectConverter only computes
// an index into it.
#include "mv_convert.h"

#include "marovel_audio.h"
#include "mv_cpu.h"

#include <cmath>
#include <cstddef>
#include <iterator>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace mv {

bool wideLoopsMayUseAvx2 = true;

namespace {

using F32 = Float32Sample;
using I32 = Int32Sample;
using I24 = Int24Sample;
using I16 = Int16Sample;
using I8 = Int8Sample;
using U8 = Uint8Sample;

// ---------------------------------------------------------------------------
// Dither generator: two linear congruential generators whose top bits add up
// to a triangular distribution, differenced so the noise is high-passed.

constexpr int32_t kInitialPrevious = 0;
constexpr uint32_t kInitialSeed1 = 22222;
constexpr uint32_t kInitialSeed2 = 5555555;
constexpr uint32_t kLcgMultiplier = 196314165;
constexpr uint32_t kLcgIncrement = 907633515;
constexpr int kLcgKeptBitsShift = 18;
// The float nearest to 1/32767, written by its bits so no compiler's decimal
// rounding can change it.
constexpr float kDitherToFloat = __builtin_bit_cast(float, 0x38000100u);

int32_t nextDither16(MvTriangularDitherState *state) {
    state->seed1 = state->seed1 * kLcgMultiplier + kLcgIncrement;
    state->seed2 = state->seed2 * kLcgMultiplier + kLcgIncrement;
    const int32_t current =
        (int32_t(state->seed1) >> kLcgKeptBitsShift) + (int32_t(state->seed2) >> kLcgKeptBitsShift);
    const int32_t result = current - state->previous;
    state->previous = current;
    return result;
}

float nextDitherFloat(MvTriangularDitherState *state) {
    return float(nextDither16(state)) * kDitherToFloat;
}

// ---------------------------------------------------------------------------
// Loop templates. Strides count samples of each buffer's own format.

using ContiguousLoop = void (*)(uint8_t *out, const uint8_t *in, unsigned count);

template <class Src, class Dst, auto rule>
void contiguousLoop(uint8_t *out, const uint8_t *in, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        Dst::store(out + size_t(i) * Dst::bytes, rule(Src::load(in + size_t(i) * Src::bytes)));
}

// A plain or clipping routine: the strided loop, and a second loop for
// contiguous runs that the compiler (or a hand-written variant) can widen.
template <class Src, class Dst, auto rule,
          ContiguousLoop contiguous = contiguousLoop<Src, Dst, rule>>
void convert(void *dst, int dstStride, const void *src, int srcStride, unsigned count,
             MvTriangularDitherState *) {
    auto *out = static_cast<uint8_t *>(dst);
    const auto *in = static_cast<const uint8_t *>(src);
    if (dstStride == 1 && srcStride == 1) {
        contiguous(out, in, count);
        return;
    }
    const ptrdiff_t outStep = ptrdiff_t(dstStride) * Dst::bytes;
    const ptrdiff_t inStep = ptrdiff_t(srcStride) * Src::bytes;
    for (unsigned i = 0; i < count; ++i)
        Dst::store(out + i * outStep, rule(Src::load(in + i * inStep)));
}

// A dithering routine: one noise value is drawn per sample, before the
// sample is read, so the sequence does not depend on the strides.
template <class Src, class Dst, auto draw, auto rule>
void convertDithered(void *dst, int dstStride, const void *src, int srcStride, unsigned count,
                     MvTriangularDitherState *dither) {
    auto *out = static_cast<uint8_t *>(dst);
    const auto *in = static_cast<const uint8_t *>(src);
    const ptrdiff_t outStep = ptrdiff_t(dstStride) * Dst::bytes;
    const ptrdiff_t inStep = ptrdiff_t(srcStride) * Src::bytes;
    for (unsigned i = 0; i < count; ++i) {
        const auto noise = draw(dither);
        Dst::store(out + i * outStep, rule(Src::load(in + i * inStep), noise));
    }
}

template <class S> typename S::Value same(typename S::Value v) { return v; }

template <class S> void copyBytes(uint8_t *out, const uint8_t *in, unsigned count) {
    if (count != 0) std::memcpy(out, in, size_t(count) * S::bytes);
}

// Copies move bits through integer views, so float NaN payloads survive.
template <class S> constexpr MvConverter copy = convert<S, S, same<S>, copyBytes<S>>;

// ---------------------------------------------------------------------------
// Rules from float32.

// A NaN fails the first comparison and so becomes +1.0. Written with
// explicit comparisons (never fmin/fmax, which would drop the NaN rule).
float clamp(float x) {
    const float y = x <= 1.0f ? x : 1.0f;
    return y >= -1.0f ? y : -1.0f;
}

// Rounds to nearest, ties to even (the default rounding mode). The 64-bit
// result keeps the low bits meaningful for out-of-range plain conversions.
int64_t roundToEven(double v) { return std::llrint(v); }

// Rounds toward zero; values beyond 64 bits (and NaN) give INT64_MIN, the
// hardware's own answer, instead of an undefined conversion.
int64_t truncateToInteger(double v) {
    constexpr double limit = 0x1p63;
    return v > -limit && v < limit ? int64_t(v) : INT64_MIN;
}

// Full-scale factor of each integer destination, and whether float samples
// are rounded (true) or truncated into it.
template <class Dst> struct FloatScale;
template <> struct FloatScale<I32> {
    static constexpr double full = 2147483647.0;
    static constexpr bool rounds = true;
};
template <> struct FloatScale<I24> {
    static constexpr double full = 2147483647.0; // scales into the 32-bit view
    static constexpr bool rounds = false;
};
template <> struct FloatScale<I16> {
    static constexpr double full = 32767.0;
    static constexpr bool rounds = true;
};
template <> struct FloatScale<I8> {
    static constexpr double full = 127.0;
    static constexpr bool rounds = false;
};
template <> struct FloatScale<U8> : FloatScale<I8> {};

template <class Dst, bool clip> typename Dst::Value fromFloat(float x) {
    using Scale = FloatScale<Dst>;
    const double y = clip ? clamp(x) : x;
    if constexpr (Scale::rounds) return typename Dst::Value(roundToEven(y * Scale::full - 0.5));
    else return typename Dst::Value(truncateToInteger(y * Scale::full));
}

template <class Dst, bool clip> typename Dst::Value fromFloatDithered(float x, float d) {
    using Scale = FloatScale<Dst>;
    // One step below full scale, so the added dither cannot overflow a
    // clamped sample.
    constexpr double scale = Scale::full - 1.0;
    const double y = clip ? clamp(x) : x;
    if constexpr (clip && std::is_same_v<Dst, I16>) {
        const int64_t t = truncateToInteger(y * scale + d);
        return typename Dst::Value(roundToEven(double(t) - 0.5));
    } else if constexpr (Scale::rounds) {
        return typename Dst::Value(roundToEven(y * scale + (double(d) - 0.5)));
    } else {
        return typename Dst::Value(truncateToInteger(y * scale + d));
    }
}

#if defined(__x86_64__)
// float32 -> int16 with clipping over a contiguous run, eight samples per
// step, bit-identical to fromFloat<I16, true>: minps/maxps return their
// second operand for a NaN first operand, which is the clamp's rule; the
// products are exact in double; cvtpd2dq rounds in the current (default,
// ties-to-even) mode like llrint. An AVX2 form (four doubles per register)
// is taken when the processor has it; SSE2 is always there on x86-64.
constexpr int kWideStep = 8;

void clipFloatToInt16Sse2(uint8_t *out, const uint8_t *in, unsigned count) {
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 minusOne = _mm_set1_ps(-1.0f);
    const __m128d scale = _mm_set1_pd(FloatScale<I16>::full);
    const __m128d half = _mm_set1_pd(0.5);
    const auto toInt32 = [&](__m128 four) {
        const __m128 y = _mm_max_ps(_mm_min_ps(four, one), minusOne);
        const __m128d low = _mm_cvtps_pd(y);
        const __m128d high = _mm_cvtps_pd(_mm_movehl_ps(y, y));
        return _mm_unpacklo_epi64(_mm_cvtpd_epi32(_mm_sub_pd(_mm_mul_pd(low, scale), half)),
                                  _mm_cvtpd_epi32(_mm_sub_pd(_mm_mul_pd(high, scale), half)));
    };
    const auto *source = reinterpret_cast<const float *>(in);
    for (unsigned i = 0; i < count; i += kWideStep) {
        const __m128i first = toInt32(_mm_loadu_ps(source + i));
        const __m128i second = toInt32(_mm_loadu_ps(source + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + size_t(i) * I16::bytes),
                         _mm_packs_epi32(first, second));
    }
}

MV_TARGET_AVX2 inline __m128i scaleClampedToInt16Avx2(__m128 four) {
    const __m256d scale = _mm256_set1_pd(FloatScale<I16>::full);
    const __m256d half = _mm256_set1_pd(0.5);
    return _mm256_cvtpd_epi32(_mm256_sub_pd(_mm256_mul_pd(_mm256_cvtps_pd(four), scale), half));
}

MV_TARGET_AVX2 void clipFloatToInt16Avx2(uint8_t *out, const uint8_t *in, unsigned count) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 minusOne = _mm256_set1_ps(-1.0f);
    const auto *source = reinterpret_cast<const float *>(in);
    for (unsigned i = 0; i < count; i += kWideStep) {
        const __m256 y = _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(source + i), one), minusOne);
        const __m128i low = scaleClampedToInt16Avx2(_mm256_castps256_ps128(y));
        const __m128i high = scaleClampedToInt16Avx2(_mm256_extractf128_ps(y, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + size_t(i) * I16::bytes),
                         _mm_packs_epi32(low, high));
    }
}

// The widest of the two this processor runs, chosen when the library loads
// (never on a first render: a function-local static would guard with a lock).
const ContiguousLoop kWidestClipFloatToInt16 =
    cpuFeatures().avx2 ? clipFloatToInt16Avx2 : clipFloatToInt16Sse2;

void clipFloatToInt16Wide(uint8_t *out, const uint8_t *in, unsigned count) {
    const unsigned wide = count - count % kWideStep;
    const ContiguousLoop loop =
        wideLoopsMayUseAvx2 ? kWidestClipFloatToInt16 : clipFloatToInt16Sse2;
    loop(out, in, wide);
    contiguousLoop<F32, I16, fromFloat<I16, true>>(out + size_t(wide) * I16::bytes,
                                                   in + size_t(wide) * F32::bytes, count - wide);
}
// Every other sample of interleaved stereo on both sides (stride 2), one
// channel of a device period as the stereo model writes it: the same AVX2
// arithmetic on eight samples at a time, stored one by one so the other
// channel's samples are never touched.
constexpr int kPairStride = 2;

MV_TARGET_AVX2 void clipEveryOtherFloatToInt16Avx2(uint8_t *out, const float *in, unsigned count) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 minusOne = _mm256_set1_ps(-1.0f);
    for (unsigned i = 0; i < count; i += kWideStep) {
        const float *frames = in + size_t(i) * kPairStride;
        // [0 1 4 5 | 2 3 6 7] of the channel, then in order
        const __m256 picked = _mm256_shuffle_ps(
            _mm256_loadu_ps(frames), _mm256_loadu_ps(frames + kWideStep), _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 x = _mm256_castpd_ps(
            _mm256_permute4x64_pd(_mm256_castps_pd(picked), _MM_SHUFFLE(3, 1, 2, 0)));
        const __m256 y = _mm256_max_ps(_mm256_min_ps(x, one), minusOne);
        const __m128i samples =
            _mm_packs_epi32(scaleClampedToInt16Avx2(_mm256_castps256_ps128(y)),
                            scaleClampedToInt16Avx2(_mm256_extractf128_ps(y, 1)));
        alignas(16) int16_t values[kWideStep];
        _mm_store_si128(reinterpret_cast<__m128i *>(values), samples);
        for (int j = 0; j < kWideStep; ++j)
            I16::store(out + (size_t(i) + j) * kPairStride * I16::bytes, values[j]);
    }
    _mm256_zeroupper();
}

// Chosen when the library loads, as the contiguous loop is.
const bool kEveryOtherLoopMayRun = cpuFeatures().avx2;

void clipFloatToInt16(void *dst, int dstStride, const void *src, int srcStride, unsigned count,
                      MvTriangularDitherState *dither) {
    unsigned wide = 0;
    if (dstStride == kPairStride && srcStride == kPairStride && wideLoopsMayUseAvx2 &&
        kEveryOtherLoopMayRun) {
        wide = count - count % kWideStep;
        clipEveryOtherFloatToInt16Avx2(static_cast<uint8_t *>(dst), static_cast<const float *>(src),
                                       wide);
    }
    convert<F32, I16, fromFloat<I16, true>, clipFloatToInt16Wide>(
        static_cast<uint8_t *>(dst) + size_t(wide) * kPairStride * I16::bytes, dstStride,
        static_cast<const float *>(src) + size_t(wide) * kPairStride, srcStride, count - wide,
        dither);
}
#else
constexpr ContiguousLoop clipFloatToInt16Wide = contiguousLoop<F32, I16, fromFloat<I16, true>>;
constexpr MvConverter clipFloatToInt16 =
    convert<F32, I16, fromFloat<I16, true>, clipFloatToInt16Wide>;
#endif

// float32 -> integer, in table order: plain, dither, clip, clip and dither.
enum FloatVariant { plainVariant = 0, ditherVariant = 1, clipVariant = 2, clipDitherVariant = 3 };

template <class Dst, int variant>
constexpr MvConverter floatTo =
    (variant & ditherVariant)
        ? convertDithered<F32, Dst, nextDitherFloat,
                          fromFloatDithered<Dst, (variant & clipVariant) != 0>>
        : convert<F32, Dst, fromFloat<Dst, (variant & clipVariant) != 0>>;

template <> constexpr MvConverter floatTo<I16, clipVariant> = clipFloatToInt16;

// ---------------------------------------------------------------------------
// Rules between integer formats, on the views of mv_convert.h.

template <class Src, class Dst> typename Dst::Value rescale(typename Src::Value v) {
    constexpr int shift = Dst::scaleBits - Src::scaleBits;
    if constexpr (shift >= 0) return int32_t(uint32_t(v) << shift);
    else return v >> -shift;
}

// Halved first so the 16-bit dither fits without overflow; not saturated.
template <class Src, class Dst>
typename Dst::Value rescaleDithered(typename Src::Value v, int32_t d16) {
    return ((v >> 1) + d16) >> (Src::scaleBits - Dst::scaleBits - 1);
}

template <class Src, class Dst>
constexpr MvConverter integerTo = convert<Src, Dst, rescale<Src, Dst>>;
template <class Src> constexpr MvConverter integerTo<Src, F32> = convert<Src, F32, &Src::toFloat>;

template <class Src, class Dst>
constexpr MvConverter integerToDithered =
    convertDithered<Src, Dst, nextDither16, rescaleDithered<Src, Dst>>;

// ---------------------------------------------------------------------------
// The routine table, one entry per distinct routine, and its index rule.

constexpr MvConverter kRoutines[] = {
    // Copies by width: 32 bits (float32 and int32), 24, 16, 8 (int8 and uint8).
    copy<I32>,
    copy<I24>,
    copy<I16>,
    copy<I8>,
    // float32 -> float32 with clipping.
    convert<F32, F32, clamp>,
    // float32 -> each integer format, four variants each.
    floatTo<I32, 0>,
    floatTo<I32, 1>,
    floatTo<I32, 2>,
    floatTo<I32, 3>,
    floatTo<I24, 0>,
    floatTo<I24, 1>,
    floatTo<I24, 2>,
    floatTo<I24, 3>,
    floatTo<I16, 0>,
    floatTo<I16, 1>,
    floatTo<I16, 2>,
    floatTo<I16, 3>,
    floatTo<I8, 0>,
    floatTo<I8, 1>,
    floatTo<I8, 2>,
    floatTo<I8, 3>,
    floatTo<U8, 0>,
    floatTo<U8, 1>,
    floatTo<U8, 2>,
    floatTo<U8, 3>,
    // Integer source -> every other format, in format order.
    integerTo<I32, F32>,
    integerTo<I32, I24>,
    integerTo<I32, I16>,
    integerTo<I32, I8>,
    integerTo<I32, U8>,
    integerTo<I24, F32>,
    integerTo<I24, I32>,
    integerTo<I24, I16>,
    integerTo<I24, I8>,
    integerTo<I24, U8>,
    integerTo<I16, F32>,
    integerTo<I16, I32>,
    integerTo<I16, I24>,
    integerTo<I16, I8>,
    integerTo<I16, U8>,
    integerTo<I8, F32>,
    integerTo<I8, I32>,
    integerTo<I8, I24>,
    integerTo<I8, I16>,
    integerTo<I8, U8>,
    integerTo<U8, F32>,
    integerTo<U8, I32>,
    integerTo<U8, I24>,
    integerTo<U8, I16>,
    integerTo<U8, I8>,
    // The integer pairs that have a dithered form.
    integerToDithered<I32, I16>,
    integerToDithered<I32, I8>,
    integerToDithered<I24, I16>,
    integerToDithered<I24, I8>,
};

constexpr int kFormatCount = 6;
constexpr int kCopyIndex[kFormatCount] = {0, 0, 1, 2, 3, 3};
constexpr int kClampIndex = 4;
constexpr int kFromFloatFirst = 5;
constexpr int kFloatVariants = 4;
constexpr int kIntegerFirst = kFromFloatFirst + (kFormatCount - 1) * kFloatVariants;
constexpr int kIntegerDitheredFirst = kIntegerFirst + (kFormatCount - 1) * (kFormatCount - 1);
static_assert(std::size(kRoutines) == size_t(kIntegerDitheredFirst + 4));

constexpr bool hasDitheredForm(int source, int destination) {
    return (source == MV_FORMAT_INT32 || source == MV_FORMAT_INT24) &&
           (destination == MV_FORMAT_INT16 || destination == MV_FORMAT_INT8);
}

constexpr int routineIndex(int source, int destination, bool clip, bool dither) {
    if (source == destination)
        return source == MV_FORMAT_FLOAT32 && clip ? kClampIndex : kCopyIndex[source];
    if (source == MV_FORMAT_FLOAT32)
        return kFromFloatFirst + (destination - 1) * kFloatVariants + (clip ? clipVariant : 0) +
               (dither ? ditherVariant : 0);
    if (dither && hasDitheredForm(source, destination))
        return kIntegerDitheredFirst + (source - MV_FORMAT_INT32) * 2 +
               (destination == MV_FORMAT_INT8 ? 1 : 0);
    const int otherFormat = destination < source ? destination : destination - 1;
    return kIntegerFirst + (source - 1) * (kFormatCount - 1) + otherFormat;
}

constexpr bool isFormat(int format) { return format >= 0 && format < kFormatCount; }

} // namespace
} // namespace mv

MvConverter mvSelectConverter(int sourceFormat, int destinationFormat, int clip, int dither) {
    if (!mv::isFormat(sourceFormat) || !mv::isFormat(destinationFormat)) return nullptr;
    const bool clipFlag = uint8_t(clip) != 0;
    const bool ditherFlag = uint8_t(dither) != 0;
    return mv::kRoutines[mv::routineIndex(sourceFormat, destinationFormat, clipFlag, ditherFlag)];
}

void mvInitializeTriangularDitherState(MvTriangularDitherState *state) {
    state->previous = mv::kInitialPrevious;
    state->seed1 = mv::kInitialSeed1;
    state->seed2 = mv::kInitialSeed2;
}

int32_t mvGenerate16BitTriangularDither(MvTriangularDitherState *state) {
    return mv::nextDither16(state);
}

float mvGenerateFloatTriangularDither(MvTriangularDitherState *state) {
    return mv::nextDitherFloat(state);
}
