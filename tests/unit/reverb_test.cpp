// Reverberator: delay-line layout, parameter scalings, freeze and mute,
// the flush rule, and whole blocks against a plain reference loop.
#include "dsp/mv_reverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

using namespace mv;

namespace {

struct Settings {
    float roomSize = 0.5f, damp = 0.5f, wet = 1 / 3.0f, dry = 0, width = 1, mode = 0;
};

// A reverberator in its own block, as the creation service makes one.
class Reverb {
public:
    Reverb(int rate, int channels, Settings s = {}) : storage_(reverbBlockSize(rate) / 8 + 1) {
        reverbInit(storage_.data(), rate, channels, s.roomSize, s.damp, s.wet, s.dry, s.width,
                   s.mode);
    }
    MvReverb *operator->() { return get(); }
    MvReverb *get() { return reinterpret_cast<MvReverb *>(storage_.data()); }

private:
    std::vector<uint64_t> storage_;
};

std::vector<int> lineLengths(MvReverb *r) {
    std::vector<int> lengths;
    for (int i = 0; i < MV_REVERB_COMBS; ++i)
        lengths.push_back(r->combL[i].bufSize), lengths.push_back(r->combR[i].bufSize);
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i)
        lengths.push_back(r->allpassL[i].bufSize), lengths.push_back(r->allpassR[i].bufSize);
    return lengths;
}

int sum(const std::vector<int> &v) {
    int total = 0;
    for (int x : v) total += x;
    return total;
}

std::vector<float> noise(size_t n, float level, uint32_t state = 99) {
    std::vector<float> v(n);
    for (float &x : v) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        x = level * (static_cast<float>(state) / 2147483648.0f - 1.0f);
    }
    return v;
}

bool allZero(const std::vector<float> &v) {
    for (float x : v)
        if (std::bit_cast<uint32_t>(x) != 0) return false;
    return true;
}

// The network written out directly: its own delay lines and indexes, the
// parameters taken from a freshly initialised record.
class ReferenceReverb {
public:
    ReferenceReverb(MvReverb *r, int rate) : r_(*r) {
        const int combs[] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
        const int allpasses[] = {556, 441, 341, 225};
        for (int side = 0; side < 2; ++side) {
            for (int t : combs)
                comb_[side].push_back({std::vector<float>(rate * (t + 23 * side) / 44100)});
            for (int t : allpasses)
                allpass_[side].push_back({std::vector<float>(rate * (t + 23 * side) / 44100)});
        }
    }

    void process(float *p, int count, int step) {
        for (int k = 0; k < count; ++k, p += step) {
            double input = 0;
            for (int j = 0; j < r_.channels; ++j) input = j ? input + p[j] : p[j];
            input *= r_.gain;
            double side[2];
            for (int s = 0; s < 2; ++s) {
                double acc = 0;
                for (Line &c : comb_[s]) {
                    const float out = flush(c.data[c.index]);
                    c.store =
                        flush(float(out * double(r_.combL[0].damp2) + c.store * double(r_.damp1)));
                    c.data[c.index] = float(input + c.store * double(r_.roomSize1));
                    c.index = (c.index + 1) % c.data.size();
                    acc += out;
                }
                for (Line &a : allpass_[s]) {
                    const float b = flush(a.data[a.index]);
                    a.data[a.index] = float(acc + b * 0.5);
                    a.index = (a.index + 1) % a.data.size();
                    acc = b - acc;
                }
                side[s] = float(acc);
            }
            for (int j = 0; j < r_.channels; ++j) {
                const double wet = j % 2 ? side[1] * r_.wet1 + side[0] * r_.wet2
                                         : side[0] * r_.wet1 + side[1] * r_.wet2;
                p[j] = float(wet + p[j] * double(r_.dry));
            }
        }
    }

private:
    struct Line {
        std::vector<float> data;
        size_t index = 0;
        float store = 0;
    };
    static float flush(float v) { return std::bit_cast<uint32_t>(v) & 0x7F800000 ? v : 0.0f; }
    MvReverb r_;
    std::vector<Line> comb_[2], allpass_[2];
};

TEST(ReverbLayout, LineLengthsFollowTheRate) {
    Reverb at44100(44100, 2);
    EXPECT_EQ(
        lineLengths(at44100.get()),
        (std::vector<int>{1116, 1139, 1188, 1211, 1277, 1300, 1356, 1379, 1422, 1445, 1491, 1514,
                          1557, 1580, 1617, 1640, 556,  579,  441,  464,  341,  364,  225,  248}));
    EXPECT_EQ(sum(lineLengths(at44100.get())), 25450);
    EXPECT_EQ(reverbBlockSize(44100), sizeof(MvReverb) + 4 * 25450);

    Reverb at48000(48000, 2);
    const std::vector<int> lengths = lineLengths(at48000.get());
    EXPECT_EQ(sum(lengths), 27688);
    EXPECT_EQ(lengths.front(), 1214);
    EXPECT_EQ(lengths[1], 1239);
    EXPECT_EQ(lengths[22], 244);
    EXPECT_EQ(lengths.back(), 269);
    EXPECT_EQ(reverbBlockSize(48000), sizeof(MvReverb) + 4 * 27688);

    Reverb at22050(22050, 1);
    EXPECT_EQ(at22050->combL[0].bufSize, 558); // truncated, not rounded
    EXPECT_EQ(at22050->combR[0].bufSize, 569);
}

TEST(ReverbLayout, LinesFollowTheRecordContiguously) {
    Reverb r(kReverbMinRate, 1);
    const float *next = reinterpret_cast<const float *>(r.get() + 1);
    auto expectNextLine = [&](const float *buffer, int size) {
        EXPECT_EQ(buffer, next);
        next += size;
    };
    for (int i = 0; i < MV_REVERB_COMBS; ++i) {
        expectNextLine(r->combL[i].buffer, r->combL[i].bufSize);
        expectNextLine(r->combR[i].buffer, r->combR[i].bufSize);
    }
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i) {
        expectNextLine(r->allpassL[i].buffer, r->allpassL[i].bufSize);
        expectNextLine(r->allpassR[i].buffer, r->allpassR[i].bufSize);
    }
    EXPECT_EQ(r->allpassL[3].bufSize, 1); // the shortest line still has an element
    EXPECT_EQ(reinterpret_cast<const char *>(next) - reinterpret_cast<const char *>(r.get()),
              static_cast<long>(reverbBlockSize(kReverbMinRate)));
}

TEST(ReverbParameters, ScalingsAndUpdate) {
    Reverb r(44100, 2, {.roomSize = 1, .damp = 0.5f, .wet = 0.5f, .dry = 0.25f, .width = 0.5f});
    EXPECT_EQ(r->gain, 0.015f);
    EXPECT_EQ(r->roomSize, 0.98f);
    EXPECT_EQ(r->combR[7].feedback, 0.98f);
    EXPECT_EQ(r->damp, 0.2f);
    EXPECT_EQ(r->combL[3].damp1, 0.2f);
    EXPECT_EQ(r->combL[3].damp2, 0.8f);
    EXPECT_EQ(r->wet, 1.5f);
    EXPECT_EQ(r->wet1, 1.125f);
    EXPECT_EQ(r->wet2, 0.375f);
    EXPECT_EQ(r->dry, 0.5f);
    EXPECT_EQ(r->allpassL[2].feedback, 0.5f);
    reverbSetRoomSize(r.get(), 0);
    EXPECT_EQ(r->combL[0].feedback, 0.7f);
    reverbSetWidth(r.get(), 1);
    EXPECT_EQ(r->wet2, 0.0f);
    reverbSetDry(r.get(), 1);
    EXPECT_EQ(r->dry, 2.0f);
    Reverb mono(44100, 1);
    EXPECT_EQ(mono->gain, 0.03f);
}

TEST(ReverbParameters, FreezeHoldsTheNetworkAndRestores) {
    Reverb r(44100, 2, {.roomSize = 0.5f, .damp = 0.5f});
    reverbSetMode(r.get(), 0.5f);
    EXPECT_EQ(r->gain, 0.0f);
    EXPECT_EQ(r->combL[0].feedback, 1.0f);
    EXPECT_EQ(r->combL[0].damp1, 0.0f);
    EXPECT_EQ(r->combL[0].damp2, 1.0f);
    reverbSetMode(r.get(), 0.25f);
    EXPECT_EQ(r->gain, 0.015f);
    EXPECT_EQ(r->combL[0].feedback, 0.84f);
    EXPECT_EQ(r->combL[0].damp1, 0.2f);
}

// Every vector width the processor offers gives exactly the reference's
// bits; calls of 509 frames leave passes that are no multiple of four.
// Packed stereo has vector input and output of its own; at the lowest
// rates some line is shorter than four frames.
TEST(ReverbProcess, EveryKernelMatchesTheReferenceLoop) {
    struct Case {
        int rate, channels, step;
    };
    const Case cases[] = {{48000, 1, 2}, {48000, 2, 3}, {48000, 3, 4},
                          {48000, 2, 2}, {600, 2, 2},   {kReverbMinRate, 1, 1}};
    ASSERT_TRUE(reverbKernelAvailable(ReverbKernel::Scalar));
    for (ReverbKernel kernel : {ReverbKernel::Scalar, ReverbKernel::Sse2, ReverbKernel::Avx}) {
        if (!reverbKernelAvailable(kernel)) continue;
        for (auto [rate, channels, step] : cases) {
            Reverb r(rate, channels,
                     {.roomSize = 0.8f, .damp = 0.3f, .wet = 0.4f, .dry = 0.3f, .width = 0.7f});
            ReferenceReverb reference(r.get(), rate);
            const int frames = 6000, call = 509;
            std::vector<float> block(size_t(step) * frames);
            block[0] = 1; // an impulse, then quiet noise for a while, then silence
            const std::vector<float> n = noise(block.size() / 3, 0.2f);
            std::copy(n.begin(), n.end(), block.begin() + step);
            std::vector<float> expected = block;
            for (int done = 0; done < frames; done += call) {
                const int count = std::min(call, frames - done);
                reverbProcessWith(kernel, r.get(), block.data() + done * step, count, step);
                reference.process(expected.data() + done * step, count, step);
            }
            for (size_t i = 0; i < block.size(); ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(block[i]), std::bit_cast<uint32_t>(expected[i]))
                    << int(kernel) << " " << rate << " " << channels << " " << step << " " << i;
        }
    }
}

// Frames that overlap (a step shorter than a frame) read one another's
// output, so the order of reads and writes shows; every kernel keeps one.
TEST(ReverbProcess, OverlappingFramesGiveEveryKernelTheSameBits) {
    for (int step : {0, 1}) {
        std::vector<float> first;
        for (ReverbKernel kernel : {ReverbKernel::Scalar, ReverbKernel::Sse2, ReverbKernel::Avx}) {
            if (!reverbKernelAvailable(kernel)) continue;
            Reverb r(48000, 2, {.wet = 0.4f, .dry = 0.3f, .width = 0.7f});
            std::vector<float> block = noise(3000, 0.2f);
            reverbProcessWith(kernel, r.get(), block.data(), 2000, step);
            if (first.empty()) first = block;
            ASSERT_EQ(std::memcmp(block.data(), first.data(), 4 * block.size()), 0)
                << int(kernel) << " " << step;
        }
    }
}

TEST(ReverbProcess, SilenceStaysExactlySilent) {
    for (float mode : {0.0f, 1.0f}) {
        Reverb r(44100, 2, {.dry = 0.5f, .mode = mode});
        std::vector<float> block(2 * 3000, 0.0f);
        reverbProcess(r.get(), block.data(), 3000, 2);
        EXPECT_TRUE(allZero(block)) << mode;
    }
}

TEST(ReverbProcess, DryOnlyPassesTheInputWhileTheNetworkRuns) {
    Reverb r(44100, 2, {.wet = 0, .dry = 0.5f});
    const std::vector<float> input = noise(2 * 2000, 0.5f);
    std::vector<float> block = input;
    reverbProcess(r.get(), block.data(), 2000, 2);
    EXPECT_EQ(block, input);
    EXPECT_NE(r->combL[0].filterStore, 0.0f);
}

TEST(ReverbProcess, WidthAndChannelMapping) {
    // Width 1: even channels get only the left side, odd ones only the right.
    Reverb wide(44100, 3, {.wet = 1, .width = 1});
    std::vector<float> block(3 * 3000);
    block[0] = block[1] = block[2] = 1;
    reverbProcess(wide.get(), block.data(), 3000, 3);
    bool sidesDiffer = false;
    for (int k = 0; k < 3000; ++k) {
        ASSERT_EQ(block[3 * k], block[3 * k + 2]);
        sidesDiffer |= block[3 * k] != block[3 * k + 1];
    }
    EXPECT_TRUE(sidesDiffer);

    // Width 0: both sides mixed equally into every channel.
    Reverb narrow(44100, 2, {.wet = 1, .width = 0});
    std::vector<float> stereo(2 * 3000);
    stereo[0] = 1;
    reverbProcess(narrow.get(), stereo.data(), 3000, 2);
    for (int k = 0; k < 3000; ++k) ASSERT_EQ(stereo[2 * k], stereo[2 * k + 1]);
}

TEST(ReverbProcess, StepLeavesTheFloatsBetweenFramesAlone) {
    Reverb r(44100, 2);
    std::vector<float> block = noise(5 * 400, 0.5f);
    const std::vector<float> input = block;
    reverbProcess(r.get(), block.data(), 400, 5);
    for (int k = 0; k < 400; ++k)
        for (int j = 2; j < 5; ++j) ASSERT_EQ(block[5 * k + j], input[5 * k + j]);
}

double level(Reverb &r, const std::vector<float> &input) {
    std::vector<float> block = input;
    reverbProcess(r.get(), block.data(), static_cast<int>(block.size()), 1);
    double total = 0;
    for (float x : block) total += double{x} * x;
    return std::sqrt(total / block.size());
}

TEST(ReverbFreeze, InputIsIgnoredMuteHeldAndTheTailKept) {
    const Settings settings{.wet = 1, .width = 1};
    Reverb loud(44100, 1, settings), quiet(44100, 1, settings);
    const std::vector<float> burst = noise(3000, 0.5f), silence(4000, 0.0f);
    const double ringing = level(loud, burst);
    level(quiet, burst);
    reverbSetMode(loud.get(), 0.7f), reverbSetMode(quiet.get(), 0.5f);

    const float *lines = reinterpret_cast<const float *>(loud.get() + 1);
    const std::vector<float> held(lines, lines + 25450);
    reverbMute(loud.get());
    EXPECT_TRUE(std::equal(held.begin(), held.end(), lines));

    std::vector<float> a = noise(4000, 1.0f), b = silence;
    reverbProcess(loud.get(), a.data(), 4000, 1);
    reverbProcess(quiet.get(), b.data(), 4000, 1);
    EXPECT_EQ(a, b);

    for (int second = 0; second < 3; ++second) level(loud, std::vector<float>(44100, 0.0f));
    EXPECT_GT(level(loud, silence), 0.5 * ringing); // no decay while frozen

    reverbSetMode(loud.get(), 0);
    for (int second = 0; second < 3; ++second) level(loud, std::vector<float>(44100, 0.0f));
    EXPECT_LT(level(loud, silence), 0.01 * ringing);
    reverbMute(loud.get());
    EXPECT_TRUE(std::all_of(lines, lines + 25450, [](float x) { return x == 0; }));
}

TEST(ReverbFlush, SubnormalsAndNegativeZeroReadBackAsPlusZero) {
    Reverb r(44100, 1, {.wet = 1, .dry = 0});
    MvReverbComb &comb = r->combL[0];
    comb.buffer[0] = 1e-40f;
    r->combL[1].buffer[0] = -0.0f;
    r->allpassL[0].buffer[0] = -1e-42f;
    comb.filterStore = 1e-39f; // subnormal state: the product 1e-39 * damp1 is flushed
    float sample = 0;
    reverbProcess(r.get(), &sample, 1, 1);
    EXPECT_EQ(std::bit_cast<uint32_t>(sample), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(comb.filterStore), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(comb.buffer[0]), 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(r->combL[1].buffer[0]), 0u);
}

TEST(ReverbFlush, EveryLaneOfABlockFlushes) {
    Reverb r(44100, 2, {.wet = 1, .dry = 0, .width = 0.5f});
    const float tiny[] = {1e-40f, -0.0f, -1e-39f, 5e-45f, 1e-38f, -1e-42f, 0.0f, 2e-39f};
    auto fill = [&](float *line) { std::copy(std::begin(tiny), std::end(tiny), line); };
    for (int i = 0; i < MV_REVERB_COMBS; ++i) fill(r->combL[i].buffer), fill(r->combR[i].buffer);
    for (int i = 0; i < MV_REVERB_ALLPASSES; ++i)
        fill(r->allpassL[i].buffer), fill(r->allpassR[i].buffer);
    std::vector<float> block(16, 0.0f);
    reverbProcess(r.get(), block.data(), 8, 2);
    EXPECT_TRUE(allZero(block));
    for (int i = 0; i < MV_REVERB_COMBS; ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(r->combL[i].filterStore), 0u);
        EXPECT_TRUE(allZero(std::vector<float>(r->combR[i].buffer, r->combR[i].buffer + 8)));
    }
    EXPECT_TRUE(allZero(std::vector<float>(r->allpassL[3].buffer, r->allpassL[3].buffer + 8)));
}

} // namespace
