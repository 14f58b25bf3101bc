#include "render_file.h"

#include "marovel_audio.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace {

constexpr const char *kStdout = "-";

struct FileType {
    const char *extension;
    int major;
    int defaultFormat;
};

constexpr FileType kFileTypes[] = {
    {"wav", SF_FORMAT_WAV, MV_FORMAT_FLOAT32},   {"flac", SF_FORMAT_FLAC, MV_FORMAT_INT24},
    {"ogg", SF_FORMAT_OGG, MV_FORMAT_FLOAT32},   {"oga", SF_FORMAT_OGG, MV_FORMAT_FLOAT32},
    {"aiff", SF_FORMAT_AIFF, MV_FORMAT_FLOAT32}, {"aif", SF_FORMAT_AIFF, MV_FORMAT_FLOAT32},
};

const FileType *typeOf(const std::string &path)
{
    if (path == kStdout) return &kFileTypes[0];
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return nullptr;
    std::string extension = path.substr(dot + 1);
    for (char &c : extension) c = char(std::tolower(uint8_t(c)));
    for (const FileType &type : kFileTypes)
        if (extension == type.extension) return &type;
    return nullptr;
}

// libsndfile's encoding of a sample format in a file type; 0 when it has none.
int subformatOf(int major, int format)
{
    if (major == SF_FORMAT_OGG) return SF_FORMAT_VORBIS;
    switch (format) {
    case MV_FORMAT_FLOAT32: return SF_FORMAT_FLOAT;
    case MV_FORMAT_INT32: return SF_FORMAT_PCM_32;
    case MV_FORMAT_INT24: return SF_FORMAT_PCM_24;
    case MV_FORMAT_INT16: return SF_FORMAT_PCM_16;
    case MV_FORMAT_INT8: return major == SF_FORMAT_WAV ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
    default: return SF_FORMAT_PCM_U8;
    }
}

bool describe(const std::string &path, int format, SF_INFO &info, int &chosen,
              std::string &error)
{
    const FileType *type = typeOf(path);
    if (!type) {
        error = "cannot tell the file type of " + path + " (use .wav, .flac, .ogg or .aiff)";
        return false;
    }
    chosen = format == kDefaultRenderFormat ? type->defaultFormat : format;
    if (type->major == SF_FORMAT_OGG) chosen = MV_FORMAT_FLOAT32;
    info.format = type->major | subformatOf(type->major, chosen);
    if (info.channels == 0) info.channels = 2;
    if (info.samplerate == 0) info.samplerate = 48000;
    if (!sf_format_check(&info)) {
        error = std::string("a .") + type->extension + " file cannot hold " +
                mvGetSampleFormatName(chosen) + " samples";
        return false;
    }
    return true;
}

bool reducesTo8Or16Bits(int format)
{
    return format == MV_FORMAT_INT16 || format == MV_FORMAT_INT8 || format == MV_FORMAT_UINT8;
}

} // namespace

bool checkRenderTarget(const std::string &path, int format, std::string &error)
{
    SF_INFO info{};
    int chosen = 0;
    return describe(path, format, info, chosen, error);
}

bool RenderFile::open(const std::string &path, int sampleRate, int channels, int format,
                      bool dither, std::string &error)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    if (!describe(path, format, info, format_, error)) return false;
    file_ = path == kStdout ? sf_open_fd(STDOUT_FILENO, SFM_WRITE, &info, SF_FALSE)
                            : sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file_) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    // A PEAK chunk in float WAV files makes some readers warn; nothing needs it.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    channels_ = channels;
    dither_ = dither && reducesTo8Or16Bits(format_);
    mvInitializeTriangularDitherState(&ditherState_);
    return true;
}

bool RenderFile::write(const float *samples, int frames)
{
    const size_t count = size_t(frames) * size_t(channels_);
    for (size_t i = 0; i < count; ++i)
        if (std::fabs(samples[i]) > 1.0f) ++clipped_;
    auto *state = &ditherState_;
    auto convert = [&](int to, void *out) {
        mvSelectConverter(MV_FORMAT_FLOAT32, to, 1, dither_)(out, 1, samples, 1, unsigned(count),
                                                             state);
    };
    sf_count_t written = 0;
    switch (format_) {
    case MV_FORMAT_FLOAT32: written = sf_writef_float(file_, samples, frames); break;
    case MV_FORMAT_INT16:
        shorts_.resize(count);
        convert(MV_FORMAT_INT16, shorts_.data());
        written = sf_writef_short(file_, shorts_.data(), frames);
        break;
    case MV_FORMAT_INT8:
    case MV_FORMAT_UINT8:
        // Both leave as 8-bit samples; libsndfile takes the high byte of a short.
        bytes_.resize(count);
        shorts_.resize(count);
        convert(MV_FORMAT_INT8, bytes_.data());
        for (size_t i = 0; i < count; ++i) shorts_[i] = int16_t(bytes_[i] * 256);
        written = sf_writef_short(file_, shorts_.data(), frames);
        break;
    default:
        ints_.resize(count);
        convert(MV_FORMAT_INT32, ints_.data());
        written = sf_writef_int(file_, ints_.data(), frames);
        break;
    }
    return written == frames;
}

void RenderFile::close()
{
    if (file_) sf_close(file_);
    file_ = nullptr;
}
