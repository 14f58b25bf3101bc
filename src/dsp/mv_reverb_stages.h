// The reverberator's block loop in stages: one call's network held in locals,
// the frames of one pass, and the four stages that take a pass through the
// network, in one table per vector width.
#pragma once

#include "mv_reverb.h"

namespace mv {

constexpr int kLines = 2 * (MV_REVERB_COMBS + MV_REVERB_ALLPASSES);
constexpr int kCombLines = 2 * MV_REVERB_COMBS;

// A cursor into every delay line, the damping states and coefficients.
// Frames are processed in stretches in which no cursor wraps, so the
// per-sample work has no index bookkeeping and no stores into the record
// that the compiler would have to reload.
struct Network {
    float *cursor[kLines]; // combs left 0..7, right 0..7, all-passes left 0..3, right 0..3
    float *start[kLines];
    float *end[kLines];
    float store[kCombLines];
    double damp1[kCombLines], damp2[kCombLines], feedback[kLines];
};

// Frames are taken through the network in passes of at most this many, one
// stage for all frames at a time. Every value goes through exactly the
// operations, in the order, of a frame-by-frame walk; only independent
// work of different frames and filters is interleaved.
constexpr int kPassFrames = 64;

struct Pass {
    int frames;
    double input[kPassFrames];
    double side[2][kPassFrames];            // comb sums, then all-pass outputs
    double damped[kCombLines][kPassFrames]; // delayed value times damp2
    float store[kCombLines][kPassFrames];   // damping state after each frame
};

// In pass order: read every comb's delayed values into the side sums and
// their damped share; run the damping recurrences; write the combs' lines;
// run the all-passes in series over the side sums.
struct Stages {
    void (*readCombs)(Network &net, Pass &pass);
    void (*dampCombs)(Network &net, Pass &pass);
    void (*writeCombs)(Network &net, const Pass &pass);
    void (*runAllpasses)(Network &net, Pass &pass);
};

// The stages of a kernel, or null when this processor cannot run it.
const Stages *stagesFor(ReverbKernel kernel);

} // namespace mv
