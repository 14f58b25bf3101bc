#include "player.h"

#include "demo_scene.h"
#include "downmix.h"
#include "dsp_option.h"
#include "marovel_audio.h"
#include "output_meter.h"
#include "render_file.h"
#include "streamer.h"
#include "terminal.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kBlockFrames = 1024;
constexpr int64_t kChunkFrames = 1 << 15;
constexpr double kFrameTolerance = 1e-6;
// A render longer than this (about 2.8 years at 192 kHz) is a typo.
constexpr double kMaxRenderFrames = double(int64_t(1) << 44);
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr double kSeekSeconds = 5.0;
constexpr double kVolumeStepDb = 1.0;
constexpr double kVolumeRampSeconds = 0.05;
// Live playback ends once the output has been silent this long after the
// queue, or this long after the queue whatever a program still makes.
constexpr double kSilentEnd = 0.2;
constexpr double kMaxTailSeconds = 30.0;
constexpr int kDummyBackend = 6;
constexpr int kFallbackBackend = 7;

volatile std::sig_atomic_t interrupted = 0;
void onInterrupt(int) { interrupted = 1; }

int fail(const char *what, int status) {
    std::fprintf(stderr, "mvplay: %s: %s\n", what, mvGetErrorString(status));
    return kExitEngineError;
}

float linearGain(double db) { return float(std::pow(10.0, db / 20.0)); }

struct Tree {
    MvSink *sink = nullptr;
    OutputMeter *meter = nullptr;
    MvMixer *mixer = nullptr;
    MvSampler *sampler = nullptr;
    DemoScene demo;
    int channels = 2;
    MvMachine *samplerMachine() const { return &sampler->machine; }
};

// ---- devices ---------------------------------------------------------------

// The device an --device text names: an index, an id, or a unique part of
// a name (any case). -2 after printing why there is none.
int resolveDevice(const std::string &text) {
    if (text.empty()) return -1;
    char *end = nullptr;
    const long index = std::strtol(text.c_str(), &end, 10);
    const int count = mvGetDeviceCount();
    if (*end == '\0') {
        if (index >= -1 && index < count) return int(index);
        std::fprintf(stderr, "mvplay: no device %s (see --list-devices)\n", text.c_str());
        return -2;
    }
    auto lower = [](std::string s) {
        for (char &c : s) c = char(std::tolower(uint8_t(c)));
        return s;
    };
    std::vector<int> matches;
    for (int i = 0; i < count; ++i) {
        const char *id = mvGetDeviceID(i);
        if (id && text == id) return i;
        const char *name = mvGetDeviceName(i);
        if (name && lower(name).find(lower(text)) != std::string::npos) matches.push_back(i);
    }
    if (matches.size() == 1) return matches[0];
    if (matches.empty())
        std::fprintf(stderr, "mvplay: no device matches '%s' (see --list-devices)\n", text.c_str());
    else
        std::fprintf(stderr,
                     "mvplay: '%s' matches %zu devices; give more of the name or the index\n",
                     text.c_str(), matches.size());
    return -2;
}

bool onSilentDevice(const Tree &tree) {
    if (mvGetSinkError(&tree.sink->base) != 0) return true;
    const int backend = mvGetDeviceBackend(tree.sink->deviceIndex);
    return backend == kDummyBackend || backend == kFallbackBackend;
}

void warnSilentDevice(const Tree &tree) {
    const int error = mvGetSinkError(&tree.sink->base);
    const char *reason = error                         ? mvGetErrorString(error)
                         : tree.sink->deviceIndex >= 0 ? "chosen with --device"
                                                       : "no sound server?";
    std::fprintf(stderr, "\rmvplay: warning: playing on the silent fallback device (%s)\n", reason);
}

// ---- the tree --------------------------------------------------------------

// The output opens first: a signal-processor program learns the sink's
// rate and channels when it is attached.
int buildTree(const Options &options, int device, Tree &tree) {
    MvSoundModel *model = nullptr;
    tree.channels = options.mono ? 1 : 2;
    int status = options.mono ? mvNewMonoSoundModel(&model) : mvNewStereoSoundModel(&model);
    if (!status) status = mvNewSink(&tree.sink, model, kBlockFrames);
    if (!status)
        status = options.render ? mvOpenLoopbackSink(tree.sink, options.sampleRate, tree.channels,
                                                     MV_FORMAT_FLOAT32)
                                : mvOpenSink(tree.sink, device, options.sampleRate);
    if (status) return fail("cannot open the output", status);
    status = newOutputMeter(tree.sink, kBlockFrames, &tree.meter);
    if (!status) status = mvNewMixer(&tree.mixer, &tree.meter->machine);
    if (!status) status = mvNewSampler(&tree.sampler, &tree.mixer->machine);
    if (!status) status = mvSetInterpolation(tree.samplerMachine(), options.interpolation);
    if (!status && options.resampler)
        status = mvSetResampler(tree.samplerMachine(), options.resampler);
    if (!status && options.fadeMs > 0.0)
        status = mvSetTransitionFade(tree.samplerMachine(), options.fadeMs / 1000.0);
    if (!status) status = mvSetFrequency(tree.samplerMachine(), 0.0, options.rate);
    if (!status) status = mvSetGain(&tree.mixer->machine, 0.0, linearGain(options.gainDb));
    if (!status && options.demo) status = startDemoScene(tree.demo, &tree.meter->machine);
    if (status) return fail("cannot build the tree", status);
    if (!options.dspPath.empty() &&
        !attachDspProgram(&tree.mixer->machine, options.dspPath, options.dspMessages))
        return kExitUsage;
    return kExitOk;
}

// Follows the channel count of the file that plays: a downmix matrix for
// files wider than the model, none otherwise.
class ChannelSetup {
public:
    ChannelSetup(const Tree &tree, bool downmix) : tree_(tree), downmix_(downmix) {}
    int follow(const SoundFile &file) {
        if (!downmix_ || file.channels() == channels_) return MV_OK;
        channels_ = file.channels();
        const std::vector<float> weights = downmixWeights(channels_, tree_.channels);
        if (weights.empty()) return mvClearChannelMatrix(tree_.samplerMachine());
        return mvSetChannelMatrix(tree_.samplerMachine(), 0.0, channels_, tree_.channels,
                                  weights.data());
    }

private:
    const Tree &tree_;
    bool downmix_;
    int channels_ = -1;
};

StreamSettings streamSettings(const Options &options) {
    StreamSettings settings;
    settings.chunkFrames = options.stream ? kChunkFrames : 0;
    // Enough source time for a few render steps at the playback rate.
    settings.queuedSeconds = std::max(1.0, 4.0 * kBlockFrames / options.sampleRate * options.rate);
    settings.loop = options.loop;
    settings.loopStart = std::max(options.loopStart, 0.0);
    return settings;
}

// ---- rendering into a file -------------------------------------------------

int render(const Options &options, Tree &tree, Streamer &streamer) {
    const double seconds = options.duration > 0.0
                               ? options.duration
                               : std::max(streamer.length() - options.start, 0.0) / options.rate;
    // The queue's own length comes out as a sum of fractions; do not let its
    // rounding add a frame.
    const double frames = std::ceil(seconds * options.sampleRate - kFrameTolerance);
    if (!(frames >= 1.0) || frames > kMaxRenderFrames) {
        std::fprintf(stderr, "mvplay: the render would be %s frames long; nothing written\n",
                     frames >= 1.0 ? "too many" : "no");
        return kExitUsage;
    }
    const int64_t total = int64_t(frames);
    RenderFile file;
    std::string error;
    if (!file.open(options.renderPath, options.sampleRate, tree.channels, options.format,
                   options.dither, total, error)) {
        std::fprintf(stderr, "mvplay: %s\n", error.c_str());
        return kExitUsage;
    }
    ChannelSetup channels(tree, options.downmix);
    const bool progress = !options.quiet && isatty(STDERR_FILENO);
    std::vector<float> block(size_t(kBlockFrames) * size_t(tree.channels));
    const int64_t fadeAt = int64_t((seconds - kDemoFadeSeconds) * options.sampleRate);
    int status = streamer.start(options.start);
    int64_t done = 0;
    for (int64_t step = 0; done < total && !interrupted && status == MV_OK; ++step) {
        const int count = int(std::min<int64_t>(kBlockFrames, total - done));
        if (options.demo && done <= fadeAt && fadeAt < done + count) fadeOutDemoScene(tree.demo);
        double position = 0.0;
        mvGetPlayPosition(tree.samplerMachine(), &position);
        const StreamPlace place = streamer.place(position);
        status = channels.follow(streamer.file(place.file));
        if (!status) status = mvRenderLoopbackSink(tree.sink, count, block.data());
        if (status) break;
        if (!file.write(block.data(), count)) {
            std::fprintf(stderr, "mvplay: cannot write %s\n", options.renderPath.c_str());
            return kExitEngineError;
        }
        done += count;
        mvGetState(tree.samplerMachine()); // applies what the render sent back: releases, failures
        mvGetPlayPosition(tree.samplerMachine(), &position);
        status = streamer.refill(position);
        if (progress && step % 64 == 0)
            std::fprintf(stderr, "\rrendering %s / %s ",
                         clockText(double(done) / options.sampleRate).c_str(),
                         clockText(seconds).c_str());
    }
    file.close();
    if (progress) std::fputc('\n', stderr);
    if (status) return fail("render", status);
    if (file.clipped())
        std::fprintf(stderr, "mvplay: %lld samples clipped at full scale\n",
                     (long long)file.clipped());
    if (interrupted) {
        std::fprintf(stderr, "mvplay: interrupted; %s holds the first %s\n",
                     options.renderPath.c_str(),
                     clockText(double(done) / options.sampleRate).c_str());
        return kExitInterrupted;
    }
    return kExitOk;
}

// ---- playing on a device ---------------------------------------------------

class Display {
public:
    Display(const Options &options, const Tree &tree, const Streamer &streamer)
        : options_(options), tree_(tree), streamer_(streamer),
          enabled_(!options.quiet && isatty(STDERR_FILENO)) {
        const char *name = mvGetDeviceName(tree.sink->deviceIndex >= 0 ? tree.sink->deviceIndex
                                                                       : mvGetDefaultDevice());
        device_ = name ? name : "?";
    }
    void show(const StreamPlace &place, double gainDb, bool paused) {
        if (!enabled_) return;
        const SoundFile &file = streamer_.file(place.file);
        double latency = 0.0;
        mvGetSinkLatency(&tree_.sink->base, &latency);
        // What is heard now was rendered one latency ago.
        const double heard = std::max(place.seconds - latency * options_.rate, 0.0);
        const std::string &path = file.path();
        const std::string name = path.substr(path.find_last_of('/') + 1);
        std::fprintf(stderr, "\r\033[K%s%s / %s  %s%s  [%s, %d Hz %s %d ch, %.0f ms]%s %+.0f dB",
                     paused ? "(paused) " : "", clockText(heard).c_str(),
                     clockText(file.seconds()).c_str(), name.c_str(),
                     streamer_.fileCount() > 1 ? (" (" + std::to_string(place.file + 1) + "/" +
                                                  std::to_string(streamer_.fileCount()) + ")")
                                                     .c_str()
                                               : "",
                     device_.c_str(), mvGetSampleRate(&tree_.sink->base),
                     mvGetSampleFormatName(tree_.sink->deviceFormat),
                     mvGetSpeakerCount(&tree_.sink->base), latency * 1000.0,
                     options_.loop ? " loop" : "", gainDb);
    }
    void end() {
        if (enabled_) std::fputc('\n', stderr);
    }
    void describeFile(const SoundFile &file) {
        if (enabled_)
            std::fprintf(stderr, "\r\033[K%s: %s, %d Hz, %d ch, %s\n", file.path().c_str(),
                         file.description().c_str(), file.sampleRate(), file.channels(),
                         clockText(file.seconds()).c_str());
    }

private:
    const Options &options_;
    const Tree &tree_;
    const Streamer &streamer_;
    bool enabled_;
    std::string device_;
};

// The playlist time of a place: the files before it plus the time in it.
double playlistSeconds(const Streamer &streamer, const StreamPlace &place) {
    double seconds = place.seconds;
    for (int i = 0; i < place.file; ++i) seconds += streamer.file(i).seconds();
    return seconds;
}

// Live playback: one step every poll interval follows the stream, the keys
// and the display until the queue has played and the output gone silent.
class LivePlayer {
public:
    LivePlayer(const Options &options, Tree &tree, Streamer &streamer)
        : options_(options), tree_(tree), streamer_(streamer), display_(options, tree, streamer),
          channels_(tree, options.downmix), gainDb_(options.gainDb),
          end_(options.duration > 0.0 ? options.duration
               : options.loop         ? INFINITY
                                      : (streamer.length() - options.start) / options.rate) {}

    int run() {
        int status = streamer_.start(options_.start);
        if ((warned_ = onSilentDevice(tree_))) warnSilentDevice(tree_);
        while (!interrupted && !done_ && status == MV_OK) {
            status = step();
            std::this_thread::sleep_for(kPollInterval);
        }
        display_.end();
        mvStop(sampler());
        double latency = 0.0;
        if (mvGetSinkLatency(&tree_.sink->base, &latency) == MV_OK) // what the device holds
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(latency, 1.0)));
        if (status) return fail("playback", status);
        return interrupted ? kExitInterrupted : kExitOk;
    }

private:
    MvMachine *sampler() const { return tree_.samplerMachine(); }
    double played() const { return playedBefore_ + place_.played / options_.rate; }

    int step() {
        double position = 0.0;
        mvGetPlayPosition(sampler(), &position);
        place_ = streamer_.place(position);
        if (place_.file != shownFile_)
            display_.describeFile(streamer_.file(shownFile_ = place_.file));
        int status = channels_.follow(streamer_.file(place_.file));
        if (!status) status = streamer_.refill(position);
        if (status) return status;
        const int state = mvGetState(sampler());
        const bool ended = streamer_.exhausted() && state == MV_SAMPLER_STOPPED;
        if (ended) tail_ += std::chrono::duration<double>(kPollInterval).count();
        const double quiet = quietSeconds(*tree_.meter, mvGetSampleRate(&tree_.sink->base));
        const bool cut = options_.duration > 0.0 && played() >= options_.duration;
        if (cut || (ended && (quiet >= kSilentEnd || tail_ >= kMaxTailSeconds))) {
            done_ = true;
            return MV_OK;
        }
        if (options_.demo && !fading_ && played() >= end_ - kDemoFadeSeconds)
            fading_ = fadeOutDemoScene(tree_.demo) == MV_OK;
        if (!ended && state == MV_SAMPLER_STOPPED) status = mvPlay(sampler()); // the queue ran dry
        if (!warned_ && (warned_ = onSilentDevice(tree_))) warnSilentDevice(tree_);
        if (!status) status = answer(keys_.poll());
        display_.show(place_, gainDb_, paused_);
        return status;
    }

    int answer(Key key) {
        switch (key) {
        case Key::pause:
            paused_ = !paused_;
            return paused_ ? mvPause(sampler()) : mvResume(sampler());
        case Key::seekBack: return seek(-kSeekSeconds);
        case Key::seekForward: return seek(kSeekSeconds);
        case Key::louder:
        case Key::quieter:
            gainDb_ += key == Key::louder ? kVolumeStepDb : -kVolumeStepDb;
            return mvSetGain(&tree_.mixer->machine, kVolumeRampSeconds, linearGain(gainDb_));
        case Key::quit: done_ = true; return MV_OK;
        case Key::none: return MV_OK;
        }
        return MV_OK;
    }

    // Seeks by seconds in the playlist; past its end (without a loop) playback ends.
    int seek(double seconds) {
        const double to = std::max(playlistSeconds(streamer_, place_) + seconds, 0.0);
        if (to >= streamer_.length() && !options_.loop) {
            done_ = true;
            return MV_OK;
        }
        playedBefore_ = played();
        int status = streamer_.start(std::fmod(to, streamer_.length()));
        if (!status && paused_) status = mvPause(sampler());
        return status;
    }

    const Options &options_;
    Tree &tree_;
    Streamer &streamer_;
    KeyReader keys_;
    Display display_;
    ChannelSetup channels_;
    StreamPlace place_;
    double gainDb_;
    double end_;              // output seconds at which the queue ends (the demo fades)
    double playedBefore_ = 0; // output seconds played before the last seek
    double tail_ = 0;         // seconds since the queue ended
    int shownFile_ = -1;
    bool paused_ = false, fading_ = false, done_ = false, warned_ = false;
};

// Initialises the engine; the render path drives its loopback sink on this
// thread, device playback leaves the control work to an engine thread.
int startEngine(bool threadSafe) {
    MvDispatcher *dispatcher = nullptr;
    int status = threadSafe ? mvNewThreadSafeDispatcher(&dispatcher)
                            : mvNewThreadUnsafeDispatcher(&dispatcher);
    if (!status) status = mvInitialize(dispatcher);
    return status;
}

} // namespace

void catchInterrupts() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGHUP, onInterrupt);
}

int listDevices() {
    if (const int status = startEngine(false)) return fail("cannot start the engine", status);
    const int count = mvGetDeviceCount();
    const int preferred = mvGetDefaultDevice();
    for (int i = 0; i < count; ++i)
        std::printf("%c %2d  %s  [%s]  %s\n", i == preferred ? '*' : ' ', i, mvGetDeviceName(i),
                    mvGetBackendName(mvGetDeviceBackend(i)), mvGetDeviceID(i));
    mvUninitialize();
    return kExitOk;
}

int runPlayer(const Options &options) {
    std::string error;
    if (options.render && !checkRenderTarget(options.renderPath, options.format, error)) {
        std::fprintf(stderr, "mvplay: %s\n", error.c_str());
        return kExitUsage;
    }
    std::vector<std::unique_ptr<SoundFile>> opened;
    std::vector<SoundFile *> playlist;
    for (const std::string &path : options.files) {
        auto file = std::make_unique<SoundFile>();
        if (file->open(path, error)) playlist.push_back(opened.emplace_back(std::move(file)).get());
        else std::fprintf(stderr, "mvplay: %s (skipped)\n", error.c_str());
        if (interrupted) return kExitInterrupted;
    }
    if (playlist.empty()) {
        std::fprintf(stderr, "mvplay: nothing to play\n");
        return kExitUsage;
    }
    bool skipped = playlist.size() < options.files.size();
    if (const int status = startEngine(!options.render))
        return fail("cannot start the engine", status);
    int exitStatus = kExitOk;
    const int device = options.render ? -1 : resolveDevice(options.device);
    if (device < -1) exitStatus = kExitUsage;
    Tree tree;
    if (!exitStatus) exitStatus = buildTree(options, device, tree);
    if (!exitStatus) {
        Streamer streamer(tree.samplerMachine(), playlist, streamSettings(options));
        exitStatus = options.render ? render(options, tree, streamer)
                                    : LivePlayer(options, tree, streamer).run();
        skipped = skipped || streamer.hadReadError();
        if (!options.dspPath.empty()) reportDspFailure(&tree.mixer->machine);
        streamer.stop();
        mvUninitialize(); // releases every chunk still queued, before the streamer goes
    } else {
        mvUninitialize();
    }
    return exitStatus == kExitOk && skipped ? kExitSkippedFiles : exitStatus;
}
