#include "render_file.h"

#include "marovel_audio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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

const FileType *typeOf(const std::string &path) {
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
int subformatOf(int major, int format) {
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

bool describe(const std::string &path, int format, SF_INFO &info, int &chosen, std::string &error) {
    const FileType *type = typeOf(path);
    if (!type) {
        error = "cannot tell the file type of " + path + " (use .wav, .flac, .ogg or .aiff)";
        return false;
    }
    if (type->major == SF_FORMAT_OGG && format != kDefaultRenderFormat) {
        error = "an Ogg Vorbis file has no sample format; leave out --format";
        return false;
    }
    chosen = format == kDefaultRenderFormat ? type->defaultFormat : format;
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

bool reducesTo8Or16Bits(int format) {
    return format == MV_FORMAT_INT16 || format == MV_FORMAT_INT8 || format == MV_FORMAT_UINT8;
}

} // namespace

bool checkRenderTarget(const std::string &path, int format, std::string &error) {
    SF_INFO info{};
    int chosen = 0;
    return describe(path, format, info, chosen, error);
}

bool RenderFile::open(const std::string &path, int sampleRate, int channels, int format,
                      bool dither, int64_t frames, std::string &error) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    if (!describe(path, format, info, format_, error)) return false;
    channels_ = channels;
    sampleRate_ = sampleRate;
    dither_ = dither && reducesTo8Or16Bits(format_);
    // WAV keeps 8-bit samples unsigned.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV && format_ == MV_FORMAT_INT8)
        format_ = MV_FORMAT_UINT8;
    mvInitializeTriangularDitherState(&ditherState_);
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
        wav_ = path == kStdout ? stdout : std::fopen(path.c_str(), "wb");
        if (!wav_) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        writeWavHeader(frames);
        return !std::ferror(wav_);
    }
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file_) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    return true;
}

// The canonical header: PCM as format 1; float as format 3 with the
// extension size and the fact chunk that readers of non-PCM data expect.
void RenderFile::writeWavHeader(int64_t frames) {
    const bool isFloatData = format_ == MV_FORMAT_FLOAT32;
    const uint32_t sampleBytes = uint32_t(mvGetSampleSize(format_));
    const uint32_t blockAlign = uint32_t(channels_) * sampleBytes;
    const uint64_t dataBytes = uint64_t(frames) * blockAlign;
    const uint32_t fmtBytes = isFloatData ? 18 : 16;
    const uint64_t riffBytes = 4 + (8 + fmtBytes) + (isFloatData ? 12 : 0) + 8 + dataBytes;
    auto clamp32 = [](uint64_t v) { return uint32_t(std::min<uint64_t>(v, UINT32_MAX)); };
    std::vector<uint8_t> header;
    auto put = [&](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header.push_back(uint8_t(value >> (8 * i)));
    };
    auto tag = [&](const char *text) { header.insert(header.end(), text, text + 4); };
    tag("RIFF");
    put(clamp32(riffBytes), 4);
    tag("WAVE");
    tag("fmt ");
    put(fmtBytes, 4);
    put(isFloatData ? 3 : 1, 2);
    put(uint32_t(channels_), 2);
    put(uint32_t(sampleRate_), 4);
    put(uint32_t(sampleRate_) * blockAlign, 4);
    put(blockAlign, 2);
    put(sampleBytes * 8, 2);
    if (isFloatData) {
        put(0, 2);
        tag("fact");
        put(4, 4);
        put(clamp32(uint64_t(frames)), 4);
    }
    tag("data");
    put(clamp32(dataBytes), 4);
    std::fwrite(header.data(), 1, header.size(), wav_);
}

bool RenderFile::write(const float *samples, int frames) {
    const size_t count = size_t(frames) * size_t(channels_);
    for (size_t i = 0; i < count; ++i)
        if (std::fabs(samples[i]) >= 1.0f) ++clipped_; // the sink's converter clips
    written_ += frames;
    return wav_ ? writeWav(samples, count) : writeSndfile(samples, frames, count);
}

// The engine's own converters make the WAV data, in the file's byte order.
bool RenderFile::writeWav(const float *samples, size_t count) {
    const int sampleBytes = mvGetSampleSize(format_);
    raw_.resize(count * size_t(sampleBytes));
    mvSelectConverter(MV_FORMAT_FLOAT32, format_, 1, dither_)(raw_.data(), 1, samples, 1,
                                                              unsigned(count), &ditherState_);
    if (!mvIsLittleEndian()) mvByteSwap(raw_.data(), 1, sampleBytes, int(count));
    return std::fwrite(raw_.data(), 1, raw_.size(), wav_) == raw_.size();
}

bool RenderFile::writeSndfile(const float *samples, int frames, size_t count) {
    auto convert = [&](int to, void *out) {
        mvSelectConverter(MV_FORMAT_FLOAT32, to, 1, dither_)(out, 1, samples, 1, unsigned(count),
                                                             &ditherState_);
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

void RenderFile::close() {
    if (file_) sf_close(file_);
    file_ = nullptr;
    if (!wav_) return;
    // A file states what it holds, also when the render was cut short; a
    // pipe keeps the length announced at the start.
    if (wav_ != stdout && std::fseek(wav_, 0, SEEK_SET) == 0) writeWavHeader(written_);
    if (wav_ == stdout) std::fflush(wav_);
    else std::fclose(wav_);
    wav_ = nullptr;
}
