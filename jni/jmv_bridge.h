// Shared pieces of the Java bridge: the virtual machine the engine's own
// threads attach to, direct-buffer access with its capacity check and
// byte-order rule, and the conversion of Java handles to engine pointers.
#pragma once

#include <jni.h>

#include <cstdint>
#include <marovel_audio.h>

// Declares the native method `name` of zel.marovel.MVNatives.
#define JMV(returnType, name) JNIEXPORT returnType JNICALL Java_zel_marovel_MVNatives_##name

namespace jmv {

// Bridge status codes (the engine's own numbers, reused).
constexpr int kNotDirect = -6;                       // buffer without an address
constexpr int kTooSmall = MV_ERROR_INDEX;            // capacity below what the call uses
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

// count x groups elements of size bytes: what a call reads or writes.
struct Elements {
    int size;
    jint count;
    jint groups = 1;

    // 0 when a count is not positive (the engine refuses such counts before
    // it touches any data); more than any buffer holds when the product
    // does not fit in 64 bits.
    int64_t bytes() const;
};

// A direct buffer's memory, for data whose byte order does not matter, where
// the call reads or writes its first `bytes` bytes. A null buffer gives a null
// pointer and no error (the engine call then decides whether null is
// allowed); a buffer without an address -6; a capacity below bytes -92, so
// that nothing is read or written past the buffer's end.
int directAddress(JNIEnv *env, jobject buffer, int64_t bytes, void *&out);

// As directAddress, and also learns the buffer's order; a failed ByteOrder
// lookup gives -94.
int directBuffer(JNIEnv *env, jobject buffer, int64_t bytes, Buffer &out);

// Reverses count elements of size bytes when the buffer is not in native
// order: from its order to native order, or back.
void swapIfForeign(const Buffer &buffer, int size, int count);

// Swaps the elements to native order for the engine call, then back, so the
// Java side finds its buffer as it was.
template <typename Call>
int withNativeOrder(JNIEnv *env, jobject buffer, Elements elements, Call call) {
    Buffer b;
    if (int status = directBuffer(env, buffer, elements.bytes(), b)) return status;
    // Within the checked capacity, so the count fits an int whenever there is data.
    int count = b.data ? int(elements.bytes() / elements.size) : 0;
    swapIfForeign(b, elements.size, count);
    int result = call(b.data);
    swapIfForeign(b, elements.size, count);
    return result;
}

// Lets the engine write a new object's pointer into the handle slot, then
// reverses the slot when the buffer is not in native order, so that Java
// reads it with getLong(0) in the buffer's own order.
template <typename Make> int createHandle(JNIEnv *env, jobject handleOut, Make make) {
    Buffer b;
    if (int status = directBuffer(env, handleOut, kHandleBytes, b)) return status;
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
