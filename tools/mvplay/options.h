// mvplay's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Options {
    std::vector<std::string> files;
    bool help = false;
    bool version = false;
    bool listDevices = false;
    bool quiet = false;
    std::string device; // index, id or part of a name; empty: automatic
    bool loop = false;
    double loopStart = -1.0; // negative: not given (the loop starts at 0)
    double start = 0.0;
    double gainDb = 0.0;
    double rate = 1.0;
    bool mono = false;
    bool interpolation = true;
    bool downmix = true;
    bool dither = true;
    bool stream = true;  // false: every file loaded whole
    int resampler = 0;   // MV_RESAMPLER_*
    double fadeMs = 0.0; // transition fade; 0: none
    bool demo = false;
    bool render = false;
    std::string renderPath; // "-": standard output
    int sampleRate = 48000;
    int format = -1;        // MvSampleFormat of the rendered file; -1: the type's default
    double duration = -1.0; // seconds; negative: the length of the queue
    std::string dspPath;    // a signal-processor program for the player's mixer
    std::vector<std::vector<int32_t>> dspMessages;
};

// Fills options from argv; false with a one-line reason on a bad command line.
bool parseOptions(int argc, char **argv, Options &options, std::string &error);

const char *usageText();
