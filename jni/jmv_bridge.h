// Shared pieces of the Java bridge: the virtual machine the engine's own
// threads attach to, direct-buffer access with its byte-order rule, and the
// conversion of Java handles to engine pointers.
#pragma once

#include <jni.h>
#include <marovel_audio.h>

#include <cstdint>

// Declares the native method `name` of zel.marovel.MVNatives.
#define JMV(returnType, name) \
    JNIEXPORT returnType JNICALL Java_zel_marovel_MVNatives_##name

namespace jmv {

// Bridge status codes (the engine's own numbers, reused).
constexpr int kNotDirect = -6;                      // buffer without an address
constexpr int kLookupFailed = MV_ERROR_INCONSISTENT; // JavaVM or ByteOrder lookup
constexpr int kNullArgument = MV_ERROR_NULL_POINTER;
constexpr int kUnknownModel = MV_ERROR_SPEAKER_LAYOUT;

constexpr int kHandleBytes = 8; // a handle slot: one Java long
constexpr jint kJniVersion = JNI_VERSION_1_6;

// Obtained by initialize; engine threads attach to it for callbacks.
extern JavaVM *javaVm;

inline MvMachine *machine(jlong handle) {
    return reinterpret_cast<MvMachine *>(static_cast<uintptr_t>(handle));
}

// A direct buffer's memory and whether its order differs from the platform's.
struct Buffer {
    void *data = nullptr;
    bool swapped = false;
};

// A direct buffer's memory, for data whose byte order does not matter. A null
// buffer gives a null pointer and no error; a buffer without an address -6.
int directAddress(JNIEnv *env, jobject buffer, void *&out);

// As directAddress, and also learns the buffer's order; a failed ByteOrder
// lookup gives -94.
int directBuffer(JNIEnv *env, jobject buffer, Buffer &out);

// Reverses count elements of size bytes when the buffer is not in native
// order: from its order to native order, or back.
void swapIfForeign(const Buffer &buffer, int size, int count);

// Swaps count elements of size bytes to native order for the engine call,
// then back, so the Java side finds its buffer as it was.
template <typename Call>
int withNativeOrder(JNIEnv *env, jobject buffer, int size, int count, Call call) {
    Buffer b;
    if (int status = directBuffer(env, buffer, b)) return status;
    swapIfForeign(b, size, count);
    int result = call(b.data);
    swapIfForeign(b, size, count);
    return result;
}

// Lets the engine write a new object's pointer into the handle slot, then
// reverses the slot when the buffer is not in native order, so that Java
// reads it with getLong(0) in the buffer's own order.
template <typename Make>
int createHandle(JNIEnv *env, jobject handleOut, Make make) {
    Buffer b;
    if (int status = directBuffer(env, handleOut, b)) return status;
    int result = make(b.data);
    if (result == MV_OK) swapIfForeign(b, kHandleBytes, 1);
    return result;
}

// The JNIEnv of the calling thread, attaching it first if it is not attached
// yet; detach() lets go only of an attachment made here, so a Java thread
// (or an engine callback inside a native method) stays attached.
class ThreadAttachment {
public:
    bool attach();
    bool detach();
    JNIEnv *env() const { return env_; }

private:
    JNIEnv *env_ = nullptr;
    bool attachedHere_ = false;
};

} // namespace jmv
