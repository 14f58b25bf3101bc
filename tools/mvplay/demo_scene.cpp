#include "demo_scene.h"

#include <cmath>

namespace {

constexpr int kBedRate = 32000;
constexpr int kBedFrames = kBedRate / 2; // half a second: whole periods of both notes
constexpr double kNotes[2] = {220.0, 330.0};
constexpr double kBedLevel = 40.0; // of 127

std::vector<int8_t> synthesiseBed() {
    std::vector<int8_t> bed(kBedFrames);
    for (int i = 0; i < kBedFrames; ++i) {
        const double t = double(i) / kBedRate;
        const double pulse = 0.6 + 0.4 * std::cos(2.0 * M_PI * 4.0 * t); // 4 Hz tremolo
        double v = 0.0;
        for (double hz : kNotes) v += std::sin(2.0 * M_PI * hz * t);
        bed[i] = int8_t(std::lrint(kBedLevel * pulse * v / 2.0));
    }
    return bed;
}

void markReleased(void *, void *scene) { static_cast<DemoScene *>(scene)->released = true; }

} // namespace

int startDemoScene(DemoScene &scene, MvMachine *parent) {
    scene.bed = synthesiseBed();
    int status = mvNewMixer(&scene.mixer, parent);
    if (!status) status = mvSetGain(&scene.mixer->machine, 0.0, 0.0f);
    if (!status) status = mvSetGain(&scene.mixer->machine, kDemoFadeSeconds, 1.0f);
    if (!status) status = mvNewSampler(&scene.sampler, &scene.mixer->machine);
    if (status) return status;
    MvMachine *sampler = &scene.sampler->machine;
    status = mvEnqueueClip(sampler, 0, markReleased, &scene, 1, kBedRate, MV_FORMAT_INT8, 1,
                           kBedFrames, scene.bed.data());
    if (!status) status = mvSetLooping(sampler, 1);
    if (!status) status = mvPlay(sampler);
    return status;
}

int fadeOutDemoScene(DemoScene &scene) {
    return mvSetGain(&scene.mixer->machine, kDemoFadeSeconds, 0.0f);
}
