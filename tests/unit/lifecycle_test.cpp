// Library lifecycle and device registry on libsoundio's Dummy backend.
#include "mv_devices.h"
#include "mv_session.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>

#include <string>

using mvtest::DispatcherKind;

namespace {

int backendErrorFor(int backend) { return mvBackendList.errors[backend]; }

} // namespace

// ---------------------------------------------------------------------------
// Before initialisation and bad input

TEST(LifecycleUninitialised, EveryCallAnswersMinus99OrNull) {
    ASSERT_EQ(mvDispatcher, nullptr);
    EXPECT_EQ(mvUninitialize(), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvRefreshDeviceList(), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetBackendError(2), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetBackendError(99), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDeviceCount(), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDefaultDevice(), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDeviceBackend(-1), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDeviceName(-1), nullptr);
    EXPECT_EQ(mvGetDeviceName(0), nullptr);
    EXPECT_EQ(mvGetDeviceID(-1), nullptr);
    const uint8_t program[1] = {0};
    EXPECT_EQ(mvSetDSP(nullptr, 1, program, 0, 0, nullptr), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvSendDSPMessage(nullptr, 0, nullptr), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDSPError(nullptr, nullptr, nullptr, nullptr, nullptr), MV_ERROR_NOT_INITIALIZED);
    mvFlushDeviceEventsImpl(); // nothing connected: nothing to do
}

TEST(LifecycleUninitialised, BackendNamesNeedNoInitialisation) {
    EXPECT_STREQ(mvGetBackendName(2), soundio_backend_name(SoundIoBackendPulseAudio));
    EXPECT_STREQ(mvGetBackendName(6), soundio_backend_name(SoundIoBackendDummy));
    EXPECT_STREQ(mvGetBackendName(7), soundio_backend_name(SoundIoBackendDummy));
    EXPECT_STREQ(mvGetBackendName(0), soundio_backend_name(SoundIoBackendNone));
    EXPECT_EQ(mvGetBackendName(-1), nullptr);
    EXPECT_EQ(mvGetBackendName(8), nullptr);
}

class LifecycleStartUp : public testing::TestWithParam<DispatcherKind> {
protected:
    MvDispatcher *dispatcher = nullptr;
    void SetUp() override { ASSERT_EQ(mvtest::newDispatcher(GetParam(), &dispatcher), MV_OK); }
    // The host keeps a refused dispatcher; a working start-up disposes of it.
    void TearDown() override {
        mvtest::BackendOrderScope order(mvtest::kDummyOrder);
        if (!mvDispatcher) {
            ASSERT_EQ(mvInitialize(dispatcher), MV_OK);
        }
        EXPECT_EQ(mvUninitialize(), MV_OK);
    }
};

TEST_P(LifecycleStartUp, NullDispatcherIsRefused) {
    EXPECT_EQ(mvInitialize(nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvDispatcher, nullptr);
}

TEST_P(LifecycleStartUp, OrderWithoutBackendsAnswersMinus98AndInstallsNothing) {
    mvtest::BackendOrderScope order(mvtest::kEmptyOrder);
    EXPECT_EQ(mvInitialize(dispatcher), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvDispatcher, nullptr);
    EXPECT_EQ(mvBackendList.count, 0);
    EXPECT_EQ(mvBackendList.contexts, nullptr);
    for (int backend = 0; backend < mv::kBackendNumbers; ++backend)
        EXPECT_EQ(backendErrorFor(backend), MV_ERROR_BACKEND_NOT_TRIED);
}

TEST_P(LifecycleStartUp, BackendNumbersOutsideTheTableAreRefused) {
    for (int bad : {-1, 8, 1000}) {
        mvtest::BackendOrderScope order({6, bad, 0, 0, 0, 0, 0});
        EXPECT_EQ(mvInitialize(dispatcher), MV_ERROR_INDEX);
        EXPECT_EQ(mvDispatcher, nullptr);
    }
}

TEST_P(LifecycleStartUp, UnavailableBackendsAreRecordedAndLaterOnesNeverTried) {
    // CoreAudio and WASAPI are not built into this libsoundio.
    mvtest::BackendOrderScope order({4, 0, 5, 6, 2, 3, 0});
    ASSERT_EQ(mvInitialize(dispatcher), MV_OK);
    EXPECT_EQ(mvGetBackendError(4), -SoundIoErrorBackendUnavailable);
    EXPECT_EQ(mvGetBackendError(5), -SoundIoErrorBackendUnavailable);
    EXPECT_EQ(mvGetBackendError(6), MV_OK);
    EXPECT_EQ(mvGetBackendError(2), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvGetBackendError(3), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvGetBackendError(1), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvGetBackendError(7), MV_OK) << "the fallback connection";
}

TEST_P(LifecycleStartUp, EveryBackendFailingAnswersTheLastError) {
    mvtest::BackendOrderScope order({5, 0, 4, 0, 0, 0, 0});
    EXPECT_EQ(mvInitialize(dispatcher), -SoundIoErrorBackendUnavailable);
    EXPECT_EQ(mvDispatcher, nullptr);
    EXPECT_EQ(mvBackendList.contexts, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, LifecycleStartUp,
                         testing::Values(DispatcherKind::threadUnsafe, DispatcherKind::threadSafe),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------------------
// An initialised engine

class LifecycleOnDummy : public testing::TestWithParam<DispatcherKind> {
protected:
    mvtest::EngineSession session{GetParam(), mvtest::kDummyOrder};
    void SetUp() override { ASSERT_EQ(session.status(), MV_OK); }
};

TEST_P(LifecycleOnDummy, ConnectsThePreferredBackendAndTheFallback) {
    EXPECT_EQ(mvBackendList.count, 2);
    EXPECT_EQ(mv::engineBackendOf(mvBackendList.contexts[0]), 6);
    EXPECT_EQ(mv::engineBackendOf(mvBackendList.contexts[1]), 7);
    EXPECT_EQ(mvGetBackendError(6), MV_OK);
    EXPECT_EQ(mvGetBackendError(7), MV_OK);
    EXPECT_EQ(mvGetBackendError(2), MV_ERROR_BACKEND_NOT_TRIED);
    EXPECT_EQ(mvSinkList.capacity, 4);
    EXPECT_EQ(mvSinkList.count, 0);
}

TEST_P(LifecycleOnDummy, ListsTheFallbackDeviceFirstAndDefaultsToThePreferredOne) {
    ASSERT_EQ(mvGetDeviceCount(), 2);
    EXPECT_EQ(mvDeviceList.fallbackDefaultIndex, 0);
    EXPECT_EQ(mvGetDefaultDevice(), 1);
    EXPECT_EQ(mvGetDeviceBackend(0), 7);
    EXPECT_EQ(mvGetDeviceBackend(1), 6);
    EXPECT_EQ(mvGetDeviceBackend(-1), 6);
    EXPECT_EQ(mvDeviceList.devices[0]->soundio, mvBackendList.contexts[1]);
    EXPECT_EQ(mvDeviceList.devices[1]->soundio, mvBackendList.contexts[0]);
    EXPECT_STREQ(mvGetDeviceName(1), mvDeviceList.devices[1]->name);
    EXPECT_STREQ(mvGetDeviceID(1), mvDeviceList.devices[1]->id);
}

TEST_P(LifecycleOnDummy, AutomaticAndOutOfRangeIndices) {
    int count = mvGetDeviceCount();
    EXPECT_STREQ(mvGetDeviceName(-1), "Automatic");
    EXPECT_STREQ(mvGetDeviceID(-1), "auto");
    EXPECT_EQ(mvGetDeviceName(count), nullptr);
    EXPECT_EQ(mvGetDeviceID(count), nullptr);
    EXPECT_EQ(mvGetDeviceName(-2), nullptr);
    EXPECT_EQ(mvGetDeviceBackend(-2), MV_ERROR_INDEX);
    EXPECT_EQ(mvGetDeviceBackend(count), MV_ERROR_INDEX);
    EXPECT_EQ(mvGetBackendError(-1), MV_ERROR_INDEX);
    EXPECT_EQ(mvGetBackendError(8), MV_ERROR_INDEX);
}

TEST_P(LifecycleOnDummy, SecondInitializeKeepsTheFirstDispatcher) {
    MvDispatcher *first = mvDispatcher;
    MvDispatcher *second = nullptr;
    ASSERT_EQ(mvNewThreadUnsafeDispatcher(&second), MV_OK);
    EXPECT_EQ(mvInitialize(second), MV_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(mvDispatcher, first);
    mvFree(second); // a thread-unsafe record is a single block
}

TEST_P(LifecycleOnDummy, RefreshRebuildsTheSameList) {
    SoundIoDevice *before = mvDeviceList.devices[1];
    soundio_device_ref(before);
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    ASSERT_EQ(mvGetDeviceCount(), 2);
    EXPECT_EQ(mvGetDefaultDevice(), 1);
    EXPECT_EQ(mvDeviceList.fallbackDefaultIndex, 0);
    EXPECT_STREQ(mvDeviceList.devices[1]->id, before->id);
    soundio_device_unref(before);
}

TEST_P(LifecycleOnDummy, UninitializeReleasesTheRegistryAndKeepsTheErrors) {
    ASSERT_EQ(mvUninitialize(), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), MV_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(mvGetDeviceName(0), nullptr);
    EXPECT_EQ(mvBackendList.count, 0);
    EXPECT_EQ(mvBackendList.contexts, nullptr);
    EXPECT_EQ(mvDeviceList.count, 0);
    EXPECT_EQ(mvDeviceList.devices, nullptr);
    EXPECT_EQ(mvDeviceList.defaultIndex, -1);
    EXPECT_EQ(mvSinkList.items, nullptr);
    EXPECT_EQ(mvSinkList.capacity, 0);
    EXPECT_EQ(backendErrorFor(6), MV_OK);
    EXPECT_EQ(backendErrorFor(2), MV_ERROR_BACKEND_NOT_TRIED);
}

// libsoundio's own default would abort the process here.
TEST_P(LifecycleOnDummy, LostPreferredConnectionFallsBackInsteadOfAborting) {
    ASSERT_EQ(mvDispatcher->lock(), MV_OK);
    SoundIo *preferred = mvBackendList.contexts[0];
    preferred->on_backend_disconnect(preferred, SoundIoErrorBackendDisconnected);
    EXPECT_TRUE(mv::connectionLost(preferred));
    EXPECT_FALSE(mv::connectionLost(mvBackendList.contexts[1]));
    ASSERT_EQ(mvDispatcher->unlock(), MV_OK);
    EXPECT_EQ(mvGetDeviceBackend(-1), 7);
    ASSERT_EQ(mvRefreshDeviceList(), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 1) << "a lost connection's devices cannot be opened";
    EXPECT_EQ(mvGetDefaultDevice(), 0);
}

TEST_P(LifecycleOnDummy, RealtimePriorityWarningGoesOnlyThroughThePrintHookOnce) {
    mvtest::PrintCapture print;
    for (int c = 0; c < mvBackendList.count; ++c) {
        mvBackendList.contexts[c]->emit_rtprio_warning();
        mvBackendList.contexts[c]->emit_rtprio_warning();
    }
    EXPECT_EQ(print.lines().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, LifecycleOnDummy,
                         testing::Values(DispatcherKind::threadUnsafe, DispatcherKind::threadSafe),
                         testing::PrintToStringParamName());

// ---------------------------------------------------------------------------

TEST(LifecycleFallbackOnly, OneContextServesBothDefaults) {
    mvtest::EngineSession session(DispatcherKind::threadUnsafe, mvtest::kFallbackOnlyOrder);
    ASSERT_EQ(session.status(), MV_OK);
    EXPECT_EQ(mvBackendList.count, 1);
    EXPECT_EQ(mvGetBackendError(7), MV_OK);
    EXPECT_EQ(mvGetDeviceCount(), 1);
    EXPECT_EQ(mvGetDefaultDevice(), mvDeviceList.fallbackDefaultIndex);
    EXPECT_EQ(mvGetDeviceBackend(-1), 7);
    EXPECT_EQ(mvGetDeviceBackend(0), 7);
    mvFlushDeviceEventsImpl();
    EXPECT_EQ(mvGetDeviceCount(), 1);
}
