package zel.marovel;

import java.nio.ByteBuffer;

/**
 * The native methods of the marovel_audio engine, one per engine call.
 *
 * <p>Loading this class loads {@code libjmarovel_audio} (and through it {@code libmarovel_audio})
 * from {@code java.library.path}.
 *
 * <p>Conventions:
 * <ul>
 * <li>Most methods return a status: 0 for success, -1 when memory ran out, -100..-80 the engine's
 *     own errors, any other negative value a negated libsoundio error. The bridge adds -6 for a
 *     buffer that is not direct, -92 for a buffer whose capacity is below what the call reads or
 *     writes, -94 for a failed virtual-machine or byte-order lookup, -93 for a missing program
 *     buffer and -90 for an unknown sound-model type.
 * <li>An engine object (sink, mixer, sampler) is a {@code long} handle. Methods that create one
 *     write it into the first 8 bytes of a direct {@code handleOut} buffer; read it with
 *     {@code handleOut.getLong(0)}, in whichever byte order the buffer has.
 * <li>Every array argument is a direct {@link ByteBuffer} in either byte order. Multi-byte input
 *     values are swapped to native order for the call and back before it returns, so the buffer
 *     holds its own bytes again afterwards; do not touch it from another thread meanwhile.
 * <li>Before it touches a buffer the bridge checks its capacity against the bytes the call reads
 *     or writes, as documented per method, and returns -92 for a smaller one (counts that are
 *     not positive need no bytes: the engine refuses them itself). Only the capacity counts,
 *     from the buffer's start; its position and limit are ignored. A buffer that is not direct
 *     gives -6; a null buffer reaches the engine as a null pointer (-93 where one is needed).
 * <li>With a thread-safe engine ({@code initialize(true, ...)}) any thread may call; otherwise one
 *     thread at a time.
 * </ul>
 */
public final class MVNatives {
    static {
        System.loadLibrary("jmarovel_audio");
    }

    private MVNatives() {}

    /** @return the engine's interface version (4). */
    public static native int getVersion();

    /**
     * Starts the engine with the backend order it has.
     *
     * @param threadSafe true for an engine thread that serialises every call from any Java
     *     thread; false to run engine work on the calling thread (one thread at a time)
     * @param log receives every engine diagnostic (up to 255 characters each), possibly from
     *     engine and audio threads; null to drop them
     * @return 0, -100 already initialised, -94, -98 no backend connected, a dispatcher or
     *     libsoundio error
     */
    public static native int initialize(boolean threadSafe, Appendable log);

    /**
     * Sets the backend preference order, then starts the engine as {@link #initialize}. Backend
     * numbers: 1 JACK, 2 PulseAudio, 3 ALSA, 4 CoreAudio, 5 WASAPI, 6 Dummy, 7 the fallback
     * (Dummy); 0 skips a slot. {@code 7, 0, 0, 0, 0, 0, 0} never needs a sound server.
     *
     * @return as {@link #initialize}
     */
    public static native int initializeInOrder(int b0, int b1, int b2, int b3, int b4, int b5,
                                               int b6, boolean threadSafe, Appendable log);

    /**
     * Stops the engine: deletes every sink (releasing every clip) and drops the log.
     *
     * @return 0, -99 not initialised, or a teardown status
     */
    public static native int uninitialize();

    /**
     * Destroys a dispatcher that is not installed (a native host's handle; {@link #initialize}
     * makes and releases its own).
     *
     * @return 0, -93 for 0, -100 the dispatcher is installed, -96, -97
     */
    public static native int deleteDispatcher(long dispatcher);

    /** @return the connection result of backend 0..7 at start-up: 0, -98 never tried, -92, -99 */
    public static native int getBackendError(int backend);

    /** @return the number of output devices, or -99 */
    public static native int getDeviceCount();

    /** @return the index of the default output device, or -99 */
    public static native int getDefaultDevice();

    /** @return the device's name, "Automatic" for -1, null for a bad index */
    public static native String getDeviceName(int index);

    /** @return the device's identifier, "auto" for -1, null for a bad index */
    public static native String getDeviceID(int index);

    /** @return the device's backend number (-1: the default device), -92, -99 */
    public static native int getDeviceBackend(int index);

    /** Rebuilds the device list. @return 0, -99, -94, -1 */
    public static native int refreshDeviceList();

    /** Deletes any machine with everything below it. @return 0, -93, -86 */
    public static native int deleteMachine(long h);

    /**
     * Makes a sink (without a stream yet) with a mono (1) or stereo (2) sound model.
     *
     * @param handleOut direct, at least 8 bytes; receives the sink's handle
     * @param chunkSize the most frames pulled per block
     * @return 0, -90 unknown model (buffer untouched), -6 buffer not direct, -92 buffer under 8
     *     bytes, -99, -93, -82, -1
     */
    public static native int newSink(ByteBuffer handleOut, int modelType, int chunkSize);

    /**
     * Opens the sink's output stream on a device (-1: follow the default).
     *
     * @return 0 (also on the fallback configuration, see {@link #getSinkError}), -93, -86, -92,
     *     -1, a libsoundio error
     */
    public static native int openSink(long h, int deviceIndex, int sampleRate);

    /**
     * Configures a sink as if a stream had opened, without a device; render it with
     * {@link #renderLoopbackSink}.
     *
     * @param format sample format of the rendered output: 0 float32, 1 int32, 2 int24, 3 int16,
     *     4 int8, 5 uint8
     * @return 0, -93, -86, -89, -90, -91
     */
    public static native int openLoopbackSink(long h, int sampleRate, int channelCount,
                                              int format);

    /**
     * Renders frames of a loopback sink into output (interleaved, native byte order), on the
     * calling thread, which plays the sink's audio thread.
     *
     * @param output direct, at least frames x channels x sample size bytes of the loopback
     *     format
     * @return 0, -6, -92 output smaller than that, -93, -86, -82 negative frames, -85 not a
     *     loopback sink
     */
    public static native int renderLoopbackSink(long h, int frames, ByteBuffer output);

    /** @return why the machine's sink runs on the fallback configuration (0 when not), -93 */
    public static native int getSinkError(long h);

    /** @return the sink's stream rate, -89 without a stream, -93 */
    public static native int getSampleRate(long h);

    /** @return the sink's stream channels, -90 without a stream, -93 */
    public static native int getSpeakerCount(long h);

    /** Removes a signal-processor program from a destination. @return 0, -93, -87, -1 */
    public static native int resetDestinationFunc(long h);

    /**
     * Sets a machine's gain at once (seconds &lt;= 0) or ramps to it.
     *
     * @return 0, -93, -83 not a number or infinite gain, -1
     */
    public static native int setGain(long h, double seconds, float gain);

    /**
     * Sets a machine's playback-rate factor at once or ramps to it.
     *
     * @return 0, -93, -84 negative, infinite or not a number, -1
     */
    public static native int setFrequency(long h, double seconds, double frequency);

    /**
     * Makes a mixer under a sink or mixer.
     *
     * @param handleOut direct, at least 8 bytes; receives the mixer's handle
     * @return 0, -6, -92 buffer under 8 bytes, -93, -87, -1
     */
    public static native int newMixer(ByteBuffer handleOut, long parent);

    /**
     * Makes a sampler under a sink or mixer.
     *
     * @param handleOut direct, at least 8 bytes; receives the sampler's handle
     * @return 0, -6, -92 buffer under 8 bytes, -93, -87, -1
     */
    public static native int newSampler(ByteBuffer handleOut, long parent);

    /** Turns linear interpolation on or off. @return 0, -93, -86 */
    public static native int setInterpolation(long h, boolean on);

    /** @return 1 with interpolation, 0 without, -93, -86 */
    public static native int getInterpolation(long h);

    /** The engine's own resampler, governed by setInterpolation (the default). */
    public static final int RESAMPLER_STANDARD = 0;
    /** The band-limited windowed-sinc resampler. */
    public static final int RESAMPLER_BANDLIMITED = 1;

    /** Chooses RESAMPLER_STANDARD or RESAMPLER_BANDLIMITED. @return 0, -93, -86, -92, -1 */
    public static native int setResampler(long h, int resampler);

    /** @return the resampler as last set, -93, -86 */
    public static native int getResampler(long h);

    /**
     * Fades stops, pauses, seeks, clears and gain or frequency jumps over seconds (0 to 0.1;
     * 0, the default, keeps every transition as specified).
     *
     * @return 0, -93, -86, -92, -1
     */
    public static native int setTransitionFade(long h, double seconds);

    /** @return the fade time as last set, or the error as a negative number */
    public static native double getTransitionFade(long h);

    /** Plays from the first queued clip (resumes a paused sampler). @return 0, -93, -86 */
    public static native int play(long h);

    /** Plays from time seconds into the clip queue. @return 0, -93, -86, -1 */
    public static native int playAt(long h, double time);

    /** Stops, keeping the queue. @return 0, -93, -86 */
    public static native int stop(long h);

    /** Pauses a playing sampler. @return 0, -93, -86 */
    public static native int pause(long h);

    /** Resumes a paused sampler. @return 0, -93, -86 */
    public static native int resume(long h);

    /** Plays unless already playing; resumes when paused. @return 0, -93, -86 */
    public static native int ensurePlaying(long h);

    /** @return 0 stopped, 1 playing, 2 paused, -93, -86 */
    public static native int getState(long h);

    /** Loops the clip queue or not. @return 0, -93, -86 */
    public static native int setLooping(long h, boolean looping);

    /** @return 1 looping, 0 not, -93, -86 */
    public static native int getLooping(long h);

    /** Sets where a loop starts again, in seconds. @return 0, -93, -86, -1 */
    public static native int setLoopStart(long h, double seconds);

    /** @return the loop start in seconds, or the error as a negative number */
    public static native double getLoopStart(long h);

    /**
     * Where the sampler's audio is, in seconds from the head of its queue (the reference of
     * {@link #playAt}), as of the last block rendered. Any thread; takes no lock.
     *
     * @return the position, or the error as a negative number (-93, -86, -99)
     */
    public static native double getPlayPosition(long h);

    /**
     * How long until a frame rendered now is heard: the stream's reported latency; 0 for a
     * loopback sink. Any machine of the tree may be passed.
     *
     * @return the latency in seconds, or the error as a negative number (-93, -89, -99)
     */
    public static native double getSinkLatency(long h);

    /**
     * Queues a clip of interleaved samples.
     *
     * @param copy true: the samples are copied now and the buffer may be reused at once; false:
     *     the engine reads the buffer while the clip is queued and keeps it alive until it
     *     releases the clip (do not change it meanwhile)
     * @param format 0 float32, 1 int32, 2 int24, 3 int16, 4 int8, 5 uint8
     * @param nativeByteOrder false when the samples are not in the platform's order; without copy
     *     the engine then swaps the buffer's bytes in place
     * @param data direct, at least sample size x channels x frames bytes (read in full, copied
     *     or not)
     * @return 0, -6 null or not direct, -92 smaller than the clip (also when the clip's size
     *     exceeds 64 bits), -93, -86, -82, -90, -89, -91, -1
     */
    public static native int enqueueClip(long h, boolean removeWhenDone, boolean copy,
                                         int channels, double sampleRate, int format,
                                         boolean nativeByteOrder, int frames, ByteBuffer data);

    /** Stops and releases every queued clip. @return 0, -93, -86 */
    public static native int clearClipQueue(long h);

    /** @return clips queued and not yet released, -93, -86 */
    public static native int getClipQueueSize(long h);

    /** @return clip-to-clip transitions since the sampler last stopped, -93, -86 */
    public static native int getProcessedClips(long h);

    /** Removes the channel matrix. @return 0, -93, -86 */
    public static native int clearChannelMatrix(long h);

    /**
     * Sets the weights from the clip's channels to the sink's channels, at once or ramped.
     *
     * @param vectorSize 1 for a mono sink, 2 for a stereo sink
     * @param weights direct, 4 x sourceChannels x vectorSize bytes of float32, source channel
     *     major; null clears the matrix
     * @return 0, -6, -92 fewer bytes than the weights, -93, -86, -81 vector size does not match
     *     the sink, -1
     */
    public static native int setChannelMatrix(long h, double rampTime, int sourceChannels,
                                              int vectorSize, ByteBuffer weights);

    /** @return the signal processor's version (0) */
    public static native int getDSPVersion();

    /**
     * Attaches a signal-processor program to a sink or mixer; both 16-bit values are taken
     * unsigned.
     *
     * @param program direct, at least programLength bytes, passed as they are
     * @param initWords direct, 4 x initCount bytes of int32 for the initializer message, or null
     *     when initCount is 0
     * @return 0, -93 no program, -6, -92 program or initWords smaller than that, -87, -80
     *     program too large, -1
     */
    public static native int setDSP(long h, short programLength, ByteBuffer program,
                                    short stackSize, int initCount, ByteBuffer initWords);

    /**
     * Sends a message to the program's message routine.
     *
     * @param words direct, 4 x count bytes of int32
     * @return 0 (also when a failed program drops it), -6, -92 fewer than 4 x count bytes, -93,
     *     -87, -85 no program, -1
     */
    public static native int sendDSPMessage(long h, int count, ByteBuffer words);

    /**
     * Reads the program's first failure.
     *
     * @param routineOut direct, 1 byte: the routine that failed (0..3), or null
     * @param registersOut direct, 80 bytes: the 20 int32 registers, or null
     * @param traceLengthOut direct, 1 byte: entries in the trace; written only with traceOut
     * @param traceOut direct, 510 bytes: up to 255 uint16 trace entries, or null
     * @return 0 no failure, 1..9 the failure's status, -6, -92 a buffer smaller than its size
     *     above (for traceLengthOut after the report was read), -93, -87, -85 no program
     */
    public static native int getDSPError(long h, ByteBuffer routineOut, ByteBuffer registersOut,
                                         ByteBuffer traceLengthOut, ByteBuffer traceOut);
}
