#include "sound_file.h"

#include "marovel_audio.h"

#include <sndfile.h>

#include <climits>

namespace {

// The engine format that holds a file's samples unchanged, or -1 when the
// file must be decoded.
int rawFormatOf(const SF_INFO &info)
{
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_AIFF) return -1;
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: return MV_FORMAT_INT8;
    case SF_FORMAT_PCM_U8: return MV_FORMAT_UINT8;
    case SF_FORMAT_PCM_16: return MV_FORMAT_INT16;
    case SF_FORMAT_PCM_24: return MV_FORMAT_INT24;
    case SF_FORMAT_PCM_32: return MV_FORMAT_INT32;
    case SF_FORMAT_FLOAT: return MV_FORMAT_FLOAT32;
    default: return -1;
    }
}

bool readAll(SNDFILE *file, const SF_INFO &info, SoundClip &clip)
{
    const int rawFormat = rawFormatOf(info);
    clip.format = rawFormat >= 0 ? rawFormat : MV_FORMAT_FLOAT32;
    const size_t samples = size_t(info.frames) * size_t(info.channels);
    clip.data.resize(samples * size_t(mvGetSampleSize(clip.format)));
    if (rawFormat < 0) {
        const sf_count_t read =
            sf_readf_float(file, reinterpret_cast<float *>(clip.data.data()), info.frames);
        clip.frames = int(read);
        return read > 0;
    }
    clip.nativeOrder = sf_command(file, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_FALSE;
    const sf_count_t bytes = sf_read_raw(file, clip.data.data(), sf_count_t(clip.data.size()));
    clip.frames = int(bytes / (info.channels * mvGetSampleSize(clip.format)));
    return clip.frames > 0;
}

} // namespace

bool loadSoundFile(const std::string &path, SoundClip &clip, std::string &error)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    bool ok = info.frames > 0 && info.channels > 0 && info.samplerate > 0 &&
              info.frames * info.channels <= INT_MAX;
    if (!ok)
        error = path + ": empty or too long";
    else if (!(ok = readAll(file, info, clip)))
        error = "cannot read the samples of " + path + ": " + sf_strerror(file);
    clip.path = path;
    clip.channels = info.channels;
    clip.sampleRate = info.samplerate;
    sf_close(file);
    return ok;
}
