// Status texts, sample-format tables, byte swap, sleep, hooks and the
// assertion report.
#include "marovel_audio.h"
#include "mv_status.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>
#include <soundio/soundio.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

TEST(StatusTexts, EngineRangeComesFromTheTable) {
    EXPECT_STREQ(mvGetErrorString(-100),
                 "Cannot initialize when Marovel Audio is already initialized");
    EXPECT_STREQ(mvGetErrorString(-97), "Thread-related error");
    EXPECT_STREQ(mvGetErrorString(-93), "Illegal NULL pointer passed to function");
    EXPECT_STREQ(
        mvGetErrorString(-80),
        "DSP too large: 4*maxChannelCount*maxChunkSize + stackSize + progLen must not exceed "
        "0xFFFF");
    for (int code = -100; code <= -80; ++code) EXPECT_NE(mvGetErrorString(code), nullptr) << code;
}

TEST(StatusTexts, OutsideTheRangeLibsoundioNamesTheNegatedNumber) {
    EXPECT_STREQ(mvGetErrorString(0), soundio_strerror(SoundIoErrorNone));
    EXPECT_STREQ(mvGetErrorString(-1), soundio_strerror(SoundIoErrorNoMem));
    EXPECT_STREQ(mvGetErrorString(-SoundIoErrorBackendDisconnected),
                 soundio_strerror(SoundIoErrorBackendDisconnected));
    EXPECT_STREQ(mvGetErrorString(-79), soundio_strerror(79));
    EXPECT_STREQ(mvGetErrorString(-101), soundio_strerror(101));
    EXPECT_STREQ(mvGetErrorString(INT_MIN), soundio_strerror(INT_MAX));
}

TEST(LibraryFacts, VersionAndByteOrder) {
    EXPECT_EQ(mvGetVersion(), 4);
    const uint16_t probe = 1;
    EXPECT_EQ(mvIsLittleEndian(), *reinterpret_cast<const uint8_t *>(&probe));
}

TEST(SampleFormats, NamesAndSizesForEveryFormat) {
    const std::array<const char *, 6> names{"float32", "int32", "int24", "int16", "int8", "uint8"};
    const std::array<int, 6> sizes{4, 4, 3, 2, 1, 1};
    for (int format = 0; format < 6; ++format) {
        EXPECT_STREQ(mvGetSampleFormatName(format), names[format]);
        EXPECT_EQ(mvGetSampleSize(format), sizes[format]);
    }
}

TEST(SampleFormats, OutOfRangeValuesAreRefused) {
    for (int format : {-1, 6, INT_MIN, INT_MAX}) {
        EXPECT_EQ(mvGetSampleFormatName(format), nullptr) << format;
        EXPECT_EQ(mvGetSampleSize(format), MV_ERROR_SAMPLE_FORMAT) << format;
    }
}

TEST(ByteSwap, StridedThreeByteValuesSwapOuterBytesOnly) {
    std::array<uint8_t, 18> data{};
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    mvByteSwap(data.data(), 2, 3, 3);
    // Values at byte offsets 0, 6 and 12; everything in between untouched.
    const std::array<uint8_t, 18> expected{2, 1,  0,  3,  4,  5,  8,  7,  6,
                                           9, 10, 11, 14, 13, 12, 15, 16, 17};
    EXPECT_EQ(data, expected);
}

TEST(ByteSwap, PackedValuesOfEachWidthReverse) {
    std::array<uint8_t, 8> two{1, 2, 3, 4, 5, 6, 7, 8};
    mvByteSwap(two.data(), 1, 2, 4);
    EXPECT_EQ(two, (std::array<uint8_t, 8>{2, 1, 4, 3, 6, 5, 8, 7}));

    std::array<uint8_t, 8> four{1, 2, 3, 4, 5, 6, 7, 8};
    mvByteSwap(four.data(), 1, 4, 2);
    EXPECT_EQ(four, (std::array<uint8_t, 8>{4, 3, 2, 1, 8, 7, 6, 5}));

    std::array<uint8_t, 8> eight{1, 2, 3, 4, 5, 6, 7, 8};
    mvByteSwap(eight.data(), 1, 8, 1);
    EXPECT_EQ(eight, (std::array<uint8_t, 8>{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(ByteSwap, NothingToSwapLeavesDataAlone) {
    std::array<uint8_t, 4> data{1, 2, 3, 4};
    mvByteSwap(data.data(), 1, 2, 0);
    mvByteSwap(data.data(), 1, 2, -3);
    mvByteSwap(data.data(), 1, 1, 4);
    mvByteSwap(data.data(), 1, 0, 4);
    mvByteSwap(nullptr, 1, 2, 4);
    EXPECT_EQ(data, (std::array<uint8_t, 4>{1, 2, 3, 4}));
}

int64_t sleptMillis(int milliseconds, int *status) {
    auto start = Clock::now();
    *status = mvSleep(milliseconds);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(MvSleep, SplitsSecondsAndMillisecondsAndSleepsAtLeastThatLong) {
    int status = -1;
    EXPECT_GE(sleptMillis(1005, &status), 1005);
    EXPECT_EQ(status, MV_OK);
    EXPECT_GE(sleptMillis(15, &status), 15);
    EXPECT_EQ(status, MV_OK);
}

TEST(MvSleep, ZeroAndNegativeReturnAtOnce) {
    int status = -1;
    EXPECT_LT(sleptMillis(0, &status), 500);
    EXPECT_EQ(status, MV_OK);
    EXPECT_LT(sleptMillis(-1500, &status), 500);
    EXPECT_EQ(status, MV_OK) << "a negative time means no delay, not a failure";
    EXPECT_LT(sleptMillis(INT_MIN, &status), 500);
    EXPECT_EQ(status, MV_OK);
}

TEST(MvSleep, InterruptedSleepFailsWithMinus97) {
    std::atomic<bool> finished{false};
    std::atomic<int> status{0};
    std::thread sleeper([&] {
        status = mvSleep(60000);
        finished = true;
    });
    mvtest::interruptUntil(sleeper.native_handle(), finished);
    sleeper.join();
    EXPECT_EQ(status.load(), MV_ERROR_THREAD);
}

TEST(Hooks, AllocatorHooksStartAsTheRuntimeAllocatorAndPrintIsSilent) {
    EXPECT_EQ(mvMalloc, &std::malloc);
    EXPECT_EQ(mvRealloc, &std::realloc);
    EXPECT_EQ(mvFree, &std::free);
    EXPECT_EQ(mvPrint, nullptr);
}

TEST(AssertionReport, PrintsExpressionFileAndLine) {
    mvtest::PrintCapture print;
    MV_REPORT_ASSERTION("sampler->head != NULL", "src/mv_sampler", 60);
    EXPECT_EQ(print.lines(), std::vector<std::string>{
                                 "Assertion sampler->head != NULL failed @ src/mv_sampler : 60\n"});
}

TEST(AssertionReport, SilentWithoutPrintHook) {
    ASSERT_EQ(mvPrint, nullptr);
    MV_REPORT_ASSERTION("model != NULL", "src/mv_mono", 1); // must not crash
}

// The test-support allocator is what every allocation-failure test trusts.
TEST(FailingAllocatorSupport, FailsTheChosenCallAndCountsLiveBlocks) {
    mvtest::FailingAllocator allocator;
    allocator.failNth(2);
    void *first = mvMalloc(10);
    EXPECT_EQ(mvMalloc(20), nullptr);
    void *third = mvRealloc(nullptr, 30);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(allocator.allocationCalls(), 3);
    EXPECT_EQ(allocator.failedCalls(), 1);
    EXPECT_EQ(allocator.liveBlocks(), 2);
    EXPECT_EQ(allocator.liveBytes(), 40u);

    allocator.failFrom(1);
    EXPECT_EQ(mvRealloc(first, 100), nullptr);
    EXPECT_EQ(allocator.liveBytes(), 40u) << "a failed realloc keeps the old block";
    allocator.failNever();
    first = mvRealloc(first, 100);
    EXPECT_EQ(allocator.liveBytes(), 130u);
    mvFree(first);
    mvFree(third);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(allocator.liveBytes(), 0u);
}

TEST(FailingAllocatorSupport, RestoresPreviousHooksAndPassesForeignBlocksThrough) {
    void *before = mvMalloc(8);
    {
        mvtest::FailingAllocator allocator;
        mvFree(before); // obtained before installation: released, not counted
        EXPECT_EQ(allocator.liveBlocks(), 0);
    }
    EXPECT_EQ(mvMalloc, &std::malloc);
    EXPECT_EQ(mvFree, &std::free);
}

} // namespace
