#include "sound_file.h"

#include "marovel_audio.h"

#include <cctype>

namespace {

// The engine format that holds a file's samples unchanged, or -1 when the
// file must be decoded.
int rawFormatOf(const SF_INFO &info) {
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

} // namespace

SoundFile::~SoundFile() {
    if (file_) sf_close(file_);
}

bool SoundFile::open(const std::string &path, std::string &error) {
    path_ = path;
    file_ = sf_open(path.c_str(), SFM_READ, &info_);
    if (!file_) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    frames_ = info_.frames;
    channels_ = info_.channels;
    sampleRate_ = info_.samplerate;
    if (frames_ <= 0 || channels_ <= 0 || sampleRate_ <= 0) {
        error = path + ": no samples";
        return false;
    }
    const int rawFormat = rawFormatOf(info_);
    raw_ = rawFormat >= 0;
    format_ = raw_ ? rawFormat : MV_FORMAT_FLOAT32;
    nativeOrder_ = !raw_ || sf_command(file_, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_FALSE;
    return true;
}

int SoundFile::frameBytes() const { return channels_ * mvGetSampleSize(format_); }

std::string SoundFile::description() const {
    SF_FORMAT_INFO major{}, sub{};
    major.format = info_.format & SF_FORMAT_TYPEMASK;
    sub.format = info_.format & SF_FORMAT_SUBMASK;
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major);
    sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub, sizeof sub);
    std::string text = major.extension ? major.extension : "?";
    for (char &c : text) c = char(std::toupper(uint8_t(c)));
    if (sub.name) text += std::string(" ") + sub.name;
    return text;
}

bool SoundFile::seek(int64_t frame) {
    if (frame < 0) frame = 0;
    if (frame > frames_) frame = frames_;
    return sf_seek(file_, frame, SEEK_SET) >= 0;
}

int64_t SoundFile::read(int64_t frames, std::vector<uint8_t> &data) {
    data.resize(size_t(frames) * size_t(frameBytes()));
    sf_count_t got;
    if (raw_) {
        got = sf_read_raw(file_, data.data(), sf_count_t(data.size()));
        if (got >= 0) got /= frameBytes();
    } else {
        got = sf_readf_float(file_, reinterpret_cast<float *>(data.data()), frames);
    }
    if (got < 0 || (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR)) return -1;
    data.resize(size_t(got) * size_t(frameBytes()));
    return got;
}
