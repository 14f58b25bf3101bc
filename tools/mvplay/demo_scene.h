// The demo's extra layer: a short looping bed synthesised in memory (int8
// at 32000 Hz, unlike any of the demo's files) under a mixer of its own
// that fades in at the start and out before the end.
#pragma once

#include "marovel_audio.h"

#include <cstdint>
#include <vector>

constexpr double kDemoFadeSeconds = 1.5;

struct DemoScene {
    std::vector<int8_t> bed;
    MvMixer *mixer = nullptr;
    MvSampler *sampler = nullptr;
    bool released = false; // set by the engine's release callback
};

// Builds the layer under parent and starts it fading in. Engine status.
int startDemoScene(DemoScene &scene, MvMachine *parent);
// Starts the fade-out over kDemoFadeSeconds.
int fadeOutDemoScene(DemoScene &scene);
