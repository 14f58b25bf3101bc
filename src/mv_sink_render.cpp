// Sink, audio side: the stream's write callback, the chunk loop it shares
// with loopback renders, and the loopback render. Everything here runs on
// the sink's audio thread (or on the thread rendering a loopback, which
// takes that role): it drains the up queue, pulls the tree and writes the
// device format, and never locks, allocates or waits for the control side.
#include "mv_machine.h"
#include "mv_queue.h"
#include "mv_sink.h"

#include <algorithm>

namespace mv {
namespace {

using mv::isSink;
using mv::recordOf;
using mv::SinkRecord;

void renderChunk(MvSink *sink, const SoundIoChannelLayout *layout, SoundIoChannelArea *areas,
                 int frames) {
    MvSoundModel *model = sink->soundModel;
    float *mix = recordOf(sink)->mix;
    std::fill_n(mix, static_cast<size_t>(frames) * model->channelCount, 0.0f);
    float gainStart, gainEnd;
    double frequencyStart, frequencyEnd;
    mv::advanceRamps(&sink->base, frames, sink->sampleRate, &gainStart, &gainEnd, &frequencyStart,
                     &frequencyEnd);
    MvPullRecord *pull = sink->destination.audioPull;
    pull->pullFunc(sink, pull, gainStart, gainEnd, frequencyStart, frequencyEnd, frames, mix);
    model->writeDevice(model, layout, sink->converter, &sink->dither, sink->sampleSize,
                       sink->byteSwap, frames, mix, areas);
}

// Renders frames into the areas in chunks of at most bufferSize, running the
// queued control changes before each chunk (as many as the down queue has
// room to answer).
void renderFrames(MvSink *sink, const SoundIoChannelLayout *layout, SoundIoChannelArea *areas,
                  int frames) {
    mv::AudioRenderScope audio;
    while (frames > 0) {
        mv::drainUpQueueOnAudioThread(sink);
        int chunk = std::min(frames, sink->bufferSize);
        renderChunk(sink, layout, areas, chunk);
        frames -= chunk;
    }
}

} // namespace

void writeCallback(SoundIoOutStream *stream, int frameCountMin, int frameCountMax) {
    auto *sink = static_cast<MvSink *>(stream->userdata);
    writeStream(sink, stream, frameCountMin, frameCountMax, soundio_outstream_begin_write,
                soundio_outstream_end_write);
    double latency = 0.0;
    if (soundio_outstream_get_latency(stream, &latency) == 0)
        recordOf(sink)->latency.store(latency, std::memory_order_relaxed);
}

void underflowCallback(SoundIoOutStream *) {}

void errorCallback(SoundIoOutStream *stream, int soundioError) {
    if (int (*print)(const char *, ...) = mvPrint) // read once: the host may clear it
        print("Error code %d in stream: %s\n", soundioError, stream->name ? stream->name : "");
    // A failed send has already been reported by mvSendDownMessage.
    mvSendDownMessage(static_cast<MvSink *>(stream->userdata), streamErrorNotice, nullptr);
}

void writeStream(MvSink *sink, SoundIoOutStream *stream, int frameCountMin, int frameCountMax,
                 BeginWriteFunc beginWrite, EndWriteFunc endWrite) {
    do {
        int frames = std::min(std::max(sink->bufferSize, frameCountMin), frameCountMax);
        SoundIoChannelArea *areas;
        if (beginWrite(stream, &areas, &frames)) return;
        frameCountMin -= frames;
        frameCountMax -= frames;
        renderFrames(sink, &stream->layout, areas, frames);
        if (endWrite(stream)) return;
        if (frames == 0) return; // the stream took nothing: wait for the next callback
    } while (frameCountMax > 0);
}

} // namespace mv

using namespace mv;

extern "C" {

int mvRenderLoopbackSink(MvSink *sink, int frames, void *output) {
    if (!sink) return MV_ERROR_NULL_POINTER;
    if (!isSink(&sink->base)) return MV_ERROR_MACHINE_TYPE;
    if (frames < 0) return MV_ERROR_BUFFER_SIZE;
    if (!output && frames > 0) return MV_ERROR_NULL_POINTER;
    SinkRecord *record = recordOf(sink);
    if (!record->loopback) return MV_ERROR_PULL_FUNCTION;
    SoundIoChannelArea areas[SOUNDIO_MAX_CHANNELS];
    int frameBytes = sink->speakerCount * sink->sampleSize;
    for (int ch = 0; ch < sink->speakerCount; ++ch)
        areas[ch] =
            SoundIoChannelArea{static_cast<char *>(output) + ch * sink->sampleSize, frameBytes};
    renderFrames(sink, &record->loopbackStream.layout, areas, frames);
    return MV_OK;
}

} // extern "C"
