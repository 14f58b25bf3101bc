package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static zel.marovel.Bridge.*;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Engine objects cross as longs written into 8-byte slots of direct buffers. */
class HandlesTest {
    private static final long USER_SPACE_LIMIT = 1L << 48;
    private static final int MACHINE_TYPE = -86;
    private static final int UNKNOWN_MODEL = -90;

    @BeforeEach
    void startEngine() {
        start(false, null);
    }

    @AfterEach
    void stopEngine() {
        stop();
    }

    @Test
    void unknownSoundModelFailsWithoutTouchingTheSlot() {
        ByteBuffer slot = nativeBuffer(8);
        for (int i = 0; i < 8; ++i) slot.put(i, (byte) 0x5A);
        assertEquals(UNKNOWN_MODEL, MVNatives.newSink(slot, 3, CHUNK));
        byte[] untouched = new byte[8];
        Arrays.fill(untouched, (byte) 0x5A);
        assertArrayEquals(untouched, contents(slot));
    }

    @Test
    void heapSlotsAreRefused() {
        ByteBuffer heap = ByteBuffer.allocate(8);
        assertEquals(NOT_DIRECT, MVNatives.newSink(heap, STEREO, CHUNK));
        long sink = loopbackSink(STEREO);
        assertEquals(NOT_DIRECT, MVNatives.newMixer(heap, sink));
        assertEquals(NOT_DIRECT, MVNatives.newSampler(heap, sink));
        assertEquals(0L, heap.getLong(0));
    }

    /** A handle read in the slot's own order is a plausible pointer that the engine accepts. */
    @ParameterizedTest
    @ValueSource(strings = {"BIG_ENDIAN", "LITTLE_ENDIAN"})
    void handlesReadBackWithGetLongInEitherOrder(String orderName) {
        ByteOrder order = orderName.equals("BIG_ENDIAN") ? ByteOrder.BIG_ENDIAN
                                                         : ByteOrder.LITTLE_ENDIAN;
        long sink = newHandle(order, out -> MVNatives.newSink(out, MONO, CHUNK));
        long mixer = newHandle(order, out -> MVNatives.newMixer(out, sink));
        long sampler = newHandle(order, out -> MVNatives.newSampler(out, mixer));
        for (long handle : new long[] {sink, mixer, sampler}) {
            assertNotEquals(0L, handle);
            assertTrue(Long.compareUnsigned(handle, USER_SPACE_LIMIT) < 0,
                       "not a user-space pointer: 0x" + Long.toHexString(handle));
        }
        assertEquals(0, MVNatives.openLoopbackSink(sink, RATE, 1, FLOAT32));
        assertEquals(RATE, MVNatives.getSampleRate(sink));
        assertEquals(STOPPED, MVNatives.getState(sampler));
        assertEquals(MACHINE_TYPE, MVNatives.getState(mixer));
        assertEquals(0, MVNatives.deleteMachine(sink));
    }

    @Test
    void failedCreationsLeaveTheSlotAlone() {
        ByteBuffer slot = direct(8, foreignOrder());
        assertEquals(-82, MVNatives.newSink(slot, MONO, 0));
        assertEquals(0L, slot.getLong(0));
    }
}
