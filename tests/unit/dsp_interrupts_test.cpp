// Interrupt services: the table, the argument convention and its creation
// exceptions, math special cases, frames, resources by kind, block bounds
// and allocation failures.
#include "dsp/mv_biquad.h"
#include "dsp/mv_dsp_interrupts.h"
#include "dsp/mv_dsp_resources.h"
#include "dsp/mv_dsp_vm.h"
#include "dsp/mv_reverb.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>

using namespace mv;

namespace {

using enum MvDspInterrupt;

constexpr uint8_t kProgram[4] = {};
constexpr int kInvalidValue = -6;

// A VM with an image of 4 program bytes, a sample region and a stack, and a
// fresh resource table, released the way the hosting machine releases it.
class ServiceVm {
public:
    explicit ServiceVm(uint16_t region = 256, uint16_t stack = 64)
        : vm_(dspVmCreate(kProgram, sizeof kProgram, region, stack)) {
        list_.capacity = 4;
        list_.count = 1;
        list_.entries = static_cast<MvDspResourceEntry *>(mvMalloc(4 * sizeof(MvDspResourceEntry)));
        list_.entries[0] = {nullptr, nullptr};
        vm_->resources = &list_;
    }
    ~ServiceVm() {
        for (int handle = 1; handle < list_.count; ++handle)
            list_.entries[handle].release(list_.entries[handle].data);
        mvFree(list_.entries);
        dspVmDestroy(vm_);
    }

    MvDspVm *vm() { return vm_; }
    MvDspResourceList &resources() { return list_; }
    uint32_t memorySize() const { return vm_->memorySize; }

    ServiceVm &push(uint32_t word) { return dspVmPush(vm_, word), *this; }
    ServiceVm &pushInt(int32_t value) { return push(static_cast<uint32_t>(value)); }
    ServiceVm &pushFloat(float value) { return push(std::bit_cast<uint32_t>(value)); }

    int32_t call(MvDspInterrupt number) {
        const int n = static_cast<int>(number);
        return mvDSPInterruptCallbacks[n](vm_, n);
    }
    uint32_t reg(int index) const { return dspVmGetRegister(vm_, index); }
    uint32_t r0() const { return reg(0); }
    float r0Float() const { return std::bit_cast<float>(r0()); }
    uint32_t depth() const { return dspVmStackDepth(vm_); }
    float *floatAt(uint32_t address) {
        return reinterpret_cast<float *>(dspVmAddress(vm_, address));
    }

    // One word pushed as the operand; R0 afterwards.
    uint32_t unaryWord(MvDspInterrupt number, uint32_t x) {
        push(x);
        EXPECT_EQ(call(number), 0);
        return r0();
    }
    float unary(MvDspInterrupt number, float x) {
        return std::bit_cast<float>(unaryWord(number, std::bit_cast<uint32_t>(x)));
    }
    // Operands listed in popping order: first is pushed last.
    uint32_t binary(MvDspInterrupt number, uint32_t first, uint32_t second) {
        push(second).push(first);
        EXPECT_EQ(call(number), 0);
        EXPECT_EQ(depth(), 0u);
        return r0();
    }
    float binaryFloat(MvDspInterrupt number, float first, float second) {
        return std::bit_cast<float>(
            binary(number, std::bit_cast<uint32_t>(first), std::bit_cast<uint32_t>(second)));
    }

    int32_t newBiquad(int32_t rate = 44100) {
        pushInt(rate);
        EXPECT_EQ(call(BIQUAD_NEW), 0);
        return static_cast<int32_t>(r0());
    }
    // Pushed last argument first: mode, width, dry, wet, damping, room, channels, rate.
    int32_t pushReverbArguments(int32_t rate, int32_t channels, float room = 0.5f,
                                float damp = 0.5f, float wet = 0.3f, float dry = 0.25f,
                                float width = 1, float mode = 0) {
        pushFloat(mode).pushFloat(width).pushFloat(dry).pushFloat(wet).pushFloat(damp).pushFloat(
            room);
        pushInt(channels).pushInt(rate);
        return call(REVERB_NEW);
    }
    int32_t newReverb(int32_t channels = 2) {
        EXPECT_EQ(pushReverbArguments(44100, channels), 0);
        return static_cast<int32_t>(r0());
    }
    int32_t process(MvDspInterrupt number, int32_t handle, int32_t address, int32_t count,
                    int32_t step) {
        pushInt(step).pushInt(count).pushInt(address).pushInt(handle);
        return call(number);
    }

private:
    MvDspVm *vm_;
    MvDspResourceList list_{};
};

uint32_t bitsOf(float x) { return std::bit_cast<uint32_t>(x); }

void ownRelease(void *) {}

TEST(InterruptTable, FiftyOneServicesAtTheirNumbers) {
    int filled = 0;
    for (int n = 0; n < 256; ++n) {
        const bool expected =
            n <= 1 || (n >= 16 && n <= 44) || (n >= 96 && n <= 106) || (n >= 112 && n <= 120);
        EXPECT_EQ(mvDSPInterruptCallbacks[n] != nullptr, expected) << n;
        filled += mvDSPInterruptCallbacks[n] != nullptr;
    }
    EXPECT_EQ(filled, kDspInterruptServiceCount);
}

TEST(InterruptArguments, FirstListedArgumentIsOnTop) {
    ServiceVm s;
    // A program computes atan2(y, x) by pushing x, then y.
    s.pushFloat(0.0f).pushFloat(1.0f);
    EXPECT_EQ(s.call(ATAN2), 0);
    EXPECT_EQ(s.r0Float(), static_cast<float>(std::numbers::pi / 2));
    EXPECT_EQ(s.depth(), 0u);
    EXPECT_EQ(s.binaryFloat(POW, 2, 10), 1024.0f);
    EXPECT_EQ(s.binaryFloat(FMOD, 7, -2), 1.0f);
    EXPECT_EQ(s.binaryFloat(FMOD, -7, 2), -1.0f);
}

TEST(InterruptArguments, ShortStackPopsNothing) {
    ServiceVm s;
    s.vm()->registers[0] = 1234;
    EXPECT_EQ(s.call(COS), MV_DSP_STACK_UNDERFLOW);
    EXPECT_EQ(s.depth(), 0u);
    s.pushFloat(1.0f);
    EXPECT_EQ(s.call(ATAN2), MV_DSP_STACK_UNDERFLOW);
    EXPECT_EQ(s.depth(), 4u);
    EXPECT_EQ(s.r0(), 1234u); // a failed service leaves R0 to the dispatcher
    EXPECT_EQ(s.process(BIQUAD_PROCESS, 1, 0, 0, 0), kInvalidValue); // four words: enough
    dspVmSetRegister(s.vm(), MV_DSP_SP, s.memorySize() + 4);         // sp past the image
    EXPECT_EQ(s.call(SIN), MV_DSP_STACK_UNDERFLOW);
}

TEST(InterruptMath, RoundingAndSignServices) {
    ServiceVm s;
    EXPECT_EQ(s.unary(ROUND, 2.5f), 3.0f);
    EXPECT_EQ(s.unary(ROUND, -2.5f), -3.0f);
    EXPECT_EQ(s.unary(ROUND, 0.49999997f), 0.0f);
    EXPECT_EQ(bitsOf(s.unary(ROUND, -0.4f)), bitsOf(-0.0f));
    EXPECT_EQ(s.unary(FLOOR, -0.5f), -1.0f);
    EXPECT_EQ(bitsOf(s.unary(CEIL, -0.5f)), bitsOf(-0.0f));
    EXPECT_EQ(bitsOf(s.unary(FABS, -NAN)), bitsOf(NAN));
    EXPECT_EQ(s.unaryWord(IABS, 0x80000000u), 0x80000000u); // INT_MIN stays
    EXPECT_EQ(s.unaryWord(IABS, static_cast<uint32_t>(-7)), 7u);
    EXPECT_EQ(s.unaryWord(FSIGN, bitsOf(-0.0f)), 0u);
    EXPECT_EQ(s.unaryWord(FSIGN, bitsOf(NAN)), 0u);
    EXPECT_EQ(s.unaryWord(FSIGN, bitsOf(-3.0f)), 0xFFFFFFFFu);
    EXPECT_EQ(s.unaryWord(ISIGN, static_cast<uint32_t>(-5)), 0xFFFFFFFFu); // int32 -1, not a float
}

TEST(InterruptMath, MinimaAndMaximaKeepTheFirstOperandOnNan) {
    ServiceVm s;
    EXPECT_TRUE(std::isnan(s.binaryFloat(FMIN, NAN, 1)));
    EXPECT_EQ(s.binaryFloat(FMIN, 1, NAN), 1.0f);
    EXPECT_EQ(s.binaryFloat(FMIN, 3, -2), -2.0f);
    EXPECT_TRUE(std::isnan(s.binaryFloat(FMAX, NAN, 1)));
    EXPECT_EQ(s.binaryFloat(FMAX, 1, NAN), 1.0f);
    EXPECT_EQ(s.binaryFloat(FMAX, 3, -2), 3.0f);
    const uint32_t minusOne = 0xFFFFFFFF;
    EXPECT_EQ(s.binary(IMIN, minusOne, 1), minusOne);
    EXPECT_EQ(s.binary(UMIN, minusOne, 1), 1u);
    EXPECT_EQ(s.binary(IMAX, minusOne, 1), 1u);
    EXPECT_EQ(s.binary(UMAX, minusOne, 1), minusOne);
}

TEST(InterruptMath, FunctionsRoundOnceFromDouble) {
    ServiceVm s;
    EXPECT_EQ(s.unary(COS, 1), static_cast<float>(std::cos(1.0)));
    EXPECT_EQ(s.unary(ASIN, 1), static_cast<float>(std::numbers::pi / 2));
    EXPECT_EQ(s.unary(ACOS, -1), static_cast<float>(std::numbers::pi));
    EXPECT_TRUE(std::isnan(s.unary(ACOS, 2)));
    EXPECT_EQ(s.unary(SINH, -1), static_cast<float>(std::sinh(-1.0)));
    EXPECT_EQ(s.unary(TANH, -100), -1.0f);
    EXPECT_EQ(s.unary(COSH, 0), 1.0f);
    EXPECT_EQ(s.unary(LOG10, 1000), 3.0f);
    EXPECT_EQ(s.unary(LOG, 0), -INFINITY);
    EXPECT_TRUE(std::isnan(s.unary(SQRT, -1)));
    EXPECT_EQ(s.unary(EXP, 0), 1.0f);
    EXPECT_EQ(s.binaryFloat(POW, NAN, 0), 1.0f);
    EXPECT_TRUE(std::isnan(s.binaryFloat(POW, -8, 1.0f / 3)));
}

TEST(InterruptFrames, EnterAndLeaveRestoreTheCaller) {
    ServiceVm s;
    const uint32_t M = s.memorySize();
    dspVmSetRegister(s.vm(), MV_DSP_FP, 1000);
    dspVmSetRegister(s.vm(), MV_DSP_LR, 77);
    s.push(5);
    EXPECT_EQ(s.call(ENTER_FRAME), 0);
    EXPECT_EQ(s.reg(MV_DSP_FP), M - 12);
    EXPECT_EQ(s.reg(MV_DSP_SP), M - 12);
    s.push(1).push(2).push(3);
    dspVmSetRegister(s.vm(), MV_DSP_LR, 99);
    EXPECT_EQ(s.call(LEAVE_FRAME), 0);
    EXPECT_EQ(s.reg(MV_DSP_SP), M - 4);
    EXPECT_EQ(s.reg(MV_DSP_FP), 1000u);
    EXPECT_EQ(s.reg(MV_DSP_LR), 77u);
}

TEST(InterruptFrames, FrameBounds) {
    ServiceVm s;
    dspVmSetRegister(s.vm(), MV_DSP_SP, 8);
    EXPECT_EQ(s.call(ENTER_FRAME), 0);
    EXPECT_EQ(s.reg(MV_DSP_SP), 0u);
    EXPECT_EQ(s.reg(MV_DSP_FP), 0u);
    dspVmSetRegister(s.vm(), MV_DSP_SP, 7);
    EXPECT_EQ(s.call(ENTER_FRAME), MV_DSP_STACK_OVERFLOW);
    dspVmSetRegister(s.vm(), MV_DSP_SP, s.memorySize() + 8);
    EXPECT_EQ(s.call(ENTER_FRAME), MV_DSP_STACK_OVERFLOW);

    dspVmReset(s.vm());
    s.push(0);
    EXPECT_EQ(s.call(LEAVE_FRAME), MV_DSP_STACK_UNDERFLOW); // needs two words
    s.push(0);
    dspVmSetRegister(s.vm(), MV_DSP_FP, s.memorySize() - 4); // saved pair would cross the end
    EXPECT_EQ(s.call(LEAVE_FRAME), MV_DSP_STACK_UNDERFLOW);
    EXPECT_EQ(s.depth(), 8u);
}

TEST(InterruptResources, CreationOnAShortStackLeavesSevenInR0) {
    mvtest::FailingAllocator allocator;
    ServiceVm s;
    EXPECT_EQ(s.call(BIQUAD_NEW), 0);
    EXPECT_EQ(s.r0(), 7u);
    for (int i = 0; i < 7; ++i) s.push(1);
    EXPECT_EQ(s.call(REVERB_NEW), 0);
    EXPECT_EQ(s.r0(), 7u);
    EXPECT_EQ(s.depth(), 28u);
    EXPECT_EQ(s.resources().count, 1);
}

TEST(InterruptResources, CreationChecksRateAndChannelsAsSoonAsPopped) {
    ServiceVm s;
    mvtest::FailingAllocator allocator;
    s.pushInt(0);
    EXPECT_EQ(s.call(BIQUAD_NEW), MV_ERROR_SAMPLE_RATE);
    EXPECT_EQ(s.pushReverbArguments(kReverbMinRate - 1, 2), MV_ERROR_SAMPLE_RATE);
    EXPECT_EQ(s.depth(), 28u); // channel count and the six values stay
    dspVmReset(s.vm());
    EXPECT_EQ(s.pushReverbArguments(kReverbMaxRate + 1, 2), MV_ERROR_SAMPLE_RATE);
    dspVmReset(s.vm());
    EXPECT_EQ(s.pushReverbArguments(44100, 0), MV_ERROR_SPEAKER_LAYOUT);
    EXPECT_EQ(s.depth(), 24u);
    EXPECT_EQ(allocator.allocationCalls(), 0);
    dspVmReset(s.vm());
    EXPECT_EQ(s.pushReverbArguments(kReverbMinRate, 1), 0);
    EXPECT_EQ(s.r0(), 1u);
}

TEST(InterruptResources, HandlesCountAcrossKindsAndKindsAreChecked) {
    ServiceVm s;
    EXPECT_EQ(s.newBiquad(), 1);
    EXPECT_EQ(s.newReverb(), 2);
    EXPECT_EQ(s.newBiquad(), 3);
    ASSERT_EQ(mvDSPAddResource(&s.resources(), ownRelease, nullptr), 4);
    for (int32_t handle : {0, -1, 2, 4, 5}) {
        s.pushInt(handle);
        EXPECT_EQ(s.call(BIQUAD_RESET), kInvalidValue) << handle;
        s.pushFloat(0.5f).pushInt(handle);
        EXPECT_EQ(s.call(REVERB_DRY), handle == 2 ? 0 : kInvalidValue) << handle;
        EXPECT_EQ(s.depth(), 0u); // all arguments popped before the lookup
    }
    EXPECT_EQ(s.process(REVERB_PROCESS, 1, 0, 1, 2), kInvalidValue);
}

TEST(InterruptResources, ServicesPassTheirValuesInOrder) {
    ServiceVm s;
    const int32_t filter = s.newBiquad(48000);
    s.pushFloat(3).pushFloat(2000).pushInt(filter); // resonance, frequency, handle
    EXPECT_EQ(s.call(BIQUAD_LOWPASS), 0);
    MvBiquad expected{};
    expected.sampleRate = 48000;
    biquadLowpass(&expected, 2000, 3);
    const auto *made =
        static_cast<MvBiquad *>(dspFindResource(&s.resources(), filter, releaseBiquad));
    EXPECT_EQ(std::memcmp(made, &expected, sizeof expected), 0);

    ASSERT_EQ(s.pushReverbArguments(48000, 3, 1, 0.25f, 0.5f, 0.75f, 0.2f, 0.6f), 0);
    const auto *reverb = static_cast<MvReverb *>(
        dspFindResource(&s.resources(), static_cast<int32_t>(s.r0()), releaseReverb));
    EXPECT_EQ(reverb->channels, 3);
    EXPECT_EQ(reverb->roomSize, 0.98f);
    EXPECT_EQ(reverb->damp, 0.1f);
    EXPECT_EQ(reverb->wet, 1.5f);
    EXPECT_EQ(reverb->dry, 1.5f);
    EXPECT_EQ(reverb->width, 0.2f);
    EXPECT_EQ(reverb->mode, 0.6f);
    EXPECT_EQ(reverb->combL[0].bufSize, 1214);
}

TEST(InterruptBlocks, BoundsAreCheckedBeforeAnyFloat) {
    ServiceVm s;
    const int32_t M = static_cast<int32_t>(s.memorySize());
    const int32_t filter = s.newBiquad();
    s.pushFloat(0).pushFloat(1000).pushInt(filter);
    ASSERT_EQ(s.call(BIQUAD_LOWPASS), 0);
    auto *made = static_cast<MvBiquad *>(dspFindResource(&s.resources(), filter, releaseBiquad));
    made->x1 = 0.5f;
    *s.floatAt(4) = 1;
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, M - 1, 0, 1), 0);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, 4, 2, (M - 4) / 4), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(*s.floatAt(4), 1.0f);
    EXPECT_EQ(made->x1, 0.5f);
    // The last float of the image, where the popped step word (0) lies.
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, M - 4, 1, 0), 0);
    EXPECT_EQ(made->x1, 0.0f);
    EXPECT_EQ(made->x2, 0.5f);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, M - 4, 2, 1), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, -4, 1, 0), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, 0, -1, 0), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, 4, 3, -1), MV_DSP_INVALID_ADDRESS); // runs below 0
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, 0, 2, INT_MAX), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter + 1, M, 0, 1),
              MV_DSP_INVALID_ADDRESS); // 8 before -6

    const int32_t reverb = s.newReverb(3);
    EXPECT_EQ(s.process(REVERB_PROCESS, reverb, M - 12, 1, 3), 0);
    EXPECT_EQ(s.process(REVERB_PROCESS, reverb, M - 8, 1, 3), MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(s.process(REVERB_PROCESS, reverb, M - 24, 2, 3), 0);
    EXPECT_EQ(s.process(REVERB_PROCESS, reverb, M - 24, 2, 4), MV_DSP_INVALID_ADDRESS);
}

TEST(InterruptBlocks, SamplesAtAnyByteAddressAreFilteredInPlace) {
    ServiceVm s;
    const int32_t filter = s.newBiquad();
    s.pushFloat(2).pushFloat(500).pushFloat(1000).pushInt(filter); // peaking
    ASSERT_EQ(s.call(BIQUAD_PEAKING), 0);
    float samples[6] = {1, 0.5f, -0.25f, 0, 0.75f, -1};
    std::memcpy(s.floatAt(9), samples, sizeof samples);
    EXPECT_EQ(s.process(BIQUAD_PROCESS, filter, 9, 3, 2), 0);

    MvBiquad expected{};
    expected.sampleRate = 44100;
    biquadPeaking(&expected, 1000, 500, 2);
    biquadProcess(&expected, samples, 3, 2);
    float result[6];
    std::memcpy(result, s.floatAt(9), sizeof result);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(result[i], samples[i]) << i;
}

TEST(InterruptAllocation, FailuresLeaveNothingBehind) {
    mvtest::FailingAllocator allocator;
    {
        ServiceVm s;
        allocator.failNth(1);
        s.pushInt(44100);
        EXPECT_EQ(s.call(BIQUAD_NEW), MV_ERROR_NO_MEMORY);
        allocator.failNth(1);
        EXPECT_EQ(s.pushReverbArguments(44100, 2), MV_ERROR_NO_MEMORY);
        EXPECT_EQ(s.resources().count, 1);

        s.newBiquad(), s.newBiquad(), s.newBiquad(); // the table is now full
        const long before = allocator.liveBlocks();
        allocator.failNth(2); // the record is made, the table cannot grow
        s.pushInt(44100);
        EXPECT_EQ(s.call(BIQUAD_NEW), MV_ERROR_NO_MEMORY);
        allocator.failNth(2);
        EXPECT_EQ(s.pushReverbArguments(44100, 2), MV_ERROR_NO_MEMORY);
        EXPECT_EQ(allocator.liveBlocks(), before);
        EXPECT_EQ(s.resources().count, 4);
        EXPECT_EQ(s.resources().capacity, 4);
    }
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

TEST(ResourceTable, HandlesStartAtOneAndTheTableDoubles) {
    mvtest::FailingAllocator allocator;
    ServiceVm s;
    MvDspResourceList &list = s.resources();
    int data[4];
    EXPECT_EQ(mvDSPAddResource(&list, ownRelease, &data[0]), 1);
    EXPECT_EQ(mvDSPAddResource(&list, ownRelease, &data[1]), 2);
    EXPECT_EQ(mvDSPAddResource(&list, ownRelease, &data[2]), 3);
    EXPECT_EQ(list.capacity, 4);
    EXPECT_EQ(mvDSPAddResource(&list, ownRelease, &data[3]), 4);
    EXPECT_EQ(list.capacity, 8);
    EXPECT_EQ(list.entries[4].data, &data[3]);
    EXPECT_EQ(dspFindResource(&list, 2, ownRelease), &data[1]);
    EXPECT_EQ(dspFindResource(&list, 2, releaseBiquad), nullptr);
    EXPECT_EQ(mvDSPAddResource(nullptr, ownRelease, &data[0]), MV_ERROR_NULL_POINTER);
}

} // namespace
