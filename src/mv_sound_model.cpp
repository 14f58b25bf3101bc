// Sound models: how many channels a sink mixes, how a source frame is added
// into that mix, and how the finished mix is spread over the device's
// speakers and converted to the device's sample format.
//
// Each model is a record plus a table of operations; a sink never asks which
// kind it holds.
#include "mv_sound_model.h"

#include "marovel_audio.h"
#include "mv_status.h"

#include <soundio/soundio.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace mv {
namespace {

// Where the mono model's stride check reports from: the path hosts have
// always seen in the report, kept whatever this file is called.
constexpr const char *kMonoSourcePath = "src/mv_mono";
constexpr int kStrideCheckLine = 35;

void writeChannel(SoundIoChannelArea &area, int stride, MvConverter converter, const float *signal,
                  int signalStride, int frames, MvTriangularDitherState *dither, int bytesPerSample,
                  int byteSwap) {
    converter(area.ptr, stride, signal, signalStride, unsigned(frames), dither);
    if (byteSwap) mvByteSwap(area.ptr, stride, bytesPerSample, frames);
    area.ptr += ptrdiff_t(area.step) * frames;
}

void accumulate(MvSoundModel *model, int frames, const float *source, float *destination) {
    const int samples = frames * model->channelCount;
    for (int k = 0; k < samples; ++k) destination[k] += source[k];
}

void destroyModel(MvSoundModel *model) { mvFree(model); }

// ---------------------------------------------------------------------------
// Mono: one mix channel, copied to every device channel.

void monoMixFrame(MvSoundModel *, float gain, int sourceChannels, const float *,
                  const float *sourceFrame, float *destinationFrame) {
    if (sourceChannels <= 0) return;
    const float share = gain / float(sourceChannels);
    float sum = 0.0f;
    for (int i = 0; i < sourceChannels; ++i) sum += share * sourceFrame[i];
    destinationFrame[0] += sum;
}

void monoMixFrameWeighted(MvSoundModel *, float gain, int sourceChannels, const float *weights,
                          const float *sourceFrame, float *destinationFrame) {
    float sum = 0.0f;
    for (int i = 0; i < sourceChannels; ++i) sum += sourceFrame[i] * weights[i] * gain;
    destinationFrame[0] += sum;
}

void monoWriteDevice(MvSoundModel *, const SoundIoChannelLayout *layout, MvConverter converter,
                     MvTriangularDitherState *dither, int bytesPerSample, int byteSwap, int frames,
                     const float *mix, SoundIoChannelArea *areas) {
    if (frames <= 0) return;
    for (int ch = 0; ch < layout->channel_count; ++ch) {
        SoundIoChannelArea &area = areas[ch];
        if (area.step % bytesPerSample != 0)
            MV_REPORT_ASSERTION("(dst[ch].step %% bytesPerSample) == 0", kMonoSourcePath,
                                kStrideCheckLine);
        writeChannel(area, area.step / bytesPerSample, converter, mix, 1, frames, dither,
                     bytesPerSample, byteSwap);
    }
}

constexpr MvSoundModel kMonoModel = {
    .channelCount = 1,
    .vectorSize = 1,
    .speakerGroups = nullptr,
    .configure = nullptr,
    .accumulate = accumulate,
    .mixFrame = monoMixFrame,
    .mixFrameWeighted = monoMixFrameWeighted,
    .writeDevice = monoWriteDevice,
    .destroy = destroyModel,
};

// ---------------------------------------------------------------------------
// Stereo: left and right mix channels, spread over five speaker groups.

enum SpeakerGroup : uint8_t {
    leftGroup,
    leftCentreGroup,
    centreGroup,
    rightCentreGroup,
    rightGroup,
    noGroup
};
constexpr int kGroupCount = 5;
constexpr int kGroupSlots = 9;
constexpr size_t kSpeakerTableBytes = kGroupCount * kGroupSlots;
constexpr uint8_t kEmptySlot = 255;
constexpr int kStereoFrameFloats = 2;

// Share of the left and right mix in each group's signal.
struct GroupBlend {
    float left;
    float right;
};
constexpr GroupBlend kGroupBlend[kGroupCount] = {
    {1.0f, 0.0f}, {0.75f, 0.25f}, {0.5f, 0.5f}, {0.25f, 0.75f}, {0.0f, 1.0f}};

// The ids up to HeadphonesRight can belong to a group; later ids never do.
constexpr int kGroupedIdLimit = SoundIoChannelIdHeadphonesRight + 1;

constexpr std::array<SpeakerGroup, kGroupedIdLimit> kGroupOfChannel = [] {
    std::array<SpeakerGroup, kGroupedIdLimit> group{};
    group.fill(noGroup);
    for (SoundIoChannelId id :
         {SoundIoChannelIdFrontLeft, SoundIoChannelIdBackLeft, SoundIoChannelIdSideLeft,
          SoundIoChannelIdTopFrontLeft, SoundIoChannelIdTopBackLeft, SoundIoChannelIdFrontLeftWide,
          SoundIoChannelIdFrontLeftHigh, SoundIoChannelIdTopSideLeft, SoundIoChannelIdLeftLfe})
        group[id] = leftGroup;
    for (SoundIoChannelId id : {SoundIoChannelIdFrontLeftCenter, SoundIoChannelIdBackLeftCenter,
                                SoundIoChannelIdTopFrontLeftCenter,
                                SoundIoChannelIdBottomLeftCenter, SoundIoChannelIdHeadphonesLeft})
        group[id] = leftCentreGroup;
    for (SoundIoChannelId id :
         {SoundIoChannelIdFrontCenter, SoundIoChannelIdLfe, SoundIoChannelIdBackCenter,
          SoundIoChannelIdTopCenter, SoundIoChannelIdTopFrontCenter, SoundIoChannelIdTopBackCenter,
          SoundIoChannelIdFrontCenterHigh, SoundIoChannelIdLfe2, SoundIoChannelIdBottomCenter})
        group[id] = centreGroup;
    for (SoundIoChannelId id : {SoundIoChannelIdFrontRightCenter, SoundIoChannelIdBackRightCenter,
                                SoundIoChannelIdTopFrontRightCenter,
                                SoundIoChannelIdBottomRightCenter, SoundIoChannelIdHeadphonesRight})
        group[id] = rightCentreGroup;
    for (SoundIoChannelId id :
         {SoundIoChannelIdFrontRight, SoundIoChannelIdBackRight, SoundIoChannelIdSideRight,
          SoundIoChannelIdTopFrontRight, SoundIoChannelIdTopBackRight,
          SoundIoChannelIdFrontRightWide, SoundIoChannelIdFrontRightHigh,
          SoundIoChannelIdTopSideRight, SoundIoChannelIdRightLfe})
        group[id] = rightGroup;
    return group;
}();

SpeakerGroup groupOf(SoundIoChannelId id) {
    return id >= 0 && id < kGroupedIdLimit ? kGroupOfChannel[id] : noGroup;
}

void stereoConfigure(MvSoundModel *model, SoundIoOutStream *stream) {
    uint8_t *table = model->speakerGroups;
    std::memset(table, kEmptySlot, kSpeakerTableBytes);
    int used[kGroupCount] = {};
    const SoundIoChannelLayout &layout = stream->layout;
    for (int ch = 0; ch < layout.channel_count; ++ch) {
        const SpeakerGroup group = groupOf(layout.channels[ch]);
        if (group != noGroup && used[group] < kGroupSlots)
            table[group * kGroupSlots + used[group]++] = uint8_t(ch);
    }
}

void stereoMixFrame(MvSoundModel *, float gain, int sourceChannels, const float *,
                    const float *sourceFrame, float *destinationFrame) {
    if (sourceChannels <= 0) return;
    destinationFrame[0] += gain * sourceFrame[0];
    destinationFrame[1] += gain * sourceFrame[sourceChannels > 1 ? 1 : 0];
}

void stereoMixFrameWeighted(MvSoundModel *, float gain, int sourceChannels, const float *weights,
                            const float *sourceFrame, float *destinationFrame) {
    float left = 0.0f;
    float right = 0.0f;
    for (int i = 0; i < sourceChannels; ++i) {
        left += sourceFrame[i] * weights[2 * i] * gain;
        right += sourceFrame[i] * weights[2 * i + 1] * gain;
    }
    destinationFrame[0] += left;
    destinationFrame[1] += right;
}

// A blended group's signal is computed in blocks of this many frames on the
// stack, so any chunk length fits. Each device channel still receives its
// whole run in order, so a dithering converter draws exactly the sequence a
// single pass would.
constexpr int kBlendBlockFrames = 256;

void writeBlendedChannel(SoundIoChannelArea &area, int stride, GroupBlend blend,
                         MvConverter converter, MvTriangularDitherState *dither, int bytesPerSample,
                         int byteSwap, int frames, const float *mix) {
    float block[kBlendBlockFrames];
    for (int done = 0; done < frames;) {
        const int count = std::min(kBlendBlockFrames, frames - done);
        const float *frame = mix + ptrdiff_t(done) * kStereoFrameFloats;
        for (int i = 0; i < count; ++i, frame += kStereoFrameFloats)
            block[i] = blend.left * frame[0] + blend.right * frame[1];
        // Offsets follow the converter's own spacing (stride samples), which
        // differs from the area step when the step is not a whole sample.
        char *at = area.ptr + ptrdiff_t(done) * stride * bytesPerSample;
        converter(at, stride, block, 1, unsigned(count), dither);
        if (byteSwap) mvByteSwap(at, stride, bytesPerSample, count);
        done += count;
    }
    area.ptr += ptrdiff_t(area.step) * frames;
}

void stereoWriteDevice(MvSoundModel *model, const SoundIoChannelLayout *layout,
                       MvConverter converter, MvTriangularDitherState *dither, int bytesPerSample,
                       int byteSwap, int frames, const float *mix, SoundIoChannelArea *areas) {
    if (frames <= 0) return;
    for (int group = 0; group < kGroupCount; ++group) {
        const uint8_t *slots = model->speakerGroups + group * kGroupSlots;
        for (int slot = 0; slot < kGroupSlots && slots[slot] != kEmptySlot; ++slot) {
            // A table configured for another layout cannot send us past this one.
            if (slots[slot] >= layout->channel_count) continue;
            SoundIoChannelArea &area = areas[slots[slot]];
            const int stride = area.step / bytesPerSample;
            if (group == leftGroup || group == rightGroup)
                writeChannel(area, stride, converter, mix + (group == rightGroup ? 1 : 0),
                             kStereoFrameFloats, frames, dither, bytesPerSample, byteSwap);
            else
                writeBlendedChannel(area, stride, kGroupBlend[group], converter, dither,
                                    bytesPerSample, byteSwap, frames, mix);
        }
    }
}

constexpr MvSoundModel kStereoModel = {
    .channelCount = 2,
    .vectorSize = 2,
    .speakerGroups = nullptr, // set to the table that follows the record
    .configure = stereoConfigure,
    .accumulate = accumulate,
    .mixFrame = stereoMixFrame,
    .mixFrameWeighted = stereoMixFrameWeighted,
    .writeDevice = stereoWriteDevice,
    .destroy = destroyModel,
};

} // namespace
} // namespace mv

using namespace mv;

int mvNewMonoSoundModel(MvSoundModel **out) {
    if (!out) return MV_ERROR_NULL_POINTER;
    auto *model = static_cast<MvSoundModel *>(mvMalloc(sizeof(MvSoundModel)));
    if (!model) return MV_ERROR_NO_MEMORY;
    *model = kMonoModel;
    *out = model;
    return MV_OK;
}

int mvNewStereoSoundModel(MvSoundModel **out) {
    if (!out) return MV_ERROR_NULL_POINTER;
    // The record and its speaker table share one allocation.
    auto *model = static_cast<MvSoundModel *>(mvMalloc(sizeof(MvSoundModel) + kSpeakerTableBytes));
    if (!model) return MV_ERROR_NO_MEMORY;
    *model = kStereoModel;
    model->speakerGroups = reinterpret_cast<uint8_t *>(model + 1);
    // Until configure sees a device, no speaker belongs to any group.
    std::memset(model->speakerGroups, kEmptySlot, kSpeakerTableBytes);
    *out = model;
    return MV_OK;
}

bool mv::isMonoSoundModel(const MvSoundModel *model) {
    return model->mixFrame == kMonoModel.mixFrame &&
           model->mixFrameWeighted == kMonoModel.mixFrameWeighted;
}

bool mv::isStereoSoundModel(const MvSoundModel *model) {
    return model->mixFrame == kStereoModel.mixFrame &&
           model->mixFrameWeighted == kStereoModel.mixFrameWeighted;
}
