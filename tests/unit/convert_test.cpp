// Sample converters, their selection and the triangular dither generator.
#include "marovel_audio.h"
#include "mv_convert.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

namespace {

constexpr int kFormats = 6;
constexpr int F32 = MV_FORMAT_FLOAT32;
constexpr int I32 = MV_FORMAT_INT32;
constexpr int I24 = MV_FORMAT_INT24;
constexpr int I16 = MV_FORMAT_INT16;
constexpr int I8 = MV_FORMAT_INT8;
constexpr int U8 = MV_FORMAT_UINT8;
constexpr int kSampleBytes[kFormats] = {4, 4, 3, 2, 1, 1};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using Bytes = std::vector<uint8_t>;
using Int24 = std::array<uint8_t, 3>;

// Converts one sample without dither; Out and In are the raw sample types.
template <class Out, class In> Out convertOne(int from, int to, bool clip, In value) {
    MvConverter converter = mvSelectConverter(from, to, clip, 0);
    Out out{};
    converter(&out, 1, &value, 1, 1, nullptr);
    return out;
}

// The generator as defined: two LCGs, top bits summed, then differenced.
struct ReferenceDither {
    uint32_t seed1 = 22222;
    uint32_t seed2 = 5555555;
    int32_t previous = 0;
    int32_t next16() {
        seed1 = seed1 * 196314165u + 907633515u;
        seed2 = seed2 * 196314165u + 907633515u;
        const int32_t current = (int32_t(seed1) >> 18) + (int32_t(seed2) >> 18);
        const int32_t result = current - previous;
        previous = current;
        return result;
    }
    float nextFloat() { return float(next16()) * std::bit_cast<float>(0x38000100u); }
};

MvTriangularDitherState freshDither() {
    MvTriangularDitherState state;
    mvInitializeTriangularDitherState(&state);
    return state;
}

Bytes randomBytes(size_t count, uint32_t state) {
    std::mt19937 random(state);
    Bytes bytes(count);
    for (auto &b : bytes) b = uint8_t(random());
    return bytes;
}

// Float samples that exercise every branch: the clamp limits, NaN, infinities,
// signed zeros, values just inside and outside full scale, and noise.
std::vector<float> edgeAndRandomFloats(size_t randomCount, uint32_t state) {
    std::vector<float> values = {1.0f,
                                 -1.0f,
                                 0.0f,
                                 -0.0f,
                                 0.5f,
                                 -0.5f,
                                 kNaN,
                                 -kNaN,
                                 kInf,
                                 -kInf,
                                 std::nextafter(1.0f, 2.0f),
                                 std::nextafter(1.0f, 0.0f),
                                 std::nextafter(-1.0f, -2.0f),
                                 std::nextafter(-1.0f, 0.0f),
                                 1e-30f,
                                 -1e-30f,
                                 2.0f,
                                 -3.0f,
                                 16383.5f / 32767.0f};
    std::mt19937 random(state);
    std::uniform_real_distribution<float> audio(-1.25f, 1.25f);
    for (size_t i = 0; i < randomCount; ++i)
        values.push_back(i % 4 == 3 ? audio(random) * 1e-3f : audio(random));
    return values;
}

// ---------------------------------------------------------------------------

TEST(ConverterSelection, UnknownFormatsGiveNull) {
    for (int bad : {-1, 6, 7, 255}) {
        EXPECT_EQ(mvSelectConverter(bad, F32, 1, 0), nullptr);
        EXPECT_EQ(mvSelectConverter(F32, bad, 1, 0), nullptr);
    }
}

TEST(ConverterSelection, EveryDistinctRoutineAppearsOnceAndCopiesAreShared) {
    std::set<MvConverter> routines;
    for (int from = 0; from < kFormats; ++from)
        for (int to = 0; to < kFormats; ++to)
            for (int clip = 0; clip < 2; ++clip)
                for (int dither = 0; dither < 2; ++dither) {
                    MvConverter c = mvSelectConverter(from, to, clip, dither);
                    ASSERT_NE(c, nullptr);
                    routines.insert(c);
                }
    // 20 float->integer, 1 clamp, 4 copies, 25 integer pairs, 4 dithered pairs.
    EXPECT_EQ(routines.size(), 54u);

    EXPECT_EQ(mvSelectConverter(F32, F32, 0, 0), mvSelectConverter(I32, I32, 0, 0));
    EXPECT_EQ(mvSelectConverter(I8, I8, 0, 0), mvSelectConverter(U8, U8, 1, 1));
    EXPECT_NE(mvSelectConverter(I16, I16, 0, 0), mvSelectConverter(I8, I8, 0, 0));
    EXPECT_NE(mvSelectConverter(I24, I24, 0, 0), mvSelectConverter(I32, I32, 0, 0));
}

TEST(ConverterSelection, FlagsChooseOnlyWhereTheyMatter) {
    // float32 -> float32: clip picks the clamp, dither is ignored.
    EXPECT_EQ(mvSelectConverter(F32, F32, 1, 1), mvSelectConverter(F32, F32, 1, 0));
    EXPECT_EQ(mvSelectConverter(F32, F32, 0, 1), mvSelectConverter(F32, F32, 0, 0));
    EXPECT_NE(mvSelectConverter(F32, F32, 1, 0), mvSelectConverter(F32, F32, 0, 0));
    // float32 -> integer: four variants.
    std::set<MvConverter> variants;
    for (int clip = 0; clip < 2; ++clip)
        for (int dither = 0; dither < 2; ++dither)
            variants.insert(mvSelectConverter(F32, I16, clip, dither));
    EXPECT_EQ(variants.size(), 4u);
    // Integer sources: clip never matters; dither only where a dithered form exists.
    EXPECT_EQ(mvSelectConverter(I32, I16, 1, 0), mvSelectConverter(I32, I16, 0, 0));
    EXPECT_NE(mvSelectConverter(I32, I16, 0, 1), mvSelectConverter(I32, I16, 0, 0));
    EXPECT_NE(mvSelectConverter(I24, I8, 0, 1), mvSelectConverter(I24, I8, 0, 0));
    EXPECT_EQ(mvSelectConverter(I32, U8, 0, 1), mvSelectConverter(I32, U8, 0, 0));
    EXPECT_EQ(mvSelectConverter(I16, I8, 0, 1), mvSelectConverter(I16, I8, 0, 0));
    EXPECT_EQ(mvSelectConverter(I8, F32, 0, 1), mvSelectConverter(I8, F32, 0, 0));
    // Only the low byte of each flag counts.
    EXPECT_EQ(mvSelectConverter(F32, I16, 0x100, 0x200), mvSelectConverter(F32, I16, 0, 0));
    EXPECT_EQ(mvSelectConverter(F32, I16, 0x101, 0x2ff), mvSelectConverter(F32, I16, 1, 1));
}

// ---------------------------------------------------------------------------

TEST(FloatConversion, ClippedInt16RoundsHalfDownToEven) {
    const auto toInt16 = [](float x) { return convertOne<int16_t>(F32, I16, true, x); };
    EXPECT_EQ(toInt16(1.0f), 32766);
    EXPECT_EQ(toInt16(-1.0f), -32768);
    EXPECT_EQ(toInt16(0.0f), 0);
    EXPECT_EQ(toInt16(2.0f), 32766);
    EXPECT_EQ(toInt16(-3.0f), -32768);
    EXPECT_EQ(toInt16(kNaN), 32766);
    EXPECT_EQ(toInt16(-kNaN), 32766);
    EXPECT_EQ(toInt16(kInf), 32766);
    EXPECT_EQ(toInt16(0.5f), 16383);
    EXPECT_EQ(convertOne<int16_t>(F32, I16, false, 0.25f), 8191); // 8191.75 - 0.5
}

TEST(FloatConversion, ClippedInt32) {
    EXPECT_EQ(convertOne<int32_t>(F32, I32, true, 1.0f), 2147483646);
    EXPECT_EQ(convertOne<int32_t>(F32, I32, true, -1.0f), INT32_MIN);
    EXPECT_EQ(convertOne<int32_t>(F32, I32, true, kNaN), 2147483646);
    EXPECT_EQ(convertOne<int32_t>(F32, I32, true, 0.5f), 1073741823);
    EXPECT_EQ(convertOne<int32_t>(F32, I32, false, -0.5f), -1073741824);
}

TEST(FloatConversion, Int24TruncatesIntoTheUpperBytes) {
    EXPECT_EQ((convertOne<Int24>(F32, I24, true, 1.0f)), (Int24{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ((convertOne<Int24>(F32, I24, true, -1.0f)), (Int24{0x00, 0x00, 0x80}));
    EXPECT_EQ((convertOne<Int24>(F32, I24, true, 5.0f)), (Int24{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ((convertOne<Int24>(F32, I24, false, 0.25f)), (Int24{0xFF, 0xFF, 0x1F}));
    EXPECT_EQ((convertOne<Int24>(F32, I24, false, -0.25f)), (Int24{0x00, 0x00, 0xE0}));
}

TEST(FloatConversion, EightBitFormatsTruncateAndOffset) {
    EXPECT_EQ(convertOne<int8_t>(F32, I8, true, 1.0f), 127);
    EXPECT_EQ(convertOne<int8_t>(F32, I8, true, -1.0f), -127);
    EXPECT_EQ(convertOne<int8_t>(F32, I8, true, 0.5f), 63);
    EXPECT_EQ(convertOne<int8_t>(F32, I8, true, -0.5f), -63);
    EXPECT_EQ(convertOne<uint8_t>(F32, U8, true, 0.0f), 128);
    EXPECT_EQ(convertOne<uint8_t>(F32, U8, true, 1.0f), 255);
    EXPECT_EQ(convertOne<uint8_t>(F32, U8, true, -1.0f), 1);
    EXPECT_EQ(convertOne<uint8_t>(F32, U8, true, kNaN), 255);
}

TEST(FloatConversion, FloatClampKeepsNaNRuleAndCopyKeepsBits) {
    EXPECT_EQ(convertOne<float>(F32, F32, true, 1.5f), 1.0f);
    EXPECT_EQ(convertOne<float>(F32, F32, true, -3.0f), -1.0f);
    EXPECT_EQ(convertOne<float>(F32, F32, true, 0.3f), 0.3f);
    EXPECT_EQ(convertOne<float>(F32, F32, true, kNaN), 1.0f);
    EXPECT_EQ(convertOne<float>(F32, F32, true, -kNaN), 1.0f);
    EXPECT_EQ(convertOne<float>(F32, F32, true, -kInf), -1.0f);
    for (uint32_t bits : {0x7FC01234u, 0x7F800001u, 0xFFFFFFFFu, 0x3FC00000u}) {
        const uint32_t copied = convertOne<uint32_t>(F32, F32, false, bits);
        EXPECT_EQ(copied, bits);
    }
}

// An independent model of every float32 row, checked on many inputs through
// both the contiguous and the strided loop of each routine.
int64_t referenceFromFloat(int to, bool clip, bool dither, float x, float d) {
    double y = x;
    if (clip) y = std::isnan(x) ? 1.0 : std::min(1.0, std::max(-1.0, double(x)));
    const double full = to == I16 ? 32767.0 : (to == I8 || to == U8) ? 127.0 : 2147483647.0;
    const bool rounds = to == I32 || to == I16;
    const int64_t offset = to == U8 ? 128 : 0;
    if (!dither)
        return (rounds ? std::llrint(y * full - 0.5) : int64_t(std::trunc(y * full))) + offset;
    const double scale = full - 1.0;
    if (to == I16 && clip) return std::llrint(std::trunc(y * scale + d) - 0.5);
    return (rounds ? std::llrint(y * scale + (double(d) - 0.5))
                   : int64_t(std::trunc(y * scale + d))) +
           offset;
}

int64_t storedInteger(int format, const uint8_t *p) {
    switch (format) {
    case I32: return int32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
    case I24: return int32_t(uint32_t(p[0]) << 8 | p[1] << 16 | uint32_t(p[2]) << 24);
    case I16: return int16_t(p[0] | p[1] << 8);
    case I8: return int8_t(p[0]);
    default: return p[0];
    }
}

int64_t lowBits(int format, int64_t value) {
    switch (format) {
    case I32: return int32_t(value);
    case I24: return int32_t(uint32_t(value) & 0xFFFFFF00u);
    case I16: return int16_t(value);
    case I8: return int8_t(value);
    default: return uint8_t(value);
    }
}

TEST(FloatConversion, EveryIntegerVariantMatchesItsFormula) {
    std::vector<float> input = edgeAndRandomFloats(3000, 7);
    std::erase_if(input, [](float x) { return !(std::fabs(x) <= 1.25f); }); // plain rows: in range
    for (int to = I32; to <= U8; ++to)
        for (int clip = 0; clip < 2; ++clip)
            for (int dither = 0; dither < 2; ++dither) {
                SCOPED_TRACE(testing::Message()
                             << "to " << to << " clip " << clip << " dither " << dither);
                const int size = kSampleBytes[to];
                Bytes out(input.size() * size);
                MvTriangularDitherState state = freshDither();
                mvSelectConverter(F32, to, clip, dither)(out.data(), 1, input.data(), 1,
                                                         unsigned(input.size()), &state);
                ReferenceDither reference;
                for (size_t i = 0; i < input.size(); ++i) {
                    const float d = dither ? reference.nextFloat() : 0.0f;
                    // int24 stores the 32-bit view without its low byte.
                    const int64_t expected = referenceFromFloat(to, clip, dither, input[i], d);
                    ASSERT_EQ(storedInteger(to, &out[i * size]), lowBits(to, expected))
                        << "input " << input[i];
                }
            }
}

TEST(FloatConversion, ClippedDitheredInt16IsAlwaysEven) {
    const std::vector<float> input = edgeAndRandomFloats(2000, 3);
    std::vector<int16_t> out(input.size());
    MvTriangularDitherState state = freshDither();
    mvSelectConverter(F32, I16, 1, 1)(out.data(), 1, input.data(), 1, unsigned(input.size()),
                                      &state);
    for (int16_t v : out) ASSERT_EQ(v & 1, 0);
}

// The contiguous float32 -> int16 clip loop is a hand-widened fast path; it
// must give the strided loop's answer bit for bit, for any input bits, any
// length and any alignment.
TEST(FloatConversion, ContiguousAndEveryOtherClipToInt16MatchTheStridedLoop) {
    std::vector<float> input = edgeAndRandomFloats(200000, 11);
    const Bytes noise = randomBytes(4 * 20000, 5);
    for (size_t i = 0; i + 4 <= noise.size(); i += 4)
        input.push_back(std::bit_cast<float>(uint32_t(
            noise[i] | noise[i + 1] << 8 | noise[i + 2] << 16 | uint32_t(noise[i + 3]) << 24)));
    MvConverter clip = mvSelectConverter(F32, I16, 1, 0);
    std::vector<float> interleaved(input.size() * 2, 0.0f);
    for (size_t i = 0; i < input.size(); ++i) interleaved[2 * i] = input[i];
    // The reference: the plain strided loop (the AVX2 loops off).
    mv::wideLoopsMayUseAvx2 = false;
    std::vector<int16_t> strided(input.size() * 2);
    clip(strided.data(), 2, interleaved.data(), 2, unsigned(input.size()), nullptr);

    for (bool avx2 : {true, false}) {
        mv::wideLoopsMayUseAvx2 = avx2;
        // Stride 2 on both sides, one channel of interleaved stereo: the
        // other channel's samples stay as they were.
        for (unsigned count : {unsigned(input.size()), 7u, 8u, 9u, 17u}) {
            std::vector<int16_t> pairs(2 * size_t(count) + 1, 0x5A5A);
            clip(pairs.data(), 2, interleaved.data(), 2, count, nullptr);
            for (unsigned i = 0; i < count; ++i) {
                ASSERT_EQ(pairs[2 * i], strided[2 * i])
                    << "avx2 " << avx2 << " input bits " << std::bit_cast<uint32_t>(input[i]);
                ASSERT_EQ(pairs[2 * i + 1], 0x5A5A);
            }
            ASSERT_EQ(pairs[2 * count], 0x5A5A);
        }
        for (size_t start : {0, 1, 3}) {
            for (unsigned count : {unsigned(input.size() - start), 7u, 8u, 9u, 15u, 17u}) {
                std::vector<int16_t> contiguous(count + 2, 0x5A5A);
                clip(contiguous.data() + 1, 1, input.data() + start, 1, count, nullptr);
                ASSERT_EQ(contiguous[0], 0x5A5A);
                ASSERT_EQ(contiguous[count + 1], 0x5A5A);
                for (unsigned i = 0; i < count; ++i)
                    ASSERT_EQ(contiguous[i + 1], strided[2 * (start + i)])
                        << "avx2 " << avx2 << " input bits "
                        << std::bit_cast<uint32_t>(input[start + i]);
            }
        }
    }
    mv::wideLoopsMayUseAvx2 = true;
}

// ---------------------------------------------------------------------------

TEST(IntegerConversion, EveryRowFromInt32) {
    EXPECT_EQ(convertOne<float>(I32, F32, false, int32_t(0x40000000)), 0.5f);
    EXPECT_EQ(convertOne<float>(I32, F32, false, INT32_MIN), -1.0f);
    EXPECT_EQ((convertOne<Int24>(I32, I24, false, int32_t(0x12345678))), (Int24{0x56, 0x34, 0x12}));
    EXPECT_EQ(convertOne<int16_t>(I32, I16, false, int32_t(0x12345678)), 0x1234);
    EXPECT_EQ(convertOne<int16_t>(I32, I16, false, int32_t(-0x12345678)), int16_t(0xEDCB));
    EXPECT_EQ(convertOne<int8_t>(I32, I8, false, int32_t(0x12345678)), 0x12);
    EXPECT_EQ(convertOne<uint8_t>(I32, U8, false, int32_t(0x12345678)), 0x92);
    EXPECT_EQ(convertOne<uint8_t>(I32, U8, false, INT32_MIN), 0x00);
}

TEST(IntegerConversion, EveryRowFromInt24) {
    const Int24 v{0x12, 0x34, 0x56}; // 32-bit view 0x56341200
    EXPECT_EQ(convertOne<float>(I24, F32, false, v), float(0x563412) / 8388608.0f);
    EXPECT_EQ(convertOne<int32_t>(I24, I32, false, v), 0x56341200);
    EXPECT_EQ(convertOne<int16_t>(I24, I16, false, v), 0x5634);
    EXPECT_EQ(convertOne<int8_t>(I24, I8, false, v), 0x56);
    EXPECT_EQ(convertOne<uint8_t>(I24, U8, false, v), 0xD6);
    const Int24 negative{0x00, 0x00, 0x80};
    EXPECT_EQ(convertOne<float>(I24, F32, false, negative), -1.0f);
    EXPECT_EQ(convertOne<int16_t>(I24, I16, false, negative), INT16_MIN);
}

TEST(IntegerConversion, EveryRowFromInt16) {
    EXPECT_EQ(convertOne<float>(I16, F32, false, int16_t(0x1234)), 0x1234 / 32768.0f);
    EXPECT_EQ(convertOne<int32_t>(I16, I32, false, int16_t(0x1234)), 0x12340000);
    EXPECT_EQ((convertOne<Int24>(I16, I24, false, int16_t(-2))), (Int24{0x00, 0xFE, 0xFF}));
    EXPECT_EQ(convertOne<int8_t>(I16, I8, false, int16_t(0x1234)), 0x12);
    EXPECT_EQ(convertOne<int8_t>(I16, I8, false, int16_t(-2)), -1);
    EXPECT_EQ(convertOne<uint8_t>(I16, U8, false, int16_t(0x1234)), 0x92);
    EXPECT_EQ(convertOne<uint8_t>(I16, U8, false, int16_t(-2)), 0x7F);
}

TEST(IntegerConversion, EveryRowFromInt8AndUint8) {
    EXPECT_EQ(convertOne<float>(I8, F32, false, int8_t(-128)), -1.0f);
    EXPECT_EQ(convertOne<int32_t>(I8, I32, false, int8_t(-128)), INT32_MIN);
    EXPECT_EQ((convertOne<Int24>(I8, I24, false, int8_t(0x45))), (Int24{0x00, 0x00, 0x45}));
    EXPECT_EQ(convertOne<int16_t>(I8, I16, false, int8_t(-128)), INT16_MIN);

    EXPECT_EQ(convertOne<float>(U8, F32, false, uint8_t(0xFF)), 0.9921875f);
    EXPECT_EQ(convertOne<float>(U8, F32, false, uint8_t(0x80)), 0.0f);
    EXPECT_EQ(convertOne<int32_t>(U8, I32, false, uint8_t(0xFF)), 0x7F000000);
    EXPECT_EQ((convertOne<Int24>(U8, I24, false, uint8_t(0x00))), (Int24{0x00, 0x00, 0x80}));
    EXPECT_EQ(convertOne<int16_t>(U8, I16, false, uint8_t(0xFF)), 0x7F00);

    for (auto [signedByte, unsignedByte] :
         {std::pair{0x00, 0x80}, {0x80, 0x00}, {0xFF, 0x7F}, {0x7F, 0xFF}}) {
        EXPECT_EQ(convertOne<uint8_t>(I8, U8, false, uint8_t(signedByte)), unsignedByte);
        EXPECT_EQ(convertOne<uint8_t>(U8, I8, false, uint8_t(unsignedByte)), signedByte);
    }
}

TEST(IntegerConversion, SameFormatCopiesAllBits) {
    for (int format = 0; format < kFormats; ++format) {
        const Bytes input = randomBytes(40 * kSampleBytes[format], format);
        Bytes out(input.size());
        // Flags do not matter for integers; for float32 clip would pick the clamp.
        const int clip = format == F32 ? 0 : 1;
        mvSelectConverter(format, format, clip, 1)(out.data(), 1, input.data(), 1, 40, nullptr);
        EXPECT_EQ(out, input) << "format " << format;
    }
}

TEST(IntegerConversion, DitheredNarrowingAddsHalvedSamplesAndDither) {
    const std::vector<int32_t> input = {0,           0x7FFFFFFF, INT32_MIN, 0x12345678,
                                        -0x12345678, 65536,      -1};
    for (int to : {I16, I8}) {
        const int shift = to == I16 ? 15 : 23;
        // int32 source, and the same values as int24 (their top three bytes).
        for (int from : {I32, I24}) {
            Bytes source;
            for (int32_t v : input)
                for (int b = from == I32 ? 0 : 1; b < 4; ++b)
                    source.push_back(uint8_t(uint32_t(v) >> (8 * b)));
            Bytes out(input.size() * kSampleBytes[to]);
            MvTriangularDitherState state = freshDither();
            mvSelectConverter(from, to, 0, 1)(out.data(), 1, source.data(), 1,
                                              unsigned(input.size()), &state);
            ReferenceDither reference;
            for (size_t i = 0; i < input.size(); ++i) {
                const int32_t view =
                    from == I32 ? input[i] : int32_t(uint32_t(input[i]) & 0xFFFFFF00u);
                const int64_t expected = ((view >> 1) + reference.next16()) >> shift;
                EXPECT_EQ(storedInteger(to, &out[i * kSampleBytes[to]]), lowBits(to, expected))
                    << "from " << from << " to " << to << " value " << input[i];
            }
        }
    }
}

// ---------------------------------------------------------------------------

TEST(ConverterRuns, CountZeroTouchesNothing) {
    for (int from = 0; from < kFormats; ++from)
        for (int to = 0; to < kFormats; ++to)
            for (int variant = 0; variant < 4; ++variant) {
                Bytes source = randomBytes(16, 1);
                Bytes out(16, 0xAB);
                MvTriangularDitherState state = freshDither();
                const MvTriangularDitherState before = state;
                mvSelectConverter(from, to, variant & 1, variant >> 1)(out.data(), 1, source.data(),
                                                                       1, 0, &state);
                EXPECT_EQ(out, Bytes(16, 0xAB));
                EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
            }
}

// Every routine, strided on both sides: samples in between stay untouched,
// and each sample equals what the contiguous run gives for it.
TEST(ConverterRuns, StridesLeaveGapsUntouchedAndMatchContiguousRuns) {
    constexpr unsigned kCount = 37;
    constexpr int kSrcStride = 2;
    constexpr int kDstStride = 3;
    for (int from = 0; from < kFormats; ++from)
        for (int to = 0; to < kFormats; ++to)
            for (int variant = 0; variant < 4; ++variant) {
                SCOPED_TRACE(testing::Message() << from << " -> " << to << " variant " << variant);
                const int inSize = kSampleBytes[from];
                const int outSize = kSampleBytes[to];
                Bytes contiguousIn = randomBytes(kCount * inSize, 100 + from);
                if (from == F32) {
                    const std::vector<float> audio = edgeAndRandomFloats(kCount, 9);
                    std::memcpy(contiguousIn.data(), audio.data(), contiguousIn.size());
                }
                Bytes stridedIn(kCount * kSrcStride * inSize, 0);
                for (unsigned i = 0; i < kCount; ++i)
                    std::memcpy(&stridedIn[i * kSrcStride * inSize], &contiguousIn[i * inSize],
                                inSize);

                MvConverter converter = mvSelectConverter(from, to, variant & 1, variant >> 1);
                Bytes contiguousOut(kCount * outSize);
                MvTriangularDitherState state = freshDither();
                converter(contiguousOut.data(), 1, contiguousIn.data(), 1, kCount, &state);
                Bytes stridedOut(kCount * kDstStride * outSize, 0xAB);
                state = freshDither();
                converter(stridedOut.data(), kDstStride, stridedIn.data(), kSrcStride, kCount,
                          &state);

                for (unsigned i = 0; i < kCount * kDstStride; ++i) {
                    const uint8_t *sample = &stridedOut[i * outSize];
                    if (i % kDstStride == 0)
                        ASSERT_EQ(
                            std::memcmp(sample, &contiguousOut[i / kDstStride * outSize], outSize),
                            0)
                            << "sample " << i / kDstStride;
                    else
                        ASSERT_EQ(Bytes(sample, sample + outSize), Bytes(outSize, 0xAB))
                            << "gap " << i;
                }
            }
}

// ---------------------------------------------------------------------------

TEST(TriangularDither, StartsFromTheDocumentedSeeds) {
    MvTriangularDitherState state;
    std::memset(&state, 0x77, sizeof state);
    mvInitializeTriangularDitherState(&state);
    EXPECT_EQ(state.previous, 0);
    EXPECT_EQ(state.seed1, 22222u);
    EXPECT_EQ(state.seed2, 5555555u);
}

TEST(TriangularDither, FirstValueIsTheSumOfBothShiftedSeeds) {
    MvTriangularDitherState state = freshDither();
    const uint32_t seed1 = 22222u * 196314165u + 907633515u;
    const uint32_t seed2 = 5555555u * 196314165u + 907633515u;
    const int32_t first = mvGenerate16BitTriangularDither(&state);
    EXPECT_EQ(first, (int32_t(seed1) >> 18) + (int32_t(seed2) >> 18));
    EXPECT_EQ(first, 3174);
    EXPECT_EQ(mvGenerate16BitTriangularDither(&state), -16334);
    EXPECT_EQ(mvGenerate16BitTriangularDither(&state), 7137);
}

TEST(TriangularDither, SequenceFollowsTheGeneratorsAndStaysInRange) {
    MvTriangularDitherState a = freshDither();
    MvTriangularDitherState b = freshDither();
    ReferenceDither reference;
    for (int i = 0; i < 100000; ++i) {
        const int32_t value = mvGenerate16BitTriangularDither(&a);
        ASSERT_EQ(value, reference.next16());
        ASSERT_GE(value, -32766);
        ASSERT_LE(value, 32766);
        const float asFloat = mvGenerateFloatTriangularDither(&b);
        ASSERT_EQ(asFloat, float(value) * 3.0518509447574615e-05f);
        ASSERT_LE(std::fabs(asFloat), 0.99994f);
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(3.0518509447574615e-05f), 0x38000100u);
}

TEST(TriangularDither, DitheringRoutinesDrawOncePerSample) {
    const std::vector<float> input(10, 0.25f);
    std::vector<int16_t> out(input.size());
    MvTriangularDitherState state = freshDither();
    mvSelectConverter(F32, I16, 0, 1)(out.data(), 1, input.data(), 1, unsigned(input.size()),
                                      &state);
    ReferenceDither reference;
    for (size_t i = 0; i < input.size(); ++i) reference.next16();
    EXPECT_EQ(state.seed1, reference.seed1);
    EXPECT_EQ(state.seed2, reference.seed2);
    EXPECT_EQ(state.previous, reference.previous);
}

} // namespace
