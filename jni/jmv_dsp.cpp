// Signal-processor programs from Java: program bytes pass as they are, words
// cross in native order, failure reports come back in the buffers' orders.
#include "jmv_bridge.h"

namespace {

constexpr int kWordBytes = 4;
constexpr int kTraceEntryBytes = 2;

uint16_t unsigned16(jshort value) { return static_cast<uint16_t>(value); }

} // namespace

extern "C" {

JMV(jint, getDSPVersion)(JNIEnv *, jclass) { return mvGetDSPVersion(); }

JMV(jint, getDSPError)(JNIEnv *env, jclass, jlong h, jobject routineOut, jobject registersOut,
                       jobject traceLengthOut, jobject traceOut) {
    void *routine = nullptr;
    if (int status = jmv::directAddress(env, routineOut, routine)) return status;
    jmv::Buffer registers, trace;
    if (int status = jmv::directBuffer(env, registersOut, registers)) return status;
    if (int status = jmv::directBuffer(env, traceOut, trace)) return status;

    uint8_t length = 0;
    int result = mvGetDSPError(jmv::machine(h), static_cast<uint8_t *>(routine),
                               static_cast<uint32_t *>(registers.data),
                               &length, static_cast<uint16_t *>(trace.data));
    jmv::swapIfForeign(registers, kWordBytes, MV_DSP_REGISTER_COUNT);
    jmv::swapIfForeign(trace, kTraceEntryBytes, length);

    // The length is reported only together with the trace it counts.
    if (!traceOut) return result;
    auto *lengthOut =
        traceLengthOut ? static_cast<uint8_t *>(env->GetDirectBufferAddress(traceLengthOut))
                       : nullptr;
    if (!lengthOut) return jmv::kNotDirect;
    *lengthOut = length;
    return result;
}

JMV(jint, setDSP)(JNIEnv *env, jclass, jlong h, jshort programLength, jobject program,
                  jshort stackSize, jint initCount, jobject initWords) {
    if (!program) return jmv::kNullArgument;
    auto *code = static_cast<const uint8_t *>(env->GetDirectBufferAddress(program));
    if (!code) return jmv::kNotDirect;
    return jmv::withNativeOrder(env, initWords, kWordBytes, initCount, [&](void *words) {
        return mvSetDSP(jmv::machine(h), unsigned16(programLength), code, unsigned16(stackSize),
                        initCount, static_cast<const int32_t *>(words));
    });
}

JMV(jint, sendDSPMessage)(JNIEnv *env, jclass, jlong h, jint count, jobject words) {
    return jmv::withNativeOrder(env, words, kWordBytes, count, [&](void *data) {
        return mvSendDSPMessage(jmv::machine(h), count, static_cast<const int32_t *>(data));
    });
}

} // extern "C"
