package zel.marovel;

import java.nio.ByteBuffer;

/** Signal-processor programs of the tests, with their listings. */
final class DspPrograms {
    private DspPrograms() {}

    /**
     * For a mono sink: every message (initial or sent) stores its word 0 in a variable, and the
     * main routine fills the whole block with that word. A float sent as a message therefore
     * comes out of the sink as it is, if the engine received the word in native order.
     */
    static final int[] FILL = {
        0x04, 0x00, 0x0D, 0x00,       //  0 LDI16 R0, 13      ; message routines at 13
        0x04, 0x01, 0x0D, 0x00,       //  4 LDI16 R1, 13
        0x04, 0x02, 0x1A, 0x00,       //  8 LDI16 R2, 26      ; main routine at 26
        0x01,                         // 12 HALT
        0x08, 0x01,                   // 13 POP R1            ; word count
        0x38, 0x01, 0x19, 0x00,       // 15 JZ R1, 25
        0x08, 0x02,                   // 19 POP R2            ; word 0
        0x0D, 0x36, 0x00, 0x02,       // 21 ST32 [54], R2
        0x01,                         // 25 HALT
        0x08, 0x01,                   // 26 POP R1            ; frames
        0x08, 0x02,                   // 28 POP R2            ; sample address
        0x13, 0x03, 0x36, 0x00,       // 30 LD32 R3, [54]
        0x05, 0x04, 0x04,             // 34 LDI8 R4, 4
        0x38, 0x01, 0x35, 0x00,       // 37 JZ R1, 53
        0x0E, 0x02, 0x03,             // 41 ST32R [R2], R3
        0x1F, 0x02, 0x02, 0x04,       // 44 ADD R2, R2, R4
        0x1D, 0x01,                   // 48 DEC R1
        0x36, 0x25, 0x00,             // 50 JMP 37
        0x01,                         // 53 HALT
        0x00, 0x00, 0x00, 0x00,       // 54 the word
    };

    /** Fails its initializer at once: three NOPs, then opcode 82, which does not exist. */
    static final int[] UNKNOWN_OPCODE = {0x00, 0x00, 0x00, 0x52};
    static final int UNKNOWN_OPCODE_PC = 3;
    static final int STATUS_UNKNOWN_OPCODE = 2;

    /** Stack room for the initializer's three arguments and a little more. */
    static final short STACK = 32;

    static int attach(long machine, int[] program, int initCount, ByteBuffer initWords) {
        return MVNatives.setDSP(machine, (short) program.length, Bridge.bytes(program), STACK,
                                initCount, initWords);
    }
}
