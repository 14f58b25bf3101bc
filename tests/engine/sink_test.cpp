// Sinks: creation and the sink list, argument checks, the device format
// table, streams on the fallback backend, stream errors and lost backends,
// the write loop's chunking, loopback renders, teardown and allocation
// failures, and an audio thread that never allocates.
#include "marovel_audio.h"
#include "mv_device_variant.h"
#include "mv_machine_probe.h"
#include "mv_session.h"
#include "mv_sink.h"
#include "mv_test_support.h"
#include "tone_machine.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kFallbackRate = 8000;

class Sinks : public ::testing::Test {
protected:
    explicit Sinks(mvtest::DispatcherKind dispatcher = mvtest::DispatcherKind::threadUnsafe)
        : engine_{dispatcher, mvtest::kFallbackOnlyOrder} {}

    void SetUp() override { ASSERT_EQ(engine_.status(), MV_OK); }

    MvSink *newSink(int bufferSize = 256, bool stereo = false) {
        MvSoundModel *model;
        EXPECT_EQ(stereo ? mvNewStereoSoundModel(&model) : mvNewMonoSoundModel(&model), MV_OK);
        MvSink *sink = nullptr;
        EXPECT_EQ(mvNewSink(&sink, model, bufferSize), MV_OK);
        return sink;
    }

    // Waits until the probe has rendered `renders` blocks on the stream's thread.
    static bool awaitRenders(const mvtest::Probe *probe, int renders) {
        for (int i = 0; i < 400 && probe->renders.load() < renders; ++i)
            std::this_thread::sleep_for(5ms);
        return probe->renders.load() >= renders;
    }

    // The fallback backend alone: no sound server needed.
    mvtest::EngineSession engine_;
};

TEST(SinkWithoutEngine, NeedsInitialisation) {
    MvSink *sink = nullptr;
    MvSoundModel model{};
    EXPECT_EQ(mvNewSink(&sink, &model, 256), MV_ERROR_NOT_INITIALIZED);
}

TEST_F(Sinks, CreationChecksItsArguments) {
    MvSoundModel *model;
    ASSERT_EQ(mvNewMonoSoundModel(&model), MV_OK);
    MvSink *sink = nullptr;
    EXPECT_EQ(mvNewSink(nullptr, model, 256), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewSink(&sink, nullptr, 256), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvNewSink(&sink, model, 0), MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(mvNewSink(&sink, model, -5), MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(sink, nullptr);
    EXPECT_EQ(mvSinkList.count, 0);
    model->destroy(model); // still the host's after a refused creation
}

TEST_F(Sinks, AFifthSinkDoublesTheListAndDeletionKeepsTheOrder) {
    MvSink *sinks[5];
    for (int i = 0; i < 4; ++i) sinks[i] = newSink();
    EXPECT_EQ(mvSinkList.capacity, 4);
    sinks[4] = newSink();
    EXPECT_EQ(mvSinkList.capacity, 8);
    EXPECT_EQ(mvSinkList.count, 5);
    ASSERT_EQ(mvDeleteSink(&sinks[1]->base), MV_OK);
    EXPECT_EQ(mvSinkList.count, 4);
    EXPECT_EQ(mvSinkList.items[0], sinks[0]);
    EXPECT_EQ(mvSinkList.items[1], sinks[2]);
    EXPECT_EQ(mvSinkList.items[3], sinks[4]);
}

TEST_F(Sinks, CallsCheckTheirMachineAndIndex) {
    MvSink *sink = newSink();
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 1.0f), MV_OK);
    EXPECT_EQ(mvOpenSink(sink, -2, 44100), MV_ERROR_INDEX);
    EXPECT_EQ(mvOpenSink(sink, mvDeviceList.count, 44100), MV_ERROR_INDEX);
    EXPECT_EQ(mvOpenSink(nullptr, -1, 44100), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvOpenSink(reinterpret_cast<MvSink *>(&probe->machine), -1, 44100),
              MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvDeleteSink(&probe->machine), MV_ERROR_MACHINE_TYPE);
    EXPECT_EQ(mvDeleteSink(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetSinkError(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetSampleRate(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetSpeakerCount(nullptr), MV_ERROR_NULL_POINTER);
    // Without a stream the getters say so, also when asked through a child.
    EXPECT_EQ(mvGetSinkError(&probe->machine), MV_OK);
    EXPECT_EQ(mvGetSampleRate(&probe->machine), MV_ERROR_SAMPLE_RATE);
    EXPECT_EQ(mvGetSpeakerCount(&sink->base), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvOpenLoopbackSink(sink, 0, 2, MV_FORMAT_INT16), MV_ERROR_SAMPLE_RATE);
    EXPECT_EQ(mvOpenLoopbackSink(sink, 48000, 0, MV_FORMAT_INT16), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvOpenLoopbackSink(sink, 48000, SOUNDIO_MAX_CHANNELS + 1, MV_FORMAT_INT16),
              MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(mvOpenLoopbackSink(sink, 48000, 2, 6), MV_ERROR_SAMPLE_FORMAT);
    int16_t out[2];
    EXPECT_EQ(mvRenderLoopbackSink(sink, 1, out), MV_ERROR_PULL_FUNCTION);
    ASSERT_EQ(mvOpenLoopbackSink(sink, 48000, 2, MV_FORMAT_INT16), MV_OK);
    EXPECT_EQ(mvRenderLoopbackSink(sink, -1, out), MV_ERROR_BUFFER_SIZE);
    EXPECT_EQ(mvRenderLoopbackSink(sink, 1, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvGetSampleRate(&probe->machine), 48000);
    EXPECT_EQ(mvGetSpeakerCount(&probe->machine), 2);
}

// ---- the device format table over hand-built device records ----

SoundIoDevice deviceSupporting(std::vector<SoundIoFormat> &formats) {
    SoundIoDevice device{};
    device.formats = formats.data();
    device.format_count = int(formats.size());
    return device;
}

TEST(DeviceFormat, FirstSupportedRowOfTheTableWins) {
    struct Case {
        std::vector<SoundIoFormat> supported;
        MvSampleFormat expected;
        bool swap;
    } cases[] = {
        {{SoundIoFormatS16LE, SoundIoFormatFloat32LE}, MV_FORMAT_FLOAT32, false},
        {{SoundIoFormatFloat32BE}, MV_FORMAT_FLOAT32, true},
        {{SoundIoFormatS16BE}, MV_FORMAT_INT16, true},
        {{SoundIoFormatS32LE, SoundIoFormatS16BE}, MV_FORMAT_INT16, true},
        {{SoundIoFormatS24LE}, MV_FORMAT_INT32, false},
        {{SoundIoFormatS24BE, SoundIoFormatU8}, MV_FORMAT_INT32, true},
        {{SoundIoFormatS8, SoundIoFormatU8}, MV_FORMAT_UINT8, false},
        {{SoundIoFormatS8}, MV_FORMAT_INT8, false},
    };
    for (Case &c : cases) {
        SoundIoDevice device = deviceSupporting(c.supported);
        const mv::DeviceFormat *choice = mv::chooseDeviceFormat(&device);
        ASSERT_NE(choice, nullptr);
        EXPECT_EQ(choice->sampleFormat, c.expected);
        EXPECT_EQ(choice->byteSwap, c.swap);
    }
    std::vector<SoundIoFormat> none{SoundIoFormatU16LE, SoundIoFormatFloat64LE};
    SoundIoDevice device = deviceSupporting(none);
    EXPECT_EQ(mv::chooseDeviceFormat(&device), nullptr);
}

// ---- streams on the fallback backend ----

TEST_F(Sinks, OpensAStreamThatPullsItsTree) {
    MvSink *sink = newSink(256, true);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.5f), MV_OK);
    ASSERT_EQ(mvOpenSink(sink, -1, 44100), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), MV_OK);
    EXPECT_EQ(mvGetSampleRate(&sink->base), 44100);
    EXPECT_GT(mvGetSpeakerCount(&sink->base), 0);
    EXPECT_EQ(sink->deviceFormat, MV_FORMAT_FLOAT32);
    EXPECT_GE(sink->stream->software_latency, 256.0 / 44100); // asked for; libsoundio may add
    ASSERT_TRUE(awaitRenders(probe, 3));
    for (int i = 0; i < 3; ++i) EXPECT_LE(probe->seen[i].frames, 256);
    // A second open replaces the stream; the tree plays on.
    int before = probe->renders.load();
    ASSERT_EQ(mvOpenSink(sink, mvDeviceList.fallbackDefaultIndex, 22050), MV_OK);
    EXPECT_EQ(mvGetSampleRate(&sink->base), 22050);
    EXPECT_TRUE(awaitRenders(probe, before + 3));
}

TEST_F(Sinks, ADeviceWithNoUsableFormatPlaysOnTheFallbackConfiguration) {
    // The fallback device, offering only a format the table does not know.
    mvtest::DeviceVariant odd(mvDeviceList.fallbackDefaultIndex, {SoundIoFormatU16LE});
    MvSink *sink = newSink();
    EXPECT_EQ(mvOpenSink(sink, odd.index(), 44100), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), MV_ERROR_SAMPLE_FORMAT);
    EXPECT_EQ(mvGetSampleRate(&sink->base), kFallbackRate);
    EXPECT_EQ(sink->device, odd.original());
    EXPECT_EQ(mvDeleteSink(&sink->base), MV_OK);
}

TEST_F(Sinks, AStreamErrorMovesTheSinkToTheFallbackThroughThePrintHookOnly) {
    mvtest::PrintCapture print;
    MvSink *sink = newSink();
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.5f), MV_OK);
    ASSERT_EQ(mvOpenSink(sink, -1, 44100), MV_OK);
    // libsoundio's error thread reports; the control side answers at its next drain.
    sink->stream->error_callback(sink->stream, SoundIoErrorStreaming);
    EXPECT_EQ(mvGetSampleRate(&sink->base), 44100);
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    mvFlushDownQueueImpl(sink);
    ASSERT_EQ(mvDispatcher->unlock(), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), -SoundIoErrorStreaming);
    EXPECT_EQ(mvGetSampleRate(&sink->base), kFallbackRate);
    EXPECT_EQ(print.count("Error code 8 in stream: "), 1);
    int before = probe->renders.load();
    EXPECT_TRUE(awaitRenders(probe, before + 2));
}

TEST_F(Sinks, ALostBackendMovesItsSinksToTheFallback) {
    MvSink *sink = newSink();
    ASSERT_EQ(mvOpenSink(sink, -1, 44100), MV_OK);
    MvSink *untouched = newSink();
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    mv::abandonBackend(sink->device->soundio, SoundIoErrorBackendDisconnected);
    ASSERT_EQ(mvDispatcher->unlock(), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), -SoundIoErrorBackendDisconnected);
    EXPECT_EQ(mvGetSampleRate(&sink->base), kFallbackRate);
    EXPECT_NE(sink->stream, nullptr);
    EXPECT_EQ(mvGetSinkError(&untouched->base), MV_OK);
    EXPECT_EQ(untouched->stream, nullptr);
}

// ---- the write loop ----

// Plays libsoundio's part: hands out areas into a scratch buffer and logs
// the frame count of every write.
struct FakeStream {
    static inline std::vector<int> writes;
    static inline std::vector<float> scratch;
    static inline SoundIoChannelArea area;

    static int begin(SoundIoOutStream *, SoundIoChannelArea **areas, int *frames) {
        scratch.assign(size_t(*frames), 0.0f);
        area = {reinterpret_cast<char *>(scratch.data()), int(sizeof(float))};
        *areas = &area;
        writes.push_back(*frames);
        return 0;
    }
    static int end(SoundIoOutStream *) { return 0; }
};

TEST_F(Sinks, EachWriteIsCutIntoChunksOfAtMostTheBufferSize) {
    MvSink *sink = newSink(256);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.5f), MV_OK);
    ASSERT_EQ(mvOpenLoopbackSink(sink, 48000, 1, MV_FORMAT_FLOAT32), MV_OK);
    SoundIoOutStream stream{};
    stream.layout = *soundio_channel_layout_get_default(1);
    FakeStream::writes.clear();
    mv::writeStream(sink, &stream, 100, 1000, FakeStream::begin, FakeStream::end);
    EXPECT_EQ(FakeStream::writes, (std::vector<int>{256, 256, 256, 232}));
    EXPECT_EQ(probe->frameCounts(), (std::vector<int>{256, 256, 256, 232}));
    EXPECT_EQ(FakeStream::scratch.back(), 0.5f);

    // A loopback render of more than a chunk is cut the same way.
    mvtest::renderFloat(sink, 600);
    EXPECT_EQ(probe->renders.load(), 7);
    EXPECT_EQ(probe->last().frames, 88);
}

// ---- loopback renders ----

TEST_F(Sinks, LoopbackOutputIsWhatTheModelAndConverterMakeOfTheMix) {
    constexpr int kFrames = 1000; // four chunks, the last one short
    MvSink *floatSink = newSink(256);
    MvSink *int16Sink = newSink(256);
    ASSERT_EQ(mvOpenLoopbackSink(floatSink, 48000, 1, MV_FORMAT_FLOAT32), MV_OK);
    ASSERT_EQ(mvOpenLoopbackSink(int16Sink, 48000, 2, MV_FORMAT_INT16), MV_OK);
    EXPECT_EQ(mvGetSpeakerCount(&int16Sink->base), 2);
    for (MvSink *sink : {floatSink, int16Sink}) {
        mvtest::Probe *probe;
        ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.9f), MV_OK);
        ASSERT_EQ(mvSetGain(&probe->machine, 0.01, -0.7f), MV_OK);
    }
    std::vector<float> mix = mvtest::renderFloat(floatSink, kFrames);
    std::vector<int16_t> device(kFrames * 2);
    ASSERT_EQ(mvRenderLoopbackSink(int16Sink, kFrames, device.data()), MV_OK);

    MvSoundModel *model;
    ASSERT_EQ(mvNewMonoSoundModel(&model), MV_OK);
    std::vector<int16_t> expected(kFrames * 2);
    SoundIoChannelArea areas[2] = {{reinterpret_cast<char *>(&expected[0]), 4},
                                   {reinterpret_cast<char *>(&expected[1]), 4}};
    MvTriangularDitherState dither;
    mvInitializeTriangularDitherState(&dither);
    model->writeDevice(model, soundio_channel_layout_get_default(2),
                       mvSelectConverter(MV_FORMAT_FLOAT32, MV_FORMAT_INT16, 1, 0), &dither, 2, 0,
                       kFrames, mix.data(), areas);
    model->destroy(model);
    EXPECT_EQ(std::memcmp(device.data(), expected.data(), device.size() * 2), 0);
    EXPECT_LT(mix.back(), -0.6f); // the ramp went through zero to -0.63
}

// Zero crossings per second and peak of a mono float signal.
struct ToneMeasure {
    double hertz;
    float peak;
};

ToneMeasure measureTone(const std::vector<float> &signal, int rate) {
    int rising = 0;
    float peak = 0;
    for (size_t i = 1; i < signal.size(); ++i) {
        if (signal[i - 1] < 0 && signal[i] >= 0) ++rising;
        peak = std::max(peak, std::fabs(signal[i]));
    }
    return {double(rising) * rate / double(signal.size()), peak};
}

TEST_F(Sinks, AHostToneMachinePlaysThroughALoopbackWithItsGainRamps) {
    constexpr int kRate = 48000;
    MvSink *sink = newSink(480);
    ASSERT_EQ(mvOpenLoopbackSink(sink, kRate, 1, MV_FORMAT_FLOAT32), MV_OK);
    ToneMachine *tone;
    ASSERT_EQ(toneNew(&tone, &sink->base, 1000.0, 0.5f), MV_OK);
    ToneMeasure steady = measureTone(mvtest::renderFloat(sink, kRate), kRate);
    EXPECT_NEAR(steady.hertz, 1000.0, 2.0);
    EXPECT_NEAR(steady.peak, 0.5f, 0.001f);

    ASSERT_EQ(mvSetFrequency(&tone->machine, 0.0, 0.5), MV_OK);
    EXPECT_NEAR(measureTone(mvtest::renderFloat(sink, kRate), kRate).hertz, 500.0, 2.0);

    ASSERT_EQ(mvSetGain(&tone->machine, 0.1, 0.0f), MV_OK); // a tenth of a second to silence
    std::vector<float> fade = mvtest::renderFloat(sink, kRate / 10);
    float firstPeak = measureTone({fade.begin(), fade.begin() + 960}, kRate).peak;
    float lastPeak = measureTone({fade.end() - 96, fade.end()}, kRate).peak;
    EXPECT_GT(firstPeak, 0.45f);
    EXPECT_LT(lastPeak, 0.011f); // the last 2 % of the ramp
    EXPECT_EQ(measureTone(mvtest::renderFloat(sink, 480), kRate).peak, 0.0f);

    ASSERT_EQ(toneDelete(&tone->machine), MV_OK);
    EXPECT_EQ(mvDeleteMachine(&sink->base), MV_OK);
}

// ---- teardown and allocation ----

class SinksUnder : public Sinks, public ::testing::WithParamInterface<mvtest::DispatcherKind> {
protected:
    SinksUnder() : Sinks(GetParam()) {}
};

TEST_P(SinksUnder, AllocationFailuresInCreationLeaveNothingBehind) {
    for (int i = 0; i < 4; ++i) newSink();
    MvSoundModel *model;
    ASSERT_EQ(mvNewMonoSoundModel(&model), MV_OK);
    mvtest::FailingAllocator allocator;
    for (int n = 1; n <= 3; ++n) { // record, pull record, the list's growth
        allocator.failNth(n);
        MvSink *sink = nullptr;
        EXPECT_EQ(mvNewSink(&sink, model, 256), MV_ERROR_NO_MEMORY) << "allocation " << n;
        EXPECT_EQ(sink, nullptr);
        EXPECT_EQ(allocator.liveBlocks(), 0) << "allocation " << n;
        EXPECT_EQ(mvSinkList.count, 4);
        EXPECT_EQ(mvSinkList.capacity, 4);
    }
    allocator.failNever();
    model->destroy(model);
}

INSTANTIATE_TEST_SUITE_P(BothDispatchers, SinksUnder,
                         ::testing::Values(mvtest::DispatcherKind::threadUnsafe,
                                           mvtest::DispatcherKind::threadSafe));

TEST_F(Sinks, DeletionReleasesTheWholeTreeAndEveryPendingMessage) {
    mvtest::FailingAllocator allocator;
    std::atomic<int> releases{0};
    MvSink *sink = newSink();
    mvtest::Group *group;
    ASSERT_EQ(mvtest::newGroup(&group, &sink->base), MV_OK);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &group->machine, 0.5f, &releases), MV_OK);
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.5f, &releases), MV_OK);
    ASSERT_EQ(mvSetGain(&probe->machine, 1.0, 0.0f), MV_OK); // its record is freed either way
    ASSERT_EQ(mvOpenSink(sink, -1, 44100), MV_OK);
    ASSERT_EQ(mvDeleteSink(&sink->base), MV_OK);
    EXPECT_EQ(releases.load(), 2);
    EXPECT_EQ(mvSinkList.count, 0);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// The audio thread of a playing sink never calls the allocator hooks.
thread_local bool onAudioThread = false;
std::atomic<int> audioThreadAllocations{0};
void *(*plainMalloc)(size_t);
void *(*plainRealloc)(void *, size_t);

void *watchMalloc(size_t size) {
    if (onAudioThread) ++audioThreadAllocations;
    return plainMalloc(size);
}
void *watchRealloc(void *pointer, size_t size) {
    if (onAudioThread) ++audioThreadAllocations;
    return plainRealloc(pointer, size);
}
MvSource *markAudioThread(MvSink *, void *self, float, float, double, double, int, float *) {
    onAudioThread = true;
    return static_cast<MvMachine *>(self)->source->activeNext;
}

TEST_F(Sinks, ThePlayingAudioThreadNeverAllocates) {
    plainMalloc = mvMalloc;
    plainRealloc = mvRealloc;
    mvMalloc = watchMalloc;
    mvRealloc = watchRealloc;
    MvSink *sink = newSink(128, true);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.5f), MV_OK);
    MvMachine marker;
    MvSource markerSource;
    mvInitMachine(&marker, &marker, nullptr, &markerSource, sink, nullptr);
    mvInitSource(&markerSource, &marker, &sink->destination, markAudioThread, nullptr);
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    ASSERT_EQ(
        mvDispatcher->post(sink, reinterpret_cast<MvMessageFunc>(mvSourceActivate), &markerSource),
        MV_OK);
    ASSERT_EQ(mvOpenSink(sink, -1, 48000), MV_OK);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(mvSetGain(&probe->machine, 0.01, float(i % 2)), MV_OK);
        mvtest::Group *group;
        ASSERT_EQ(mvtest::newGroup(&group, &sink->base), MV_OK);
        ASSERT_EQ(mvDeleteMachine(&group->machine), MV_OK);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(awaitRenders(probe, probe->renders.load() + 4));
    ASSERT_EQ(mvDeleteSink(&sink->base), MV_OK);
    mvMalloc = plainMalloc;
    mvRealloc = plainRealloc;
    EXPECT_EQ(audioThreadAllocations.load(), 0);
}

} // namespace
