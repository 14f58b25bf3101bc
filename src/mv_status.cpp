// Status texts, version and byte order, the sample-format tables, the byte
// swapper, the allocator and print hooks, and the millisecond sleep.
#include "mv_status.h"

#include "mv_thread.h"

#include <soundio/soundio.h>

#include <bit>
#include <climits>
#include <cstdlib>
#include <iterator>

extern "C" {
void *(*mvMalloc)(size_t size) = std::malloc;
void *(*mvRealloc)(void *pointer, size_t size) = std::realloc;
void (*mvFree)(void *pointer) = std::free;
int (*mvPrint)(const char *format, ...) = nullptr;
}

namespace mv {
namespace {
constexpr int kVersion = 4;

constexpr int kFirstEngineError = MV_ERROR_ALREADY_INITIALIZED;
constexpr int kLastEngineError = MV_ERROR_DSP_TOO_LARGE;

// Indexed by code - kFirstEngineError.
constexpr const char *kEngineErrorTexts[] = {
    "Cannot initialize when Marovel Audio is already initialized",
    "Marovel Audio is not initialized",
    "No attempt has been made to initialize the specified backend",
    "Thread-related error",
    "Mutex-related error",
    "Condition variable-related error",
    "Inconsistent data detected due to internal error or forbidden usage",
    "Illegal NULL pointer passed to function",
    "Index is out of bounds",
    "Bad, unsupported or invalid sample format",
    "Bad, unsupported or invalid speaker layout",
    "Bad, unsupported or invalid sample rate",
    "Specified machine is not a source machine",
    "Specified machine is not a destination machine",
    "Function requires a specific machine type that differs from the type of the given machine",
    "The given machine does not have the required pull function installed",
    "Frequency value must be positive",
    "Gain value must be finite",
    "Buffer size must be positive",
    "Channel vector size does not match the sound model",
    "DSP too large: 4*maxChannelCount*maxChunkSize + stackSize + progLen must not exceed 0xFFFF",
};
static_assert(std::size(kEngineErrorTexts) == kLastEngineError - kFirstEngineError + 1);

// Indexed by MvSampleFormat.
constexpr const char *kSampleFormatNames[] = {"float32", "int32", "int24",
                                              "int16",   "int8",  "uint8"};
constexpr int kSampleSizes[] = {4, 4, 3, 2, 1, 1};
constexpr int kSampleFormatCount = int(std::size(kSampleFormatNames));
static_assert(std::size(kSampleSizes) == std::size(kSampleFormatNames));

bool isSampleFormat(int format) { return format >= 0 && format < kSampleFormatCount; }

void reverseBytes(unsigned char *value, int size) {
    for (int k = 0; k < size / 2; ++k) {
        unsigned char byte = value[k];
        value[k] = value[size - 1 - k];
        value[size - 1 - k] = byte;
    }
}
} // namespace
} // namespace mv

using namespace mv;

extern "C" {

const char *mvGetErrorString(int code) {
    if (code >= kFirstEngineError && code <= kLastEngineError)
        return kEngineErrorTexts[code - kFirstEngineError];
    // INT_MIN has no negation; libsoundio knows neither number anyway.
    return soundio_strerror(code == INT_MIN ? INT_MAX : -code);
}

int mvGetVersion(void) { return kVersion; }

int mvIsLittleEndian(void) { return std::endian::native == std::endian::little ? 1 : 0; }

const char *mvGetSampleFormatName(int format) {
    return isSampleFormat(format) ? kSampleFormatNames[format] : nullptr;
}

int mvGetSampleSize(int format) {
    return isSampleFormat(format) ? kSampleSizes[format] : MV_ERROR_SAMPLE_FORMAT;
}

void mvByteSwap(void *data, int stride, int sampleSize, int count) {
    if (!data || count <= 0 || sampleSize < 2) return;
    auto *first = static_cast<unsigned char *>(data);
    const ptrdiff_t step = ptrdiff_t(stride) * sampleSize;
    for (int i = 0; i < count; ++i) reverseBytes(first + i * step, sampleSize);
}

int mvSleep(int milliseconds) {
    // A negative time is a request for no delay, not a failure.
    if (milliseconds < 0) milliseconds = 0;
    return mv::threadSleep(mv::timePointFromMillis(milliseconds), nullptr) == 0 ? MV_OK
                                                                                : MV_ERROR_THREAD;
}

} // extern "C"
