package zel.marovel;

/** Native helpers of the tests: the engine's print hook and the process's standard error. */
final class TestHooks {
    static {
        System.loadLibrary("jmarovel_audio_testhooks");
    }

    /** What {@link #print} returns when the engine has no print hook. */
    static final int NO_HOOK = -1000;

    private TestHooks() {}

    static native boolean printHookInstalled();

    /** Calls the engine's print hook with the text on this (Java) thread. */
    static native int print(String text);

    /** Calls the engine's print hook from a new native thread unknown to the JVM. */
    static native int printFromNativeThread(String text);

    static native boolean redirectStderr(String path);

    static native void restoreStderr();
}
