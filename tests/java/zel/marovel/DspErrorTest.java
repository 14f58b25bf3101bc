package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static zel.marovel.Bridge.*;
import static zel.marovel.DspPrograms.*;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The failure report of a program that fails its initializer at once, read back from Java. */
class DspErrorTest {
    private static final int REGISTERS = 20;
    private static final int PC = 16;
    private static final int FP = 17;
    private static final int SP = 18;
    private static final int TRACE_BYTES = 510;
    private static final int INITIALIZER = 0;
    private static final int NO_PROGRAM = -85;
    private static final byte UNTOUCHED = 0x7F;
    // Image of the failing program on a mono sink: program, one chunk of samples, stack.
    private static final int MEMORY = UNKNOWN_OPCODE.length + 4 * CHUNK + STACK;
    private static final int INITIALIZER_ARGUMENT_BYTES = 12;

    private long sink;

    @BeforeEach
    void attachFailingProgram() {
        start(false, null);
        sink = loopbackSink(MONO);
        assertEquals(0, attach(sink, UNKNOWN_OPCODE, 0, null));
    }

    @AfterEach
    void stopEngine() {
        stop();
    }

    private static ByteBuffer marked(int bytes, ByteOrder order) {
        ByteBuffer buffer = direct(bytes, order);
        for (int i = 0; i < bytes; ++i) buffer.put(i, UNTOUCHED);
        return buffer;
    }

    @Test
    void reportsRoutineRegistersAndTraceInEachBuffersOrder() {
        for (ByteOrder order : new ByteOrder[] {ByteOrder.BIG_ENDIAN, ByteOrder.LITTLE_ENDIAN}) {
            ByteBuffer routine = marked(1, order);
            ByteBuffer registers = marked(4 * REGISTERS, order);
            ByteBuffer length = marked(1, order);
            ByteBuffer trace = marked(TRACE_BYTES, order);
            assertEquals(STATUS_UNKNOWN_OPCODE,
                         MVNatives.getDSPError(sink, routine, registers, length, trace));
            assertEquals(INITIALIZER, routine.get(0));
            assertEquals(UNKNOWN_OPCODE_PC, registers.getInt(4 * PC));
            assertEquals(MEMORY, registers.getInt(4 * FP));
            assertEquals(MEMORY - INITIALIZER_ARGUMENT_BYTES, registers.getInt(4 * SP));
            assertEquals(1, length.get(0));
            assertEquals(UNKNOWN_OPCODE_PC, trace.getShort(0));
            assertEquals(UNTOUCHED, trace.get(2), "beyond the trace");
        }
    }

    @Test
    void traceLengthIsWrittenOnlyWithATrace() {
        ByteBuffer length = marked(1, ByteOrder.nativeOrder());
        assertEquals(STATUS_UNKNOWN_OPCODE, MVNatives.getDSPError(sink, null, null, length, null));
        assertEquals(UNTOUCHED, length.get(0));

        ByteBuffer trace = marked(TRACE_BYTES, ByteOrder.nativeOrder());
        assertEquals(NOT_DIRECT, MVNatives.getDSPError(sink, null, null, null, trace));
        assertEquals(NOT_DIRECT,
                     MVNatives.getDSPError(sink, null, null, ByteBuffer.allocate(1), trace));
        assertEquals(UNKNOWN_OPCODE_PC, trace.getShort(0), "the engine call has run");
    }

    @Test
    void everyOutputMustBeDirect() {
        ByteBuffer heap = ByteBuffer.allocate(TRACE_BYTES);
        assertEquals(NOT_DIRECT, MVNatives.getDSPError(sink, heap, null, null, null));
        assertEquals(NOT_DIRECT, MVNatives.getDSPError(sink, null, heap, null, null));
        assertEquals(NOT_DIRECT, MVNatives.getDSPError(sink, null, null, null, heap));
    }

    @Test
    void aFailedProgramDropsMessagesAndKeepsItsReport() {
        assertEquals(0, MVNatives.sendDSPMessage(sink, 1, ints(ByteOrder.nativeOrder(), 7)));
        render(sink, CHUNK, 1);
        assertEquals(STATUS_UNKNOWN_OPCODE, MVNatives.getDSPError(sink, null, null, null, null));
        assertEquals(0, MVNatives.resetDestinationFunc(sink));
        assertEquals(NO_PROGRAM, MVNatives.getDSPError(sink, null, null, null, null));
        assertEquals(NO_PROGRAM, MVNatives.sendDSPMessage(sink, 0, null));
    }
}
