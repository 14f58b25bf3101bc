// Sink internals used by the lifecycle (the sink list, device events), by
// other nodes and by tests that drive the write loop with a fake stream.
// Internal. The sink room owns mvSinkList: only it grows, shrinks, creates
// and releases the list; others only walk it.
#pragma once

#include "marovel_audio.h"
#include "mv_audio_thread.h"

#include <soundio/soundio.h>

#include <atomic>

namespace mv {

// What the sink keeps beyond the public record. The mix buffer of one chunk
// (bufferSize frames of the model's channels) follows it in the same
// allocation, so the audio thread never needs stack or heap for it. The
// control side writes the configuration under the lock while no stream
// runs; the audio side only reads it and writes the mix buffer.
struct SinkRecord {
    MvSink sink; // first: an MvSink pointer is a SinkRecord pointer
    bool loopback;
    SoundIoOutStream loopbackStream; // the stream a loopback configuration stands for
    float *mix;
    // The stream's latency after its last write, seconds (mvGetSinkLatency):
    // stored by the write callback, read under the lock.
    std::atomic<double> latency;
};

inline SinkRecord *recordOf(MvSink *sink) { return reinterpret_cast<SinkRecord *>(sink); }

inline bool isSink(MvMachine *machine) { return machine->deleteFunc == mvDeleteSink; }

// One row of the device format table.
struct DeviceFormat {
    SoundIoFormat format;
    MvSampleFormat sampleFormat;
    bool byteSwap;
};

// The first format of the table the device supports, or null.
const DeviceFormat *chooseDeviceFormat(SoundIoDevice *device);

// Creates the empty sink list at start-up. 0 or -1. Engine side.
int createSinkList();

// Tears down every listed sink with everything below it and releases the
// list. Engine side.
void deleteEverySink();

// Device-change handler body: reopens every automatic sink whose system
// default device changed. Engine side, inside event flushing.
void followDefaultDevice();

// Backend-disconnect handler body: moves every sink playing on `context` to
// the fallback configuration, with the negated libsoundio error as reason.
void abandonBackend(SoundIo *context, int soundioError);

// The stream callbacks (mv_sink_render.cpp). libsoundio calls the write and
// underflow callbacks on the stream's audio thread, the error callback on
// one of its own threads; that one only hands the reopen to the control side
// as streamErrorNotice.
void writeCallback(SoundIoOutStream *stream, int frameCountMin, int frameCountMax) MV_AUDIO_THREAD;
void underflowCallback(SoundIoOutStream *stream) MV_AUDIO_THREAD;
void errorCallback(SoundIoOutStream *stream, int soundioError);

// Down-message of the error callback: moves a sink whose stream failed to
// the fallback configuration. Control side, under the lock.
void streamErrorNotice(MvSink *sink, void *unused);

// The write callback's loop with its begin/end calls as a seam, so tests can
// play libsoundio's part. Audio thread (or the thread rendering a loopback).
using BeginWriteFunc = int (*)(SoundIoOutStream *stream, SoundIoChannelArea **areas,
                               int *frameCount);
using EndWriteFunc = int (*)(SoundIoOutStream *stream);
void writeStream(MvSink *sink, SoundIoOutStream *stream, int frameCountMin, int frameCountMax,
                 BeginWriteFunc beginWrite, EndWriteFunc endWrite) MV_AUDIO_THREAD;

// True while the sink has an output, an open stream or a loopback
// configuration (when mvGetSampleRate answers). Control side, under the lock.
bool sinkHasOutput(MvSink *sink);

} // namespace mv
