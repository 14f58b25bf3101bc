// Reading sound files into clips the engine can play without a copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sample data of one file as the engine reads it. PCM and float files in
// WAV or AIFF keep their own encoding and byte order (the engine converts
// while it plays and swaps foreign byte order once); compressed files are
// decoded to float32.
struct SoundClip {
    std::string path;
    std::vector<uint8_t> data;
    int frames = 0;
    int channels = 0;
    int sampleRate = 0;
    int format = 0;          // MvSampleFormat
    bool nativeOrder = true; // false: the engine swaps the bytes in place
    bool queued = false;     // handed to the engine, which must release it
    bool released = false;   // set by the engine's release callback

    double seconds() const { return double(frames) / sampleRate; }
};

// Loads path; false with a one-line reason when it cannot be read.
bool loadSoundFile(const std::string &path, SoundClip &clip, std::string &error);
