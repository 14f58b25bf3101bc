// Sample encodings shared by the converters and the sampler's clip reader.
// Internal.
//
// Every integer format is handled through a signed "view" value: int24 as the
// 32-bit value whose bytes are 0, b0, b1, b2; uint8 as its byte minus 128.
// With that view, a format is fully described by how many bits of scale the
// view carries, and moving between integer formats is a single shift.
#pragma once

#include <cstdint>
#include <cstring>

namespace mv {

// Test seam: cleared, the hand-widened converter loops keep to SSE2 even on
// processors with AVX2, so both forms can be checked against the plain loop.
extern bool wideLoopsMayUseAvx2;

struct Float32Sample {
    using Value = float;
    static constexpr int bytes = 4;
    static Value load(const uint8_t *p) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t *p, Value v) { std::memcpy(p, &v, sizeof v); }
};

// One over the full scale of a view with this many bits: 2^-(bits-1).
template <int scaleBits> constexpr float kUnitOfView = 1.0f / float(uint64_t(1) << (scaleBits - 1));

// Signed integers stored whole, in native byte order.
template <class Stored> struct NativeIntegerSample {
    using Value = int32_t;
    static constexpr int bytes = sizeof(Stored);
    static constexpr int scaleBits = 8 * sizeof(Stored);
    static Value load(const uint8_t *p) {
        Stored v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t *p, Value v) {
        const Stored low = Stored(v); // only the low bits are kept
        std::memcpy(p, &low, sizeof low);
    }
    static float toFloat(Value v) { return float(v) * kUnitOfView<scaleBits>; }
};

struct Int32Sample : NativeIntegerSample<int32_t> {};
struct Int16Sample : NativeIntegerSample<int16_t> {};
struct Int8Sample : NativeIntegerSample<int8_t> {};

struct Int24Sample {
    using Value = int32_t; // the 32-bit view
    static constexpr int bytes = 3;
    static constexpr int scaleBits = 32;
    static Value load(const uint8_t *p) {
        return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
    }
    static void store(uint8_t *p, Value v) {
        p[0] = uint8_t(v >> 8);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 24);
    }
    static float toFloat(Value v) { return float(v) * kUnitOfView<scaleBits>; }
};

// Unsigned bytes with 128 as silence: the view is the byte minus 128, so
// every rule written for int8 holds for uint8 as well.
struct Uint8Sample {
    using Value = int32_t;
    static constexpr int bytes = 1;
    static constexpr int scaleBits = 8;
    static constexpr int offset = 128;
    static Value load(const uint8_t *p) { return int32_t(*p) - offset; }
    static void store(uint8_t *p, Value v) { *p = uint8_t(v + offset); }
    static float toFloat(Value v) { return float(v) * kUnitOfView<scaleBits>; }
};

} // namespace mv
