// Host-written machines and an engine fixture for tests that render trees:
// a probe source that records what each render receives, a pass-through
// group (a destination that is also a source).
#pragma once

#include "marovel_audio.h"

#include <array>
#include <atomic>
#include <vector>

namespace mvtest {

// What one render received, after the probe's own ramps were applied.
struct BlockSeen {
    float gainStart, gainEnd;
    double frequencyStart, frequencyEnd;
    int frames;
};

// A source that adds `level` times the interpolated gain to every mix
// channel and records each block (without allocating: the log has a fixed
// capacity and drops blocks beyond it).
struct Probe {
    MvMachine machine;
    MvSource source;
    float level;
    bool unlinkOnNextRender; // leaves the active list during its next render
    std::atomic<int> renders;
    std::atomic<int> *releases; // counted when the control side frees the probe
    std::array<BlockSeen, 4096> seen;

    BlockSeen last() const { return seen[renders.load() - 1]; }
    std::vector<int> frameCounts() const;
};

// A probe under parent's destination, active at once. 0 or the status.
int newProbe(Probe **out, MvMachine *parent, float level, std::atomic<int> *releases = nullptr);
int deleteProbe(MvMachine *probe);

// A destination that is also a source: it applies its own ramps and pulls
// its sources into the same buffer (what a mixer does, and nothing more).
struct Group {
    MvMachine machine;
    MvDestination destination;
    MvSource source;
};

int newGroup(Group **out, MvMachine *parent);

// Interleaved output of a loopback render, float32.
std::vector<float> renderFloat(MvSink *sink, int frames);

} // namespace mvtest
