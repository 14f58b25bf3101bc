// Sinks against the private PulseAudio server of scripts/pulse (null sinks
// mv_null_a, the default, and mv_null_b): the example tone machine captured
// from a null sink's monitor, automatic sinks following the default sink,
// and the fallback after a killed stream or a stopped server.
#include "marovel_audio.h"
#include "mv_device_variant.h"
#include "mv_machine_probe.h"
#include "mv_pulse_support.h"
#include "mv_session.h"
#include "mv_test_support.h"
#include "tone_machine.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using mvtest::DispatcherKind;
using mvtest::eventually;
using mvtest::pactl;

namespace {

constexpr int kRate = 48000;
constexpr double kToneHertz = 1000.0;
constexpr float kToneAmplitude = 0.5f;
constexpr int kFallbackRate = 8000;
// Generous chunks, so the server never runs dry and cuts gaps into the tone.
constexpr int kBufferFrames = 2048;
constexpr auto kSettle = std::chrono::milliseconds(200);

// The identifier of the device a sink plays on, read under the lock.
std::string deviceOf(MvSink *sink) {
    EXPECT_EQ(mvDispatcher->lock(), MV_OK);
    std::string id = sink->device ? sink->device->id : "";
    EXPECT_EQ(mvDispatcher->unlock(), MV_OK);
    return id;
}

// The server's index of a sink-input playing on the named sink, or "".
std::string sinkInputOn(const std::string &sinkName) {
    std::string sinkIndex;
    std::istringstream sinks(pactl("list short sinks"));
    for (std::string index, name, rest; sinks >> index >> name && std::getline(sinks, rest);)
        if (name == sinkName) sinkIndex = index;
    std::istringstream inputs(pactl("list short sink-inputs"));
    for (std::string index, sink, rest; inputs >> index >> sink && std::getline(inputs, rest);)
        if (sink == sinkIndex) return index;
    return "";
}

MvSink *newSink() {
    MvSoundModel *model;
    EXPECT_EQ(mvNewStereoSoundModel(&model), MV_OK);
    MvSink *sink = nullptr;
    EXPECT_EQ(mvNewSink(&sink, model, kBufferFrames), MV_OK);
    return sink;
}

class SinkLive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "no private PulseAudio server: run the live tier through scripts/test";
        ASSERT_EQ(session_.status(), MV_OK);
        ASSERT_GT(mvtest::deviceIndexOf("mv_null_b"), 0);
    }

    // Plays the tone on the sink and checks what the null sink's monitor hears.
    void expectToneOn(MvSink *sink, const std::string &nullSink) {
        ToneMachine *tone;
        ASSERT_EQ(toneNew(&tone, &sink->base, kToneHertz, kToneAmplitude), MV_OK);
        std::this_thread::sleep_for(kSettle);
        const mvtest::Tone heard =
            mvtest::measureTone(mvtest::captureMonitor(nullSink, kRate), kRate);
        EXPECT_NEAR(heard.hertz, kToneHertz, kToneHertz * 0.002) << "on " << nullSink;
        EXPECT_NEAR(20 * std::log10(heard.amplitude / kToneAmplitude), 0.0, 0.5)
            << "on " << nullSink;
        ASSERT_EQ(mvDeleteMachine(&tone->machine), MV_OK);
    }

    mvtest::EngineSession session_{DispatcherKind::threadSafe, mvtest::kDefaultOrder};
};

TEST_F(SinkLive, TheToneMachineReachesTheNullSinkInFloat32) {
    MvSink *sink = newSink();
    ASSERT_EQ(mvOpenSink(sink, mvtest::deviceIndexOf("mv_null_b"), kRate), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), MV_OK);
    EXPECT_EQ(sink->deviceFormat, MV_FORMAT_FLOAT32);
    EXPECT_EQ(mvGetSampleRate(&sink->base), kRate);
    expectToneOn(sink, "mv_null_b");
    // The stream reports what it holds: more than nothing, far less than a second.
    double latency = 0.0;
    EXPECT_EQ(mvGetSinkLatency(&sink->base, &latency), MV_OK);
    EXPECT_GT(latency, 0.0);
    EXPECT_LT(latency, 1.0);
}

TEST_F(SinkLive, TheToneMachineReachesTheNullSinkThroughAnInt16OnlyDevice) {
    mvtest::DeviceVariant int16Only(mvtest::deviceIndexOf("mv_null_b"), {SoundIoFormatS16LE});
    MvSink *sink = newSink();
    ASSERT_EQ(mvOpenSink(sink, int16Only.index(), kRate), MV_OK);
    EXPECT_EQ(mvGetSinkError(&sink->base), MV_OK);
    EXPECT_EQ(sink->deviceFormat, MV_FORMAT_INT16);
    EXPECT_EQ(sink->stream->format, SoundIoFormatS16LE);
    expectToneOn(sink, "mv_null_b");
    EXPECT_EQ(mvDeleteSink(&sink->base), MV_OK); // before the variant leaves the list
}

TEST_F(SinkLive, AnAutomaticSinkFollowsTheDefaultSinkAndAFixedOneStays) {
    std::string original = pactl("get-default-sink");
    std::string other = original == "mv_null_a" ? "mv_null_b" : "mv_null_a";
    MvSink *automatic = newSink();
    MvSink *fixed = newSink();
    ASSERT_EQ(mvOpenSink(automatic, -1, kRate), MV_OK);
    ASSERT_EQ(mvOpenSink(fixed, mvtest::deviceIndexOf(original), kRate), MV_OK);
    ASSERT_EQ(deviceOf(automatic), original);

    pactl("set-default-sink " + other);
    bool followed = eventually([&] { return deviceOf(automatic) == other; });
    EXPECT_TRUE(followed);
    EXPECT_EQ(mvGetSinkError(&automatic->base), MV_OK);
    EXPECT_EQ(deviceOf(fixed), original);
    if (followed) expectToneOn(automatic, other);
    pactl("set-default-sink " + original);
}

TEST_F(SinkLive, AKilledStreamMovesTheSinkToTheFallbackThroughThePrintHookOnly) {
    mvtest::PrintCapture print;
    MvSink *sink = newSink();
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.25f), MV_OK);
    ASSERT_EQ(mvOpenSink(sink, mvtest::deviceIndexOf("mv_null_b"), kRate), MV_OK);
    std::string input;
    ASSERT_TRUE(eventually([&] { return !(input = sinkInputOn("mv_null_b")).empty(); }));

    ASSERT_TRUE(mvtest::shell("pacmd kill-sink-input " + input));
    EXPECT_TRUE(eventually([&] { return mvGetSinkError(&sink->base) == -SoundIoErrorStreaming; }));
    EXPECT_EQ(mvGetSampleRate(&sink->base), kFallbackRate);
    EXPECT_EQ(print.count("Error code 8 in stream: "), 1);
    int renders = probe->renders.load();
    EXPECT_TRUE(eventually([&] { return probe->renders.load() > renders + 5; }));
}

// The server itself goes away while a sink plays on it.
TEST(SinkLiveServerLoss, PlayingSinkFallsBackAndUninitialiseReleasesEverything) {
    mvtest::FailingAllocator allocator; // counting only
    mvtest::OwnServer server;
    ASSERT_TRUE(server.running()) << "could not start a private PulseAudio server";
    mvtest::EngineSession session(DispatcherKind::threadSafe, mvtest::kDefaultOrder);
    ASSERT_EQ(session.status(), MV_OK);
    MvSoundModel *model;
    ASSERT_EQ(mvNewStereoSoundModel(&model), MV_OK);
    MvSink *sink;
    ASSERT_EQ(mvNewSink(&sink, model, 256), MV_OK);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.25f), MV_OK);
    ASSERT_EQ(mvOpenSink(sink, -1, kRate), MV_OK);
    ASSERT_EQ(mvGetDeviceBackend(-1), 2);
    ASSERT_TRUE(eventually([&] { return probe->renders.load() > 5; }));

    server.stop();
    EXPECT_TRUE(eventually([&] { return mvGetSampleRate(&sink->base) == kFallbackRate; }));
    int reason = mvGetSinkError(&sink->base);
    EXPECT_TRUE(reason == -SoundIoErrorStreaming || reason == -SoundIoErrorBackendDisconnected)
        << reason;
    int renders = probe->renders.load();
    EXPECT_TRUE(eventually([&] { return probe->renders.load() > renders + 5; }));
    EXPECT_EQ(mvUninitialize(), MV_OK);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// ---------------------------------------------------------------------------
// A server of the test's own that dies or loses its sinks. Unpatched,
// libsoundio hung an open racing the server's death and crashed on a server
// without a default sink.

constexpr auto kOpenBound = std::chrono::seconds(20);

std::string fallbackDeviceID() {
    const char *id = mvGetDeviceID(mvDeviceList.fallbackDefaultIndex);
    return id ? id : "";
}

class SinkLiveOwnServer : public testing::TestWithParam<DispatcherKind> {
protected:
    // A new server (null sinks mv_null_a, the default, and mv_null_b) and
    // the engine on it, replacing earlier ones; false when either failed.
    bool startServerAndEngine(bool withSinks = true) {
        session_.reset();
        server_.emplace();
        if (!server_->running()) return false;
        if (!withSinks) {
            pactl("unload-module module-null-sink");
            if (pactl("list short sinks") != "") return false;
        }
        return session_.emplace(GetParam(), mvtest::kDefaultOrder).status() == MV_OK;
    }

    // A sink playing a probe, opened on deviceIndex; its first renders seen.
    MvSink *playingSink(int deviceIndex, mvtest::Probe **probe) {
        MvSink *sink = newSink();
        EXPECT_EQ(mvtest::newProbe(probe, &sink->base, 0.25f), MV_OK);
        EXPECT_EQ(mvOpenSink(sink, deviceIndex, kRate), MV_OK);
        EXPECT_TRUE(eventually([&] { return (*probe)->renders.load() > 5; }));
        return sink;
    }

    static void expectRendersGoOn(const mvtest::Probe *probe) {
        int renders = probe->renders.load();
        EXPECT_TRUE(eventually([&] { return probe->renders.load() > renders + 5; }));
    }

    std::optional<mvtest::OwnServer> server_; // outlives the session
    std::optional<mvtest::EngineSession> session_;
};

TEST_P(SinkLiveOwnServer, OpeningRightAfterTheServerDiedEndsOnTheFallbackInBoundedTime) {
    const struct {
        const char *name;
        const char *device; // null: automatic
    } opens[] = {{"automatic", nullptr}, {"fixed", "mv_null_a"}};
    for (const auto &open : opens) {
        SCOPED_TRACE(open.name);
        ASSERT_TRUE(startServerAndEngine());
        int index = open.device ? mvtest::deviceIndexOf(open.device) : -1;
        ASSERT_TRUE(!open.device || index > 0);
        MvSink *sink = newSink();
        mvtest::Probe *probe;
        ASSERT_EQ(mvtest::newProbe(&probe, &sink->base, 0.25f), MV_OK);

        server_->kill();
        int status = -1;
        mvtest::expectReturnsWithin(kOpenBound, "mvOpenSink after the server died",
                                    [&] { status = mvOpenSink(sink, index, kRate); });
        EXPECT_EQ(status, MV_OK);
        EXPECT_EQ(deviceOf(sink), fallbackDeviceID());
        expectRendersGoOn(probe);
    }
}

TEST_P(SinkLiveOwnServer, AServerWithoutSinksLeavesTheFallbackDeviceToListRenderAndPlay) {
    ASSERT_TRUE(startServerAndEngine(false));
    EXPECT_EQ(mvGetBackendError(2), MV_OK);
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 1);
    EXPECT_EQ(mvGetDefaultDevice(), mvDeviceList.fallbackDefaultIndex);
    EXPECT_EQ(mvGetDeviceBackend(-1), 7);

    MvSink *loopback = newSink();
    ASSERT_EQ(mvOpenLoopbackSink(loopback, kRate, 2, MV_FORMAT_FLOAT32), MV_OK);
    mvtest::Probe *probe;
    ASSERT_EQ(mvtest::newProbe(&probe, &loopback->base, 0.25f), MV_OK);
    // The thread-safe dispatcher posts the probe's activation a little later.
    EXPECT_TRUE(eventually([&] {
        std::vector<float> out = mvtest::renderFloat(loopback, 64);
        return std::all_of(out.begin(), out.end(),
                           [](float s) { return std::abs(s - 0.25f) < 1e-6f; });
    }));

    MvSink *sink = playingSink(-1, &probe);
    EXPECT_EQ(mvGetSinkError(&sink->base), MV_OK);
    EXPECT_EQ(deviceOf(sink), fallbackDeviceID());
}

TEST_P(SinkLiveOwnServer, UnloadingTheLastSinkMovesAPlayingSinkToTheFallback) {
    ASSERT_TRUE(startServerAndEngine());
    mvtest::Probe *probe;
    MvSink *sink = playingSink(-1, &probe);
    ASSERT_EQ(deviceOf(sink), "mv_null_a");

    pactl("unload-module module-null-sink");
    EXPECT_TRUE(eventually([&] { return deviceOf(sink) == fallbackDeviceID(); }));
    expectRendersGoOn(probe);
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Live, SinkLiveOwnServer,
                         testing::Values(DispatcherKind::threadUnsafe, DispatcherKind::threadSafe),
                         testing::PrintToStringParamName());

} // namespace
