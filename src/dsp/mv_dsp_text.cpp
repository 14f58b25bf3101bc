// Texts of signal-processor statuses and routines, and the byte-code version.
#include "marovel_audio.h"

#include <array>

namespace mv {

namespace {
constexpr std::array<const char *, MV_DSP_BAD_RESULT + 1> kStatusTexts = {
    "No error",
    "Signal processor is not responding",
    "Signal processor program encountered an unknown opcode",
    "Signal processor program encountered an unsupported opcode",
    "Signal processor tried to access an invalid register",
    "Signal processor error occurred while processing an interrupt",
    "Signal processor stack overflow",
    "Signal processor stack underflow",
    "Signal processor tried to access an invalid memory address",
    "Signal processor returned an error code or bad value",
};

constexpr std::array<const char *, MV_DSP_ROUTINE_MAIN + 1> kRoutineNames = {
    "Initializer Routine",
    "Initializer Message Processor",
    "Main Message Processor",
    "Main Routine",
};

constexpr int kByteCodeVersion = 0;
} // namespace

} // namespace mv

using namespace mv;

const char *mvGetDSPErrorString(uint32_t code) {
    return code < kStatusTexts.size() ? kStatusTexts[code] : "Not a DSP error code";
}

const char *mvGetDSPRoutineName(uint32_t index) {
    return index < kRoutineNames.size() ? kRoutineNames[index] : "Not a DSP Routine";
}

int mvGetDSPVersion(void) { return kByteCodeVersion; }
