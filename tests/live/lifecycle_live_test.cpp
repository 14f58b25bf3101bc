// Lifecycle and device registry against the private PulseAudio server that
// scripts/pulse starts (null sinks mv_null_a, the default, and mv_null_b).
#include "mv_devices.h"
#include "mv_pulse_support.h"
#include "mv_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

using mvtest::DispatcherKind;
using mvtest::eventually;
using mvtest::pactl;
using mvtest::shell;

namespace {

constexpr int kPulseAudio = 2;

std::string currentDefaultID() {
    EXPECT_EQ(mvDispatcher->lock(), MV_OK);
    SoundIoDevice *device = mv::takeCurrentDefaultDevice();
    std::string id = device ? device->id : "";
    if (device) soundio_device_unref(device);
    EXPECT_EQ(mvDispatcher->unlock(), MV_OK);
    return id;
}

} // namespace

// A missing or unreachable server fails every test here: the live tier
// exists to prove the engine against a real server.
class LifecycleLive : public testing::TestWithParam<DispatcherKind> {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr)
            << "no private PulseAudio server: run the live tier through scripts/test";
        ASSERT_TRUE(shell("pactl info >/dev/null"))
            << "the private PulseAudio server does not answer";
        session.emplace(GetParam(), mvtest::kDefaultOrder);
        ASSERT_EQ(session->status(), MV_OK);
    }
    std::optional<mvtest::EngineSession> session;
};

TEST_P(LifecycleLive, DefaultOrderConnectsPulseAudioPlusTheFallback) {
    EXPECT_EQ(mvBackendList.count, 2);
    EXPECT_EQ(mvGetBackendError(kPulseAudio), MV_OK);
    for (int later : {3, 5, 6, 4, 1})
        EXPECT_EQ(mvGetBackendError(later), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvGetBackendError(7), MV_OK);
}

TEST_P(LifecycleLive, ListsTheNullSinksAfterTheFallbackDevice) {
    EXPECT_EQ(mvGetDeviceBackend(0), 7);
    for (const char *sink : {"mv_null_a", "mv_null_b"}) {
        int index = mvtest::deviceIndexOf(sink);
        ASSERT_GT(index, 0) << sink;
        EXPECT_STREQ(mvGetDeviceName(index), sink) << "description set by scripts/pulse";
        EXPECT_EQ(mvGetDeviceBackend(index), kPulseAudio);
    }
    int defaultIndex = mvGetDefaultDevice();
    EXPECT_STREQ(mvGetDeviceID(defaultIndex), pactl("get-default-sink").c_str());
    EXPECT_EQ(mvGetDeviceBackend(-1), kPulseAudio);
}

TEST_P(LifecycleLive, NullSinkLoadedWhileInitialisedAppearsAfterRefresh) {
    std::string name = "mv_null_live_" + std::to_string(::getpid());
    std::string module = pactl("load-module module-null-sink sink_name=" + name);
    ASSERT_FALSE(module.empty());
    int before = mvGetDeviceCount();
    bool appeared = eventually(
        [&] { return mvRefreshDeviceList() == MV_OK && mvtest::deviceIndexOf(name) > 0; });
    pactl("unload-module " + module);
    ASSERT_TRUE(appeared) << name << " never reached the device list";
    EXPECT_EQ(mvGetDeviceCount(), before + 1);
    EXPECT_EQ(mvGetDeviceBackend(mvtest::deviceIndexOf(name)), kPulseAudio);
}

TEST_P(LifecycleLive, AutomaticDeviceFollowsTheServersDefaultSink) {
    std::string original = pactl("get-default-sink");
    ASSERT_EQ(currentDefaultID(), original);
    std::string other = original == "mv_null_a" ? "mv_null_b" : "mv_null_a";
    pactl("set-default-sink " + other);
    // The event flush that delivers the change runs on the dispatcher's
    // schedule; a device-count query is a host call that gives it a turn.
    bool followed =
        eventually([&] { return mvGetDeviceCount() > 0 && currentDefaultID() == other; });
    pactl("set-default-sink " + original);
    EXPECT_TRUE(followed);
    EXPECT_EQ(mvGetDeviceBackend(-1), kPulseAudio);
}

INSTANTIATE_TEST_SUITE_P(Live, LifecycleLive,
                         testing::Values(DispatcherKind::threadUnsafe, DispatcherKind::threadSafe),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------------------

// libsoundio's own reaction to a vanished server is to abort the process.
TEST(LifecycleLiveServerLoss, EngineKeepsRunningOnTheFallbackWhenTheServerStops) {
    mvtest::OwnServer server;
    ASSERT_TRUE(server.running()) << "could not start a private PulseAudio server";
    mvtest::EngineSession session(DispatcherKind::threadSafe, mvtest::kDefaultOrder);
    ASSERT_EQ(session.status(), MV_OK);
    ASSERT_EQ(mvGetBackendError(kPulseAudio), MV_OK);
    ASSERT_EQ(mvGetDeviceBackend(-1), kPulseAudio);

    server.stop();
    // The engine thread's housekeeping delivers the disconnection.
    EXPECT_TRUE(eventually([] { return mvGetDeviceBackend(-1) == 7; }));
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 1);
    EXPECT_EQ(mvGetDeviceBackend(mvGetDefaultDevice()), 7);
    EXPECT_EQ(mvUninitialize(), MV_OK);
}
