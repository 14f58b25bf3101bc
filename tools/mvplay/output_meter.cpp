#include "output_meter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// About -100 dB: below anything a 16-bit output can make heard.
constexpr float kSilence = 1e-5f;

MvSource *renderMeter(MvSink *sink, void *self, float gainStart, float gainEnd,
                      double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    auto *meter = static_cast<OutputMeter *>(self);
    mvAdvanceMachineRamps(&meter->machine, frames, &gainStart, &gainEnd, &frequencyStart,
                          &frequencyEnd);
    const size_t count = size_t(frames) * size_t(sink->soundModel->channelCount);
    std::copy_n(buffer, std::min(count, meter->before.size()), meter->before.data());
    MvPullRecord *record = meter->destination.audioPull;
    record->pullFunc(sink, record, gainStart, gainEnd, frequencyStart, frequencyEnd, frames,
                     buffer);
    float peak = 0.0f;
    for (size_t i = 0; i < std::min(count, meter->before.size()); ++i)
        peak = std::max(peak, std::fabs(buffer[i] - meter->before[i]));
    if (peak < kSilence) meter->quietFrames.fetch_add(frames, std::memory_order_relaxed);
    else meter->quietFrames.store(0, std::memory_order_relaxed);
    return meter->source.activeNext;
}

void releaseMeter(MvSink *, void *self) {
    auto *meter = static_cast<OutputMeter *>(self);
    mvUninitDestination(&meter->destination);
    delete meter;
}

void activate(MvSink *sink, void *source) {
    mvSourceActivate(sink, static_cast<MvSource *>(source));
}

// The meter's type tag; deleting it on its own is not needed (the sink does).
int deleteMeter(MvMachine *) { return MV_ERROR_MACHINE_TYPE; }

} // namespace

int newOutputMeter(MvSink *sink, int bufferSize, OutputMeter **out) {
    auto *meter = new OutputMeter;
    meter->before.resize(size_t(bufferSize) * size_t(sink->soundModel->channelCount));
    mvInitMachine(&meter->machine, meter, &meter->destination, &meter->source, sink, deleteMeter);
    mvInitSource(&meter->source, &meter->machine, &sink->destination, renderMeter, releaseMeter);
    if (mvInitDestination(&meter->destination, &meter->machine) != MV_OK) {
        delete meter;
        return MV_ERROR_NO_MEMORY;
    }
    if (const int status = mvDispatcher->lock()) {
        releaseMeter(sink, meter);
        return status;
    }
    mvSourceConnect(&meter->source);
    *out = meter;
    return mvDispatcher->post(sink, activate, &meter->source);
}

double quietSeconds(const OutputMeter &meter, int sampleRate) {
    return double(meter.quietFrames.load(std::memory_order_relaxed)) / sampleRate;
}
