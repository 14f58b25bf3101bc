// Interrupt services of the signal processor: the numbers a program names
// in its interrupt instruction, and the release routines that tell the two
// kinds of resource the services create apart.
#pragma once

#include "marovel_audio.h"

#include <cstdint>

namespace mv {

enum class MvDspInterrupt : uint8_t {
    // Frames
    ENTER_FRAME = 0,
    LEAVE_FRAME = 1,
    // Arithmetic and math
    COS = 16,
    SIN,
    TAN,
    ACOS,
    ASIN,
    ATAN,
    ATAN2,
    COSH,
    SINH,
    TANH,
    EXP,
    LOG,
    LOG10,
    POW,
    SQRT,
    FMOD,
    FLOOR,
    CEIL,
    ROUND,
    FABS,
    IABS,
    FSIGN,
    ISIGN,
    FMIN,
    UMIN,
    IMIN,
    FMAX,
    UMAX,
    IMAX, // 44
    // Biquad filters
    BIQUAD_NEW = 96,
    BIQUAD_PROCESS,
    BIQUAD_RESET,
    BIQUAD_LOWPASS,
    BIQUAD_HIGHPASS,
    BIQUAD_BANDPASS,
    BIQUAD_NOTCH,
    BIQUAD_PEAKING,
    BIQUAD_ALLPASS,
    BIQUAD_LOWSHELF,
    BIQUAD_HIGHSHELF, // 106
    // Reverberators
    REVERB_NEW = 112,
    REVERB_PROCESS,
    REVERB_MUTE,
    REVERB_ROOM_SIZE,
    REVERB_DAMP,
    REVERB_WET,
    REVERB_DRY,
    REVERB_WIDTH,
    REVERB_MODE, // 120
};

constexpr int kDspInterruptServiceCount = 51;

// Both return the record to mvFree; as distinct routines they are the kinds.
void releaseBiquad(void *record);
void releaseReverb(void *record);

} // namespace mv
