// Direct buffers, their byte order, and thread attachment.
#include "jmv_bridge.h"

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
    jobject order = target ? env->CallObjectMethod(target, method)
                           : env->CallStaticObjectMethod(owner, method);
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

int directAddress(JNIEnv *env, jobject buffer, void *&out) {
    out = buffer ? env->GetDirectBufferAddress(buffer) : nullptr;
    return buffer && !out ? kNotDirect : MV_OK;
}

int directBuffer(JNIEnv *env, jobject buffer, Buffer &out) {
    out = Buffer{};
    if (int status = directAddress(env, buffer, out.data)) return status;
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
