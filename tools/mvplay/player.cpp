#include "player.h"

#include "demo_scene.h"
#include "dsp_option.h"
#include "sound_file.h"

#include "marovel_audio.h"

#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

constexpr int kBlockFrames = 1024;
constexpr int kRenderChunkFrames = 4096;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr double kFrameTolerance = 1e-6;
constexpr auto kTailTime = std::chrono::milliseconds(150);

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

int fail(const char *what, int status)
{
    std::fprintf(stderr, "mvplay: %s: %s\n", what, mvGetErrorString(status));
    return kExitEngineError;
}

// Frees a clip's samples once the engine is done with them.
void releaseSamples(void *, void *context)
{
    auto *clip = static_cast<SoundClip *>(context);
    clip->released = true;
    std::vector<uint8_t>().swap(clip->data);
}

struct Tree {
    MvSink *sink = nullptr;
    MvMixer *mixer = nullptr;
    MvSampler *sampler = nullptr;
    DemoScene demo;
};

int buildTree(const Options &options, std::vector<SoundClip> &clips, Tree &tree)
{
    MvMachine *sampler = &tree.sampler->machine;
    for (SoundClip &clip : clips) {
        const int status = mvEnqueueClip(sampler, !options.loop, releaseSamples, &clip,
                                         clip.channels, clip.sampleRate, clip.format,
                                         clip.nativeOrder, clip.frames, clip.data.data());
        if (status) return fail(clip.path.c_str(), status);
        clip.queued = true;
    }
    int status = mvSetLooping(sampler, options.loop);
    if (!status) status = mvSetLoopStart(sampler, options.loopStart);
    if (!status) status = mvSetInterpolation(sampler, options.interpolation);
    if (!status && options.resampler) status = mvSetResampler(sampler, options.resampler);
    if (!status && options.fadeMs > 0.0)
        status = mvSetTransitionFade(sampler, options.fadeMs / 1000.0);
    if (!status) status = mvSetFrequency(sampler, 0.0, options.rate);
    if (!status)
        status = mvSetGain(&tree.mixer->machine, 0.0, float(std::pow(10.0, options.gainDb / 20)));
    if (!status && options.demo) status = startDemoScene(tree.demo, &tree.sink->base);
    if (!status) status = mvPlay(sampler);
    return status ? fail("cannot start playback", status) : kExitOk;
}

double queueSeconds(const std::vector<SoundClip> &clips)
{
    double seconds = 0.0;
    for (const SoundClip &clip : clips) seconds += clip.seconds();
    return seconds;
}

std::string clock(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d:%04.1f", int(seconds) / 60, std::fmod(seconds, 60.0));
    return text;
}

// ---- rendering into a file -------------------------------------------------

int wavSubformat(int format)
{
    switch (format) {
    case MV_FORMAT_FLOAT32: return SF_FORMAT_FLOAT;
    case MV_FORMAT_INT32: return SF_FORMAT_PCM_32;
    case MV_FORMAT_INT24: return SF_FORMAT_PCM_24;
    case MV_FORMAT_INT16: return SF_FORMAT_PCM_16;
    default: return SF_FORMAT_PCM_U8; // WAV keeps 8-bit samples unsigned
    }
}

int render(const Options &options, const std::vector<SoundClip> &clips, Tree &tree,
           int channels)
{
    const double seconds =
        options.duration > 0.0 ? options.duration : queueSeconds(clips) / options.rate;
    // The queue's own length comes out as a sum of fractions; do not let its
    // rounding add a frame.
    const long total = long(std::ceil(seconds * options.sampleRate - kFrameTolerance));
    SF_INFO info{};
    info.samplerate = options.sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | wavSubformat(options.format);
    SNDFILE *file = sf_open(options.renderPath.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "mvplay: cannot write %s: %s\n", options.renderPath.c_str(),
                     sf_strerror(nullptr));
        return kExitUsage;
    }
    const int sampleSize = mvGetSampleSize(options.format);
    std::vector<uint8_t> chunk(size_t(kRenderChunkFrames) * channels * sampleSize);
    const long fadeAt = long((seconds - kDemoFadeSeconds) * options.sampleRate);
    int exitStatus = kExitOk;
    for (long done = 0; done < total && !interrupted;) {
        const int frames = int(std::min<long>(kRenderChunkFrames, total - done));
        if (options.demo && done <= fadeAt && fadeAt < done + frames) fadeOutDemoScene(tree.demo);
        if (const int status = mvRenderLoopbackSink(tree.sink, frames, chunk.data())) {
            exitStatus = fail("render", status);
            break;
        }
        const size_t bytes = size_t(frames) * channels * sampleSize;
        if (options.format == MV_FORMAT_INT8)
            for (size_t i = 0; i < bytes; ++i) chunk[i] = uint8_t(chunk[i] + 128);
        sf_write_raw(file, chunk.data(), sf_count_t(bytes));
        mvGetState(&tree.sampler->machine); // lets finished clips go
        done += frames;
    }
    sf_close(file);
    return exitStatus;
}

// ---- playing on a device -----------------------------------------------------

void showProgress(const Options &options, const Tree &tree, double position, double length)
{
    const int device = options.device >= 0 ? options.device : mvGetDefaultDevice();
    const char *name = mvGetDeviceName(device);
    std::printf("\r%s / %s  %s  %d Hz %s, %d ch   ", clock(position).c_str(),
                clock(length).c_str(), name ? name : "?", mvGetSampleRate(&tree.sink->base),
                mvGetSampleFormatName(tree.sink->deviceFormat),
                mvGetSpeakerCount(&tree.sink->base));
    std::fflush(stdout);
}

int play(const Options &options, const std::vector<SoundClip> &clips, Tree &tree)
{
    if (const int error = mvGetSinkError(&tree.sink->base))
        std::fprintf(stderr, "mvplay: playing on the fallback device: %s\n",
                     mvGetErrorString(error));
    const bool progress = isatty(STDOUT_FILENO);
    const double length = queueSeconds(clips) / options.rate;
    const auto start = std::chrono::steady_clock::now();
    bool fading = false;
    while (!interrupted) {
        std::this_thread::sleep_for(kPollInterval);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double end = options.duration > 0.0 ? options.duration : length;
        if (options.demo && !fading && elapsed >= end - kDemoFadeSeconds)
            fading = fadeOutDemoScene(tree.demo) == MV_OK;
        if (mvGetState(&tree.sampler->machine) == 0 || (options.duration > 0.0 && elapsed >= end))
            break;
        if (progress)
            showProgress(options, tree, options.loop ? std::fmod(elapsed, length) : elapsed,
                         length);
    }
    if (progress) std::printf("\n");
    if (interrupted) std::fprintf(stderr, "mvplay: stopped\n");
    mvStop(&tree.sampler->machine);
    std::this_thread::sleep_for(kTailTime); // what the device still holds
    return kExitOk;
}

// Initialises the engine; the render path drives its loopback sink on this
// thread, device playback leaves the control work to an engine thread.
int startEngine(bool threadSafe)
{
    MvDispatcher *dispatcher = nullptr;
    int status = threadSafe ? mvNewThreadSafeDispatcher(&dispatcher)
                            : mvNewThreadUnsafeDispatcher(&dispatcher);
    if (!status) status = mvInitialize(dispatcher);
    return status;
}

} // namespace

int listDevices()
{
    if (const int status = startEngine(false)) return fail("cannot start the engine", status);
    const int count = mvGetDeviceCount();
    const int preferred = mvGetDefaultDevice();
    for (int i = 0; i < count; ++i)
        std::printf("%c %2d  %s  [%s]\n", i == preferred ? '*' : ' ', i, mvGetDeviceName(i),
                    mvGetBackendName(mvGetDeviceBackend(i)));
    mvUninitialize();
    return kExitOk;
}

int runPlayer(const Options &options)
{
    std::vector<SoundClip> clips(options.files.size());
    for (size_t i = 0; i < clips.size(); ++i) {
        std::string error;
        if (!loadSoundFile(options.files[i], clips[i], error)) {
            std::fprintf(stderr, "mvplay: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    const bool rendering = !options.renderPath.empty();
    if (const int status = startEngine(!rendering)) return fail("cannot start the engine", status);

    Tree tree;
    MvSoundModel *model = nullptr;
    int status = options.mono ? mvNewMonoSoundModel(&model) : mvNewStereoSoundModel(&model);
    if (!status) status = mvNewSink(&tree.sink, model, kBlockFrames);
    const int channels = options.mono ? 1 : 2;
    if (!status)
        status = rendering ? mvOpenLoopbackSink(tree.sink, options.sampleRate, channels,
                                                options.format)
                           : mvOpenSink(tree.sink, options.device, options.sampleRate);
    if (status == MV_ERROR_INDEX)
        std::fprintf(stderr, "mvplay: no device %d (see --list-devices)\n", options.device);
    int exitStatus = status ? (status == MV_ERROR_INDEX ? kExitUsage : fail("cannot open the output",
                                                                            status))
                            : kExitOk;
    if (!exitStatus) {
        status = mvNewMixer(&tree.mixer, &tree.sink->base);
        if (!status) status = mvNewSampler(&tree.sampler, &tree.mixer->machine);
        exitStatus = status ? fail("cannot build the tree", status)
                            : buildTree(options, clips, tree);
    }
    if (!exitStatus && !options.dspPath.empty() &&
        !attachDspProgram(&tree.mixer->machine, options.dspPath, options.dspMessages))
        exitStatus = kExitUsage;
    std::signal(SIGINT, onInterrupt);
    if (!exitStatus)
        exitStatus = rendering ? render(options, clips, tree, channels)
                               : play(options, clips, tree);
    if (!options.dspPath.empty() && tree.mixer) reportDspFailure(&tree.mixer->machine);
    mvUninitialize(); // releases every clip still queued
    for (const SoundClip &clip : clips)
        if (clip.queued && !clip.released) std::fprintf(stderr, "mvplay: %s was never released\n", clip.path.c_str());
    return exitStatus;
}
