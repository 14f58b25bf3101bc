package zel.marovel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static zel.marovel.Bridge.*;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Engine diagnostics reach a Java Appendable from whatever thread prints them. */
class DiagnosticsTest {
    private static final String OVERFULL = "Overfull Up-Message queue\n";
    private static final int MESSAGE_LIMIT = 255;
    // More messages than a sink's up queue holds (256), but fewer than twice as many: a
    // stream-less sink drains its up queue into its down queue, which holds no more.
    private static final int MANY_CHANGES = 300;

    static final class ThrowingLog extends RecordingLog {
        @Override
        public Appendable append(CharSequence s) {
            throw new IllegalStateException("refused");
        }
    }

    @TempDir Path directory;

    @AfterEach
    void stopEngine() {
        stop();
    }

    /** Runs the action with the process's standard error captured; returns what was written. */
    private String standardErrorOf(Runnable action) throws IOException {
        Path file = directory.resolve("stderr.txt");
        assertTrue(TestHooks.redirectStderr(file.toString()));
        try {
            action.run();
        } finally {
            TestHooks.restoreStderr();
        }
        return Files.readString(file, StandardCharsets.UTF_8);
    }

    private static void overfillUpQueue() {
        long sink = newHandle(out -> MVNatives.newSink(out, MONO, CHUNK));
        for (int i = 0; i < MANY_CHANGES; ++i) assertEquals(0, MVNatives.setGain(sink, 0, 0.5f));
    }

    @Test
    void withoutAnAppendableThereIsNoPrintHook() {
        start(false, null);
        assertFalse(TestHooks.printHookInstalled());
        assertEquals(TestHooks.NO_HOOK, TestHooks.print("dropped\n"));
        overfillUpQueue();
    }

    @Test
    void uninitializeRemovesTheHook() {
        RecordingLog log = new RecordingLog();
        start(false, log);
        assertTrue(TestHooks.printHookInstalled());
        assertEquals(0, MVNatives.uninitialize());
        assertFalse(TestHooks.printHookInstalled());
    }

    @Test
    void aFailedStartLeavesNoHookBehind() {
        RecordingLog log = new RecordingLog();
        assertNotEquals(0, MVNatives.initializeInOrder(0, 0, 0, 0, 0, 0, 0, true, log));
        assertFalse(TestHooks.printHookInstalled());
        start(true, log);
        assertEquals(-100, MVNatives.initialize(false, new RecordingLog()));
        assertEquals(6, TestHooks.print("first\n"), "the running engine keeps its own log");
        assertEquals("first\n", log.text.toString());
    }

    @Test
    void overfullQueueReportArrivesFromTheEngineThread() {
        RecordingLog log = new RecordingLog();
        start(true, log);
        overfillUpQueue(); // posts run later, on the engine thread
        waitUntil(() -> log.text.toString().contains(OVERFULL), "no overfull report");
        assertFalse(log.threads().contains(Thread.currentThread()),
                    "the thread-safe engine prints on its own thread");
    }

    @Test
    void overfullQueueReportArrivesFromTheCallingJavaThread() throws IOException {
        RecordingLog log = new RecordingLog();
        start(false, log);
        String errors = standardErrorOf(DiagnosticsTest::overfillUpQueue);
        assertTrue(log.text.toString().contains(OVERFULL), log.text.toString());
        assertTrue(log.threads().contains(Thread.currentThread()));
        assertEquals("", errors);
    }

    @Test
    void longMessagesArriveAsTheirFirst255Characters() {
        RecordingLog log = new RecordingLog();
        start(false, log);
        String message = "x".repeat(299) + "\n";
        assertEquals(300, TestHooks.print(message));
        assertEquals(message.substring(0, MESSAGE_LIMIT), log.text.toString());
    }

    /** A Java thread stays attached: nothing may detach it or report a failure. */
    @Test
    void printingOnAJavaThreadNeitherFailsNorDetachesIt() throws IOException {
        RecordingLog log = new RecordingLog();
        start(false, log);
        String errors = standardErrorOf(() -> {
            assertEquals(5, TestHooks.print("java\n"));
            assertEquals(6, TestHooks.print("again\n"));
        });
        assertEquals("", errors);
        assertEquals("java\nagain\n", log.text.toString());
        assertEquals(List.of(Thread.currentThread(), Thread.currentThread()), log.threads());
    }

    @Test
    void printingOnAnUnattachedThreadAttachesItForTheCall() throws IOException {
        RecordingLog log = new RecordingLog();
        start(false, log);
        String errors = standardErrorOf(() -> {
            assertEquals(7, TestHooks.printFromNativeThread("native\n"));
            assertEquals(7, TestHooks.printFromNativeThread("second\n"));
        });
        assertEquals("", errors);
        assertEquals("native\nsecond\n", log.text.toString());
        List<Thread> threads = log.threads();
        assertFalse(threads.contains(Thread.currentThread()));
        assertFalse(threads.get(0).isAlive(), "the attached thread was detached again");
    }

    @Test
    void aThrowingAppendableIsReportedOnStandardErrorOnly() throws IOException {
        start(false, new ThrowingLog());
        String errors = standardErrorOf(() -> assertEquals(0, TestHooks.print("boom\n")));
        assertEquals("doAppend (boom) fail @ CallObjectMethod\n", errors);
        String native_ = standardErrorOf(() -> TestHooks.printFromNativeThread("deep\n"));
        assertEquals("doAppend (deep) fail @ CallObjectMethod\n", native_);
    }

    @Test
    void failureLinesShowAtMostTheBufferedMessage() throws IOException {
        start(false, new ThrowingLog());
        String errors = standardErrorOf(() -> TestHooks.print("y".repeat(400)));
        assertEquals("doAppend (" + "y".repeat(MESSAGE_LIMIT) + ") fail @ CallObjectMethod\n",
                     errors);
    }
}
