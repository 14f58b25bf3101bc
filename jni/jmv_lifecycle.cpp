// Library start-up and shut-down from Java, and the print hook that hands
// engine diagnostics to a java.lang.Appendable.
#include "jmv_bridge.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

using jmv::ThreadAttachment;

constexpr int kBackendSlots = 7;
constexpr int kMessageBytes = 256; // 255 characters and the terminating 0
constexpr const char *kAppendName = "append";
constexpr const char *kAppendSignature = "(Ljava/lang/CharSequence;)Ljava/lang/Appendable;";

// The Appendable that receives diagnostics; set exactly while mvPrint is doAppend.
jobject logTarget = nullptr;

// The steps of forwarding one message, each with its standard-error line.
enum class AppendStep { attach, newString, getClass, getMethod, call, detach, done };

constexpr const char *kFailureLines[] = {
    "doAppend (%.*s) fail @ AttachCurrentThread\n", "doAppend (%.*s) fail @ NewStringUTF\n",
    "doAppend (%.*s) fail @ GetObjectClass\n",      "doAppend (%.*s) fail @ GetMethodID\n",
    "doAppend (%.*s) fail @ CallObjectMethod\n",    "doAppend (%.*s) fail @ DetachCurrentThread\n",
};

// Appends message to logTarget; returns the step that failed, or done.
// Local references are deleted as soon as possible: on a thread that was
// already attached they would otherwise pile up in the caller's frame.
AppendStep appendToTarget(JNIEnv *env, const char *message) {
    jstring text = env->NewStringUTF(message);
    if (!text) return AppendStep::newString;
    AppendStep failed = AppendStep::done;
    jclass targetClass = env->GetObjectClass(logTarget);
    jmethodID append =
        targetClass ? env->GetMethodID(targetClass, kAppendName, kAppendSignature) : nullptr;
    if (!targetClass) {
        failed = AppendStep::getClass;
    } else if (!append) {
        failed = AppendStep::getMethod;
    } else {
        jobject self = env->CallObjectMethod(logTarget, append, text);
        if (env->ExceptionCheck() || !self) failed = AppendStep::call;
        if (self) env->DeleteLocalRef(self);
    }
    // A throwing Appendable is reported on standard error, never in Java.
    env->ExceptionClear();
    if (targetClass) env->DeleteLocalRef(targetClass);
    env->DeleteLocalRef(text);
    return failed;
}

AppendStep forward(const char *message) {
    ThreadAttachment thread;
    if (!thread.attach()) return AppendStep::attach;
    AppendStep failed = appendToTarget(thread.env(), message);
    if (!thread.detach() && failed == AppendStep::done) failed = AppendStep::detach;
    return failed;
}

int doAppend(const char *format, ...) {
    char message[kMessageBytes];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0) message[0] = 0;

    AppendStep failed = forward(message);
    if (failed == AppendStep::done) return length;
    // The message without its last character (normally its newline).
    int shown = std::clamp(length - 1, 0, kMessageBytes - 1);
    std::fprintf(stderr, kFailureLines[int(failed)], shown, message);
    return 0;
}

void installLog(JNIEnv *env, jobject log) {
    logTarget = env->NewGlobalRef(log);
    mvPrint = doAppend;
}

void dropLog(JNIEnv *env) {
    if (!logTarget) return;
    mvPrint = nullptr;
    env->DeleteGlobalRef(logTarget);
    logTarget = nullptr;
}

// A dispatcher that mvInitialize refused still belongs to the bridge.
void discardDispatcher(MvDispatcher *dispatcher) { mvDeleteDispatcher(dispatcher); }

int initialize(JNIEnv *env, jboolean threadSafe, jobject log) {
    if (env->GetJavaVM(&jmv::javaVm) != JNI_OK) return jmv::kLookupFailed;
    // A second start-up changes nothing: the running engine keeps its hook.
    if (mvDispatcher) return MV_ERROR_ALREADY_INITIALIZED;
    if (log) installLog(env, log);
    MvDispatcher *dispatcher = nullptr;
    int status = threadSafe ? mvNewThreadSafeDispatcher(&dispatcher)
                            : mvNewThreadUnsafeDispatcher(&dispatcher);
    if (status == MV_OK) {
        status = mvInitialize(dispatcher);
        if (status != MV_OK) discardDispatcher(dispatcher);
    }
    if (status != MV_OK) dropLog(env);
    return status;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_zel_marovel_MVNatives_initialize(JNIEnv *env, jclass,
                                                             jboolean threadSafe, jobject log) {
    return initialize(env, threadSafe, log);
}

JNIEXPORT jint JNICALL Java_zel_marovel_MVNatives_initializeInOrder(JNIEnv *env, jclass, jint b0,
                                                                    jint b1, jint b2, jint b3,
                                                                    jint b4, jint b5, jint b6,
                                                                    jboolean threadSafe,
                                                                    jobject log) {
    const jint order[kBackendSlots] = {b0, b1, b2, b3, b4, b5, b6};
    std::copy(order, order + kBackendSlots, mvBackendOrder);
    return initialize(env, threadSafe, log);
}

JNIEXPORT jint JNICALL Java_zel_marovel_MVNatives_deleteDispatcher(JNIEnv *, jclass,
                                                                   jlong dispatcher) {
    return mvDeleteDispatcher(reinterpret_cast<MvDispatcher *>(dispatcher));
}

JNIEXPORT jint JNICALL Java_zel_marovel_MVNatives_uninitialize(JNIEnv *env, jclass) {
    int status = mvUninitialize();
    dropLog(env);
    return status;
}

} // extern "C"
