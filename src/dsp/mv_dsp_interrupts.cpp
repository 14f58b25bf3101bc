// The built-in interrupt services and the table that maps interrupt numbers
// to them. Every service checks the stack before it pops and the memory
// before it touches a sample, because the VM primitives check nothing.
#include "mv_dsp_interrupts.h"

#include "mv_biquad.h"
#include "mv_dsp_resources.h"
#include "mv_dsp_vm.h"
#include "mv_reverb.h"

#include <soundio/soundio.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <tuple>

namespace mv {

namespace {

constexpr int32_t kServed = 0;
constexpr int32_t kStackOverflow = MV_DSP_STACK_OVERFLOW;
constexpr int32_t kStackUnderflow = MV_DSP_STACK_UNDERFLOW;
constexpr int32_t kInvalidAddress = MV_DSP_INVALID_ADDRESS;
constexpr int32_t kNoSuchResource = -SoundIoErrorInvalid;
constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kFrameWords = 2; // saved lr and fp
constexpr uint32_t kSignBit = 0x80000000;
constexpr int kResultRegister = 0;

// Budget units beyond the interrupt instruction itself. A libm call costs
// about as much as a handful of simple instructions; block services pay per
// sample, per frame and delay line, and per delay-line element they clear.
constexpr uint64_t kMathCallUnits = 8;
constexpr uint64_t kReverbLines = 2 * (MV_REVERB_COMBS + MV_REVERB_ALLPASSES);

// ---- stack and registers --------------------------------------------------

uint32_t registerOf(const MvDspVm *vm, int index) { return dspVmGetRegister(vm, index); }

bool stackHolds(const MvDspVm *vm, uint32_t words) {
    return registerOf(vm, MV_DSP_SP) <= vm->memorySize && dspVmStackDepth(vm) >= kWordBytes * words;
}

int32_t popInt(MvDspVm *vm) { return static_cast<int32_t>(dspVmPop(vm)); }
float popFloat(MvDspVm *vm) { return std::bit_cast<float>(dspVmPop(vm)); }
void setResult(MvDspVm *vm, uint32_t word) { dspVmSetRegister(vm, kResultRegister, word); }

float asFloat(uint32_t word) { return std::bit_cast<float>(word); }
uint32_t floatWord(double value) { return std::bit_cast<uint32_t>(static_cast<float>(value)); }
uint32_t intWord(int32_t value) { return static_cast<uint32_t>(value); }

// ---- frames ---------------------------------------------------------------

int32_t enterFrame(MvDspVm *vm, int) {
    const uint32_t sp = registerOf(vm, MV_DSP_SP);
    if (sp < kWordBytes * kFrameWords || sp > vm->memorySize) return kStackOverflow;
    dspVmPush(vm, registerOf(vm, MV_DSP_FP));
    dspVmPush(vm, registerOf(vm, MV_DSP_LR));
    dspVmSetRegister(vm, MV_DSP_FP, registerOf(vm, MV_DSP_SP));
    return kServed;
}

int32_t leaveFrame(MvDspVm *vm, int) {
    const uint32_t fp = registerOf(vm, MV_DSP_FP);
    if (!stackHolds(vm, kFrameWords)) return kStackUnderflow;
    // The saved pair is read at fp, which the program may have moved anywhere.
    if (uint64_t{fp} + kWordBytes * kFrameWords > vm->memorySize) return kStackUnderflow;
    dspVmSetRegister(vm, MV_DSP_SP, fp);
    dspVmSetRegister(vm, MV_DSP_LR, dspVmPop(vm));
    dspVmSetRegister(vm, MV_DSP_FP, dspVmPop(vm));
    return kServed;
}

// ---- arithmetic and math --------------------------------------------------
// Float functions take single-precision words, work in double and round once.

template <double (*F)(double)> uint32_t ofFloat(uint32_t x) { return floatWord(F(asFloat(x))); }

template <double (*F)(double, double)> uint32_t ofFloats(uint32_t a, uint32_t b) {
    return floatWord(F(asFloat(a), asFloat(b)));
}

template <uint32_t (*F)(uint32_t), uint64_t Units = 0> int32_t unaryService(MvDspVm *vm, int) {
    if (!stackHolds(vm, 1)) return kStackUnderflow;
    setResult(vm, F(dspVmPop(vm)));
    dspVmChargeWork(vm, Units);
    return kServed;
}

// The first operand is the word on top of the stack.
template <uint32_t (*F)(uint32_t, uint32_t), uint64_t Units = 0>
int32_t binaryService(MvDspVm *vm, int) {
    if (!stackHolds(vm, 2)) return kStackUnderflow;
    const uint32_t first = dspVmPop(vm);
    const uint32_t second = dspVmPop(vm);
    setResult(vm, F(first, second));
    dspVmChargeWork(vm, Units);
    return kServed;
}

template <double (*F)(double)>
constexpr MvDspInterruptHandler mathService = unaryService<ofFloat<F>, kMathCallUnits>;
template <double (*F)(double, double)>
constexpr MvDspInterruptHandler mathService2 = binaryService<ofFloats<F>, kMathCallUnits>;

double cosine(double x) { return std::cos(x); }
double sine(double x) { return std::sin(x); }
double tangent(double x) { return std::tan(x); }
double arcCosine(double x) { return std::atan2(std::sqrt(1 - x * x), x); }
double arcSine(double x) { return std::atan2(x, std::sqrt(1 - x * x)); }
double arcTangent(double x) { return std::atan(x); }
double arcTangent2(double y, double x) { return std::atan2(y, x); }
double hyperbolicCosine(double x) { return (std::exp(x) + std::exp(-x)) / 2; }
double hyperbolicSine(double x) {
    const double a = std::fabs(x);
    return std::copysign((std::exp(a) - std::exp(-a)) / 2, x);
}
double hyperbolicTangent(double x) {
    const double e = std::exp(-2 * std::fabs(x));
    return std::copysign((1 - e) / (1 + e), x);
}
double exponential(double x) { return std::exp(x); }
double naturalLog(double x) { return std::log(x); }
double decimalLog(double x) { return std::log10(x); }
double power(double base, double exponent) { return std::pow(base, exponent); }
double squareRoot(double x) { return std::sqrt(x); }
double remainderTowardZero(double a, double b) { return std::fmod(a, b); }
double floorOf(double x) { return std::floor(x); }
double ceilingOf(double x) { return std::ceil(x); }
double roundHalfAway(double x) { return std::copysign(std::floor(std::fabs(x) + 0.5), x); }

uint32_t floatAbs(uint32_t x) { return x & ~kSignBit; }
uint32_t intAbs(uint32_t n) { return (n & kSignBit) ? 0u - n : n; } // INT_MIN stays
uint32_t floatSign(uint32_t x) {
    const float f = asFloat(x);
    return intWord(f > 0 ? 1 : f < 0 ? -1 : 0);
}
uint32_t intSign(uint32_t n) {
    const int32_t i = static_cast<int32_t>(n);
    return intWord(i > 0 ? 1 : i < 0 ? -1 : 0);
}
// Comparisons that keep the first operand when either is NaN.
uint32_t floatMin(uint32_t a, uint32_t b) { return asFloat(a) >= asFloat(b) ? b : a; }
uint32_t floatMax(uint32_t a, uint32_t b) { return asFloat(b) >= asFloat(a) ? b : a; }
uint32_t unsignedMin(uint32_t a, uint32_t b) { return a < b ? a : b; }
uint32_t unsignedMax(uint32_t a, uint32_t b) { return a > b ? a : b; }
uint32_t intMin(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a) < static_cast<int32_t>(b) ? a : b;
}
uint32_t intMax(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a) > static_cast<int32_t>(b) ? a : b;
}

// ---- resources ------------------------------------------------------------

// Creation on a short stack is not a failure: the program finds 7 where it
// expected a handle.
bool creationStackShort(MvDspVm *vm, uint32_t words) {
    if (stackHolds(vm, words)) return false;
    setResult(vm, kStackUnderflow);
    return true;
}

int32_t registerResource(MvDspVm *vm, MvDspResourceRelease release, void *record) {
    const int handle = mvDSPAddResource(vm->resources, release, record);
    if (handle < 0) {
        mvFree(record);
        return handle;
    }
    setResult(vm, intWord(handle));
    return kServed;
}

// Only routines 0 and 1 create: the audio thread never allocates.
bool creationRefused(const MvDspVm *vm) { return dspResourcesSealed(vm->resources); }

// What creating or muting a reverberator clears.
uint64_t delayLineElements(const MvReverb *reverb) {
    uint64_t elements = 0;
    for (int i = 0; i < MV_REVERB_COMBS; ++i)
        elements += uint64_t(reverb->combL[i].bufSize) + uint64_t(reverb->combR[i].bufSize);
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i)
        elements += uint64_t(reverb->allpassL[i].bufSize) + uint64_t(reverb->allpassR[i].bufSize);
    return elements;
}

int32_t biquadNew(MvDspVm *vm, int) {
    if (creationRefused(vm)) return MV_ERROR_INCONSISTENT;
    if (creationStackShort(vm, 1)) return kServed;
    const int32_t rate = popInt(vm);
    if (rate <= 0) return MV_ERROR_SAMPLE_RATE;
    auto *filter = static_cast<MvBiquad *>(mvMalloc(sizeof(MvBiquad)));
    if (!filter) return MV_ERROR_NO_MEMORY;
    *filter = MvBiquad{}; // zero coefficients: silence until a design runs
    filter->sampleRate = rate;
    return registerResource(vm, releaseBiquad, filter);
}

int32_t reverbNew(MvDspVm *vm, int) {
    if (creationRefused(vm)) return MV_ERROR_INCONSISTENT;
    if (creationStackShort(vm, 8)) return kServed;
    const int32_t rate = popInt(vm);
    if (rate < kReverbMinRate || rate > kReverbMaxRate) return MV_ERROR_SAMPLE_RATE;
    const int32_t channels = popInt(vm);
    if (channels <= 0) return MV_ERROR_SPEAKER_LAYOUT;
    const float roomSize = popFloat(vm), damp = popFloat(vm), wet = popFloat(vm);
    const float dry = popFloat(vm), width = popFloat(vm), mode = popFloat(vm);
    void *block = mvMalloc(reverbBlockSize(rate));
    if (!block) return MV_ERROR_NO_MEMORY;
    reverbInit(block, rate, channels, roomSize, damp, wet, dry, width, mode);
    dspVmChargeWork(vm, delayLineElements(static_cast<const MvReverb *>(block)));
    return registerResource(vm, releaseReverb, block);
}

struct BlockArguments {
    int32_t handle;
    int32_t address; // byte offset of the first float
    int32_t count;   // samples or frames
    int32_t step;    // floats between consecutive samples or frames
};

BlockArguments popBlockArguments(MvDspVm *vm) {
    const int32_t handle = popInt(vm), address = popInt(vm), count = popInt(vm);
    return {handle, address, count, popInt(vm)};
}

bool blockStartsInMemory(const MvDspVm *vm, const BlockArguments &block) {
    return block.address >= 0 && block.count >= 0 &&
           int64_t{block.address} + block.count < vm->memorySize;
}

// Every item (a float, or a frame of floats) lies inside the image.
bool blockInMemory(const MvDspVm *vm, const BlockArguments &block, int32_t floatsPerItem) {
    const int64_t memorySize = vm->memorySize;
    if (block.count == 0) return true;
    if (block.count > 1 && std::abs(int64_t{block.step}) > memorySize) return false;
    const int64_t first = block.address;
    const int64_t last = first + int64_t{kWordBytes} * block.step * (block.count - 1);
    return std::min(first, last) >= 0 &&
           std::max(first, last) + int64_t{kWordBytes} * floatsPerItem <= memorySize;
}

float *blockSamples(MvDspVm *vm, const BlockArguments &block) {
    return reinterpret_cast<float *>(dspVmAddress(vm, static_cast<uint32_t>(block.address)));
}

int32_t biquadProcessService(MvDspVm *vm, int) {
    if (!stackHolds(vm, 4)) return kStackUnderflow;
    const BlockArguments block = popBlockArguments(vm);
    if (!blockStartsInMemory(vm, block) || !blockInMemory(vm, block, 1)) return kInvalidAddress;
    auto *filter =
        static_cast<MvBiquad *>(dspFindResource(vm->resources, block.handle, releaseBiquad));
    if (!filter) return kNoSuchResource;
    dspVmChargeWork(vm, uint64_t(block.count));
    biquadProcess(filter, blockSamples(vm, block), block.count, block.step);
    return kServed;
}

// The frame size is the reverberator's channel count, so the full extent
// check waits for a valid handle.
int32_t reverbProcessService(MvDspVm *vm, int) {
    if (!stackHolds(vm, 4)) return kStackUnderflow;
    const BlockArguments block = popBlockArguments(vm);
    if (!blockStartsInMemory(vm, block)) return kInvalidAddress;
    auto *reverb =
        static_cast<MvReverb *>(dspFindResource(vm->resources, block.handle, releaseReverb));
    if (!reverb) return kNoSuchResource;
    if (!blockInMemory(vm, block, reverb->channels)) return kInvalidAddress;
    dspVmChargeWork(vm, uint64_t(block.count) * (uint64_t(reverb->channels) + kReverbLines));
    reverbProcess(reverb, blockSamples(vm, block), block.count, block.step);
    return kServed;
}

// Pops the handle and then one float per parameter of the operation, finds
// the record of kind Release and applies the operation to it.
template <MvDspResourceRelease Release, typename Record, typename... Values>
int32_t applyToResource(MvDspVm *vm, void (*operation)(Record *, Values...)) {
    if (!stackHolds(vm, 1 + sizeof...(Values))) return kStackUnderflow;
    const int32_t handle = popInt(vm);
    // A braced list evaluates its elements in order: first parameter first.
    const std::array<float, sizeof...(Values)> values{
        (static_cast<void>(sizeof(Values)), popFloat(vm))...};
    auto *record = static_cast<Record *>(dspFindResource(vm->resources, handle, Release));
    if (!record) return kNoSuchResource;
    std::apply([&](auto... value) { operation(record, value...); }, values);
    return kServed;
}

int32_t reverbMuteService(MvDspVm *vm, int) {
    if (!stackHolds(vm, 1)) return kStackUnderflow;
    auto *reverb =
        static_cast<MvReverb *>(dspFindResource(vm->resources, popInt(vm), releaseReverb));
    if (!reverb) return kNoSuchResource;
    dspVmChargeWork(vm, delayLineElements(reverb));
    reverbMute(reverb);
    return kServed;
}

template <auto Operation> int32_t biquadService(MvDspVm *vm, int) {
    return applyToResource<releaseBiquad>(vm, Operation);
}

template <auto Operation> int32_t reverbService(MvDspVm *vm, int) {
    return applyToResource<releaseReverb>(vm, Operation);
}

// ---- the table --------------------------------------------------------------

struct ServiceRow {
    MvDspInterrupt number;
    MvDspInterruptHandler service;
};

using enum MvDspInterrupt;

constexpr ServiceRow kServices[] = {
    {ENTER_FRAME, enterFrame},
    {LEAVE_FRAME, leaveFrame},
    {COS, mathService<cosine>},
    {SIN, mathService<sine>},
    {TAN, mathService<tangent>},
    {ACOS, mathService<arcCosine>},
    {ASIN, mathService<arcSine>},
    {ATAN, mathService<arcTangent>},
    {ATAN2, mathService2<arcTangent2>},
    {COSH, mathService<hyperbolicCosine>},
    {SINH, mathService<hyperbolicSine>},
    {TANH, mathService<hyperbolicTangent>},
    {EXP, mathService<exponential>},
    {LOG, mathService<naturalLog>},
    {LOG10, mathService<decimalLog>},
    {POW, mathService2<power>},
    {SQRT, mathService<squareRoot>},
    {FMOD, mathService2<remainderTowardZero>},
    {FLOOR, mathService<floorOf>},
    {CEIL, mathService<ceilingOf>},
    {ROUND, mathService<roundHalfAway>},
    {FABS, unaryService<floatAbs>},
    {IABS, unaryService<intAbs>},
    {FSIGN, unaryService<floatSign>},
    {ISIGN, unaryService<intSign>},
    {FMIN, binaryService<floatMin>},
    {UMIN, binaryService<unsignedMin>},
    {IMIN, binaryService<intMin>},
    {FMAX, binaryService<floatMax>},
    {UMAX, binaryService<unsignedMax>},
    {IMAX, binaryService<intMax>},
    {BIQUAD_NEW, biquadNew},
    {BIQUAD_PROCESS, biquadProcessService},
    {BIQUAD_RESET, biquadService<biquadReset>},
    {BIQUAD_LOWPASS, biquadService<biquadLowpass>},
    {BIQUAD_HIGHPASS, biquadService<biquadHighpass>},
    {BIQUAD_BANDPASS, biquadService<biquadBandpass>},
    {BIQUAD_NOTCH, biquadService<biquadNotch>},
    {BIQUAD_PEAKING, biquadService<biquadPeaking>},
    {BIQUAD_ALLPASS, biquadService<biquadAllpass>},
    {BIQUAD_LOWSHELF, biquadService<biquadLowShelf>},
    {BIQUAD_HIGHSHELF, biquadService<biquadHighShelf>},
    {REVERB_NEW, reverbNew},
    {REVERB_PROCESS, reverbProcessService},
    {REVERB_MUTE, reverbMuteService},
    {REVERB_ROOM_SIZE, reverbService<reverbSetRoomSize>},
    {REVERB_DAMP, reverbService<reverbSetDamp>},
    {REVERB_WET, reverbService<reverbSetWet>},
    {REVERB_DRY, reverbService<reverbSetDry>},
    {REVERB_WIDTH, reverbService<reverbSetWidth>},
    {REVERB_MODE, reverbService<reverbSetMode>},
};
static_assert(std::size(kServices) == kDspInterruptServiceCount);

constexpr int kInterruptNumbers = 256;

constexpr std::array<MvDspInterruptHandler, kInterruptNumbers> kLoadTable = [] {
    std::array<MvDspInterruptHandler, kInterruptNumbers> table{};
    for (const ServiceRow &row : kServices) table[static_cast<int>(row.number)] = row.service;
    return table;
}();

} // namespace

void releaseBiquad(void *record) { mvFree(record); }
void releaseReverb(void *record) { mvFree(record); }

} // namespace mv

// Spelled out entry by entry so the exported table is constant-initialised
// (filled at load, before any constructor runs).
#define MV_ENTRY(n) mv::kLoadTable[n]
#define MV_ROW(r)                                                                  \
    MV_ENTRY(16 * (r) + 0), MV_ENTRY(16 * (r) + 1), MV_ENTRY(16 * (r) + 2),        \
        MV_ENTRY(16 * (r) + 3), MV_ENTRY(16 * (r) + 4), MV_ENTRY(16 * (r) + 5),    \
        MV_ENTRY(16 * (r) + 6), MV_ENTRY(16 * (r) + 7), MV_ENTRY(16 * (r) + 8),    \
        MV_ENTRY(16 * (r) + 9), MV_ENTRY(16 * (r) + 10), MV_ENTRY(16 * (r) + 11),  \
        MV_ENTRY(16 * (r) + 12), MV_ENTRY(16 * (r) + 13), MV_ENTRY(16 * (r) + 14), \
        MV_ENTRY(16 * (r) + 15)

constinit MvDspInterruptHandler mvDSPInterruptCallbacks[mv::kInterruptNumbers] = {
    MV_ROW(0), MV_ROW(1), MV_ROW(2),  MV_ROW(3),  MV_ROW(4),  MV_ROW(5),  MV_ROW(6),  MV_ROW(7),
    MV_ROW(8), MV_ROW(9), MV_ROW(10), MV_ROW(11), MV_ROW(12), MV_ROW(13), MV_ROW(14), MV_ROW(15),
};

#undef MV_ROW
#undef MV_ENTRY
