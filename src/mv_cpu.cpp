// The processor's instruction sets, asked once.
#include "mv_cpu.h"

namespace mv {

namespace {

CpuFeatures detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init(); // may run before the runtime's own constructors
    return {__builtin_cpu_supports("avx") != 0, __builtin_cpu_supports("avx2") != 0};
#else
    return {false, false};
#endif
}

} // namespace

const CpuFeatures &cpuFeatures() {
    static const CpuFeatures features = detect();
    return features;
}

} // namespace mv
