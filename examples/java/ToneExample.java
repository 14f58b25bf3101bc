import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import zel.marovel.MVNatives;

/**
 * A small Java host: lists the output devices, then plays one second of a bright synthesised
 * tone that fades in, through a one-pole low-pass program on a mixer. Engine diagnostics go to
 * standard output through an Appendable.
 *
 * <p>Run: {@code java -Djava.library.path=DIR -cp marovel_audio.jar:marovel_tone_example.jar
 * ToneExample [--fallback-only] lowpass.bin}, where lowpass.bin is the one-pole low-pass for a
 * stereo sink that {@code mvasm lowpass.mvs} assembles. The option uses only the fallback
 * backend, which needs no sound server.
 */
public final class ToneExample {
    private static final int RATE = 48000;
    private static final int STEREO_MODEL = 2;
    private static final int CHUNK_FRAMES = 512;
    private static final int FLOAT32 = 0;
    private static final int FALLBACK_BACKEND = 7;
    private static final int STOPPED = 0;

    private static final short LOW_PASS_STACK = 64;
    private static final float LOW_PASS_COEFFICIENT = 0.15f;

    public static void main(String[] args) throws InterruptedException, IOException {
        boolean fallbackOnly = args.length == 2 && args[0].equals("--fallback-only");
        if (args.length != (fallbackOnly ? 2 : 1)) {
            System.err.println("usage: ToneExample [--fallback-only] LOWPASS_PROGRAM");
            System.exit(2);
        }
        ByteBuffer lowPass = programFile(Path.of(args[args.length - 1]));
        int status = fallbackOnly
            ? MVNatives.initializeInOrder(FALLBACK_BACKEND, 0, 0, 0, 0, 0, 0, true, System.out)
            : MVNatives.initialize(true, System.out);
        check("initialize", status);
        try {
            listDevices();
            playTone(lowPass);
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

    private static void playTone(ByteBuffer program) throws InterruptedException {
        long sink = newHandle("newSink", out -> MVNatives.newSink(out, STEREO_MODEL, CHUNK_FRAMES));
        check("openSink", MVNatives.openSink(sink, -1, RATE));
        System.out.printf("sink: %d Hz, %d speakers, fallback status %d%n",
                          MVNatives.getSampleRate(sink), MVNatives.getSpeakerCount(sink),
                          MVNatives.getSinkError(sink));

        long mixer = newHandle("newMixer", out -> MVNatives.newMixer(out, sink));
        ByteBuffer coefficient = nativeBuffer(4).putFloat(0, LOW_PASS_COEFFICIENT);
        check("setDSP", MVNatives.setDSP(mixer, (short) program.capacity(), program,
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

    private static ByteBuffer programFile(Path path) throws IOException {
        byte[] bytes = Files.readAllBytes(path);
        return ByteBuffer.allocateDirect(bytes.length).put(bytes).flip();
    }

    private static ByteBuffer nativeBuffer(int bytes) {
        return ByteBuffer.allocateDirect(bytes).order(ByteOrder.nativeOrder());
    }

    private static void check(String what, int status) {
        if (status != 0) throw new IllegalStateException(what + " failed with status " + status);
    }
}
