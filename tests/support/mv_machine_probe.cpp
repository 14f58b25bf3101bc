// Probe and group machines built with the framework's own helpers.
#include "mv_machine_probe.h"

#include "mv_machine.h"

#include <algorithm>
#include <new>

namespace mvtest {

namespace {

MvSource *renderProbe(MvSink *sink, void *self, float gainStart, float gainEnd,
                      double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    auto *probe = static_cast<Probe *>(self);
    MvSource *next = probe->source.activeNext;
    mvAdvanceMachineRamps(&probe->machine, frames, &gainStart, &gainEnd, &frequencyStart,
                          &frequencyEnd);
    int channels = sink->soundModel->channelCount;
    for (int i = 0; i < frames; ++i) {
        float gain = gainStart + (gainEnd - gainStart) * (float(i) / float(frames));
        for (int c = 0; c < channels; ++c) buffer[i * channels + c] += probe->level * gain;
    }
    int n = probe->renders.load();
    if (n < int(probe->seen.size()))
        probe->seen[n] = {gainStart, gainEnd, frequencyStart, frequencyEnd, frames};
    probe->renders.store(n + 1);
    if (probe->unlinkOnNextRender) {
        probe->unlinkOnNextRender = false;
        mvSourceDeactivate(sink, &probe->source);
    }
    return next;
}

void releaseProbe(MvSink *, void *self) {
    auto *probe = static_cast<Probe *>(self);
    if (probe->releases) ++*probe->releases;
    mvUninitSource(&probe->source);
    mvUninitMachine(&probe->machine);
    probe->~Probe();
    mvFree(probe);
}

MvSource *renderGroup(MvSink *sink, void *self, float gainStart, float gainEnd,
                      double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    auto *group = static_cast<Group *>(self);
    mvAdvanceMachineRamps(&group->machine, frames, &gainStart, &gainEnd, &frequencyStart,
                          &frequencyEnd);
    MvPullRecord *pull = group->destination.audioPull;
    pull->pullFunc(sink, pull, gainStart, gainEnd, frequencyStart, frequencyEnd, frames, buffer);
    return group->source.activeNext;
}

void releaseGroup(MvSink *, void *self) {
    auto *group = static_cast<Group *>(self);
    mvUninitDestination(&group->destination);
    mvFree(group);
}

int deleteGroup(MvMachine *group) { return mv::detachNode(group->source); }

} // namespace

std::vector<int> Probe::frameCounts() const {
    std::vector<int> counts;
    for (int i = 0; i < std::min(renders.load(), int(seen.size())); ++i)
        counts.push_back(seen[i].frames);
    return counts;
}

int newProbe(Probe **out, MvMachine *parent, float level, std::atomic<int> *releases) {
    void *memory = mvMalloc(sizeof(Probe));
    if (!memory) return MV_ERROR_NO_MEMORY;
    auto *probe = new (memory) Probe{};
    mvInitMachine(&probe->machine, probe, nullptr, &probe->source, parent->sink, deleteProbe);
    mvInitSource(&probe->source, &probe->machine, parent->destination, renderProbe, releaseProbe);
    probe->level = level;
    probe->releases = releases;
    *out = probe;
    return mv::connectChild(&probe->source, true);
}

int deleteProbe(MvMachine *probe) { return mv::detachNode(probe->source); }

int newGroup(Group **out, MvMachine *parent) {
    auto *group = static_cast<Group *>(mvMalloc(sizeof(Group)));
    if (!group) return MV_ERROR_NO_MEMORY;
    mvInitMachine(&group->machine, group, &group->destination, &group->source, parent->sink,
                  deleteGroup);
    mvInitSource(&group->source, &group->machine, parent->destination, renderGroup, releaseGroup);
    if (int status = mvInitDestination(&group->destination, &group->machine)) {
        mvFree(group);
        return status;
    }
    *out = group;
    return mv::connectChild(&group->source, true);
}

std::vector<float> renderFloat(MvSink *sink, int frames) {
    std::vector<float> out(size_t(frames) * std::max(sink->speakerCount, 1));
    mvRenderLoopbackSink(sink, frames, out.data());
    return out;
}

} // namespace mvtest
