// A host-written machine between the sink and everything mvplay plays: it
// pulls its sources like a mixer and measures what they added, so live
// playback can end when the output has gone silent (signal-processor tails
// included) rather than when the last clip ends.
#pragma once

#include "marovel_audio.h"

#include <atomic>
#include <vector>

struct OutputMeter {
    MvMachine machine;
    MvDestination destination;
    MvSource source;
    std::vector<float> before;        // the mix as it was, one chunk
    std::atomic<long> quietFrames{0}; // frames in a row below the threshold
};

// Builds the meter under the sink (the engine owns it from then on and
// frees it with the sink). Engine status.
int newOutputMeter(MvSink *sink, int bufferSize, OutputMeter **out);

// Seconds of silence the meter has measured up to the last block.
double quietSeconds(const OutputMeter &meter, int sampleRate);
