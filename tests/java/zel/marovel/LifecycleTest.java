package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static zel.marovel.Bridge.*;

import java.lang.ref.WeakReference;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Start-up, devices, whole trees on real (fallback) streams from several Java threads, shut-down. */
class LifecycleTest {
    private static final int NOT_INITIALIZED = -99;
    private static final int NEVER_TRIED = -98;
    private static final int WORKERS = 4;
    private static final int CLIPS_PER_WORKER = 6;

    @AfterEach
    void stopEngine() {
        stop();
    }

    @Test
    void devicesOfTheFallbackBackend() {
        assertEquals(NOT_INITIALIZED, MVNatives.getDeviceCount());
        assertNull(MVNatives.getDeviceName(0));
        start(false, null);
        assertEquals(4, MVNatives.getVersion());
        assertEquals(0, MVNatives.getDSPVersion());
        int count = MVNatives.getDeviceCount();
        assertTrue(count >= 1);
        assertEquals("Automatic", MVNatives.getDeviceName(-1));
        assertEquals("auto", MVNatives.getDeviceID(-1));
        assertNull(MVNatives.getDeviceName(count));
        assertNull(MVNatives.getDeviceID(count));
        assertEquals(FALLBACK_BACKEND, MVNatives.getDeviceBackend(0));
        assertEquals(0, MVNatives.getBackendError(FALLBACK_BACKEND));
        assertEquals(NEVER_TRIED, MVNatives.getBackendError(2));
        assertEquals(0, MVNatives.refreshDeviceList());
        assertTrue(MVNatives.getDefaultDevice() >= 0);
        assertEquals(0, MVNatives.uninitialize());
        assertEquals(NOT_INITIALIZED, MVNatives.uninitialize());
    }

    /** One worker's tree: a sink on the default device, a mixer, a sampler with clips. */
    private static List<WeakReference<ByteBuffer>> buildAndPlay(boolean shared, long sharedSink) {
        long sink = shared ? sharedSink : newHandle(out -> MVNatives.newSink(out, STEREO, CHUNK));
        if (!shared) assertEquals(0, MVNatives.openSink(sink, -1, RATE));
        long mixer = newHandle(ByteOrder.BIG_ENDIAN, out -> MVNatives.newMixer(out, sink));
        long sampler = newHandle(out -> MVNatives.newSampler(out, mixer));
        List<WeakReference<ByteBuffer>> uncopied = new ArrayList<>();
        for (int i = 0; i < CLIPS_PER_WORKER; ++i) {
            ByteBuffer clip = constantClip(RATE, 0.1f);
            boolean copy = i % 2 == 0;
            assertEquals(0, MVNatives.enqueueClip(sampler, false, copy, 1, RATE, FLOAT32, true,
                                                  RATE, clip));
            if (!copy) uncopied.add(new WeakReference<>(clip));
        }
        assertEquals(0, MVNatives.setGain(mixer, 0.05, 0.5f));
        assertEquals(0, MVNatives.setFrequency(sampler, 0, 1.5));
        assertEquals(0, MVNatives.setChannelMatrix(sampler, 0.01, 1, 2,
                                                   floats(ByteOrder.BIG_ENDIAN, 0.5f, 0.5f)));
        assertEquals(0, MVNatives.setLooping(sampler, true));
        assertEquals(1, MVNatives.getLooping(sampler));
        assertEquals(0, MVNatives.setLoopStart(sampler, 0.25));
        assertEquals(0.25, MVNatives.getLoopStart(sampler));
        assertEquals(0, MVNatives.play(sampler));
        assertEquals(0, MVNatives.pause(sampler));
        assertEquals(PAUSED, MVNatives.getState(sampler));
        assertEquals(0, MVNatives.resume(sampler));
        assertEquals(0, MVNatives.ensurePlaying(sampler));
        assertEquals(0, MVNatives.playAt(sampler, 0.5));
        assertEquals(0, MVNatives.setInterpolation(sampler, false));
        assertEquals(0, MVNatives.getInterpolation(sampler));
        assertEquals(0, MVNatives.setResampler(sampler, MVNatives.RESAMPLER_BANDLIMITED));
        assertEquals(MVNatives.RESAMPLER_BANDLIMITED, MVNatives.getResampler(sampler));
        assertEquals(-92, MVNatives.setResampler(sampler, 7));
        assertEquals(0, MVNatives.setTransitionFade(sampler, 0.002));
        assertEquals(0.002, MVNatives.getTransitionFade(sampler));
        assertEquals(CLIPS_PER_WORKER, MVNatives.getClipQueueSize(sampler));
        assertTrue(MVNatives.getProcessedClips(sampler) >= 0);
        assertEquals(0, MVNatives.clearChannelMatrix(sampler));
        // A second sampler whose clips only uninitialize releases.
        long idle = newHandle(out -> MVNatives.newSampler(out, sink));
        ByteBuffer waiting = constantClip(16, 0.1f);
        assertEquals(0, MVNatives.enqueueClip(idle, true, false, 1, RATE, FLOAT32, true, 16,
                                              waiting));
        uncopied.add(new WeakReference<>(waiting));
        return uncopied;
    }

    @ParameterizedTest
    @ValueSource(booleans = {true, false})
    void wholeLifecycleFromSeveralJavaThreads(boolean threadSafe) throws Exception {
        start(threadSafe, new RecordingLog());
        long sharedSink = newHandle(out -> MVNatives.newSink(out, STEREO, CHUNK));
        assertEquals(0, MVNatives.openSink(sharedSink, -1, RATE));
        assertTrue(MVNatives.getSampleRate(sharedSink) > 0);
        assertTrue(MVNatives.getSpeakerCount(sharedSink) > 0);
        assertEquals(0, MVNatives.getSinkError(sharedSink));

        // The thread-unsafe engine takes one thread at a time; the Java side serialises.
        Object oneAtATime = new Object();
        List<Callable<List<WeakReference<ByteBuffer>>>> workers = new ArrayList<>();
        for (int w = 0; w < WORKERS; ++w) {
            boolean shared = w % 2 == 0;
            workers.add(() -> {
                if (threadSafe) return buildAndPlay(shared, sharedSink);
                synchronized (oneAtATime) {
                    return buildAndPlay(shared, sharedSink);
                }
            });
        }
        ExecutorService pool = Executors.newFixedThreadPool(WORKERS);
        List<WeakReference<ByteBuffer>> buffers = Collections.synchronizedList(new ArrayList<>());
        try {
            for (Future<List<WeakReference<ByteBuffer>>> f : pool.invokeAll(workers))
                buffers.addAll(f.get());
        } finally {
            pool.shutdown();
        }
        sleep(200); // let the streams play a little
        assertEquals(0, MVNatives.uninitialize());
        assertFalse(TestHooks.printHookInstalled());
        collectUntil(() -> buffers.stream().allMatch(b -> b.get() == null),
                     "uninitialize left a clip unreleased");
    }
}
