// What the signal-processor instructions compute, shared by the
// interpreter's byte-code handlers and its block operations: value helpers,
// then one expression per instruction of x = R[a] and y = R[b] (x = R[s] for
// the one-operand ones) and one condition per branch.
#pragma once

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>

namespace mv {

inline float asFloat(uint32_t bits) { return std::bit_cast<float>(bits); }
inline uint32_t floatBits(float value) { return std::bit_cast<uint32_t>(value); }

// Truncation toward zero; NaN and anything outside int32 give INT_MIN.
inline uint32_t floatToInt(float value) {
    constexpr float kTwoTo31 = 2147483648.0f;
    if (value >= -kTwoTo31 && value < kTwoTo31) return uint32_t(int32_t(value));
    return uint32_t(INT32_MIN);
}

template <typename T> inline uint32_t compareValues(T a, T b) {
    return a > b ? 1u : a < b ? uint32_t(-1) : 0u;
}

inline uint32_t compareFloats(float a, float b) {
    constexpr uint32_t kUnordered = 2;
    if (std::isnan(a) || std::isnan(b)) return kUnordered;
    return compareValues(a, b);
}

inline bool divisionFaults(int32_t dividend, int32_t divisor) {
    return divisor == 0 || (dividend == INT32_MIN && divisor == -1);
}

} // namespace mv

#define EXPR_ADD x + y
#define EXPR_SUB x - y
#define EXPR_MUL x *y
#define EXPR_FADD floatBits(asFloat(x) + asFloat(y))
#define EXPR_FSUB floatBits(asFloat(x) - asFloat(y))
#define EXPR_FMUL floatBits(asFloat(x) * asFloat(y))
#define EXPR_FDIV floatBits(asFloat(x) / asFloat(y))
#define EXPR_SHL x << (y & 31)
#define EXPR_SHR x >> (y & 31)
#define EXPR_SAR uint32_t(int32_t(x) >> (y & 31))
#define EXPR_AND x &y
#define EXPR_OR x | y
#define EXPR_XOR x ^ y
#define EXPR_CMP compareValues(int32_t(x), int32_t(y))
#define EXPR_CMPU compareValues(x, y)
#define EXPR_FCMP compareFloats(asFloat(x), asFloat(y))
#define EXPR_DIVU x / y
#define EXPR_DIV uint32_t(int32_t(x) / int32_t(y))
#define EXPR_MODU x % y
#define EXPR_MOD uint32_t(int32_t(x) % int32_t(y))
#define EXPR_MOV x
#define EXPR_NOT ~x
#define EXPR_ITOF floatBits(float(int32_t(x)))
#define EXPR_FTOI floatToInt(asFloat(x))
#define EXPR_INC x + 1
#define EXPR_DEC x - 1
#define EXPR_FINC floatBits(asFloat(x) + 1.0f)
#define EXPR_FDEC floatBits(asFloat(x) - 1.0f)
#define MV_DSP_BINARY_OPS(X)                                                                      \
    X(ADD)                                                                                        \
    X(SUB) X(MUL) X(FADD) X(FSUB) X(FMUL) X(FDIV) X(SHL) X(SHR) X(SAR) X(AND) X(OR) X(XOR) X(CMP) \
        X(CMPU) X(FCMP)
#define MV_DSP_CONVERT_OPS(X) X(MOV) X(NOT) X(ITOF) X(FTOI)
#define MV_DSP_IN_PLACE_OPS(X) X(INC) X(DEC) X(FINC) X(FDEC)
// Branch conditions on x = R[a] and y = R[b].
#define COND_JZ(x, y) ((x) == 0)
#define COND_JNZ(x, y) ((x) != 0)
#define COND_JEQ(x, y) ((x) == (y))
#define COND_JNE(x, y) ((x) != (y))
#define COND_JGTU(x, y) ((x) > (y))
#define COND_JGT(x, y) (int32_t(x) > int32_t(y))
#define COND_JGEU(x, y) ((x) >= (y))
#define COND_JGE(x, y) (int32_t(x) >= int32_t(y))
#define COND_JLTU(x, y) ((x) < (y))
#define COND_JLT(x, y) (int32_t(x) < int32_t(y))
#define COND_JLEU(x, y) ((x) <= (y))
#define COND_JLE(x, y) (int32_t(x) <= int32_t(y))
