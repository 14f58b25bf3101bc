// mvplay's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Options {
    std::vector<std::string> files;
    bool help = false;
    bool listDevices = false;
    int device = -1; // automatic
    bool loop = false;
    double loopStart = 0.0;
    double gainDb = 0.0;
    double rate = 1.0;
    bool mono = false;
    bool interpolation = true;
    int resampler = 0;       // MV_RESAMPLER_*
    double fadeMs = 0.0;     // transition fade; 0: none
    bool demo = false;
    std::string renderPath; // empty: play on a device
    int sampleRate = 48000;
    int format = 0;          // MvSampleFormat of the rendered file
    double duration = -1.0;  // seconds; negative: the length of the queue
    std::string dspPath;     // a signal-processor program for the player's mixer
    std::vector<std::vector<int32_t>> dspMessages;
};

// Fills options from argv; false with a one-line reason on a bad command line.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);

const char *usageText();
