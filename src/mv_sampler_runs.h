// Specialised stretches of the sampler render, shared with its reference
// path so both compute every value the same way. Internal.
#pragma once

#include "marovel_audio.h"
#include "mv_convert.h"

#include <type_traits>

namespace mv {

// Where a sampler's render stands inside one block. Gain and frequency of
// block frame k are start + k × step. The read position is anchored (at the
// block start and after every clip end) and frame k's position is the
// anchor plus the steps taken since, summed in closed form: no frame waits
// for the rounding of the one before, and long blocks do not drift.
struct SamplerCursor {
    float gainStart;
    float gainStep;
    double frequencyStart;
    double frequencyStep;
    double anchorPosition;
    int anchorFrame;
    double step;     // clip frames per output frame at the anchor
    double stepRamp; // change of that step per output frame
};

inline float gainAt(const SamplerCursor &cursor, int frame)
{
    return cursor.gainStart + float(frame) * cursor.gainStep;
}

inline double frequencyAt(const SamplerCursor &cursor, int frame)
{
    return cursor.frequencyStart + double(frame) * cursor.frequencyStep;
}

inline double positionAt(const SamplerCursor &cursor, int frame)
{
    const double n = frame - cursor.anchorFrame;
    return cursor.anchorPosition + (n * cursor.step + (n * (n - 1.0) * 0.5) * cursor.stepRamp);
}

// Anchors the cursor at `frame`, `position` frames into `clip`, with the
// clip's rate against the sink's.
inline void anchorCursor(SamplerCursor &cursor, const MvClip *clip, double sinkRate, int frame,
                         double position)
{
    cursor.anchorFrame = frame;
    cursor.anchorPosition = position;
    cursor.step = clip->sampleRate * frequencyAt(cursor, frame) / sinkRate;
    cursor.stepRamp = clip->sampleRate * cursor.frequencyStep / sinkRate;
}

// The fraction between frame index and index + 1 as the mix uses it.
inline float fractionAt(double position, int index) { return float(position - index); }

inline float interpolate(float a, float b, float x) { return a + (b - a) * x; }

template <typename Sample>
float sampleAt(const uint8_t *frame, int channel)
{
    if constexpr (std::is_same_v<Sample, Float32Sample>)
        return Sample::load(frame + channel * Sample::bytes);
    else
        return Sample::toFloat(Sample::load(frame + channel * Sample::bytes));
}

// How a clip frame reaches the mix without a matrix: the mono model
// averages what it gets (one channel through the sampler), the stereo model
// doubles a mono clip or takes the first two channels.
enum class MixShape { mono, stereoFromMono, stereoPair };

// Renders block frames [first, last) of `clip` into the block's mix buffer.
// The caller guarantees that every read, interpolation partner included,
// stays inside the clip and that no clip end falls inside the stretch.
using SamplerRun = void (*)(const MvClip *clip, const SamplerCursor &cursor, int first, int last,
                            float *mix);

// The run for a clip of `format` and `channels` channels; steady: the
// frequency does not change inside the block.
SamplerRun samplerRunFor(MixShape shape, int format, int channels, bool interpolated, bool steady);

} // namespace mv
