// Sound models: construction, frame mixing, speaker groups and device writes.
#include "marovel_audio.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

namespace {

struct ModelDeleter {
    void operator()(MvSoundModel *model) const { model->destroy(model); }
};
using Model = std::unique_ptr<MvSoundModel, ModelDeleter>;

Model newMono() {
    MvSoundModel *model = nullptr;
    EXPECT_EQ(mvNewMonoSoundModel(&model), MV_OK);
    return Model(model);
}

Model newStereo() {
    MvSoundModel *model = nullptr;
    EXPECT_EQ(mvNewStereoSoundModel(&model), MV_OK);
    return Model(model);
}

SoundIoChannelLayout layoutOf(std::initializer_list<SoundIoChannelId> ids) {
    SoundIoChannelLayout layout{};
    for (SoundIoChannelId id : ids) layout.channels[layout.channel_count++] = id;
    return layout;
}

// Configures a stereo model as the sink does once its stream is open.
void configure(MvSoundModel *model, const SoundIoChannelLayout &layout) {
    SoundIoOutStream stream{};
    stream.layout = layout;
    model->configure(model, &stream);
}

// A device buffer of interleaved float32 frames, one area per channel, and
// every sample preset to a marker so untouched channels show.
constexpr float kUntouched = -99.0f;
struct FloatDevice {
    int channels;
    std::vector<float> samples;
    std::vector<SoundIoChannelArea> areas;

    FloatDevice(int channelCount, int frames)
        : channels(channelCount), samples(size_t(channelCount) * frames, kUntouched),
          areas(size_t(channelCount)) {
        for (int ch = 0; ch < channels; ++ch)
            areas[ch] = {reinterpret_cast<char *>(&samples[ch]), int(sizeof(float)) * channels};
    }
    float at(int frame, int ch) const { return samples[size_t(frame) * channels + ch]; }
    char *start(int ch) { return reinterpret_cast<char *>(&samples[ch]); }
};

const MvConverter kFloatCopy = mvSelectConverter(MV_FORMAT_FLOAT32, MV_FORMAT_FLOAT32, 0, 0);

void writeFloats(MvSoundModel *model, const SoundIoChannelLayout &layout, FloatDevice &device,
                 const std::vector<float> &mix) {
    const int frames = int(mix.size()) / model->channelCount;
    model->writeDevice(model, &layout, kFloatCopy, nullptr, sizeof(float), 0, frames, mix.data(),
                       device.areas.data());
}

// Two stereo frames: (left, right) = (0.8, 0.4) and (-0.4, 0.2).
const std::vector<float> kStereoMix = {0.8f, 0.4f, -0.4f, 0.2f};
float blend(int frame, float leftShare, float rightShare) {
    return leftShare * kStereoMix[2 * frame] + rightShare * kStereoMix[2 * frame + 1];
}

// ---------------------------------------------------------------------------

TEST(SoundModelConstruction, MonoRecord) {
    Model mono = newMono();
    EXPECT_EQ(mono->channelCount, 1);
    EXPECT_EQ(mono->vectorSize, 1);
    EXPECT_EQ(mono->speakerGroups, nullptr);
    EXPECT_EQ(mono->configure, nullptr);
    EXPECT_NE(mono->writeDevice, nullptr);
}

TEST(SoundModelConstruction, StereoRecordCarriesAnEmptySpeakerTable) {
    Model stereo = newStereo();
    EXPECT_EQ(stereo->channelCount, 2);
    EXPECT_EQ(stereo->vectorSize, 2);
    EXPECT_EQ(stereo->speakerGroups, reinterpret_cast<uint8_t *>(stereo.get() + 1));
    EXPECT_NE(stereo->configure, nullptr);
    for (int i = 0; i < 45; ++i) EXPECT_EQ(stereo->speakerGroups[i], 255);
}

TEST(SoundModelConstruction, NullOutIsRejected) {
    EXPECT_EQ(mvNewMonoSoundModel(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewStereoSoundModel(nullptr), MV_ERROR_NULL_POINTER);
}

TEST(SoundModelConstruction, AllocationFailureLeavesOutUntouchedAndNothingBehind) {
    mvtest::FailingAllocator allocator;
    for (auto create : {mvNewMonoSoundModel, mvNewStereoSoundModel}) {
        allocator.failNth(1);
        MvSoundModel *sentinel = reinterpret_cast<MvSoundModel *>(0x1234);
        MvSoundModel *out = sentinel;
        EXPECT_EQ(create(&out), MV_ERROR_NO_MEMORY);
        EXPECT_EQ(out, sentinel);
        EXPECT_EQ(allocator.liveBlocks(), 0);
    }
    allocator.failNever();
    MvSoundModel *stereo = nullptr;
    ASSERT_EQ(mvNewStereoSoundModel(&stereo), MV_OK);
    EXPECT_EQ(allocator.allocationCalls(), 1); // record and table in one block
    EXPECT_GE(allocator.liveBytes(), sizeof(MvSoundModel) + 45);
    stereo->destroy(stereo);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// ---------------------------------------------------------------------------

TEST(MonoMixing, AveragesTheSourceChannels) {
    Model mono = newMono();
    float mix[1] = {0.0f};
    const float opposite[] = {0.5f, -0.5f};
    mono->mixFrame(mono.get(), 1.0f, 2, nullptr, opposite, mix);
    EXPECT_EQ(mix[0], 0.0f);
    const float same[] = {1.0f, 1.0f};
    mono->mixFrame(mono.get(), 1.0f, 2, nullptr, same, mix);
    EXPECT_EQ(mix[0], 1.0f);
    mono->mixFrame(mono.get(), 0.5f, 1, nullptr, same, mix);
    EXPECT_EQ(mix[0], 1.5f);
    mono->mixFrame(mono.get(), 1.0f, 0, nullptr, same, mix);
    EXPECT_EQ(mix[0], 1.5f);
}

TEST(MonoMixing, WeightsEachSourceChannel) {
    Model mono = newMono();
    float mix[1] = {0.25f};
    const float frame[] = {0.5f, -1.0f, 0.25f};
    const float weights[] = {1.0f, 0.5f, 2.0f};
    mono->mixFrameWeighted(mono.get(), 2.0f, 3, weights, frame, mix);
    EXPECT_EQ(mix[0], 0.25f + 2.0f * (0.5f - 0.5f + 0.5f));
}

TEST(StereoMixing, MonoSourceFeedsBothSides) {
    Model stereo = newStereo();
    float mix[2] = {0.0f, 0.0f};
    const float frame[] = {0.8f};
    stereo->mixFrame(stereo.get(), 0.5f, 1, nullptr, frame, mix);
    EXPECT_EQ(mix[0], 0.4f);
    EXPECT_EQ(mix[1], 0.4f);
}

TEST(StereoMixing, FourChannelSourceUsesExtraChannelsOnlyWithWeights) {
    Model stereo = newStereo();
    const float frame[] = {0.5f, 0.25f, 1.0f, -1.0f};
    float plain[2] = {0.0f, 0.0f};
    stereo->mixFrame(stereo.get(), 2.0f, 4, nullptr, frame, plain);
    EXPECT_EQ(plain[0], 1.0f);
    EXPECT_EQ(plain[1], 0.5f);

    // Source channel major: (left, right) weight pairs.
    const float weights[] = {1.0f, 0.0f, 0.0f, 1.0f, 0.5f, 0.25f, 0.0f, 0.5f};
    float weighted[2] = {0.0f, 0.0f};
    stereo->mixFrameWeighted(stereo.get(), 2.0f, 4, weights, frame, weighted);
    EXPECT_EQ(weighted[0], 2.0f * (0.5f + 0.5f));
    EXPECT_EQ(weighted[1], 2.0f * (0.25f + 0.25f - 0.5f));
}

TEST(SoundModelMixing, AccumulateAddsWholeFrames) {
    Model models[] = {newMono(), newStereo()};
    for (Model &model : models) {
        std::vector<float> source = {1, 2, 3, 4, 5, 6};
        std::vector<float> destination = {10, 20, 30, 40, 50, 60, 70};
        const int frames = 6 / model->channelCount - 1; // all but the last frame
        model->accumulate(model.get(), frames, source.data(), destination.data());
        const int added = frames * model->channelCount;
        for (int k = 0; k < 7; ++k)
            EXPECT_EQ(destination[k], float(10 * (k + 1)) + (k < added ? source[k] : 0.0f)) << k;
    }
}

// ---------------------------------------------------------------------------

TEST(StereoSpeakerGroups, FivePointOneLayout) {
    Model stereo = newStereo();
    const SoundIoChannelLayout layout = layoutOf(
        {SoundIoChannelIdFrontLeft, SoundIoChannelIdFrontRight, SoundIoChannelIdFrontCenter,
         SoundIoChannelIdLfe, SoundIoChannelIdSideLeft, SoundIoChannelIdSideRight});
    configure(stereo.get(), layout);
    const uint8_t *table = stereo->speakerGroups;
    const uint8_t expected[5][2] = {{0, 4}, {255, 255}, {2, 3}, {255, 255}, {1, 5}};
    for (int group = 0; group < 5; ++group) {
        EXPECT_EQ(table[group * 9], expected[group][0]) << group;
        EXPECT_EQ(table[group * 9 + 1], expected[group][1]) << group;
        EXPECT_EQ(table[group * 9 + 2], 255) << group;
    }

    FloatDevice device(6, 2);
    writeFloats(stereo.get(), layout, device, kStereoMix);
    for (int frame = 0; frame < 2; ++frame) {
        for (int ch : {0, 4}) EXPECT_EQ(device.at(frame, ch), kStereoMix[2 * frame]);
        for (int ch : {1, 5}) EXPECT_EQ(device.at(frame, ch), kStereoMix[2 * frame + 1]);
        for (int ch : {2, 3}) EXPECT_EQ(device.at(frame, ch), blend(frame, 0.5f, 0.5f));
    }
    for (int ch = 0; ch < 6; ++ch)
        EXPECT_EQ(device.areas[ch].ptr, device.start(ch) + 2 * device.areas[ch].step);
}

TEST(StereoSpeakerGroups, ReconfiguringFollowsTheNewLayout) {
    Model stereo = newStereo();
    configure(stereo.get(), layoutOf({SoundIoChannelIdFrontLeft, SoundIoChannelIdFrontRight,
                                      SoundIoChannelIdFrontCenter}));
    configure(stereo.get(), layoutOf({SoundIoChannelIdFrontRight, SoundIoChannelIdFrontLeft}));
    EXPECT_EQ(stereo->speakerGroups[0], 1);
    EXPECT_EQ(stereo->speakerGroups[2 * 9], 255);
    EXPECT_EQ(stereo->speakerGroups[4 * 9], 0);
}

TEST(StereoSpeakerGroups, AGroupHoldsAtMostNineChannels) {
    Model stereo = newStereo();
    SoundIoChannelLayout layout{};
    layout.channel_count = 11;
    for (int ch = 0; ch < 11; ++ch)
        layout.channels[ch] = ch % 2 ? SoundIoChannelIdBackLeft : SoundIoChannelIdFrontLeft;
    configure(stereo.get(), layout);
    FloatDevice device(11, 2);
    writeFloats(stereo.get(), layout, device, kStereoMix);
    for (int ch = 0; ch < 11; ++ch) {
        const bool written = ch < 9;
        EXPECT_EQ(device.at(1, ch), written ? -0.4f : kUntouched) << ch;
        EXPECT_EQ(device.areas[ch].ptr,
                  device.start(ch) + (written ? 2 * device.areas[ch].step : 0));
    }
}

TEST(StereoSpeakerGroups, HeadphonesBlendTowardsTheirSide) {
    Model stereo = newStereo();
    const SoundIoChannelLayout layout =
        layoutOf({SoundIoChannelIdHeadphonesLeft, SoundIoChannelIdHeadphonesRight});
    configure(stereo.get(), layout);
    FloatDevice device(2, 2);
    writeFloats(stereo.get(), layout, device, kStereoMix);
    for (int frame = 0; frame < 2; ++frame) {
        EXPECT_EQ(device.at(frame, 0), blend(frame, 0.75f, 0.25f));
        EXPECT_EQ(device.at(frame, 1), blend(frame, 0.25f, 0.75f));
    }
}

TEST(StereoSpeakerGroups, ChannelsOutsideEveryGroupAreLeftAlone) {
    Model stereo = newStereo();
    const SoundIoChannelLayout layout =
        layoutOf({SoundIoChannelIdAmbisonicW, SoundIoChannelIdFrontLeft, SoundIoChannelIdInvalid,
                  SoundIoChannelIdMsMid, SoundIoChannelId(46), SoundIoChannelIdFrontRight});
    configure(stereo.get(), layout);
    FloatDevice device(6, 2);
    writeFloats(stereo.get(), layout, device, kStereoMix);
    for (int ch : {0, 2, 3, 4}) {
        EXPECT_EQ(device.at(0, ch), kUntouched) << ch;
        EXPECT_EQ(device.areas[ch].ptr, device.start(ch)) << ch;
    }
    EXPECT_EQ(device.at(1, 1), -0.4f);
    EXPECT_EQ(device.at(1, 5), 0.2f);
}

TEST(StereoSpeakerGroups, UnconfiguredModelWritesNothing) {
    Model stereo = newStereo();
    const SoundIoChannelLayout layout = layoutOf({SoundIoChannelIdFrontLeft});
    FloatDevice device(1, 2);
    writeFloats(stereo.get(), layout, device, kStereoMix);
    EXPECT_EQ(device.at(0, 0), kUntouched);
}

// ---------------------------------------------------------------------------

TEST(MonoDeviceWrite, EveryChannelGetsTheSameSignal) {
    Model mono = newMono();
    const SoundIoChannelLayout layout = layoutOf(
        {SoundIoChannelIdFrontLeft, SoundIoChannelIdAmbisonicW, SoundIoChannelIdFrontCenter});
    FloatDevice device(3, 3);
    const std::vector<float> mix = {0.1f, -0.2f, 0.3f};
    writeFloats(mono.get(), layout, device, mix);
    for (int frame = 0; frame < 3; ++frame)
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(device.at(frame, ch), mix[frame]);
    for (int ch = 0; ch < 3; ++ch)
        EXPECT_EQ(device.areas[ch].ptr, device.start(ch) + 3 * device.areas[ch].step);
}

TEST(MonoDeviceWrite, MisalignedStepIsReportedPerChannelAndTruncated) {
    Model mono = newMono();
    mvtest::PrintCapture print;
    const SoundIoChannelLayout layout =
        layoutOf({SoundIoChannelIdFrontLeft, SoundIoChannelIdFrontRight});
    std::vector<float> left(4, kUntouched);
    std::vector<float> right(4, kUntouched);
    SoundIoChannelArea areas[2] = {{reinterpret_cast<char *>(left.data()), 6},
                                   {reinterpret_cast<char *>(right.data()), 6}};
    const float mix[] = {0.5f, -0.5f, 0.25f};
    mono->writeDevice(mono.get(), &layout, kFloatCopy, nullptr, 4, 0, 3, mix, areas);

    EXPECT_EQ(print.lines(),
              std::vector<std::string>(
                  2, "Assertion (dst[ch].step % bytesPerSample) == 0 failed @ src/mv_mono : 35\n"));
    for (const auto *channel : {&left, &right})
        EXPECT_EQ(*channel, (std::vector<float>{0.5f, -0.5f, 0.25f, kUntouched})); // stride 1
    EXPECT_EQ(areas[0].ptr, reinterpret_cast<char *>(left.data()) + 18);
    EXPECT_EQ(areas[1].ptr, reinterpret_cast<char *>(right.data()) + 18);
}

TEST(MonoDeviceWrite, SilentWithoutAPrintHook) {
    Model mono = newMono();
    int (*saved)(const char *, ...) = mvPrint;
    mvPrint = nullptr;
    const SoundIoChannelLayout layout = layoutOf({SoundIoChannelIdFrontLeft});
    std::vector<float> out(2, kUntouched);
    SoundIoChannelArea area{reinterpret_cast<char *>(out.data()), 6};
    const float mix[] = {0.5f};
    mono->writeDevice(mono.get(), &layout, kFloatCopy, nullptr, 4, 0, 1, mix, &area);
    mvPrint = saved;
    EXPECT_EQ(out[0], 0.5f);
}

TEST(SoundModelDeviceWrite, ByteSwapGivesTheOppositeOrder) {
    const MvConverter toInt16 = mvSelectConverter(MV_FORMAT_FLOAT32, MV_FORMAT_INT16, 1, 0);
    const SoundIoChannelLayout layout = layoutOf(
        {SoundIoChannelIdFrontLeft, SoundIoChannelIdFrontCenter, SoundIoChannelIdFrontRight});
    const std::vector<float> mix = {0.5f, -0.5f, 0.5f, -0.5f}; // mono: 4 frames; stereo: 2
    Model models[] = {newMono(), newStereo()};
    for (Model &model : models) {
        if (model->configure) configure(model.get(), layout);
        const int frames = int(mix.size()) / model->channelCount;
        std::vector<uint8_t> device(size_t(frames) * 3 * 2, 0xEE);
        SoundIoChannelArea areas[3];
        for (int ch = 0; ch < 3; ++ch) areas[ch] = {reinterpret_cast<char *>(&device[ch * 2]), 6};
        model->writeDevice(model.get(), &layout, toInt16, nullptr, 2, 1, frames, mix.data(), areas);
        // 16383 = 0x3FFF and -16384 = 0xC000, stored high byte first.
        for (int frame = 0; frame < frames; ++frame) {
            const uint8_t *left = &device[size_t(frame) * 6];
            const bool positive = model->channelCount == 2 || frame % 2 == 0;
            EXPECT_EQ(left[0], positive ? 0x3F : 0xC0) << frame;
            EXPECT_EQ(left[1], positive ? 0xFF : 0x00) << frame;
            if (model->channelCount == 2) { // centre 0.0 -> 0; right -0.5
                EXPECT_EQ(left[2] | left[3], 0) << frame;
                EXPECT_EQ(left[4], 0xC0) << frame;
            }
        }
    }
}

// The blended groups are computed in short blocks; a dithering converter
// must still see each channel's run whole and in channel order, as one pass
// over the chunk would give it. Separate areas whose step (5 bytes) is not a
// whole number of samples: the converter writes every second sample.
TEST(StereoDeviceWrite, BlendedGroupsMatchAWholeRunPerChannelWithDither) {
    constexpr int kFrames = 1000;
    const MvConverter converter = mvSelectConverter(MV_FORMAT_FLOAT32, MV_FORMAT_INT16, 1, 1);
    const SoundIoChannelLayout layout = layoutOf(
        {SoundIoChannelIdFrontCenter, SoundIoChannelIdFrontLeft, SoundIoChannelIdHeadphonesRight,
         SoundIoChannelIdLfe, SoundIoChannelIdFrontRight});
    std::vector<float> mix(2 * kFrames);
    for (int i = 0; i < 2 * kFrames; ++i) mix[i] = float((i * 7919) % 2001 - 1000) / 1000.0f;

    Model stereo = newStereo();
    configure(stereo.get(), layout);
    std::vector<std::vector<int16_t>> device(5, std::vector<int16_t>(2 * kFrames, 0x5555));
    SoundIoChannelArea areas[5];
    for (int ch = 0; ch < 5; ++ch) areas[ch] = {reinterpret_cast<char *>(device[ch].data()), 5};
    MvTriangularDitherState dither;
    mvInitializeTriangularDitherState(&dither);
    stereo->writeDevice(stereo.get(), &layout, converter, &dither, 2, 0, kFrames, mix.data(),
                        areas);

    // Expected: groups in order left, left-centre, centre, right-centre,
    // right; each channel converted in one call over its whole signal.
    MvTriangularDitherState reference;
    mvInitializeTriangularDitherState(&reference);
    const struct {
        int channel;
        float left, right;
    } order[] = {{1, 1, 0}, {0, 0.5f, 0.5f}, {3, 0.5f, 0.5f}, {2, 0.25f, 0.75f}, {4, 0, 1}};
    for (const auto &entry : order) {
        std::vector<float> signal(kFrames);
        for (int f = 0; f < kFrames; ++f)
            signal[f] = entry.left * mix[2 * f] + entry.right * mix[2 * f + 1];
        std::vector<int16_t> expected(2 * kFrames, 0x5555);
        converter(expected.data(), 2, signal.data(), 1, kFrames, &reference);
        EXPECT_EQ(device[entry.channel], expected) << "channel " << entry.channel;
        EXPECT_EQ(areas[entry.channel].ptr,
                  reinterpret_cast<char *>(device[entry.channel].data()) + 5 * kFrames);
    }
    EXPECT_EQ(std::memcmp(&dither, &reference, sizeof dither), 0);
}

} // namespace
