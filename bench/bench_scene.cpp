// The whole engine at work, read as "how much of one core": the CPU time the
// rendering thread spends per second of 48 kHz audio, in percent.
//
// The scene: 128 looping voices in four mixer groups of 32 under a stereo
// sink, rendered as int16 through a loopback sink in 1024-frame calls (one
// device period each, the sink's buffer size). The voices play eight clips of
// 2 to 4 s: mono and stereo, int16 and float32, 44100 and 48000 Hz. Every
// group holds all eight, half of its voices pitched (0.75 or 1.26), with
// interpolation on. Group 0 runs the low-pass example (cutoff 2000 Hz), group
// 1 the reverb send example. Every quarter second each group's gain ramp is
// re-armed (over 0.2 s, between 0.5 and 1), so most periods take the ramp path.
//
// Only the render calls are timed, on the thread's CPU clock: the control
// calls in between (ramps, down-queue drains) belong to the host's own thread.
// One iteration renders about one second; the counter core% is the median
// second of a run, and the line after the table the median of every second.
#include "bench_dsp_examples.h"
#include "marovel_audio.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kSinkRate = 48000;
constexpr int kChannels = 2;
constexpr int kPeriodFrames = 1024;
constexpr int kPeriodsPerIteration = 47; // 48128 frames, just over a second
constexpr int kTimedIterations = 20;
constexpr int kGroups = 4;
constexpr int kVoicesPerGroup = 32;
constexpr int kVoices = kGroups * kVoicesPerGroup;
constexpr int kVoicesPerUpQueueFill = 16; // each voice queues a handful of changes
constexpr float kVoiceGain = 0.1f;
constexpr int kRampPeriodFrames = kSinkRate / 4;
constexpr double kRampSeconds = 0.2;
constexpr float kRampLow = 0.5f;
constexpr float kRampHigh = 1.0f;
constexpr uint16_t kDspStack = 1024;
constexpr float kLowPassCutoff = 2000.0f;
constexpr int kLowPassGroup = 0;
constexpr int kReverbGroup = 1;
constexpr int kPlaying = 1; // mvGetState of a playing sampler

struct ClipKind {
    int channels;
    int format;
    int rate;
    double seconds;
};

constexpr ClipKind kClipKinds[] = {
    {1, MV_FORMAT_INT16, 44100, 2.0},   {2, MV_FORMAT_INT16, 44100, 3.0},
    {1, MV_FORMAT_INT16, 48000, 2.5},   {2, MV_FORMAT_INT16, 48000, 4.0},
    {1, MV_FORMAT_FLOAT32, 44100, 3.5}, {2, MV_FORMAT_FLOAT32, 44100, 2.0},
    {1, MV_FORMAT_FLOAT32, 48000, 3.0}, {2, MV_FORMAT_FLOAT32, 48000, 2.5},
};
constexpr int kClipKindCount = int(std::size(kClipKinds));
// The pitch of voice i in its group is kPitches[i / kClipKindCount].
constexpr double kPitches[] = {1.0, 0.75, 1.0, 1.26};
static_assert(kClipKindCount * std::size(kPitches) == kVoicesPerGroup);

struct Clip {
    ClipKind kind;
    int frames;
    std::vector<uint8_t> bytes;
};

// Channel c of clip k: a tone of f = 110 + 22k + 56c Hz with its third
// harmonic, peaking at a quarter of full scale; f is even, so every clip
// holds whole cycles and loops without a click.
Clip makeClip(int k) {
    const ClipKind kind = kClipKinds[k];
    Clip clip{kind, int(kind.rate * kind.seconds), {}};
    const size_t samples = size_t(clip.frames) * kind.channels;
    const size_t width = kind.format == MV_FORMAT_INT16 ? sizeof(int16_t) : sizeof(float);
    clip.bytes.resize(samples * width);
    for (size_t i = 0; i < samples; ++i) {
        const double t = double(i / kind.channels) / kind.rate;
        const double hz = 110.0 + 22.0 * k + 56.0 * double(i % kind.channels);
        const double x = 0.2 * std::sin(2.0 * M_PI * hz * t) + 0.05 * std::sin(6.0 * M_PI * hz * t);
        if (kind.format == MV_FORMAT_INT16) {
            const auto sample = int16_t(std::lrint(32767.0 * x));
            std::memcpy(&clip.bytes[i * width], &sample, width);
        } else {
            const auto sample = float(x);
            std::memcpy(&clip.bytes[i * width], &sample, width);
        }
    }
    return clip;
}

// What main reports after the table: every second's figure, or why not.
struct Outcome {
    std::vector<double> percents;
    std::string failure;
} outcome;

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The engine with the scene built on it; failed() names the first call that
// did not return 0. The clips must outlive it.
class Scene {
public:
    explicit Scene(std::vector<Clip> &clips) : output_(size_t(kPeriodFrames) * kChannels) {
        build(clips);
    }
    ~Scene() {
        if (initialized_) mvUninitialize();
    }
    Scene(const Scene &) = delete;
    Scene &operator=(const Scene &) = delete;

    const std::string &failed() const { return failure_; }

    // Renders kPeriodsPerIteration periods, re-arming the ramps on time, and
    // returns the rendering CPU time in seconds.
    double renderIteration() {
        double cpu = 0.0;
        for (int p = 0; p < kPeriodsPerIteration && failure_.empty(); ++p) cpu += renderPeriod();
        return cpu;
    }

    // After the run: the programs still run, every voice still plays and the
    // last period is not silent.
    void verify() {
        for (int g : {kLowPassGroup, kReverbGroup})
            if (mvGetDSPError(&groups_[g]->machine, nullptr, nullptr, nullptr, nullptr) != 0)
                fail("a signal-processor program failed");
        for (MvSampler *voice : voices_)
            if (mvGetState(&voice->machine) != kPlaying) fail("a voice stopped playing");
        if (std::all_of(output_.begin(), output_.end(), [](int16_t x) { return x == 0; }))
            fail("the scene renders silence");
    }

private:
    void build(std::vector<Clip> &clips) {
        int order[7] = {7, 0, 0, 0, 0, 0, 0};
        std::memcpy(mvBackendOrder, order, sizeof order);
        MvDispatcher *dispatcher = nullptr;
        MvSoundModel *model = nullptr;
        if (!check(mvNewThreadUnsafeDispatcher(&dispatcher), "mvNewThreadUnsafeDispatcher") ||
            !check(mvInitialize(dispatcher), "mvInitialize"))
            return;
        initialized_ = true;
        if (!check(mvNewStereoSoundModel(&model), "mvNewStereoSoundModel") ||
            !check(mvNewSink(&sink_, model, kPeriodFrames), "mvNewSink") ||
            !check(mvOpenLoopbackSink(sink_, kSinkRate, kChannels, MV_FORMAT_INT16),
                   "mvOpenLoopbackSink"))
            return;
        for (MvMixer *&group : groups_)
            if (!check(mvNewMixer(&group, &sink_->base), "mvNewMixer")) return;
        attachPrograms();
        for (int v = 0; v < kVoices && failure_.empty(); ++v) {
            addVoice(v, clips);
            // Let the sink apply the queued changes before the up queue fills.
            if (v % kVoicesPerUpQueueFill == kVoicesPerUpQueueFill - 1) renderPeriod();
        }
        if (!failure_.empty()) return;
        armRamps();
        renderIteration(); // warm-up: caches, the reverberator's delay lines
    }

    // One device period, then the host's share: drain, ramps when due.
    double renderPeriod() {
        const double start = threadSeconds();
        const int status = mvRenderLoopbackSink(sink_, kPeriodFrames, output_.data());
        const double cpu = threadSeconds() - start;
        check(status, "mvRenderLoopbackSink");
        check(mvFlushDownQueueImpl(sink_), "mvFlushDownQueueImpl");
        rendered_ += kPeriodFrames;
        if (rendered_ / kRampPeriodFrames != rampsArmed_) armRamps();
        return cpu;
    }

    void attachPrograms() {
        const std::vector<uint8_t> lowPass = mvbench::assembledExample("lowpass.mvs");
        const std::vector<uint8_t> reverb = mvbench::assembledExample("reverb.mvs");
        if (lowPass.empty() || reverb.empty()) return fail("an example program does not assemble");
        const int32_t cutoff = std::bit_cast<int32_t>(kLowPassCutoff);
        check(mvSetDSP(&groups_[kLowPassGroup]->machine, uint16_t(lowPass.size()), lowPass.data(),
                       kDspStack, 1, &cutoff),
              "mvSetDSP (low-pass)");
        check(mvSetDSP(&groups_[kReverbGroup]->machine, uint16_t(reverb.size()), reverb.data(),
                       kDspStack, 0, nullptr),
              "mvSetDSP (reverb send)");
    }

    // Voice v: clip kind v % 8 in group v / 32, its pitch by its place in the
    // group, started at its own point of the clip.
    void addVoice(int v, std::vector<Clip> &clips) {
        const int inGroup = v % kVoicesPerGroup;
        Clip &clip = clips[inGroup % kClipKindCount];
        MvSampler *voice = nullptr;
        if (!check(mvNewSampler(&voice, &groups_[v / kVoicesPerGroup]->machine), "mvNewSampler"))
            return;
        voices_.push_back(voice);
        MvMachine *machine = &voice->machine;
        check(mvEnqueueClip(machine, 0, nullptr, nullptr, clip.kind.channels, clip.kind.rate,
                            clip.kind.format, 1, clip.frames, clip.bytes.data()),
              "mvEnqueueClip");
        check(mvSetLooping(machine, 1), "mvSetLooping");
        check(mvSetInterpolation(machine, 1), "mvSetInterpolation");
        check(mvSetGain(machine, 0.0, kVoiceGain), "mvSetGain");
        check(mvSetFrequency(machine, 0.0, kPitches[inGroup / kClipKindCount]), "mvSetFrequency");
        check(mvPlayAt(machine, std::fmod(0.173 * v, clip.kind.seconds)), "mvPlayAt");
    }

    // Each group ramps towards the other end of its range, the groups
    // alternating so the mix never swells all at once.
    void armRamps() {
        rampsArmed_ = rendered_ / kRampPeriodFrames;
        for (int g = 0; g < kGroups; ++g) {
            const float target = (rampsArmed_ + g) % 2 ? kRampHigh : kRampLow;
            check(mvSetGain(&groups_[g]->machine, kRampSeconds, target), "mvSetGain (group)");
        }
    }

    bool check(int status, const char *call) {
        if (status != 0 && failure_.empty())
            failure_ = std::string(call) + " returned " + std::to_string(status);
        return failure_.empty();
    }
    void fail(const char *what) {
        if (failure_.empty()) failure_ = what;
    }

    std::string failure_;
    bool initialized_ = false;
    MvSink *sink_ = nullptr;
    MvMixer *groups_[kGroups] = {};
    std::vector<MvSampler *> voices_;
    std::vector<int16_t> output_;
    int64_t rendered_ = 0;
    int64_t rampsArmed_ = 0;
};

void BM_WholeScene(benchmark::State &state) {
    std::vector<Clip> clips;
    for (int k = 0; k < kClipKindCount; ++k) clips.push_back(makeClip(k));
    Scene scene(clips);
    std::vector<double> percents;
    constexpr double kAudioSeconds = double(kPeriodsPerIteration * kPeriodFrames) / kSinkRate;
    for (auto _ : state) {
        if (!scene.failed().empty()) break;
        percents.push_back(100.0 * scene.renderIteration() / kAudioSeconds);
    }
    if (scene.failed().empty()) scene.verify();
    if (!scene.failed().empty()) {
        outcome.failure = scene.failed();
        state.SkipWithError(outcome.failure.c_str());
        return;
    }
    outcome.percents.insert(outcome.percents.end(), percents.begin(), percents.end());
    state.counters["core%"] = median(percents);
}
BENCHMARK(BM_WholeScene)->Iterations(kTimedIterations)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!outcome.failure.empty()) {
        std::fprintf(stderr, "bench_scene: the scene failed: %s\n", outcome.failure.c_str());
        return 1;
    }
    if (outcome.percents.empty()) return 0; // filtered out
    const auto [fastest, slowest] =
        std::minmax_element(outcome.percents.begin(), outcome.percents.end());
    std::printf("whole scene: %.2f %% of one core per second of 48 kHz audio "
                "(median of %zu s, %.2f .. %.2f)\n",
                median(outcome.percents), outcome.percents.size(), *fastest, *slowest);
    return 0;
}
