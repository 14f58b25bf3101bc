// Clip data from Java: either copied out of the buffer at once, or read in
// place while a global reference keeps the buffer alive until the engine
// releases the clip.
#include "jmv_bridge.h"

#include <cstdlib>
#include <cstring>

namespace {

void releaseCopy(void *data, void *) { std::free(data); }

void report(const char *format, void *data) {
    if (int (*print)(const char *, ...) = mvPrint) print(format, data);
}

// Runs on whatever thread drains the sink's down queue: the dispatcher's
// engine thread, or a Java thread inside a native method.
void clipDereference(void *data, void *reference) {
    jmv::ThreadAttachment thread;
    if (!thread.attach()) {
        report("clipDereference (%p) fail @ AttachCurrentThread\n", data);
        return;
    }
    thread.env()->DeleteGlobalRef(static_cast<jobject>(reference));
    if (!thread.detach()) report("clipDereference (%p) fail @ DetachCurrentThread\n", data);
}

// Bytes of a clip, or 0 when a count is not positive or the format unknown
// (the engine refuses those clips itself, before it reads any data).
int64_t clipBytes(jint format, jint channels, jint frames) {
    return jmv::Elements{mvGetSampleSize(format), channels, frames}.bytes();
}

int enqueueCopy(jlong h, jboolean removeWhenDone, jint channels, jdouble sampleRate, jint format,
                jboolean nativeByteOrder, jint frames, const void *source, size_t bytes) {
    int sampleSize = mvGetSampleSize(format);
    if (sampleSize < 0) return sampleSize; // unknown format: nothing copied
    void *copy = std::malloc(bytes ? bytes : 1);
    if (!copy) return MV_ERROR_NO_MEMORY;
    std::memcpy(copy, source, bytes);
    int status = mvEnqueueClip(jmv::machine(h), removeWhenDone != 0, releaseCopy, nullptr, channels,
                               sampleRate, format, nativeByteOrder != 0, frames, copy);
    // A refused clip is never released by the engine.
    if (status != MV_OK) std::free(copy);
    return status;
}

int enqueueInPlace(JNIEnv *env, jlong h, jboolean removeWhenDone, jint channels, jdouble sampleRate,
                   jint format, jboolean nativeByteOrder, jint frames, jobject buffer, void *data) {
    jobject reference = env->NewGlobalRef(buffer);
    if (!reference) return MV_ERROR_NO_MEMORY;
    int status = mvEnqueueClip(jmv::machine(h), removeWhenDone != 0, clipDereference, reference,
                               channels, sampleRate, format, nativeByteOrder != 0, frames, data);
    if (status != MV_OK) env->DeleteGlobalRef(reference);
    return status;
}

} // namespace

extern "C" {

JMV(jint, enqueueClip)
(JNIEnv *env, jclass, jlong h, jboolean removeWhenDone, jboolean copy, jint channels,
 jdouble sampleRate, jint format, jboolean nativeByteOrder, jint frames, jobject data) {
    // Copied or played in place, every byte of the clip is read (and may be swapped).
    int64_t bytes = clipBytes(format, channels, frames);
    void *address = nullptr;
    if (int status = jmv::directAddress(env, data, bytes, address)) return status;
    if (!address) return jmv::kNotDirect;
    if (copy)
        return enqueueCopy(h, removeWhenDone, channels, sampleRate, format, nativeByteOrder, frames,
                           address, size_t(bytes));
    return enqueueInPlace(env, h, removeWhenDone, channels, sampleRate, format, nativeByteOrder,
                          frames, data, address);
}

} // extern "C"
