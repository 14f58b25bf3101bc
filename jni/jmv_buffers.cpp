// Direct buffers, their capacity and byte order, and thread attachment.
#include "jmv_bridge.h"

#include <limits>

namespace jmv {

JavaVM *javaVm = nullptr;

namespace {

constexpr const char *kByteOrderClass = "java/nio/ByteOrder";
constexpr const char *kOrderSignature = "()Ljava/nio/ByteOrder;";

// A lookup that failed leaves a Java exception pending; the caller learns of
// the failure from the status instead, so it must not reach Java as well.
int lookupFailed(JNIEnv *env) {
    env->ExceptionClear();
    return kLookupFailed;
}

// Calls owner's static method name, or target's when target is given, which
// returns a ByteOrder; null when the lookup or the call fails.
jobject callOrderMethod(JNIEnv *env, jclass owner, jobject target, const char *name) {
    jmethodID method = target ? env->GetMethodID(owner, name, kOrderSignature)
                              : env->GetStaticMethodID(owner, name, kOrderSignature);
    if (!method) return nullptr;
    jobject order =
        target ? env->CallObjectMethod(target, method) : env->CallStaticObjectMethod(owner, method);
    return env->ExceptionCheck() ? nullptr : order;
}

jobject nativeOrder(JNIEnv *env) {
    jclass byteOrder = env->FindClass(kByteOrderClass);
    if (!byteOrder) return nullptr;
    jobject order = callOrderMethod(env, byteOrder, nullptr, "nativeOrder");
    env->DeleteLocalRef(byteOrder);
    return order;
}

jobject bufferOrder(JNIEnv *env, jobject buffer) {
    jclass bufferClass = env->GetObjectClass(buffer);
    if (!bufferClass) return nullptr;
    jobject order = callOrderMethod(env, bufferClass, buffer, "order");
    env->DeleteLocalRef(bufferClass);
    return order;
}

} // namespace

int64_t Elements::bytes() const {
    if (size <= 0 || count <= 0 || groups <= 0) return 0;
    int64_t total = 0;
    if (__builtin_mul_overflow(int64_t{size} * count, groups, &total))
        return std::numeric_limits<int64_t>::max();
    return total;
}

int directAddress(JNIEnv *env, jobject buffer, int64_t bytes, void *&out) {
    out = nullptr;
    if (!buffer) return MV_OK;
    void *address = env->GetDirectBufferAddress(buffer);
    if (!address) return kNotDirect;
    if (env->GetDirectBufferCapacity(buffer) < bytes) return kTooSmall;
    out = address;
    return MV_OK;
}

int directBuffer(JNIEnv *env, jobject buffer, int64_t bytes, Buffer &out) {
    out = Buffer{};
    if (int status = directAddress(env, buffer, bytes, out.data)) return status;
    if (!buffer) return MV_OK;
    jobject platform = nativeOrder(env);
    if (!platform) return lookupFailed(env);
    jobject own = bufferOrder(env, buffer);
    if (!own) {
        env->DeleteLocalRef(platform);
        return lookupFailed(env);
    }
    out.swapped = !env->IsSameObject(platform, own);
    env->DeleteLocalRef(own);
    env->DeleteLocalRef(platform);
    return MV_OK;
}

void swapIfForeign(const Buffer &buffer, int size, int count) {
    if (buffer.swapped && buffer.data) mvByteSwap(buffer.data, 1, size, count);
}

bool ThreadAttachment::attach() {
    if (!javaVm) return false;
    void *env = nullptr;
    jint state = javaVm->GetEnv(&env, kJniVersion);
    if (state == JNI_OK) {
        env_ = static_cast<JNIEnv *>(env);
        return true;
    }
    if (state != JNI_EDETACHED) return false;
    if (javaVm->AttachCurrentThread(&env, nullptr) != JNI_OK) return false;
    env_ = static_cast<JNIEnv *>(env);
    attachedHere_ = true;
    return true;
}

bool ThreadAttachment::detach() {
    if (!attachedHere_) return true;
    attachedHere_ = false;
    return javaVm->DetachCurrentThread() == JNI_OK;
}

} // namespace jmv
