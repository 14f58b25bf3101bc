// Signal-processor programs from Java: program bytes pass as they are, words
// cross in native order, failure reports come back in the buffers' orders.
#include "jmv_bridge.h"

namespace {

constexpr int kWordBytes = 4;
constexpr int kTraceEntryBytes = 2;
// The most getDSPError writes into each output.
constexpr int kByteOutBytes = 1; // routine, trace length
constexpr int kRegistersBytes = kWordBytes * MV_DSP_REGISTER_COUNT;
constexpr int kTraceBytes = kTraceEntryBytes * MV_DSP_TRACE_CAPACITY;

uint16_t unsigned16(jshort value) { return static_cast<uint16_t>(value); }

} // namespace

extern "C" {

JMV(jint, getDSPVersion)(JNIEnv *, jclass) { return mvGetDSPVersion(); }

JMV(jint, getDSPError)
(JNIEnv *env, jclass, jlong h, jobject routineOut, jobject registersOut, jobject traceLengthOut,
 jobject traceOut) {
    void *routine = nullptr;
    if (int status = jmv::directAddress(env, routineOut, kByteOutBytes, routine)) return status;
    jmv::Buffer registers, trace;
    if (int status = jmv::directBuffer(env, registersOut, kRegistersBytes, registers))
        return status;
    if (int status = jmv::directBuffer(env, traceOut, kTraceBytes, trace)) return status;

    uint8_t length = 0;
    int result = mvGetDSPError(jmv::machine(h), static_cast<uint8_t *>(routine),
                               static_cast<uint32_t *>(registers.data), &length,
                               static_cast<uint16_t *>(trace.data));
    jmv::swapIfForeign(registers, kWordBytes, MV_DSP_REGISTER_COUNT);
    jmv::swapIfForeign(trace, kTraceEntryBytes, length);

    // The length is reported only together with the trace it counts.
    if (!traceOut) return result;
    void *lengthOut = nullptr;
    if (int status = jmv::directAddress(env, traceLengthOut, kByteOutBytes, lengthOut))
        return status;
    if (!lengthOut) return jmv::kNotDirect;
    *static_cast<uint8_t *>(lengthOut) = length;
    return result;
}

JMV(jint, setDSP)
(JNIEnv *env, jclass, jlong h, jshort programLength, jobject program, jshort stackSize,
 jint initCount, jobject initWords) {
    if (!program) return jmv::kNullArgument;
    void *code = nullptr;
    if (int status = jmv::directAddress(env, program, unsigned16(programLength), code))
        return status;
    return jmv::withNativeOrder(env, initWords, {kWordBytes, initCount}, [&](void *words) {
        return mvSetDSP(jmv::machine(h), unsigned16(programLength),
                        static_cast<const uint8_t *>(code), unsigned16(stackSize), initCount,
                        static_cast<const int32_t *>(words));
    });
}

JMV(jint, sendDSPMessage)(JNIEnv *env, jclass, jlong h, jint count, jobject words) {
    return jmv::withNativeOrder(env, words, {kWordBytes, count}, [&](void *data) {
        return mvSendDSPMessage(jmv::machine(h), count, static_cast<const int32_t *>(data));
    });
}

} // extern "C"
