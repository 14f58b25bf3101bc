package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.fail;
import static zel.marovel.Bridge.*;

import java.lang.ref.WeakReference;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Copied clips play what the buffer held at the call; uncopied clips play the buffer itself,
 * which stays reachable exactly until the engine releases the clip.
 */
class ClipTest {
    private static final float EPSILON = 1e-6f;
    private static final int UNKNOWN_FORMAT = 6;
    private static final int FORMAT_ERROR = -91;
    // Larger than the test JVM's direct memory divided by the clip count, so leaked
    // buffers would exhaust it.
    private static final int LARGE_CLIP_BYTES = 1 << 20;
    private static final int LARGE_CLIPS = 200;

    private final RecordingLog log = new RecordingLog();
    private long sink;
    private long sampler;

    private void startWith(boolean threadSafe) {
        start(threadSafe, log);
        sink = loopbackSink(MONO);
        sampler = newSampler(sink);
    }

    /** Releases run on Java threads (thread-unsafe engine) and on the engine thread alike. */
    @AfterEach
    void releasesReportedNoFailure() {
        stop();
        assertEquals("", log.text.toString());
    }

    private static void assertAll(float expected, float[] samples) {
        for (int i = 0; i < samples.length; ++i)
            assertEquals(expected, samples[i], EPSILON, "sample " + i);
    }

    private static void overwrite(ByteBuffer clip, float value) {
        for (int i = 0; i < clip.capacity() / 4; ++i) clip.putFloat(4 * i, value);
    }

    /**
     * Renders once every change posted so far has reached the sink's up queue: the thread-safe
     * engine posts on its own thread, and a query runs there after every earlier post.
     */
    private float[] renderPosted(int frames) {
        MVNatives.getClipQueueSize(sampler);
        return render(sink, frames, 1);
    }

    /** Lets the engine act on posted changes and hand released clips back. */
    private int settledQueueSize() {
        renderPosted(1);
        return MVNatives.getClipQueueSize(sampler);
    }

    @Test
    void copiedClipPlaysTheSamplesAsTheyWereAtTheCall() {
        startWith(false);
        ByteBuffer clip = constantClip(4 * CHUNK, 0.5f);
        assertEquals(0, enqueue(sampler, true, clip));
        overwrite(clip, 0.9f);
        assertEquals(0, MVNatives.play(sampler));
        assertAll(0.5f, renderPosted(CHUNK));
    }

    @Test
    void uncopiedClipPlaysTheBufferItself() {
        startWith(false);
        ByteBuffer clip = constantClip(4 * CHUNK, 0.5f);
        assertEquals(0, enqueue(sampler, false, clip));
        overwrite(clip, 0.9f);
        assertEquals(0, MVNatives.play(sampler));
        assertAll(0.9f, renderPosted(CHUNK));
    }

    @Test
    void refusedClipsAreNotQueued() {
        startWith(false);
        ByteBuffer clip = constantClip(CHUNK, 0.5f);
        for (boolean copy : new boolean[] {true, false}) {
            assertEquals(FORMAT_ERROR, MVNatives.enqueueClip(sampler, true, copy, 1, RATE,
                                                             UNKNOWN_FORMAT, true, CHUNK, clip));
            assertEquals(NOT_DIRECT, MVNatives.enqueueClip(sampler, true, copy, 1, RATE, FLOAT32,
                                                           true, CHUNK, ByteBuffer.allocate(16)));
            assertEquals(NOT_DIRECT, MVNatives.enqueueClip(sampler, true, copy, 1, RATE, FLOAT32,
                                                           true, CHUNK, null));
            assertEquals(-82, MVNatives.enqueueClip(sampler, true, copy, 1, RATE, FLOAT32, true,
                                                    0, clip));
        }
        assertEquals(0, MVNatives.getClipQueueSize(sampler));
    }

    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void uncopiedBufferStaysReachableUntilTheClipIsReleased(boolean threadSafe) {
        startWith(threadSafe);
        WeakReference<ByteBuffer> buffer = enqueueUnreferenced(constantClip(CHUNK, 0.5f));
        for (int round = 0; round < 5; ++round) {
            System.gc();
            sleep(10);
        }
        assertNotNull(buffer.get(), "collected while the engine still reads it");
        assertEquals(1, settledQueueSize());

        assertEquals(0, MVNatives.clearClipQueue(sampler));
        waitUntil(() -> settledQueueSize() == 0, "the clip was not released");
        collectUntil(() -> buffer.get() == null, "the global reference outlived the clip");
    }

    private WeakReference<ByteBuffer> enqueueUnreferenced(ByteBuffer clip) {
        assertEquals(0, enqueue(sampler, false, clip));
        return new WeakReference<>(clip);
    }

    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void playedClipsAreReleasedOnceEach(boolean threadSafe) {
        startWith(threadSafe);
        List<WeakReference<ByteBuffer>> buffers = new ArrayList<>();
        for (int i = 0; i < 50; ++i) buffers.add(enqueueUnreferenced(constantClip(16, 0.5f)));
        assertEquals(0, MVNatives.play(sampler));
        renderPosted(50 * 16 + CHUNK);
        waitUntil(() -> settledQueueSize() == 0, "played clips were not released");
        assertEquals(STOPPED, MVNatives.getState(sampler));
        collectUntil(() -> buffers.stream().allMatch(b -> b.get() == null),
                     "a played clip's buffer is still referenced");
    }

    /** With leaked references the direct memory limit of the test JVM would be exceeded. */
    @Test
    void manyLargeClipsDoNotLeakTheirBuffers() {
        startWith(false);
        try {
            for (int i = 0; i < LARGE_CLIPS; ++i) {
                assertEquals(0, enqueue(sampler, false, nativeBuffer(LARGE_CLIP_BYTES)));
                assertEquals(0, MVNatives.clearClipQueue(sampler));
                assertEquals(0, settledQueueSize());
            }
        } catch (OutOfMemoryError leaked) {
            fail("released clips kept their buffers: " + leaked.getMessage());
        }
    }

    @Test
    void positionFollowsTheRenderAndALoopbackSinkHasNoLatency() {
        startWith(false);
        assertEquals(0, enqueue(sampler, true, constantClip(4 * CHUNK, 0.5f)));
        assertEquals(0, MVNatives.play(sampler));
        renderPosted(3 * CHUNK);
        assertEquals(3.0 * CHUNK / RATE, MVNatives.getPlayPosition(sampler), 1e-12);
        assertEquals(0.0, MVNatives.getSinkLatency(sampler));
        assertEquals(-86.0, MVNatives.getPlayPosition(sink));
        assertEquals(-93.0, MVNatives.getSinkLatency(0));
    }
}
