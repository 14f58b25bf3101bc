// Sink, control side: the root machine. Owns one libsoundio output stream
// (or a loopback configuration that the host renders itself), the two
// message queues of its tree and its sound model. Here: the sink list,
// creation, opening (with the fallback configuration), following the
// default device, deletion and the getters, all under the lock. The audio
// side (write callback, chunk loop, loopback render) is mv_sink_render.cpp.
#include "mv_sink.h"

#include "mv_control.h"
#include "mv_devices.h"
#include "mv_machine.h"
#include "mv_queue.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

extern "C" {
MV_API MvSinkList mvSinkList = {0, 0, nullptr};
}

namespace mv {
namespace {

using mv::isSink;
using mv::recordOf;
using mv::SinkRecord;

constexpr int kInitialSinkCapacity = 4;
constexpr int kFallbackRate = 8000;
constexpr int kFallbackLayout = 0; // libsoundio's built-in layout number
constexpr SoundIoFormat kFallbackFormat = SoundIoFormatFloat32LE;
constexpr MvSampleFormat kMixFormat = MV_FORMAT_FLOAT32;
constexpr int kClip = 1, kNoDither = 0;
constexpr int kStreamingError = -SoundIoErrorStreaming;

// Tried in order; the first format the device supports wins. libsoundio's
// 24-bit formats keep each sample in a 32-bit word, hence int32.
constexpr mv::DeviceFormat kDeviceFormats[] = {
    {SoundIoFormatFloat32LE, MV_FORMAT_FLOAT32, false},
    {SoundIoFormatFloat32BE, MV_FORMAT_FLOAT32, true},
    {SoundIoFormatS16LE, MV_FORMAT_INT16, false},
    {SoundIoFormatS16BE, MV_FORMAT_INT16, true},
    {SoundIoFormatS32LE, MV_FORMAT_INT32, false},
    {SoundIoFormatS32BE, MV_FORMAT_INT32, true},
    {SoundIoFormatS24LE, MV_FORMAT_INT32, false},
    {SoundIoFormatS24BE, MV_FORMAT_INT32, true},
    {SoundIoFormatU8, MV_FORMAT_UINT8, false},
    {SoundIoFormatS8, MV_FORMAT_INT8, false},
};

bool hasOutput(MvSink *sink) { return sink->stream || recordOf(sink)->loopback; }

int openWork(void *argument);

void closeStream(MvSink *sink) {
    if (sink->stream) soundio_outstream_destroy(sink->stream);
    if (sink->device) soundio_device_unref(sink->device);
    sink->stream = nullptr;
    recordOf(sink)->latency.store(0.0, std::memory_order_relaxed);
    sink->device = nullptr;
}

// Moves a sink that lost its stream to the fallback configuration.
void reopenOnFallback(MvSink *sink, int reason) {
    closeStream(sink);
    sink->error = reason;
    openWork(sink);
}

// ---- open work ----

// The device an open attempt uses, with one reference; -94 when missing.
int pickDevice(MvSink *sink, bool fallback, SoundIoDevice **out) {
    int index = fallback ? mvDeviceList.fallbackDefaultIndex : sink->deviceIndex;
    *out = index == -1 ? mv::takeCurrentDefaultDevice() : mv::takeListedDevice(index);
    return *out ? MV_OK : MV_ERROR_INCONSISTENT;
}

void useDeviceFormat(MvSink *sink, MvSampleFormat format, bool byteSwap) {
    sink->deviceFormat = format;
    sink->byteSwap = byteSwap;
    sink->sampleSize = mvGetSampleSize(format);
    sink->converter = mvSelectConverter(kMixFormat, format, kClip, kNoDither);
}

void applyFallbackConfiguration(MvSink *sink) {
    SoundIoOutStream *stream = sink->stream;
    stream->sample_rate = kFallbackRate;
    stream->layout = *soundio_channel_layout_get_builtin(kFallbackLayout);
    stream->format = kFallbackFormat;
    useDeviceFormat(sink, MV_FORMAT_FLOAT32, false);
}

int applyRequestedConfiguration(MvSink *sink) {
    SoundIoOutStream *stream = sink->stream;
    stream->sample_rate = soundio_device_nearest_sample_rate(sink->device, sink->requestedRate);
    const mv::DeviceFormat *choice = mv::chooseDeviceFormat(sink->device);
    if (!choice) return MV_ERROR_SAMPLE_FORMAT;
    stream->format = choice->format;
    useDeviceFormat(sink, choice->sampleFormat, choice->byteSwap);
    return MV_OK;
}

// Speaker count, the model's view of the layout and the pull records all
// follow the configuration just opened.
void adoptConfiguration(MvSink *sink, SoundIoOutStream *stream) {
    sink->sampleRate = stream->sample_rate;
    sink->speakerCount = stream->layout.channel_count;
    MvSoundModel *model = sink->soundModel;
    if (model->configure) model->configure(model, stream);
    mv::preparePullRecords(&sink->destination);
}

int openAndStart(MvSink *sink) {
    SoundIoOutStream *stream = sink->stream;
    stream->software_latency = static_cast<double>(sink->bufferSize) / stream->sample_rate;
    if (int err = soundio_outstream_open(stream)) return -err;
    if (stream->layout_error) return -stream->layout_error;
    adoptConfiguration(sink, stream);
    if (int err = soundio_outstream_start(stream)) return -err;
    return MV_OK;
}

// One try on the requested device (normal mode) or on the fallback
// configuration. A failure leaves neither stream nor device behind; in
// normal mode a failure that the fallback can answer is stored in `error`.
int openAttempt(MvSink *sink, bool fallback) {
    SoundIoDevice *device;
    if (int status = pickDevice(sink, fallback, &device)) return status;
    SoundIoOutStream *stream = soundio_outstream_create(device);
    if (!stream) {
        soundio_device_unref(device);
        return MV_ERROR_NO_MEMORY;
    }
    stream->userdata = sink;
    stream->write_callback = mv::writeCallback;
    stream->underflow_callback = mv::underflowCallback;
    stream->error_callback = mv::errorCallback;
    sink->device = device;
    sink->stream = stream;
    int status = MV_OK;
    if (fallback) applyFallbackConfiguration(sink);
    else status = applyRequestedConfiguration(sink);
    if (status == MV_OK) status = openAndStart(sink);
    if (status != MV_OK) {
        closeStream(sink);
        if (!fallback) sink->error = status;
    }
    return status;
}

// Engine side: opens the sink's stream, on the fallback configuration when
// `error` says so or when the requested device cannot be used. A stream the
// sink still has is replaced rather than leaked.
int openWork(void *argument) {
    auto *sink = static_cast<MvSink *>(argument);
    closeStream(sink);
    recordOf(sink)->loopback = false;
    bool fallback = sink->error != 0;
    int status = openAttempt(sink, fallback);
    if (status != MV_OK && !fallback && sink->error != 0) status = openAttempt(sink, true);
    return status;
}

// ---- loopback configuration ----

struct LoopbackRequest {
    MvSink *sink;
    int sampleRate;
    const SoundIoChannelLayout *layout;
    MvSampleFormat format;
};

int openLoopbackWork(void *argument) {
    auto *request = static_cast<LoopbackRequest *>(argument);
    MvSink *sink = request->sink;
    SinkRecord *record = recordOf(sink);
    closeStream(sink);
    sink->error = MV_OK;
    sink->requestedRate = request->sampleRate;
    useDeviceFormat(sink, request->format, false);
    record->loopbackStream = SoundIoOutStream{};
    record->loopbackStream.userdata = sink;
    record->loopbackStream.sample_rate = request->sampleRate;
    record->loopbackStream.layout = *request->layout;
    record->loopback = true;
    adoptConfiguration(sink, &record->loopbackStream);
    return MV_OK;
}

// ---- creation and deletion ----

SinkRecord *allocateSink(MvSoundModel *model, int bufferSize) {
    size_t mixFloats = static_cast<size_t>(bufferSize) * static_cast<size_t>(model->channelCount);
    if (mixFloats > (SIZE_MAX - sizeof(SinkRecord)) / sizeof(float)) return nullptr;
    auto *record =
        static_cast<SinkRecord *>(mvMalloc(sizeof(SinkRecord) + mixFloats * sizeof(float)));
    if (!record) return nullptr;
    new (record) SinkRecord{};
    record->mix = reinterpret_cast<float *>(record + 1);
    return record;
}

// Releases what mvNewSink built before the sink became visible.
void discardNewSink(MvSink *sink) {
    if (sink->destination.pull) mvFree(sink->destination.pull);
    mv::destroySinkQueues(sink);
    mvFree(sink);
}

int buildSink(MvSink *sink, MvSoundModel *model, int bufferSize) {
    mvInitializeTriangularDitherState(&sink->dither);
    sink->bufferSize = bufferSize;
    sink->soundModel = model;
    sink->deviceIndex = -1;
    if (int status = mv::createSinkQueues(sink)) return status;
    mvInitMachine(&sink->base, sink, &sink->destination, nullptr, sink, mvDeleteSink);
    return mvInitDestination(&sink->destination, &sink->base);
}

int appendToSinkList(MvSink *sink) {
    MvSinkList &list = mvSinkList;
    if (list.count == list.capacity) {
        int capacity = list.capacity * 2;
        void *items = mvRealloc(list.items, sizeof(MvSink *) * capacity);
        if (!items) return MV_ERROR_NO_MEMORY;
        list.items = static_cast<MvSink **>(items);
        list.capacity = capacity;
    }
    list.items[list.count++] = sink;
    return MV_OK;
}

bool removeFromSinkList(MvSink *sink) {
    MvSinkList &list = mvSinkList;
    MvSink **end = list.items + list.count;
    MvSink **found = std::find(list.items, end, sink);
    if (found == end) return false;
    std::copy(found + 1, end, found);
    --list.count;
    return true;
}

// Destroys the stream, drains and destroys the queues and releases the
// sink with everything below it. Engine side; the sink is already out of
// mvSinkList (or the whole list is being torn down).
void teardownSink(MvSink *sink) {
    closeStream(sink);
    mvFlushUpQueueImpl(sink);
    mvFlushDownQueueImpl(sink);
    mv::destroySinkQueues(sink);
    mvUninitDestination(&sink->destination);
    sink->soundModel->destroy(sink->soundModel);
    mvFree(sink);
}

int teardownWork(void *argument) {
    teardownSink(static_cast<MvSink *>(argument));
    return MV_OK;
}

// Reads one value of a machine's root sink under the lock.
template <typename Read> int readSink(MvMachine *machine, Read read) {
    if (!machine) return MV_ERROR_NULL_POINTER;
    return mv::lockedRead([&] { return read(machine->sink); });
}

int checkSink(MvSink *sink) {
    if (!sink) return MV_ERROR_NULL_POINTER;
    if (!isSink(&sink->base)) return MV_ERROR_MACHINE_TYPE;
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    return MV_OK;
}

} // namespace

void streamErrorNotice(MvSink *sink, void *) {
    if (sink->stream) reopenOnFallback(sink, kStreamingError);
}

bool sinkHasOutput(MvSink *sink) { return hasOutput(sink); }

const DeviceFormat *chooseDeviceFormat(SoundIoDevice *device) {
    for (const DeviceFormat &row : kDeviceFormats)
        if (soundio_device_supports_format(device, row.format)) return &row;
    return nullptr;
}

int createSinkList() {
    auto *items = static_cast<MvSink **>(mvMalloc(sizeof(MvSink *) * kInitialSinkCapacity));
    if (!items) return MV_ERROR_NO_MEMORY;
    mvSinkList = {kInitialSinkCapacity, 0, items};
    return MV_OK;
}

void deleteEverySink() {
    for (int i = 0; i < mvSinkList.count; ++i) teardownSink(mvSinkList.items[i]);
    mvFree(mvSinkList.items);
    mvSinkList = {0, 0, nullptr};
}

void followDefaultDevice() {
    for (int i = 0; i < mvSinkList.count; ++i) {
        MvSink *sink = mvSinkList.items[i];
        if (!sink->device || sink->deviceIndex != -1) continue;
        SoundIoDevice *current = mv::takeCurrentDefaultDevice();
        if (!current) continue;
        bool moved = std::strcmp(current->id, sink->device->id) != 0;
        soundio_device_unref(current);
        if (!moved) continue;
        closeStream(sink);
        mvFlushDownQueueImpl(sink);
        sink->error = MV_OK;
        openWork(sink);
    }
}

void abandonBackend(SoundIo *context, int soundioError) {
    for (int i = 0; i < mvSinkList.count; ++i) {
        MvSink *sink = mvSinkList.items[i];
        if (sink->device && sink->device->soundio == context) reopenOnFallback(sink, -soundioError);
    }
}

} // namespace mv

using namespace mv;

extern "C" {

int mvNewSink(MvSink **out, MvSoundModel *soundModel, int bufferSize) {
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    if (!out || !soundModel) return MV_ERROR_NULL_POINTER;
    if (bufferSize <= 0) return MV_ERROR_BUFFER_SIZE;
    SinkRecord *record = allocateSink(soundModel, bufferSize);
    if (!record) return MV_ERROR_NO_MEMORY;
    MvSink *sink = &record->sink;
    bool listed = false;
    int status = buildSink(sink, soundModel, bufferSize);
    if (status == MV_OK)
        status = mv::lockedRead([&] {
            int appended = appendToSinkList(sink);
            listed = appended == MV_OK;
            if (listed) *out = sink;
            return appended;
        });
    if (!listed) discardNewSink(sink);
    return status;
}

int mvOpenSink(MvSink *sink, int deviceIndex, int sampleRate) {
    if (int status = checkSink(sink)) return status;
    return mv::lockedRead([&] {
        if (deviceIndex < -1 || deviceIndex >= mvDeviceList.count) return MV_ERROR_INDEX;
        sink->error = MV_OK;
        sink->deviceIndex = deviceIndex;
        sink->requestedRate = sampleRate;
        return mvDispatcher->run(openWork, sink);
    });
}

int mvDeleteSink(MvMachine *sink) {
    if (!sink) return MV_ERROR_NULL_POINTER;
    if (!isSink(sink)) return MV_ERROR_MACHINE_TYPE;
    // From a release callback of the sink's own clips: the drain that runs
    // the callback goes on over the sink when it returns.
    if (mv::drainsDownQueueOf(sink->sink)) return MV_ERROR_INCONSISTENT;
    return mv::lockedRead([&] {
        if (!removeFromSinkList(sink->sink)) return MV_ERROR_INCONSISTENT;
        return mvDispatcher->run(teardownWork, sink->sink);
    });
}

int mvGetSinkError(MvMachine *machine) {
    return readSink(machine, [](MvSink *sink) { return sink->error; });
}

int mvGetSampleRate(MvMachine *machine) {
    return readSink(machine, [](MvSink *sink) {
        return hasOutput(sink) ? sink->sampleRate : MV_ERROR_SAMPLE_RATE;
    });
}

int mvGetSpeakerCount(MvMachine *machine) {
    return readSink(machine, [](MvSink *sink) {
        return hasOutput(sink) ? sink->speakerCount : MV_ERROR_SPEAKER_LAYOUT;
    });
}

int mvGetSinkLatency(MvMachine *machine, double *seconds) {
    if (!seconds) return MV_ERROR_NULL_POINTER;
    double latency = 0.0;
    int status = readSink(machine, [&](MvSink *sink) {
        if (!hasOutput(sink)) return MV_ERROR_SAMPLE_RATE;
        SinkRecord *record = recordOf(sink);
        latency = record->loopback ? 0.0 : record->latency.load(std::memory_order_relaxed);
        return MV_OK;
    });
    if (status == MV_OK) *seconds = latency;
    return status;
}

int mvOpenLoopbackSink(MvSink *sink, int sampleRate, int channelCount, int format) {
    if (int status = checkSink(sink)) return status;
    if (sampleRate <= 0) return MV_ERROR_SAMPLE_RATE;
    const SoundIoChannelLayout *layout = channelCount > 0 && channelCount <= SOUNDIO_MAX_CHANNELS
                                             ? soundio_channel_layout_get_default(channelCount)
                                             : nullptr;
    if (!layout) return MV_ERROR_SPEAKER_LAYOUT;
    if (!mvSelectConverter(kMixFormat, format, kClip, kNoDither)) return MV_ERROR_SAMPLE_FORMAT;
    LoopbackRequest request{sink, sampleRate, layout, format};
    return mv::lockedRun(openLoopbackWork, &request);
}

} // extern "C"
