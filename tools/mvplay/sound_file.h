// Reading sound files in chunks the engine can play without a copy.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

// An open sound file. PCM and float files in WAV or AIFF keep their own
// encoding and byte order (the engine converts while it plays and swaps a
// foreign byte order once); compressed files are decoded to float32.
class SoundFile {
public:
    SoundFile() = default;
    SoundFile(const SoundFile &) = delete;
    SoundFile &operator=(const SoundFile &) = delete;
    ~SoundFile();

    // Opens path; false with a one-line reason when it cannot be played.
    bool open(const std::string &path, std::string &error);

    const std::string &path() const { return path_; }
    int64_t frames() const { return frames_; }
    int channels() const { return channels_; }
    int sampleRate() const { return sampleRate_; }
    int format() const { return format_; } // MvSampleFormat of the chunks
    bool nativeOrder() const { return nativeOrder_; }
    int frameBytes() const;
    double seconds() const { return double(frames_) / sampleRate_; }
    // "FLAC 16-bit", "WAV float" ...: what the file holds.
    std::string description() const;

    // Moves the read position to frame (clamped to the file).
    bool seek(int64_t frame);
    // Reads up to frames frames from the read position into data (resized);
    // the frame count read, 0 at the end, -1 on a read error.
    int64_t read(int64_t frames, std::vector<uint8_t> &data);

private:
    SNDFILE *file_ = nullptr;
    SF_INFO info_{};
    std::string path_;
    int64_t frames_ = 0;
    int channels_ = 0;
    int sampleRate_ = 0;
    int format_ = 0;
    bool raw_ = false;
    bool nativeOrder_ = true;
};
