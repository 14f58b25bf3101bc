// Test hooks for the Java tests: call the engine's print hook from a Java
// thread or from a thread the JVM has never seen, and capture the process's
// standard error, where the bridge reports print failures.
#include <jni.h>

#include <cstdio>
#include <fcntl.h>
#include <marovel_audio.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr jint kNoHook = -1000;
int savedStderr = -1;

std::string utf8(JNIEnv *env, jstring text) {
    const char *chars = env->GetStringUTFChars(text, nullptr);
    std::string value = chars ? chars : "";
    if (chars) env->ReleaseStringUTFChars(text, chars);
    return value;
}

jint print(const std::string &text) {
    int (*hook)(const char *, ...) = mvPrint;
    return hook ? hook("%s", text.c_str()) : kNoHook;
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_zel_marovel_TestHooks_printHookInstalled(JNIEnv *, jclass) {
    return mvPrint != nullptr;
}

JNIEXPORT jint JNICALL Java_zel_marovel_TestHooks_print(JNIEnv *env, jclass, jstring text) {
    return print(utf8(env, text));
}

JNIEXPORT jint JNICALL Java_zel_marovel_TestHooks_printFromNativeThread(JNIEnv *env, jclass,
                                                                        jstring text) {
    std::string message = utf8(env, text);
    jint result = 0;
    std::thread thread([&] { result = print(message); });
    thread.join();
    return result;
}

JNIEXPORT jboolean JNICALL Java_zel_marovel_TestHooks_redirectStderr(JNIEnv *env, jclass,
                                                                     jstring path) {
    int file = open(utf8(env, path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) return false;
    std::fflush(stderr);
    savedStderr = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    close(file);
    return savedStderr >= 0;
}

JNIEXPORT void JNICALL Java_zel_marovel_TestHooks_restoreStderr(JNIEnv *, jclass) {
    if (savedStderr < 0) return;
    std::fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    savedStderr = -1;
}

} // extern "C"
