import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import zel.marovel.MVNatives;

/**
 * A small Java host: lists the output devices, then plays one second of a bright synthesised
 * tone that fades in, through a one-pole low-pass program on a mixer. Engine diagnostics go to
 * standard output through an Appendable.
 *
 * <p>Run: {@code java -Djava.library.path=DIR -cp marovel_audio.jar:. ToneExample
 * [--fallback-only]}; the option uses only the fallback backend, which needs no sound server.
 */
public final class ToneExample {
    private static final int RATE = 48000;
    private static final int STEREO_MODEL = 2;
    private static final int CHUNK_FRAMES = 512;
    private static final int FLOAT32 = 0;
    private static final int FALLBACK_BACKEND = 7;
    private static final int STOPPED = 0;

    /**
     * One-pole low-pass for a stereo sink: y += a * (x - y) per channel, with the coefficient a
     * as float bits in word 0 of the initializer message. Routine 0 returns the entries of the
     * message routines (13) and of the main routine (26).
     */
    private static final int[] LOW_PASS = {
        0x04, 0x00, 0x0D, 0x00,       //  0 LDI16 R0, 13
        0x04, 0x01, 0x0D, 0x00,       //  4 LDI16 R1, 13
        0x04, 0x02, 0x1A, 0x00,       //  8 LDI16 R2, 26
        0x01,                         // 12 HALT
        0x08, 0x01,                   // 13 POP R1           ; word count
        0x38, 0x01, 0x19, 0x00,       // 15 JZ R1, 25
        0x08, 0x02,                   // 19 POP R2           ; word 0
        0x0D, 0x6B, 0x00, 0x02,       // 21 ST32 [107], R2   ; coefficient
        0x01,                         // 25 HALT
        0x08, 0x01,                   // 26 POP R1           ; frames
        0x08, 0x02,                   // 28 POP R2           ; sample address
        0x13, 0x03, 0x6B, 0x00,       // 30 LD32 R3, [107]
        0x13, 0x05, 0x6F, 0x00,       // 34 LD32 R5, [111]   ; left state
        0x13, 0x06, 0x73, 0x00,       // 38 LD32 R6, [115]   ; right state
        0x05, 0x04, 0x04,             // 42 LDI8 R4, 4
        0x38, 0x01, 0x62, 0x00,       // 45 JZ R1, 98
        0x14, 0x07, 0x02,             // 49 LD32R R7, [R2]
        0x22, 0x07, 0x07, 0x05,       // 52 FSUB R7, R7, R5
        0x25, 0x07, 0x07, 0x03,       // 56 FMUL R7, R7, R3
        0x20, 0x05, 0x05, 0x07,       // 60 FADD R5, R5, R7
        0x0E, 0x02, 0x05,             // 64 ST32R [R2], R5
        0x1F, 0x02, 0x02, 0x04,       // 67 ADD R2, R2, R4
        0x14, 0x07, 0x02,             // 71 LD32R R7, [R2]
        0x22, 0x07, 0x07, 0x06,       // 74 FSUB R7, R7, R6
        0x25, 0x07, 0x07, 0x03,       // 78 FMUL R7, R7, R3
        0x20, 0x06, 0x06, 0x07,       // 82 FADD R6, R6, R7
        0x0E, 0x02, 0x06,             // 86 ST32R [R2], R6
        0x1F, 0x02, 0x02, 0x04,       // 89 ADD R2, R2, R4
        0x1D, 0x01,                   // 93 DEC R1
        0x36, 0x2D, 0x00,             // 95 JMP 45
        0x0D, 0x6F, 0x00, 0x05,       // 98 ST32 [111], R5
        0x0D, 0x73, 0x00, 0x06,       // 102 ST32 [115], R6
        0x01,                         // 106 HALT
        0, 0, 0, 0,                   // 107 coefficient
        0, 0, 0, 0,                   // 111 left state
        0, 0, 0, 0,                   // 115 right state
    };
    private static final short LOW_PASS_STACK = 64;
    private static final float LOW_PASS_COEFFICIENT = 0.15f;

    public static void main(String[] args) throws InterruptedException {
        boolean fallbackOnly = args.length > 0 && args[0].equals("--fallback-only");
        int status = fallbackOnly
            ? MVNatives.initializeInOrder(FALLBACK_BACKEND, 0, 0, 0, 0, 0, 0, true, System.out)
            : MVNatives.initialize(true, System.out);
        check("initialize", status);
        try {
            listDevices();
            playTone();
        } finally {
            check("uninitialize", MVNatives.uninitialize());
        }
    }

    private static void listDevices() {
        int count = MVNatives.getDeviceCount();
        System.out.printf("%d output devices, default %d%n", count, MVNatives.getDefaultDevice());
        for (int i = 0; i < count; ++i)
            System.out.printf("  %d: %s [%s] on backend %d%n", i, MVNatives.getDeviceName(i),
                              MVNatives.getDeviceID(i), MVNatives.getDeviceBackend(i));
    }

    private static void playTone() throws InterruptedException {
        long sink = newHandle("newSink", out -> MVNatives.newSink(out, STEREO_MODEL, CHUNK_FRAMES));
        check("openSink", MVNatives.openSink(sink, -1, RATE));
        System.out.printf("sink: %d Hz, %d speakers, fallback status %d%n",
                          MVNatives.getSampleRate(sink), MVNatives.getSpeakerCount(sink),
                          MVNatives.getSinkError(sink));

        long mixer = newHandle("newMixer", out -> MVNatives.newMixer(out, sink));
        ByteBuffer coefficient = nativeBuffer(4).putFloat(0, LOW_PASS_COEFFICIENT);
        check("setDSP", MVNatives.setDSP(mixer, (short) LOW_PASS.length, bytes(LOW_PASS),
                                         LOW_PASS_STACK, 1, coefficient));

        long sampler = newHandle("newSampler", out -> MVNatives.newSampler(out, mixer));
        check("enqueueClip", MVNatives.enqueueClip(sampler, true, true, 1, RATE, FLOAT32, true,
                                                   RATE, brightTone(RATE, 220.0)));
        check("setGain", MVNatives.setGain(sampler, 0, 0f));
        check("setGain ramp", MVNatives.setGain(sampler, 0.5, 0.8f));
        check("play", MVNatives.play(sampler));

        long deadline = System.nanoTime() + 5_000_000_000L;
        while (MVNatives.getState(sampler) != STOPPED && System.nanoTime() < deadline)
            Thread.sleep(50);
        System.out.printf("played: state %d, clips left %d%n", MVNatives.getState(sampler),
                          MVNatives.getClipQueueSize(sampler));
        int dspStatus = MVNatives.getDSPError(mixer, null, null, null, null);
        if (dspStatus != 0) throw new IllegalStateException("low-pass program failed: " + dspStatus);
        check("deleteMachine", MVNatives.deleteMachine(sink));
    }

    /** A sawtooth: rich in harmonics, so the low-pass is audible. */
    private static ByteBuffer brightTone(int frames, double frequency) {
        ByteBuffer clip = nativeBuffer(4 * frames);
        for (int i = 0; i < frames; ++i) {
            double phase = (i * frequency / RATE) % 1.0;
            clip.putFloat(4 * i, (float) (0.5 * (2 * phase - 1)));
        }
        return clip;
    }

    private interface Maker {
        int make(ByteBuffer handleOut);
    }

    private static long newHandle(String what, Maker maker) {
        ByteBuffer slot = nativeBuffer(8);
        check(what, maker.make(slot));
        return slot.getLong(0);
    }

    private static ByteBuffer bytes(int[] values) {
        ByteBuffer buffer = ByteBuffer.allocateDirect(values.length);
        for (int v : values) buffer.put((byte) v);
        return buffer;
    }

    private static ByteBuffer nativeBuffer(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    private static void check(String what, int status) {
        if (status != 0) throw new IllegalStateException(what + " failed with status " + status);
    }
}
