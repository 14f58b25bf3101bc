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
    static Value load(const uint8_t *p)
    {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t *p, Value v) { std::memcpy(p, &v, sizeof v); }
};

struct Int32Sample {
    using Value = int32_t;
    static constexpr int bytes = 4;
    static constexpr int scaleBits = 32;
    static Value load(const uint8_t *p)
    {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t *p, Value v) { std::memcpy(p, &v, sizeof v); }
    static float toFloat(Value v) { return float(v) * 4.656612873077393e-10f; } // 2^-31
};

struct Int24Sample {
    using Value = int32_t; // the 32-bit view
    static constexpr int bytes = 3;
    static constexpr int scaleBits = 32;
    static Value load(const uint8_t *p)
    {
        return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
    }
    static void store(uint8_t *p, Value v)
    {
        p[0] = uint8_t(v >> 8);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 24);
    }
    static float toFloat(Value v) { return float(v) * 4.656612873077393e-10f; } // 2^-31
};

struct Int16Sample {
    using Value = int32_t;
    static constexpr int bytes = 2;
    static constexpr int scaleBits = 16;
    static Value load(const uint8_t *p)
    {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t *p, Value v)
    {
        const int16_t low = int16_t(v);
        std::memcpy(p, &low, sizeof low);
    }
    static float toFloat(Value v) { return float(v) * 3.0517578125e-05f; } // 2^-15
};

struct Int8Sample {
    using Value = int32_t;
    static constexpr int bytes = 1;
    static constexpr int scaleBits = 8;
    static Value load(const uint8_t *p) { return int8_t(*p); }
    static void store(uint8_t *p, Value v) { *p = uint8_t(v); }
    static float toFloat(Value v) { return float(v) * 0.0078125f; } // 2^-7
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
    static float toFloat(Value v) { return Int8Sample::toFloat(v); }
};

} // namespace mv
