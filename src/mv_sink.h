// Sink internals used by the lifecycle (the sink list, device events), by
// other nodes and by tests that drive the write loop with a fake stream.
// Internal. The sink room owns mvSinkList: only it grows, shrinks, creates
// and releases the list; others only walk it.
#pragma once

#include "marovel_audio.h"

#include <soundio/soundio.h>

namespace mv {

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

// The write callback's loop with its begin/end calls as a seam, so tests can
// play libsoundio's part. Audio thread (or the thread rendering a loopback).
using BeginWriteFunc = int (*)(SoundIoOutStream *stream, SoundIoChannelArea **areas,
                               int *frameCount);
using EndWriteFunc = int (*)(SoundIoOutStream *stream);
void writeStream(MvSink *sink, SoundIoOutStream *stream, int frameCountMin, int frameCountMax,
                 BeginWriteFunc beginWrite, EndWriteFunc endWrite);

// True while the sink has an output, an open stream or a loopback
// configuration (when mvGetSampleRate answers). Control side, under the lock.
bool sinkHasOutput(MvSink *sink);

} // namespace mv
