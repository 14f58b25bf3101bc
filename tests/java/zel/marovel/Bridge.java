package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.function.BooleanSupplier;
import java.util.function.ToIntFunction;

/** Shared helpers of the bridge tests: engine start-up, handles, buffers, loopback renders. */
final class Bridge {
    static final int FLOAT32 = 0;
    static final int MONO = 1;
    static final int STEREO = 2;
    static final int RATE = 48000;
    static final int CHUNK = 256;
    static final int FALLBACK_BACKEND = 7;
    static final int STOPPED = 0;
    static final int PAUSED = 2;
    static final int NOT_DIRECT = -6;

    private Bridge() {}

    /** Starts the engine on the fallback backend only, so no sound server is needed. */
    static void start(boolean threadSafe, Appendable log) {
        assertEquals(0, MVNatives.initializeInOrder(FALLBACK_BACKEND, 0, 0, 0, 0, 0, 0,
                                                    threadSafe, log));
    }

    /** Stops the engine if a test left it running. */
    static void stop() {
        MVNatives.uninitialize();
    }

    static ByteBuffer direct(int bytes, ByteOrder order) {
        return ByteBuffer.allocateDirect(bytes).order(order);
    }

    static ByteBuffer nativeBuffer(int bytes) {
        return direct(bytes, ByteOrder.nativeOrder());
    }

    /** The order that is not the platform's. */
    static ByteOrder foreignOrder() {
        return ByteOrder.nativeOrder() == ByteOrder.BIG_ENDIAN ? ByteOrder.LITTLE_ENDIAN
                                                                : ByteOrder.BIG_ENDIAN;
    }

    static ByteBuffer floats(ByteOrder order, float... values) {
        ByteBuffer buffer = direct(4 * values.length, order);
        for (int i = 0; i < values.length; ++i) buffer.putFloat(4 * i, values[i]);
        return buffer;
    }

    static ByteBuffer ints(ByteOrder order, int... values) {
        ByteBuffer buffer = direct(4 * values.length, order);
        for (int i = 0; i < values.length; ++i) buffer.putInt(4 * i, values[i]);
        return buffer;
    }

    static ByteBuffer bytes(int... values) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(values.length);
        for (int i = 0; i < values.length; ++i) buffer.put(i, (byte) values[i]);
        return buffer;
    }

    static byte[] contents(ByteBuffer buffer) {
        byte[] copy = new byte[buffer.capacity()];
        buffer.duplicate().clear().get(copy);
        return copy;
    }

    /** Runs a creating call with a fresh handle slot in the given order and returns the handle. */
    static long newHandle(ByteOrder order, ToIntFunction<ByteBuffer> create) {
        ByteBuffer slot = direct(8, order);
        assertEquals(0, create.applyAsInt(slot));
        return slot.getLong(0);
    }

    static long newHandle(ToIntFunction<ByteBuffer> create) {
        return newHandle(ByteOrder.nativeOrder(), create);
    }

    /** A sink with a float32 loopback output of as many channels as its model has. */
    static long loopbackSink(int model) {
        long sink = newHandle(out -> MVNatives.newSink(out, model, CHUNK));
        assertEquals(0, MVNatives.openLoopbackSink(sink, RATE, model, FLOAT32));
        return sink;
    }

    static long newSampler(long parent) {
        return newHandle(out -> MVNatives.newSampler(out, parent));
    }

    /** Renders frames of a float32 loopback sink; returns the interleaved samples. */
    static float[] render(long sink, int frames, int channels) {
        ByteBuffer output = nativeBuffer(4 * frames * channels);
        assertEquals(0, MVNatives.renderLoopbackSink(sink, frames, output));
        float[] samples = new float[frames * channels];
        output.asFloatBuffer().get(samples);
        return samples;
    }

    /** A float32 clip at the sink's rate holding one value, in native order. */
    static ByteBuffer constantClip(int frames, float value) {
        ByteBuffer clip = nativeBuffer(4 * frames);
        for (int i = 0; i < frames; ++i) clip.putFloat(4 * i, value);
        return clip;
    }

    static int enqueue(long sampler, boolean copy, ByteBuffer clip) {
        return MVNatives.enqueueClip(sampler, true, copy, 1, RATE, FLOAT32, true,
                                     clip.capacity() / 4, clip);
    }

    /** Collects garbage until the condition holds, failing after a few seconds. */
    static void collectUntil(BooleanSupplier condition, String what) {
        for (int round = 0; round < 100; ++round) {
            if (condition.getAsBoolean()) return;
            System.gc();
            sleep(20);
        }
        fail(what);
    }

    /** Waits for a condition that engine threads make true. */
    static void waitUntil(BooleanSupplier condition, String what) {
        for (int round = 0; round < 250; ++round) {
            if (condition.getAsBoolean()) return;
            sleep(20);
        }
        fail(what);
    }

    static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError(e);
        }
    }
}
