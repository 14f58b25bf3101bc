package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static zel.marovel.Bridge.*;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Words in a buffer of the foreign order reach the engine in native order, and the buffer holds
 * its own bytes again when the call returns. What the engine received is heard in a render.
 */
class ByteOrderTest {
    private static final float EPSILON = 1e-6f;

    @BeforeEach
    void startEngine() {
        start(false, null);
    }

    @AfterEach
    void stopEngine() {
        stop();
    }

    private static void assertAll(float expected, float[] samples) {
        for (int i = 0; i < samples.length; ++i)
            assertEquals(expected, samples[i], EPSILON, "sample " + i);
    }

    @Test
    void initialAndSentMessageWordsArriveInNativeOrder() {
        long sink = loopbackSink(MONO);
        ByteBuffer initWords = floats(foreignOrder(), 0.25f);
        byte[] initBefore = contents(initWords);
        assertEquals(0, DspPrograms.attach(sink, DspPrograms.FILL, 1, initWords));
        assertArrayEquals(initBefore, contents(initWords));
        assertAll(0.25f, render(sink, CHUNK, 1));

        ByteBuffer message = floats(ByteOrder.BIG_ENDIAN, -0.75f);
        byte[] messageBefore = contents(message);
        assertEquals(0, MVNatives.sendDSPMessage(sink, 1, message));
        assertArrayEquals(messageBefore, contents(message));
        assertAll(-0.75f, render(sink, CHUNK, 1));

        assertEquals(0, MVNatives.sendDSPMessage(sink, 1, floats(ByteOrder.LITTLE_ENDIAN, 0.5f)));
        assertAll(0.5f, render(sink, CHUNK, 1));
    }

    @Test
    void messageBuffersMustBeDirect() {
        long sink = loopbackSink(MONO);
        assertEquals(0, DspPrograms.attach(sink, DspPrograms.FILL, 0, null));
        assertEquals(NOT_DIRECT, MVNatives.sendDSPMessage(sink, 1, ByteBuffer.allocate(4)));
        assertEquals(0, MVNatives.sendDSPMessage(sink, 0, null));
        assertEquals(NOT_DIRECT, MVNatives.setDSP(sink, (short) 1, ByteBuffer.allocate(1),
                                                  DspPrograms.STACK, 0, null));
        assertEquals(-93, MVNatives.setDSP(sink, (short) 1, null, DspPrograms.STACK, 0, null));
    }

    @Test
    void channelMatrixWeightsArriveInNativeOrder() {
        long sink = loopbackSink(STEREO);
        long sampler = newSampler(sink);
        assertEquals(0, enqueue(sampler, true, constantClip(4 * CHUNK, 1.0f)));
        ByteBuffer weights = floats(ByteOrder.BIG_ENDIAN, 0.25f, 0.75f);
        byte[] before = contents(weights);
        assertEquals(0, MVNatives.setChannelMatrix(sampler, 0, 1, 2, weights));
        assertArrayEquals(before, contents(weights));
        assertEquals(0, MVNatives.play(sampler));

        float[] frames = render(sink, CHUNK, 2);
        for (int i = 0; i < CHUNK; ++i) {
            assertEquals(0.25f, frames[2 * i], EPSILON, "left of frame " + i);
            assertEquals(0.75f, frames[2 * i + 1], EPSILON, "right of frame " + i);
        }
    }

    @Test
    void copiedClipsInTheForeignOrderPlayWithoutChangingTheBuffer() {
        long sink = loopbackSink(MONO);
        long sampler = newSampler(sink);
        ByteBuffer clip = direct(4 * CHUNK, foreignOrder());
        for (int i = 0; i < CHUNK; ++i) clip.putFloat(4 * i, 0.5f);
        byte[] before = contents(clip);
        assertEquals(0, MVNatives.enqueueClip(sampler, true, true, 1, RATE, FLOAT32, false, CHUNK,
                                              clip));
        assertArrayEquals(before, contents(clip));
        assertEquals(0, MVNatives.play(sampler));
        assertAll(0.5f, render(sink, CHUNK / 2, 1));
    }
}
