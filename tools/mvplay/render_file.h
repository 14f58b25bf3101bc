// The file a render writes: the type follows the name's extension (WAV,
// FLAC, Ogg Vorbis, AIFF), "-" writes WAV to standard output. Samples
// arrive as float32 and leave through the engine's converters, with
// triangular dither when they are reduced to 16 or 8 bits.
#pragma once

#include "marovel_audio.h"

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The sample format a render writes when --format is not given.
constexpr int kDefaultRenderFormat = -1;

class RenderFile {
public:
    RenderFile() = default;
    RenderFile(const RenderFile &) = delete;
    RenderFile &operator=(const RenderFile &) = delete;
    ~RenderFile() { close(); }

    // format: an MvSampleFormat or kDefaultRenderFormat; frames: how many
    // will be written (a WAV header on standard output states it up front).
    // False with a one-line reason (unknown type, a format the type cannot
    // hold, ...).
    bool open(const std::string &path, int sampleRate, int channels, int format, bool dither,
              int64_t frames, std::string &error);
    // Writes interleaved float frames; false on a write error.
    bool write(const float *samples, int frames);
    // Finishes the header; safe to call twice.
    void close();

    // Samples at full scale: the loopback sink has clipped them there.
    int64_t clipped() const { return clipped_; }

private:
    bool writeWav(const float *samples, size_t count);
    bool writeSndfile(const float *samples, int frames, size_t count);
    void writeWavHeader(int64_t frames);

    SNDFILE *file_ = nullptr;
    std::FILE *wav_ = nullptr; // WAV files are written here, headers and all
    int sampleRate_ = 0;
    int64_t written_ = 0;
    int channels_ = 0;
    int format_ = 0; // MvSampleFormat the samples are converted to
    bool dither_ = false;
    int64_t clipped_ = 0;
    std::vector<int32_t> ints_;
    std::vector<int16_t> shorts_;
    std::vector<int8_t> bytes_;
    std::vector<uint8_t> raw_;
    MvTriangularDitherState ditherState_{};
};

// Checks a --render name and --format before anything is read: false with
// the reason when the type is unknown or cannot hold the format.
bool checkRenderTarget(const std::string &path, int format, std::string &error);
