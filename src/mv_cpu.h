// The instruction sets this processor offers to the engine's vector kernels,
// asked once at load and shared by every room that has such kernels
// (converters, sampler runs, band-limited resampler, reverberator). Each room
// declares its kernels once per instruction set (MV_TARGET_AVX, ...) and
// picks its table from cpuFeatures() once. Internal.
#pragma once

namespace mv {

struct CpuFeatures {
    bool avx;  // 256-bit float and double vectors
    bool avx2; // 256-bit integer vectors and gathers
};

// Filled on first use, which is at load: the reverberator picks its stages
// while the library's constructors run. The same answer for the life of
// the process.
const CpuFeatures &cpuFeatures();

} // namespace mv

// Kernels compiled for one instruction set, run only where cpuFeatures()
// says the processor has it. Never FMA: a fused multiply-add rounds
// differently from the plain path.
#if defined(__x86_64__) || defined(__i386__)
#define MV_TARGET_AVX __attribute__((target("avx")))
#define MV_TARGET_AVX2 __attribute__((target("avx2")))
#endif
