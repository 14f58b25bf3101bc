// Samples inside a program's image may sit at any byte address, so block
// routines read and write them bytewise; this compiles to plain moves.
#pragma once

#include <cstring>

namespace mv {

inline float loadSample(const float *at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void storeSample(float *at, float value) { std::memcpy(at, &value, sizeof value); }

} // namespace mv
