// The 4x4 transpose of doubles that the reverberator's AVX kernel and the
// sampler's voice groups share. Internal.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include "mv_cpu.h"

#include <immintrin.h>

namespace mv {

// Row i, lane j of `rows` becomes lane i of columns[j]; columns may be rows.
MV_TARGET_AVX inline void transpose4x4(const __m256d *rows, __m256d *columns) {
    const __m256d t0 = _mm256_unpacklo_pd(rows[0], rows[1]);
    const __m256d t1 = _mm256_unpackhi_pd(rows[0], rows[1]);
    const __m256d t2 = _mm256_unpacklo_pd(rows[2], rows[3]);
    const __m256d t3 = _mm256_unpackhi_pd(rows[2], rows[3]);
    columns[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    columns[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    columns[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    columns[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

} // namespace mv

#endif
