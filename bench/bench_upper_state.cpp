// Whether a render leaves the upper halves of the vector registers clean:
// times a plain SSE loop (legacy encoding, as a host's own mixer or an older
// library would run it) right after a render on the same thread. A dirty
// upper state makes every SSE instruction after it slow; with a clean one
// the loop costs the same as after an explicit vzeroupper (the "cleared"
// rows). Nanoseconds per SSE loop pass; only the loop is timed.
#include "bench_common.h"
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>
#include <xmmintrin.h>

namespace {

constexpr int kSinkRate = 48000;
constexpr int kBlockFrames = 1024;
constexpr int kLoopFloats = 4096;

struct Case {
    int resampler;    // MV_RESAMPLER_*
    int outputFormat; // the loopback sink's format: the converter runs too
    bool cleared;     // vzeroupper before the loop, as a reference
};

// A plain SSE pass: scales and sums a buffer, four lanes at a time.
__attribute__((noinline)) float ssePass(const float *in, float *out) {
    __m128 sum = _mm_setzero_ps();
    const __m128 scale = _mm_set1_ps(0.5f);
    for (int i = 0; i < kLoopFloats; i += 4) {
        const __m128 v = _mm_mul_ps(_mm_loadu_ps(in + i), scale);
        _mm_storeu_ps(out + i, v);
        sum = _mm_add_ps(sum, v);
    }
    float lanes[4];
    _mm_storeu_ps(lanes, sum);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

void clearUpperState() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx")) __asm__ volatile("vzeroupper" ::: "memory");
#endif
}

void sseAfterRender(benchmark::State &state, Case c) {
    MvSink *sink = mvbench::openLoopbackSink(2, kBlockFrames, kSinkRate, c.outputFormat);
    MvSampler *sampler = nullptr;
    if (!sink || mvNewSampler(&sampler, &sink->base)) {
        state.SkipWithError("engine set-up failed");
        return;
    }
    std::vector<int16_t> clip(44100);
    for (size_t i = 0; i < clip.size(); ++i)
        clip[i] = int16_t(std::lrint(8191.0 * std::sin(2.0 * M_PI * 441.0 * double(i) / 44100)));
    MvMachine *machine = &sampler->machine;
    mvEnqueueClip(machine, 0, nullptr, nullptr, 1, 44100.0, MV_FORMAT_INT16, 1, int(clip.size()),
                  clip.data());
    mvSetLooping(machine, 1);
    mvSetResampler(machine, c.resampler);
    mvPlay(machine);
    std::vector<float> mix(size_t(kBlockFrames) * 2);
    const std::vector<float> in = mvbench::xorshiftNoise(kLoopFloats, 7);
    std::vector<float> out(kLoopFloats);
    for (auto _ : state) {
        mvRenderLoopbackSink(sink, kBlockFrames, mix.data());
        mvFlushDownQueueImpl(sink);
        if (c.cleared) clearUpperState();
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(ssePass(in.data(), out.data()));
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    mvUninitialize();
}

} // namespace

BENCHMARK_CAPTURE(sseAfterRender, standard_float32,
                  Case{MV_RESAMPLER_STANDARD, MV_FORMAT_FLOAT32, false})
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(sseAfterRender, standard_int16_out,
                  Case{MV_RESAMPLER_STANDARD, MV_FORMAT_INT16, false})
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(sseAfterRender, bandlimited_float32,
                  Case{MV_RESAMPLER_BANDLIMITED, MV_FORMAT_FLOAT32, false})
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(sseAfterRender, cleared_float32,
                  Case{MV_RESAMPLER_STANDARD, MV_FORMAT_FLOAT32, true})
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);
