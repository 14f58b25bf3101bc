package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static zel.marovel.Bridge.*;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Every native that takes a buffer refuses one smaller than what the call reads or writes (-92)
 * and one that is not direct (-6) before it touches any memory; a null buffer gets the status
 * of its row.
 */
class BufferChecksTest {
    private static final int TOO_SMALL = -92;
    private static final int NULL_POINTER = -93;
    private static final int INT24 = 2;
    private static final int INT16 = 3;
    // The output frame is 3 channels of 3 bytes, so a check that forgets either factor fails.
    private static final int OUTPUT_CHANNELS = 3;
    private static final int OUTPUT_FRAME_BYTES = OUTPUT_CHANNELS * 3;
    private static final int FRAMES = 64;
    private static final int CLIP_BYTES = FRAMES * 2 * 2; // stereo int16
    private static final int HANDLE_BYTES = 8;
    private static final int REGISTERS_BYTES = 80;
    private static final int TRACE_BYTES = 510;
    private static final int GUARD = 64;
    private static final byte MARK = 0x5A;

    /** The machines of one case, built afresh for each. */
    private static final class Tree {
        long sink; // mono model, loopback output of 3 int24 channels
        long sampler;
        long listening; // a mixer whose program takes messages
        long failed; // a mixer whose program failed its initializer
    }

    private interface Call {
        int run(Tree tree, ByteBuffer buffer);
    }

    /** A native, the largest capacity it must refuse, and its status for a null buffer. */
    private record Row(String name, int refused, int absent, Call call) {
        @Override
        public String toString() {
            return name;
        }
    }

    private static Row row(String name, int needed, int absent, Call call) {
        return new Row(name, needed - 1, absent, call);
    }

    static Stream<Row> natives() {
        return Stream.of(
            row("renderLoopbackSink", FRAMES * OUTPUT_FRAME_BYTES, NULL_POINTER,
                (t, b) -> MVNatives.renderLoopbackSink(t.sink, FRAMES, b)),
            row("newSink", HANDLE_BYTES, NULL_POINTER, (t, b) -> MVNatives.newSink(b, MONO, CHUNK)),
            row("newMixer", HANDLE_BYTES, NULL_POINTER, (t, b) -> MVNatives.newMixer(b, t.sink)),
            row("newSampler", HANDLE_BYTES, NULL_POINTER,
                (t, b) -> MVNatives.newSampler(b, t.sink)),
            row("enqueueClip copied", CLIP_BYTES, NOT_DIRECT,
                (t, b) -> MVNatives.enqueueClip(t.sampler, true, true, 2, RATE, INT16, true,
                                                FRAMES, b)),
            row("enqueueClip in place", CLIP_BYTES, NOT_DIRECT,
                (t, b) -> MVNatives.enqueueClip(t.sampler, true, false, 2, RATE, INT16, false,
                                                FRAMES, b)),
            // Channels x frames x 4 does not fit in 64 bits.
            new Row("enqueueClip of 2^62 samples", 4096, NOT_DIRECT,
                    (t, b) -> MVNatives.enqueueClip(t.sampler, true, true, Integer.MAX_VALUE,
                                                    RATE, FLOAT32, true, Integer.MAX_VALUE, b)),
            row("setChannelMatrix", 4 * 3, 0, // null clears the matrix
                (t, b) -> MVNatives.setChannelMatrix(t.sampler, 0, 3, 1, b)),
            row("setDSP program", DspPrograms.FILL.length, NULL_POINTER,
                (t, b) -> MVNatives.setDSP(t.sink, (short) DspPrograms.FILL.length, b,
                                           DspPrograms.STACK, 0, null)),
            row("setDSP initWords", 4 * 2, NULL_POINTER,
                (t, b) -> DspPrograms.attach(t.sink, DspPrograms.FILL, 2, b)),
            row("sendDSPMessage", 4 * 2, NULL_POINTER,
                (t, b) -> MVNatives.sendDSPMessage(t.listening, 2, b)),
            row("getDSPError routineOut", 1, DspPrograms.STATUS_UNKNOWN_OPCODE,
                (t, b) -> MVNatives.getDSPError(t.failed, b, null, null, null)),
            row("getDSPError registersOut", REGISTERS_BYTES, DspPrograms.STATUS_UNKNOWN_OPCODE,
                (t, b) -> MVNatives.getDSPError(t.failed, null, b, null, null)),
            row("getDSPError traceOut", TRACE_BYTES, DspPrograms.STATUS_UNKNOWN_OPCODE,
                (t, b) -> MVNatives.getDSPError(t.failed, null, null, nativeBuffer(1), b)),
            row("getDSPError traceLengthOut", 1, NOT_DIRECT,
                (t, b) -> MVNatives.getDSPError(t.failed, null, null, b,
                                                nativeBuffer(TRACE_BYTES))));
    }

    private final Tree tree = new Tree();

    @BeforeEach
    void buildTree() {
        start(false, null);
        tree.sink = newHandle(out -> MVNatives.newSink(out, MONO, CHUNK));
        assertEquals(0, MVNatives.openLoopbackSink(tree.sink, RATE, OUTPUT_CHANNELS, INT24));
        tree.sampler = newSampler(tree.sink);
        tree.listening = newHandle(out -> MVNatives.newMixer(out, tree.sink));
        assertEquals(0, DspPrograms.attach(tree.listening, DspPrograms.FILL, 0, null));
        tree.failed = newHandle(out -> MVNatives.newMixer(out, tree.sink));
        assertEquals(0, DspPrograms.attach(tree.failed, DspPrograms.UNKNOWN_OPCODE, 0, null));
    }

    @AfterEach
    void stopEngine() {
        stop();
    }

    /** The too-small buffer is a slice with guard bytes on both sides, all of them marked. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("natives")
    void refusesBuffersItCannotUse(Row row) {
        ByteBuffer backing = nativeBuffer(GUARD + row.refused() + GUARD);
        byte[] marked = new byte[backing.capacity()];
        Arrays.fill(marked, MARK);
        backing.put(0, marked);
        ByteBuffer small = backing.slice(GUARD, row.refused()).order(ByteOrder.nativeOrder());

        assertEquals(TOO_SMALL, row.call().run(tree, small), "too small");
        assertArrayEquals(marked, contents(backing), "nothing touched in or around the slice");
        assertEquals(row.absent(), row.call().run(tree, null), "null");
        assertEquals(NOT_DIRECT, row.call().run(tree, ByteBuffer.allocate(row.refused() + 1)),
                     "not direct");
    }
}
