// Sibling sampler voices rendered in one pass. One voice's run is bound by
// its serial chains, the position plus a step and the gain plus its step,
// frame after frame; two to four voices rendered together run their chains
// side by side, one vector lane per voice, so the chains overlap while each
// is still the very sequence of additions of the one-voice path. The mix
// receives, sample by sample, voice 0's addition before voice 1's and so on,
// the order of rendering the voices one after another, so the bits are those
// of the one-voice path.
//
// A group covers int16 and float32 clips of one or two channels, mono or
// stereo, side by side, interpolated or nearest alike, at a steady rate of
// at most two clip frames per output frame, without a matrix, a running
// fade or the band-limited mode. It runs in eight-frame chunks while every
// member's window of clip frames stays inside its clip; at a clip end or
// loop wrap every member renders the next chunk alone, in order, and the
// group goes on if all still fit. A chunk reads its frames from the window
// with lane permutes (mv_sampler_lanes.h).
#include "mv_sampler_voices.h"

#include "mv_cpu.h"
#include "mv_sampler_fade.h"
#include "mv_sampler_lanes.h"
#include "mv_sound_model.h"
#include "mv_transpose.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace mv {

namespace {

constexpr int kMaxGroup = 4; // voices per group: one double lane each

// What the members of a group share: the sink's model and the
// interpolation.
struct GroupKind {
    bool stereoSink; // else mono
    bool interpolated;

    bool operator==(const GroupKind &) const = default;
};

// What a member reads: its clip's format and channel count.
enum class MemberClip : uint8_t { int16Mono, int16Stereo, float32Mono, float32Stereo };
// A group's members read clips of different layouts: int16 clips of one
// and two channels, float32 clips likewise, or both formats.
constexpr int kMixedInt16 = -3;
constexpr int kMixedFloat32 = -2;
constexpr int kMixedClips = -1;

bool isInt16(MemberClip clip) {
    return clip == MemberClip::int16Mono || clip == MemberClip::int16Stereo;
}

// Members read int16 samples unscaled, and their gains carry the scale
// instead: g * (a·s + ((b·s - a·s)·x)) and (g·s) * (a + (b - a)·x) are the
// same float wherever g·s is exact and every intermediate value of the
// first is normal, as the powers of two s (2^-15 or 2^-31) then shift
// exponents alone. What guarantees it for a whole block:
// - the gain and its step are each 0 or at least 2^-95, multiples of
//   2^-118, so every sum of the ramp is one too and g·s exact;
// - the position is at least 2^-111, or 0 with a step of at least that, so
//   a nonzero fraction x keeps (b·s - a·s)·x normal.
constexpr float kLeastFoldedGain = 0x1p-95f;
constexpr double kLeastFoldedPosition = 0x1p-111;

bool foldsInt16Scale(const SamplerRunning &running, double step) {
    auto folds = [](float gain) { return gain == 0.0f || std::fabs(gain) >= kLeastFoldedGain; };
    return folds(running.gain) && folds(running.gainStep) &&
           (running.position == 0.0 ? step : running.position) >= kLeastFoldedPosition;
}

// The sampler's current clip and settings can join a group of this kind;
// only what the voice's block set-up leaves as it is.
bool clipFits(const MvSampler *sampler, const MvSoundModel *model, GroupKind *kind) {
    const MvClip *clip = sampler->current;
    if (!clip || sampler->audioMatrix ||
        sampler->audioResampler) // the band-limited mode keeps its own path
        return false;
    if (clip->format != MV_FORMAT_INT16 && clip->format != MV_FORMAT_FLOAT32) return false;
    if (clip->channels != 1 && clip->channels != 2) return false;
    if (isMonoSoundModel(model)) kind->stereoSink = false;
    else if (isStereoSoundModel(model)) kind->stereoSink = true;
    else return false;
    kind->interpolated = sampler->audioInterpolation != 0;
    return true;
}

MemberClip memberClipOf(const MvClip *clip) {
    const bool stereo = clip->channels == 2;
    if (clip->format == MV_FORMAT_INT16)
        return stereo ? MemberClip::int16Stereo : MemberClip::int16Mono;
    return stereo ? MemberClip::float32Stereo : MemberClip::float32Mono;
}

// The begun voice can join a group, and of which kind.
bool voiceFits(const SamplerVoice &voice, GroupKind *kind) {
    if (voice.fade && (voice.fade->length || voice.fade->glideLength)) return false;
    if (!steadyRate(voice.running) || !clipFits(voice.block.sampler, voice.block.model, kind))
        return false;
    const MvClip *clip = voice.block.sampler->current;
    const double step = stepOf(clip, voice.running.frequency, voice.block.rate);
    return step <= kMaxWindowStep &&
           (clip->format != MV_FORMAT_INT16 || foldsInt16Scale(voice.running, step));
}

// Renders the members' first frames, eight at a time, while all stay
// inside their clips; returns the frames rendered.
using GroupRun = int (*)(SamplerVoice *const *members, int frames, float *mix);

#if defined(__x86_64__) || defined(__i386__)

// A voice's eight frames lie in its vectors in frame order for the mono
// mix, and for the stereo mix as frames 0, 1, 4, 5 | 2, 3, 6, 7, the order
// that two shuffles split an interleaved pair of vectors into.
constexpr int kMonoOrder[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr int kStereoOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};

// Eight frames' gains, one vector of voices per frame, as one vector of
// frames per voice in `order`.
template <const int *order>
MV_TARGET_AVX2 inline void gainsOfFrames(const __m128 *frame, __m256 *voice) {
    __m256 pair[4]; // lane j of the low and of the high half
    for (int j = 0; j < 4; ++j) pair[j] = _mm256_set_m128(frame[order[j + 4]], frame[order[j]]);
    const __m256d t0 = _mm256_castps_pd(_mm256_unpacklo_ps(pair[0], pair[1]));
    const __m256d t1 = _mm256_castps_pd(_mm256_unpackhi_ps(pair[0], pair[1]));
    const __m256d t2 = _mm256_castps_pd(_mm256_unpacklo_ps(pair[2], pair[3]));
    const __m256d t3 = _mm256_castps_pd(_mm256_unpackhi_ps(pair[2], pair[3]));
    voice[0] = _mm256_castpd_ps(_mm256_unpacklo_pd(t0, t2));
    voice[1] = _mm256_castpd_ps(_mm256_unpackhi_pd(t0, t2));
    voice[2] = _mm256_castpd_ps(_mm256_unpacklo_pd(t1, t3));
    voice[3] = _mm256_castpd_ps(_mm256_unpackhi_pd(t1, t3));
}

// What a member reads from: its clip's frames and their layout.
struct MemberData {
    const uint8_t *frames;
    MemberClip clip;
};

// A member's samples of eight frames from its window, by the layout its
// group fixes or, in a mixed group, by its own (a branch taken the same way
// chunk after chunk).
template <int layout, bool interpolated, int reach>
MV_LANES void memberFrames(const MemberData &member, int first, __m256i offset, __m256 x,
                           __m256 &left, __m256 &right, bool &stereoClip) {
    if constexpr (layout == kMixedClips) {
        switch (member.clip) {
        case MemberClip::int16Mono:
            return memberFrames<int(MemberClip::int16Mono), interpolated, reach>(
                member, first, offset, x, left, right, stereoClip);
        case MemberClip::int16Stereo:
            return memberFrames<int(MemberClip::int16Stereo), interpolated, reach>(
                member, first, offset, x, left, right, stereoClip);
        case MemberClip::float32Mono:
            return memberFrames<int(MemberClip::float32Mono), interpolated, reach>(
                member, first, offset, x, left, right, stereoClip);
        case MemberClip::float32Stereo:
        default:
            return memberFrames<int(MemberClip::float32Stereo), interpolated, reach>(
                member, first, offset, x, left, right, stereoClip);
        }
    } else if constexpr (layout == kMixedInt16 || layout == kMixedFloat32) {
        constexpr bool int16 = layout == kMixedInt16;
        constexpr auto mono = int16 ? MemberClip::int16Mono : MemberClip::float32Mono;
        constexpr auto stereo = int16 ? MemberClip::int16Stereo : MemberClip::float32Stereo;
        if (member.clip == stereo)
            return memberFrames<int(stereo), interpolated, reach>(member, first, offset, x, left,
                                                                  right, stereoClip);
        return memberFrames<int(mono), interpolated, reach>(member, first, offset, x, left, right,
                                                            stereoClip);
    } else {
        constexpr auto fixed = MemberClip(layout);
        using Sample =
            std::conditional_t<fixed == MemberClip::int16Mono || fixed == MemberClip::int16Stereo,
                               Int16Sample, Float32Sample>;
        constexpr int channels =
            fixed == MemberClip::int16Stereo || fixed == MemberClip::float32Stereo ? 2 : 1;
        const uint8_t *window = member.frames + size_t(first) * channels * Sample::bytes;
        windowFrames<Sample, channels, interpolated, reach, Int16Reading::unscaled>(window, offset,
                                                                                    x, left, right);
        stereoClip = channels == 2;
    }
}

// One member's eight frames at positions low (frames 0-3) and high (4-7),
// times its gains, with the one-voice runs' arithmetic.
template <bool stereoSink, int layout, bool interpolated, int reach>
MV_LANES void memberLanes(const MemberData &member, __m256d low, __m256d high, __m256 gains,
                          __m256 &left, __m256 &right) {
    const __m128i iLow = _mm256_cvttpd_epi32(low);
    const __m128i iHigh = _mm256_cvttpd_epi32(high);
    __m256 x = _mm256_setzero_ps();
    if constexpr (interpolated) x = _mm256_set_m128(fractionLanes(high), fractionLanes(low));
    bool stereoClip = false;
    memberFrames<layout, interpolated, reach>(
        member, _mm_cvtsi128_si32(iLow), windowOffsets(iLow, iHigh), x, left, right, stereoClip);
    left = _mm256_mul_ps(gains, left);
    // A mono sink takes channel 0 alone; a stereo one doubles a mono clip.
    if constexpr (stereoSink) right = stereoClip ? _mm256_mul_ps(gains, right) : left;
}

// Adds the members' eight frames into the mix, voice after voice for
// every sample.
template <int N, bool stereoSink, int layout, bool interpolated, int reach>
MV_LANES void mixMembers(const MemberData *members, const __m256d *low, const __m256d *high,
                         const __m256 *gains, float *mix) {
    __m256 left, right;
    if constexpr (!stereoSink) {
        __m256 sum = _mm256_loadu_ps(mix);
        for (int v = 0; v < N; ++v) {
            memberLanes<stereoSink, layout, interpolated, reach>(members[v], low[v], high[v],
                                                                 gains[v], left, right);
            sum = _mm256_add_ps(sum, _mm256_add_ps(_mm256_setzero_ps(), left));
        }
        _mm256_storeu_ps(mix, sum);
    } else {
        // The interleaved mix split into its channels, in the stereo lane
        // order, and joined again after every member's addition.
        const __m256 first = _mm256_loadu_ps(mix);           // frames 0-3
        const __m256 second = _mm256_loadu_ps(mix + kLanes); // frames 4-7
        __m256 sumLeft = _mm256_shuffle_ps(first, second, 0x88);
        __m256 sumRight = _mm256_shuffle_ps(first, second, 0xDD);
        for (int v = 0; v < N; ++v) {
            memberLanes<stereoSink, layout, interpolated, reach>(members[v], low[v], high[v],
                                                                 gains[v], left, right);
            sumLeft = _mm256_add_ps(sumLeft, left);
            sumRight = _mm256_add_ps(sumRight, right);
        }
        _mm256_storeu_ps(mix, _mm256_unpacklo_ps(sumLeft, sumRight));
        _mm256_storeu_ps(mix + kLanes, _mm256_unpackhi_ps(sumLeft, sumRight));
    }
}

// The members' positions and gains for the frames of one chunk, one
// vector of frames per member in the sink's lane order.
template <int N> struct ChunkLanes {
    __m256d low[N], high[N];
    __m256 gains[N];
};

// What a member's unscaled samples are worth (see foldsInt16Scale).
template <int reach> float memberUnit(MemberClip clip) {
    switch (clip) {
    case MemberClip::int16Mono: return kWindowUnit<Int16Sample, 1, reach>;
    case MemberClip::int16Stereo: return kWindowUnit<Int16Sample, 2, reach>;
    default: return 1.0f;
    }
}

// The members' running values, one lane per member, advanced a chunk at a
// time. Within a binade each member's serial sums are its first value plus
// multiples of one increment, as in the one-voice runs (LaneRunning), so a
// chunk's values are found without the serial additions and the transposes
// that follow them. A chunk any member's increment does not serve (a binade
// crossed, a tie, a zero) adds every value one by one and finds the
// increments anew. Lanes past the members stand still at 0.
template <int N, bool stereoSink, int reach, bool steadyGain> class GroupRunning {
public:
    MV_LANES explicit GroupRunning(SamplerVoice *const *members) {
        alignas(32) double position[kMaxGroup] = {}, step[kMaxGroup] = {};
        alignas(32) double end[kMaxGroup] = {1.0, 1.0, 1.0, 1.0}; // inside for lanes past N
        alignas(16) float gain[kMaxGroup] = {}, gainStep[kMaxGroup] = {};
        for (int v = 0; v < N; ++v) {
            const SamplerRunning &running = members[v]->running;
            const MvClip *clip = members[v]->block.sampler->current;
            position[v] = running.position;
            step[v] = stepOf(clip, running.frequency, members[v]->block.rate);
            // A chunk whose first position is below this bound reads inside
            // the clip: its window runs from that position's frame `reach`
            // frames on, and the window check stops the group before any
            // later position of the chunk passes the window.
            end[v] = clip->frames - double(reach);
            gain[v] = running.gain;
            gainStep[v] = running.gainStep;
            unit_[v] = memberUnit<reach>(memberClipOf(clip));
            steadyGains_[v] = _mm256_set1_ps(running.gain * unit_[v]);
        }
        now_ = _mm256_load_pd(position);
        steps_ = _mm256_load_pd(step);
        ends_ = _mm256_load_pd(end);
        gainNow_ = _mm_load_ps(gain);
        gainSteps_ = _mm_load_ps(gainStep);
        findIncrements();
    }

    // The next chunk's lanes, advancing past it; false when a member's
    // window would leave its clip (then nothing moves).
    MV_LANES bool next(ChunkLanes<N> &lanes) {
        if (steadyChunk(lanes)) return true;
        if (!serialChunk(lanes)) return false;
        findIncrements();
        return true;
    }

    MV_LANES void store(SamplerVoice *const *members) const {
        alignas(32) double position[kMaxGroup];
        alignas(16) float gain[kMaxGroup];
        _mm256_store_pd(position, now_);
        _mm_store_ps(gain, gainNow_);
        for (int v = 0; v < N; ++v) {
            members[v]->running.position = position[v];
            if constexpr (!steadyGain) members[v]->running.gain = gain[v];
        }
    }

private:
    static constexpr int kMembers = (1 << N) - 1; // the lanes a movemask reads
    static constexpr const int *kOrder = stereoSink ? kStereoOrder : kMonoOrder;

    // Every member's chunk by its increments, when all serve it.
    MV_LANES bool steadyChunk(ChunkLanes<N> &lanes) {
        const __m256d after = _mm256_add_pd(now_, chunkIncrement_);
        int inside = _mm256_movemask_pd(_mm256_cmp_pd(after, positionBound_, _CMP_LT_OQ)) &
                     _mm256_movemask_pd(_mm256_cmp_pd(now_, ends_, _CMP_LT_OQ));
        const __m128 gainAfter = _mm_add_ps(gainNow_, gainChunkIncrement_);
        if constexpr (!steadyGain)
            inside &= _mm_movemask_ps(_mm_and_ps(_mm_cmpgt_ps(gainAfter, gainFloor_),
                                                 _mm_cmplt_ps(gainAfter, gainCeiling_)));
        if ((inside & kMembers) != kMembers) return false;
        alignas(32) double first[kMaxGroup];
        alignas(16) float gain[kMaxGroup];
        _mm256_store_pd(first, now_);
        _mm_store_ps(gain, _mm_mul_ps(gainNow_, _mm_load_ps(unit_)));
        for (int v = 0; v < N; ++v) {
            const __m256d base = _mm256_set1_pd(first[v]);
            lanes.low[v] = _mm256_add_pd(base, lowIncrements_[v]);
            lanes.high[v] = _mm256_add_pd(base, highIncrements_[v]);
            lanes.gains[v] = steadyGain
                                 ? steadyGains_[v]
                                 : _mm256_add_ps(_mm256_set1_ps(gain[v]), gainIncrements_[v]);
        }
        now_ = after;
        if constexpr (!steadyGain) gainNow_ = gainAfter;
        return true;
    }

    // Every member's chunk by the one-voice path's additions, one lane per
    // member, then turned into one vector of frames per member.
    MV_LANES bool serialChunk(ChunkLanes<N> &lanes) {
        __m256d at[kLanes]; // the members' positions, frame by frame
        __m256d after = now_;
        for (int j = 0; j < kLanes; ++j) {
            at[j] = after;
            after = _mm256_add_pd(after, steps_);
        }
        if (_mm256_movemask_pd(_mm256_cmp_pd(at[0], ends_, _CMP_LT_OQ)) != 0xF ||
            // Each lane's (member's) last position is its largest.
            !insideWindow<reach>(
                _mm_sub_epi32(_mm256_cvttpd_epi32(at[kLanes - 1]), _mm256_cvttpd_epi32(at[0]))))
            return false;
        if constexpr (steadyGain) {
            for (int v = 0; v < N; ++v) lanes.gains[v] = steadyGains_[v];
        } else {
            __m128 gainAt[kLanes];
            __m128 gainAfter = gainNow_;
            for (int j = 0; j < kLanes; ++j) {
                gainAt[j] = gainAfter;
                gainAfter = _mm_add_ps(gainAfter, gainSteps_);
            }
            __m256 gains[kMaxGroup];
            gainsOfFrames<kOrder>(gainAt, gains);
            for (int v = 0; v < N; ++v)
                lanes.gains[v] = _mm256_mul_ps(gains[v], _mm256_set1_ps(unit_[v]));
            gainNow_ = gainAfter;
        }
        const __m256d lowFrames[4] = {at[kOrder[0]], at[kOrder[1]], at[kOrder[2]], at[kOrder[3]]};
        const __m256d highFrames[4] = {at[kOrder[4]], at[kOrder[5]], at[kOrder[6]], at[kOrder[7]]};
        __m256d low[kMaxGroup], high[kMaxGroup];
        // One vector of members per frame, as one vector of frames per member.
        transpose4x4(lowFrames, low);
        transpose4x4(highFrames, high);
        for (int v = 0; v < N; ++v) {
            lanes.low[v] = low[v];
            lanes.high[v] = high[v];
        }
        now_ = after;
        return true;
    }

    // Each member's increments at its current values; a lane no increment
    // serves keeps its bounds closed.
    MV_TARGET_AVX2 void findIncrements() {
        constexpr double kOpen = std::numeric_limits<double>::infinity();
        constexpr float kOpenGain = std::numeric_limits<float>::infinity();
        alignas(32) double position[kMaxGroup], step[kMaxGroup];
        alignas(32) double high[kMaxGroup] = {kOpen, kOpen, kOpen, kOpen}, eight[kMaxGroup] = {};
        alignas(16) float gain[kMaxGroup], gainStep[kMaxGroup];
        alignas(16) float gainLow[kMaxGroup] = {-kOpenGain, -kOpenGain, -kOpenGain, -kOpenGain};
        alignas(16) float gainHigh[kMaxGroup] = {kOpenGain, kOpenGain, kOpenGain, kOpenGain};
        alignas(16) float gainEight[kMaxGroup] = {};
        _mm256_store_pd(position, now_);
        _mm256_store_pd(step, steps_);
        _mm_store_ps(gain, gainNow_);
        _mm_store_ps(gainStep, gainSteps_);
        const __m256d orderLow = _mm256_setr_pd(kOrder[0], kOrder[1], kOrder[2], kOrder[3]);
        const __m256d orderHigh = _mm256_setr_pd(kOrder[4], kOrder[5], kOrder[6], kOrder[7]);
        const __m256 order = _mm256_setr_ps(kOrder[0], kOrder[1], kOrder[2], kOrder[3], kOrder[4],
                                            kOrder[5], kOrder[6], kOrder[7]);
        for (int v = 0; v < N; ++v) {
            const PositionIncrement positionIncrement = positionIncrementOf(position[v], step[v]);
            const double delta = positionIncrement.delta;
            high[v] = positionIncrement.bound;
            eight[v] = 8.0 * delta;
            lowIncrements_[v] = _mm256_mul_pd(_mm256_set1_pd(delta), orderLow);
            highIncrements_[v] = _mm256_mul_pd(_mm256_set1_pd(delta), orderHigh);
            const GainIncrement gainIncrement = gainIncrementOf(gain[v], gainStep[v]);
            gainLow[v] = gainIncrement.floor;
            gainHigh[v] = gainIncrement.ceiling;
            gainEight[v] = 8.0f * gainIncrement.delta;
            gainIncrements_[v] =
                _mm256_mul_ps(_mm256_set1_ps(gainIncrement.delta * unit_[v]), order);
        }
        positionBound_ = _mm256_load_pd(high);
        chunkIncrement_ = _mm256_load_pd(eight);
        gainFloor_ = _mm_load_ps(gainLow);
        gainCeiling_ = _mm_load_ps(gainHigh);
        gainChunkIncrement_ = _mm_load_ps(gainEight);
    }

    __m256d now_, steps_, ends_;
    __m128 gainNow_, gainSteps_;
    // Gains carry the members' units: a lane's gain times its unit.
    alignas(16) float unit_[kMaxGroup] = {1.0f, 1.0f, 1.0f, 1.0f};
    __m256 steadyGains_[N];
    // The increments: a member's chunk reads its first values plus these.
    __m256d lowIncrements_[N], highIncrements_[N];
    __m256 gainIncrements_[N];
    // The bounds the values after a chunk must keep, and 8 increments.
    __m256d positionBound_, chunkIncrement_;
    __m128 gainFloor_, gainCeiling_, gainChunkIncrement_;
};

// Each chunk takes the members' eight positions (and gains) as the
// one-voice path adds them, checks every window, and mixes.
template <int N, bool stereoSink, int layout, bool interpolated, int reach, bool steadyGain>
MV_TARGET_AVX2 int groupRun(SamplerVoice *const *members, int frames, float *mix) {
    MemberData data[N];
    for (int v = 0; v < N; ++v) {
        const MvClip *clip = members[v]->block.sampler->current;
        data[v] = {static_cast<const uint8_t *>(clip->data), memberClipOf(clip)};
    }
    GroupRunning<N, stereoSink, reach, steadyGain> running(members);
    ChunkLanes<N> lanes;
    int k = 0;
    for (; k + kLanes <= frames; k += kLanes) {
        if (!running.next(lanes)) break;
        mixMembers<N, stereoSink, layout, interpolated, reach>(
            data, lanes.low, lanes.high, lanes.gains, mix + size_t(k) * (stereoSink ? 2 : 1));
    }
    running.store(members);
    // Clean upper halves for whatever SSE code runs next.
    _mm256_zeroupper();
    return k;
}

template <int N, bool stereoSink, int layout, bool interpolated>
GroupRun groupRunOf(bool narrow, bool steadyGain) {
    if (narrow)
        return steadyGain ? groupRun<N, stereoSink, layout, interpolated, kNarrowReach, true>
                          : groupRun<N, stereoSink, layout, interpolated, kNarrowReach, false>;
    return steadyGain ? groupRun<N, stereoSink, layout, interpolated, kWideReach, true>
                      : groupRun<N, stereoSink, layout, interpolated, kWideReach, false>;
}

template <int N, bool stereoSink, int layout>
GroupRun groupRunOf(bool interpolated, bool narrow, bool steadyGain) {
    return interpolated ? groupRunOf<N, stereoSink, layout, true>(narrow, steadyGain)
                        : groupRunOf<N, stereoSink, layout, false>(narrow, steadyGain);
}

// Groups whose members all read int16 clips of one layout (the common
// case) have that layout fixed at compile time; any other mix branches per
// member, on the channel count alone where the format is shared.
template <int N, bool stereoSink>
GroupRun groupRunOf(int layout, bool interpolated, bool narrow, bool steadyGain) {
    switch (layout) {
    case int(MemberClip::int16Mono):
        return groupRunOf<N, stereoSink, int(MemberClip::int16Mono)>(interpolated, narrow,
                                                                     steadyGain);
    case int(MemberClip::int16Stereo):
        return groupRunOf<N, stereoSink, int(MemberClip::int16Stereo)>(interpolated, narrow,
                                                                       steadyGain);
    case kMixedInt16:
        return groupRunOf<N, stereoSink, kMixedInt16>(interpolated, narrow, steadyGain);
    case kMixedFloat32:
        return groupRunOf<N, stereoSink, kMixedFloat32>(interpolated, narrow, steadyGain);
    default: return groupRunOf<N, stereoSink, kMixedClips>(interpolated, narrow, steadyGain);
    }
}

template <int N>
GroupRun groupRunOf(const GroupKind &kind, int layout, bool narrow, bool steadyGain) {
    return kind.stereoSink ? groupRunOf<N, true>(layout, kind.interpolated, narrow, steadyGain)
                           : groupRunOf<N, false>(layout, kind.interpolated, narrow, steadyGain);
}

GroupRun avx2GroupRun(int count, const GroupKind &kind, int layout, bool narrow, bool steadyGain) {
    switch (count) {
    case 2: return groupRunOf<2>(kind, layout, narrow, steadyGain);
    case 3: return groupRunOf<3>(kind, layout, narrow, steadyGain);
    default: return groupRunOf<4>(kind, layout, narrow, steadyGain);
    }
}

#endif

// The group run for `count` members of `kind`: the picker of the
// instruction set this processor has, chosen when the library loads; null
// where groups have no run (the voices render one by one).
// layout: the members' one clip layout, or which mix of them.
using GroupRunPicker = GroupRun (*)(int count, const GroupKind &kind, int layout, bool narrow,
                                    bool steadyGain);

#if defined(__x86_64__) || defined(__i386__)
const GroupRunPicker kGroupRuns = cpuFeatures().avx2 ? GroupRunPicker(avx2GroupRun) : nullptr;
#else
const GroupRunPicker kGroupRuns = nullptr;
#endif

// Renders the group's first frames while every member stays inside its
// clip; returns the frames rendered.
int runGroup(SamplerVoice *const *members, int count, const GroupKind &kind, float *mix,
             int frames) {
    bool narrow = true, steadyGains = true, sameLayout = true, sameFormat = true;
    const MemberClip first = memberClipOf(members[0]->block.sampler->current);
    for (int v = 0; v < count; ++v) {
        const SamplerVoice &voice = *members[v];
        const MvClip *clip = voice.block.sampler->current;
        narrow = narrow &&
                 reachOf(stepOf(clip, voice.running.frequency, voice.block.rate)) == kNarrowReach;
        steadyGains = steadyGains && steadyGain(voice.running);
        sameLayout = sameLayout && memberClipOf(clip) == first;
        sameFormat = sameFormat && isInt16(memberClipOf(clip)) == isInt16(first);
    }
    // Only int16 layouts are fixed whole (see groupRunOf).
    const int layout = sameLayout && isInt16(first) ? int(first)
                       : !sameFormat                ? kMixedClips
                       : isInt16(first)             ? kMixedInt16
                                                    : kMixedFloat32;
    return kGroupRuns(count, kind, layout, narrow, steadyGains)(members, frames, mix);
}

} // namespace

MvSource *renderSamplerVoices(SamplerVoice &leader, MvSource *following,
                              const VoiceFactors &factors, float *buffer) {
    GroupKind kind;
    if (!kGroupRuns || !samplerFastRunsEnabled || !voiceFits(leader, &kind)) {
        finishSamplerVoice(leader, 0, buffer);
        return following;
    }
    // Siblings are begun in list order, each exactly as its own render
    // call would; one begun that cannot join is rendered after the group.
    SamplerVoice siblings[kMaxGroup - 1];
    SamplerVoice *members[kMaxGroup] = {&leader};
    SamplerVoice *straggler = nullptr;
    int count = 1;
    while (count < kMaxGroup && following && following->renderFunc == samplerRender) {
        auto *sampler = static_cast<MvSampler *>(following->owner->self);
        GroupKind its;
        if (!clipFits(sampler, leader.block.model, &its) || !(its == kind)) break;
        SamplerVoice &voice = siblings[count - 1];
        MvSource *after = following->activeNext;
        const bool begun = beginSamplerVoice(leader.block.sink, sampler, factors, voice);
        following = after;
        if (!begun) continue; // nothing to render this block
        if (!voiceFits(voice, &its) || !(its == kind)) {
            straggler = &voice;
            break;
        }
        members[count++] = &voice;
    }
    bool ended[kMaxGroup] = {};
    int done = 0;
    while (count > 1) {
        done += runGroup(members, count, kind, buffer + size_t(done) * leader.block.channelCount,
                         leader.frames - done);
        if (done + kLanes > leader.frames) break;
        // A member's window reached its clip's end: every member renders
        // the next chunk alone, in order; the group goes on if all fit.
        bool fit = true;
        for (int v = 0; v < count; ++v)
            if (!renderSamplerVoice(*members[v], done, done + kLanes, buffer)) {
                ended[v] = true;
                fit = false;
            }
        done += kLanes;
        for (int v = 0; v < count && fit; ++v) {
            GroupKind its;
            fit = voiceFits(*members[v], &its) && its == kind;
        }
        if (!fit) break;
    }
    for (int v = 0; v < count; ++v)
        if (!ended[v]) finishSamplerVoice(*members[v], done, buffer);
    if (straggler) finishSamplerVoice(*straggler, 0, buffer);
    return following;
}

} // namespace mv
