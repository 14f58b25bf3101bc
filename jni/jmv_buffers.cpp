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

jobject nativeOrder(JNIEnv *env) {
    jclass byteOrder = env->FindClass(kByteOrderClass);
    if (!byteOrder) return nullptr;
    jmethodID method = env->GetStaticMethodID(byteOrder, "nativeOrder", kOrderSignature);
    jobject order = method ? env->CallStaticObjectMethod(byteOrder, method) : nullptr;
    env->DeleteLocalRef(byteOrder);
    return env->ExceptionCheck() ? nullptr : order;
}

jobject bufferOrder(JNIEnv *env, jobject buffer) {
    jclass bufferClass = env->GetObjectClass(buffer);
    if (!bufferClass) return nullptr;
    jmethodID method = env->GetMethodID(bufferClass, "order", kOrderSignature);
    jobject order = method ? env->CallObjectMethod(buffer, method) : nullptr;
    env->DeleteLocalRef(bufferClass);
    return env->ExceptionCheck() ? nullptr : order;
}

} // namespace

int directBuffer(JNIEnv *env, jobject buffer, Buffer &out) {
    out = Buffer{};
    if (!buffer) return MV_OK;
    out.data = env->GetDirectBufferAddress(buffer);
    if (!out.data) return kNotDirect;
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

void toNativeOrder(const Buffer &buffer, int size, int count) {
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
