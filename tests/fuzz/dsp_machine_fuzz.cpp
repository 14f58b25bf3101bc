// libFuzzer harness for the signal-processor machine: random programs
// attached with mvSetDSP to a loopback sink, initialised, sent messages and
// rendered block by block through the real interrupt table. Besides "no
// crash, no access outside what the engine owns, no leak" it checks that the
// audio side never allocates, that a published failure is a status 1..9 of
// a known routine with a trace, and that the mix stays finite when the
// program has not failed and leaves the samples it was given.
//
// Input: a 6-byte header, then the program bytes.
//   0 sink: bit 0 mono/stereo, bits 1-3 chunk size 16 << (0..4), bits 4-5 rate
//   1 stack size / 4
//   2 initial message words (0..3), 3 messages per block (0..3)
//   4 blocks to render (1..4)       5 message word seed
#include "marovel_audio.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kHeaderSize = 6;
constexpr int kRates[] = {8000, 44100, 48000, 96000};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Allocations counted while the audio side renders.
bool rendering = false;
long audioAllocations = 0;
void *(*engineMalloc)(size_t) = nullptr;
void *(*engineRealloc)(void *, size_t) = nullptr;
void *countingMalloc(size_t size) {
    audioAllocations += rendering;
    return engineMalloc(size);
}
void *countingRealloc(void *pointer, size_t size) {
    audioAllocations += rendering;
    return engineRealloc(pointer, size);
}

// A source that adds a slow ramp, so programs see non-silent blocks.
struct Ramp {
    MvMachine machine;
    MvSource source;
    float value;
};

MvSource *renderRamp(MvSink *sink, void *self, float, float, double, double, int frames,
                     float *buffer) {
    auto *ramp = static_cast<Ramp *>(self);
    const int channels = sink->soundModel->channelCount;
    for (int i = 0; i < frames * channels; ++i) buffer[i] += (ramp->value += 1.0f / 4096);
    return ramp->source.activeNext;
}

void releaseRamp(MvSink *, void *self) { delete static_cast<Ramp *>(self); }

// Called through the message type itself: a cast function pointer is what
// -fsanitize=function reports.
void activateRamp(MvSink *sink, void *source) {
    mvSourceActivate(sink, static_cast<MvSource *>(source));
}

bool startEngine() {
    engineMalloc = mvMalloc;
    engineRealloc = mvRealloc;
    mvMalloc = countingMalloc;
    mvRealloc = countingRealloc;
    const int order[7] = {7, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 7; ++i) mvBackendOrder[i] = order[i];
    MvDispatcher *dispatcher = nullptr;
    return mvNewThreadUnsafeDispatcher(&dispatcher) == 0 && mvInitialize(dispatcher) == 0;
}

void addRamp(MvSink *sink) {
    auto *ramp = new Ramp{};
    mvInitMachine(&ramp->machine, ramp, nullptr, &ramp->source, sink, nullptr);
    mvInitSource(&ramp->source, &ramp->machine, &sink->destination, renderRamp, releaseRamp);
    check(mvDispatcher->lock() == 0);
    mvSourceConnect(&ramp->source);
    check(mvDispatcher->post(sink, activateRamp, &ramp->source) == 0);
}

std::vector<int32_t> words(uint32_t &seed, int count) {
    std::vector<int32_t> out(size_t(count) + 1); // never empty: data() is not null
    for (int i = 0; i < count; ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[size_t(i)] = int32_t(i % 2 ? seed >> 20 : seed); // small values too
    }
    return out;
}

void checkPublishedFailure(MvSink *sink) {
    uint8_t routine = 0xEE, traceLength = 0;
    uint32_t registers[MV_DSP_REGISTER_COUNT];
    uint16_t trace[MV_DSP_TRACE_CAPACITY];
    const int status = mvGetDSPError(&sink->base, &routine, registers, &traceLength, trace);
    check(status >= 0 && status <= MV_DSP_BAD_RESULT);
    if (status != 0) check(routine <= MV_DSP_ROUTINE_MAIN && traceLength >= 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool started = startEngine();
    check(started);
    if (size < kHeaderSize) return 0;
    const int channels = data[0] & 1 ? 2 : 1;
    const int chunk = 16 << ((data[0] >> 1) & 7) % 5;
    const int rate = kRates[(data[0] >> 4) & 3];
    const uint16_t stack = uint16_t(data[1] * 4);
    const int initWords = data[2] % 4, messagesPerBlock = data[3] % 4, blocks = 1 + data[4] % 4;
    uint32_t seed = data[5];
    const uint16_t programLength =
        uint16_t(size - kHeaderSize > 0x8000 ? 0x8000 : size - kHeaderSize);

    MvSoundModel *model = nullptr;
    check((channels == 2 ? mvNewStereoSoundModel(&model) : mvNewMonoSoundModel(&model)) == 0);
    MvSink *sink = nullptr;
    check(mvNewSink(&sink, model, chunk) == 0);
    check(mvOpenLoopbackSink(sink, rate, channels, MV_FORMAT_FLOAT32) == 0);
    addRamp(sink);
    std::vector<int32_t> init = words(seed, initWords);
    const int attached =
        mvSetDSP(&sink->base, programLength, data + kHeaderSize, stack, initWords, init.data());
    check(attached == 0 || attached == MV_ERROR_DSP_TOO_LARGE);

    std::vector<float> out(size_t(chunk) * channels);
    for (int block = 0; block < blocks; ++block) {
        for (int m = 0; m < messagesPerBlock && attached == 0; ++m) {
            std::vector<int32_t> message = words(seed, m);
            check(mvSendDSPMessage(&sink->base, m, message.data()) == 0);
        }
        rendering = true;
        check(mvRenderLoopbackSink(sink, chunk, out.data()) == 0);
        rendering = false;
        check(audioAllocations == 0);
        mvFlushDownQueueImpl(sink);
        if (attached == 0) checkPublishedFailure(sink);
    }
    check(mvDeleteMachine(&sink->base) == 0);
    return 0;
}
