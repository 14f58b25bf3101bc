/*
 * marovel_audio — real-time audio playback engine.
 *
 * The one public header of the engine library. It compiles as C99 and as C++.
 * Every call returns an MvStatus (0 success, -1 out of memory, -100..-80 the
 * engine's own errors, any other negative value a negated libsoundio error
 * number) or a value, unless its comment says otherwise.
 *
 * Threads: with the thread-safe dispatcher any host thread may call the
 * control functions; with the thread-unsafe dispatcher one thread at a time.
 * Functions marked "any thread" take no dispatcher lock. Functions marked
 * "audio thread" run inside a sink's stream callback (or a loopback render)
 * and must never allocate, lock or call the host.
 *
 * libsoundio records appear only as pointers to incomplete types, so a host
 * needs no libsoundio headers to use this one.
 */
#ifndef MAROVEL_AUDIO_H
#define MAROVEL_AUDIO_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(MAROVEL_AUDIO_BUILD)
#    define MV_API __declspec(dllexport)
#  else
#    define MV_API __declspec(dllimport)
#  endif
#else
#  define MV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct SoundIo;
struct SoundIoDevice;
struct SoundIoOutStream;
struct SoundIoRingBuffer;
struct SoundIoChannelLayout;
struct SoundIoChannelArea;

/* ------------------------------------------------------------------------ */
/* Status codes                                                             */
/* ------------------------------------------------------------------------ */

typedef int MvStatus;

#define MV_OK                         0
#define MV_ERROR_NO_MEMORY           -1
#define MV_ERROR_ALREADY_INITIALIZED -100
#define MV_ERROR_NOT_INITIALIZED     -99
#define MV_ERROR_BACKEND_NOT_TRIED   -98
#define MV_ERROR_THREAD              -97
#define MV_ERROR_MUTEX               -96
#define MV_ERROR_CONDITION           -95
#define MV_ERROR_INCONSISTENT        -94
#define MV_ERROR_NULL_POINTER        -93
#define MV_ERROR_INDEX               -92
#define MV_ERROR_SAMPLE_FORMAT       -91
#define MV_ERROR_SPEAKER_LAYOUT      -90
#define MV_ERROR_SAMPLE_RATE         -89
#define MV_ERROR_NOT_SOURCE          -88
#define MV_ERROR_NOT_DESTINATION     -87
#define MV_ERROR_MACHINE_TYPE        -86
#define MV_ERROR_PULL_FUNCTION       -85
#define MV_ERROR_FREQUENCY           -84
#define MV_ERROR_GAIN                -83
#define MV_ERROR_BUFFER_SIZE         -82
#define MV_ERROR_VECTOR_SIZE         -81
#define MV_ERROR_DSP_TOO_LARGE       -80

/* ------------------------------------------------------------------------ */
/* Sample formats                                                           */
/* ------------------------------------------------------------------------ */

typedef int MvSampleFormat;

#define MV_FORMAT_FLOAT32 0
#define MV_FORMAT_INT32   1
#define MV_FORMAT_INT24   2
#define MV_FORMAT_INT16   3
#define MV_FORMAT_INT8    4
#define MV_FORMAT_UINT8   5

/* ------------------------------------------------------------------------ */
/* Records                                                                  */
/* ------------------------------------------------------------------------ */

typedef struct MvSink MvSink;
typedef struct MvMachine MvMachine;
typedef struct MvSource MvSource;
typedef struct MvDestination MvDestination;
typedef struct MvPullRecord MvPullRecord;
typedef struct MvSoundModel MvSoundModel;
typedef struct MvSampler MvSampler;
typedef struct MvClip MvClip;
typedef struct MvChannelMatrix MvChannelMatrix;
typedef struct MvDspVm MvDspVm;
typedef struct MvDspResourceList MvDspResourceList;

/* A message callback: runs on the consuming side of a sink's queue. */
typedef void (*MvMessageFunc)(MvSink *sink, void *argument);

/* One queued message: {callback, argument}, stored whole in a queue. */
typedef struct MvMessage {
    MvMessageFunc callback;
    void *argument;
} MvMessage;

/* The installed dispatcher: a context word and five operations that find
 * their state through mvDispatcher (they take no self argument). */
typedef struct MvDispatcher {
    void *context;
    int (*lock)(void);
    int (*unlock)(void);
    /* Performs mvSendUpMessage on the engine side and releases the lock. */
    int (*post)(MvSink *sink, MvMessageFunc callback, void *argument);
    /* Runs fn(argument) on the engine side; the lock stays held. */
    int (*run)(int (*fn)(void *argument), void *argument);
    /* Tears the dispatcher down (called with the lock held). */
    int (*destroy)(void);
} MvDispatcher;

/* Sample conversion routine: count samples from src (stride srcStride,
 * counted in source samples) to dst (stride dstStride). */
typedef struct MvTriangularDitherState {
    int32_t previous;
    uint32_t seed1;
    uint32_t seed2;
} MvTriangularDitherState;

typedef void (*MvConverter)(void *dst, int dstStride, const void *src, int srcStride,
                            unsigned int count, MvTriangularDitherState *dither);

/* Render of a source: adds frames into buffer and returns the next source
 * to render (normally its own activeNext). Audio thread. */
typedef MvSource *(*MvRenderFunc)(MvSink *sink, void *self, float gainStart, float gainEnd,
                                  double frequencyStart, double frequencyEnd, int frames,
                                  float *buffer);

/* Pull of a destination: asks its sources for frames. Audio thread. */
typedef int (*MvPullFunc)(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
                          double frequencyStart, double frequencyEnd, int frames, float *buffer);

/* The machine head every node embeds. */
struct MvMachine {
    void *self;
    MvDestination *destination;
    MvSource *source;
    MvSink *sink;
    float gainStart;
    float gain;
    float gainTarget;
    float gainSlope;
    double frequencyStart;
    double frequency;
    double frequencyTarget;
    double frequencySlope;
    int (*deleteFunc)(MvMachine *machine);
};

struct MvPullRecord {
    MvDestination *destination;
    void *userData;
    MvPullFunc pullFunc;
    void (*prepareFunc)(MvPullRecord *record);
    MvMessageFunc freeFunc;
};

struct MvDestination {
    MvMachine *machine;
    MvPullRecord *pull;
    MvPullRecord *audioPull;
    MvSource *connectedHead;
    MvSource *connectedTail;
    MvSource *activeHead;
    MvSource *activeTail;
};

struct MvSource {
    MvMachine *owner;
    MvDestination *destination;
    MvSource *connectedPrev;
    MvSource *connectedNext;
    MvSource *activePrev;
    MvSource *activeNext;
    MvRenderFunc renderFunc;
    MvMessageFunc releaseFunc;
};

/* A sink's mix shape and its output operations. */
struct MvSoundModel {
    int32_t channelCount;
    int32_t vectorSize;
    uint8_t *speakerGroups;
    void (*configure)(MvSoundModel *model, struct SoundIoOutStream *stream);
    void (*accumulate)(MvSoundModel *model, int frames, const float *source, float *destination);
    void (*mixFrame)(MvSoundModel *model, float gain, int sourceChannels, const float *weights,
                     const float *sourceFrame, float *destinationFrame);
    void (*mixFrameWeighted)(MvSoundModel *model, float gain, int sourceChannels,
                             const float *weights, const float *sourceFrame,
                             float *destinationFrame);
    void (*writeDevice)(MvSoundModel *model, const struct SoundIoChannelLayout *layout,
                        MvConverter converter, MvTriangularDitherState *dither,
                        int bytesPerSample, int byteSwap, int frames, const float *mix,
                        struct SoundIoChannelArea *areas);
    void (*destroy)(MvSoundModel *model);
};

/* The root machine: one output stream and the two message queues. Only
 * mvNewSink makes sinks (the engine keeps private state after the record). */
struct MvSink {
    MvMachine base;
    MvDestination destination;
    MvTriangularDitherState dither;
    int bufferSize;
    MvSoundModel *soundModel;
    int error;
    int deviceIndex;
    int requestedRate;
    int sampleRate;
    int speakerCount;
    MvSampleFormat deviceFormat;
    int sampleSize;
    uint8_t byteSwap;
    struct SoundIoRingBuffer *upQueue;
    struct SoundIoRingBuffer *downQueue;
    MvConverter converter;
    struct SoundIoDevice *device;
    struct SoundIoOutStream *stream;
};

/* A mixer: a destination that is also a source. */
typedef struct MvMixer {
    MvMachine machine;
    MvDestination destination;
    MvSource source;
} MvMixer;

/* Release callback of a clip: runs on the control side, once per clip. */
typedef void (*MvClipRelease)(void *data, void *context);

struct MvClip {
    MvSampler *sampler;
    int32_t channels;
    double sampleRate;
    int32_t format;
    int32_t sampleSize;
    int32_t frames;
    void *data;
    uint8_t removeWhenDone;
    MvClipRelease release;
    void *releaseContext;
    MvClip *prev;
    MvClip *next;
};

/* Channel matrix header; the weights (and, for a ramped matrix, the ramp
 * weights) follow it in the same allocation. */
struct MvChannelMatrix {
    MvSampler *sampler;
    double rampTime;
    int32_t sourceChannels;
    float *current;
    float *target;
};

struct MvSampler {
    MvMachine machine;
    MvSource source;
    MvChannelMatrix *controlMatrix;
    MvChannelMatrix *audioMatrix;
    MvClip *head;
    MvClip *tail;
    MvClip *current;
    double position;
    double audioLoopStart;
    double controlLoopStart;
    int32_t controlState;
    int32_t audioState;
    int32_t processedClips;
    int32_t queuedClips;
    uint8_t controlLooping;
    uint8_t audioLooping;
    uint8_t controlInterpolation;
    uint64_t audioInterpolation;
};

/* Registry records (exported data, see below). */
typedef struct MvBackendList {
    int count;
    struct SoundIo **contexts;
    int errors[8];
} MvBackendList;

typedef struct MvDeviceList {
    int count;
    struct SoundIoDevice **devices;
    int defaultIndex;
    int fallbackDefaultIndex;
} MvDeviceList;

typedef struct MvSinkList {
    int capacity;
    int count;
    MvSink **items;
} MvSinkList;

/* ------------------------------------------------------------------------ */
/* Signal-processor records                                                 */
/* ------------------------------------------------------------------------ */

/* Result of a signal-processor run (0..9). */
typedef int32_t MvDspStatus;

#define MV_DSP_OK                  0
#define MV_DSP_NOT_RESPONDING      1
#define MV_DSP_UNKNOWN_OPCODE      2
#define MV_DSP_UNSUPPORTED_OPCODE  3
#define MV_DSP_INVALID_REGISTER    4
#define MV_DSP_INTERRUPT_ERROR     5
#define MV_DSP_STACK_OVERFLOW      6
#define MV_DSP_STACK_UNDERFLOW     7
#define MV_DSP_INVALID_ADDRESS     8
#define MV_DSP_BAD_RESULT          9

/* Routine numbers of a program (texts from mvGetDSPRoutineName). */
#define MV_DSP_ROUTINE_INIT          0
#define MV_DSP_ROUTINE_INIT_MESSAGE  1
#define MV_DSP_ROUTINE_MAIN_MESSAGE  2
#define MV_DSP_ROUTINE_MAIN          3

#define MV_DSP_REGISTER_COUNT 20
#define MV_DSP_PC 16
#define MV_DSP_FP 17
#define MV_DSP_SP 18
#define MV_DSP_LR 19
#define MV_DSP_TRACE_CAPACITY 255

/* Called by the interrupt instruction; non-zero low byte = served. */
typedef int (*MvDspInterruptCallback)(MvDspVm *vm, uint32_t number);

struct MvDspVm {
    uint8_t *memory;
    uint32_t registers[MV_DSP_REGISTER_COUNT];
    uint16_t memorySize;
    uint16_t stackSize;
    uint16_t stackBase;
    MvDspInterruptCallback interruptCallback;
    MvDspResourceList *resources;
    /* Budget units an interrupt service spent beyond its own instruction
     * (one per sample, frame step or delay-line element it touched). A
     * service adds to it; the interpreter charges it to the run's budget
     * after the service returns and clears it. 0 at creation. */
    uint32_t serviceUnits;
};

/* An entry of mvDSPInterruptCallbacks: 0 served, anything else a failure
 * code that the program finds in R0. */
typedef int32_t (*MvDspInterruptHandler)(MvDspVm *vm, int number);

/* A program resource: its release routine doubles as its kind. */
typedef void (*MvDspResourceRelease)(void *data);

typedef struct MvDspResourceEntry {
    MvDspResourceRelease release;
    void *data;
} MvDspResourceEntry;

struct MvDspResourceList {
    int32_t capacity;
    int32_t count;
    MvDspResourceEntry *entries;
    /* Non-zero outside the program's initialisation: resources are made on
     * the control side only (routines 0 and 1), so the audio thread never
     * allocates for a program. A hosting machine keeps its list sealed
     * except while routines 0 and 1 run; a zeroed list is open. */
    int32_t sealed;
};

typedef struct MvDspState MvDspState;

/* A message for routine 1 or 2; its words follow the header. */
typedef struct MvDspMessage {
    MvDspState *state;
    int32_t count;
    int32_t *words;
    struct MvDspMessage *next;
} MvDspMessage;

/* The first recorded failure of a program. */
typedef struct MvDspReport {
    int32_t status;
    uint32_t registers[MV_DSP_REGISTER_COUNT];
    int32_t routine;
    uint8_t traceLength;
    uint16_t trace[MV_DSP_TRACE_CAPACITY];
} MvDspReport;

struct MvDspState {
    MvDspVm *vm;
    uint16_t sampleAddress;
    uint16_t initMessageEntry;
    uint16_t mainMessageEntry;
    uint16_t mainEntry;
    MvDspMessage *messages;
    MvDspReport *publishedError;
    MvDspReport report;
};

/* The signal-processor pull record: starts with the five words of
 * MvPullRecord. */
typedef struct MvDspFunc {
    MvDestination *destination;
    void *userData;
    MvPullFunc pullFunc;
    void (*prepareFunc)(MvPullRecord *record);
    MvMessageFunc freeFunc;
    MvDspState state;
    MvDspResourceList resources;
} MvDspFunc;

/* Second-order recursive filter, normalised coefficients (a0 = 1). */
typedef struct MvBiquad {
    int32_t sampleRate;
    float b0, b1, b2;
    float a1, a2;
    float x1, x2;
    float y1, y2;
} MvBiquad;

typedef struct MvReverbComb {
    float feedback;
    float filterStore;
    float damp1;
    float damp2;
    float *buffer;
    int32_t bufSize;
    int32_t bufIndex;
} MvReverbComb;

typedef struct MvReverbAllpass {
    float feedback;
    float *buffer;
    int32_t bufSize;
    int32_t bufIndex;
} MvReverbAllpass;

#define MV_REVERB_COMBS 8
#define MV_REVERB_ALLPASSES 4

/* A reverberator; its 24 delay lines follow the record in one block. */
typedef struct MvReverb {
    int32_t channels;
    float gain;
    float roomSize;
    float roomSize1;
    float damp;
    float damp1;
    float wet;
    float wet1;
    float wet2;
    float dry;
    float width;
    float mode;
    MvReverbComb combL[MV_REVERB_COMBS];
    MvReverbComb combR[MV_REVERB_COMBS];
    MvReverbAllpass allpassL[MV_REVERB_ALLPASSES];
    MvReverbAllpass allpassR[MV_REVERB_ALLPASSES];
} MvReverb;

/* ------------------------------------------------------------------------ */
/* Status and common services (any thread; no initialisation needed)        */
/* ------------------------------------------------------------------------ */

/* Allocator hooks, used for every engine record. Set them before
 * mvInitialize and leave them alone while any engine object exists. */
extern MV_API void *(*mvMalloc)(size_t size);
extern MV_API void *(*mvRealloc)(void *pointer, size_t size);
extern MV_API void (*mvFree)(void *pointer);
/* Print hook for every diagnostic; null (silent) by default. It may be
 * called from audio threads and several threads at once. */
extern MV_API int (*mvPrint)(const char *format, ...);

/* mvGetErrorString: the text of a status. For -100..-80 the engine's table
 * text; for any other value libsoundio's text for the error number -code.
 * Any thread. */
MV_API const char *mvGetErrorString(int code);

/* mvGetVersion: the interface version, 4. Any thread. */
MV_API int mvGetVersion(void);

/* mvIsLittleEndian: 1 when the library's native byte order is little-endian,
 * else 0. Any thread. */
MV_API int mvIsLittleEndian(void);

/* mvGetSampleFormatName: "float32", "int32", "int24", "int16", "int8",
 * "uint8" for 0..5; null for any other value. Any thread. */
MV_API const char *mvGetSampleFormatName(int format);

/* mvGetSampleSize: bytes per sample of a format (4, 4, 3, 2, 1, 1); -91 for
 * any value outside 0..5. Any thread. */
MV_API int mvGetSampleSize(int format);

/* mvByteSwap: reverses in place the bytes of count values of sampleSize
 * bytes; consecutive values lie stride * sampleSize bytes apart. A count
 * of 0 or less, or a sampleSize below 2, does nothing. Any thread. */
MV_API void mvByteSwap(void *data, int stride, int sampleSize, int count);

/* mvSleep: sleeps the given milliseconds. 0 when the full time was slept,
 * -97 when the sleep ended early or failed; a negative time sleeps 0 ms
 * and returns 0. Any thread. */
MV_API int mvSleep(int milliseconds);

/* ------------------------------------------------------------------------ */
/* Dispatchers                                                              */
/* ------------------------------------------------------------------------ */

/* The installed dispatcher; null while the library is not initialised. */
extern MV_API MvDispatcher *mvDispatcher;

/* mvNewThreadUnsafeDispatcher: makes a dispatcher that runs all engine work
 * on the calling thread (one host thread at a time). Stores it in *out.
 * 0, -1 out of memory, -93 null out. Any thread; does not install it. */
MV_API int mvNewThreadUnsafeDispatcher(MvDispatcher **out);

/* mvNewThreadSafeDispatcher: makes a dispatcher with its own engine thread
 * and a mutex, so any host thread may call the engine. Stores it in *out.
 * 0, -1 out of memory, -93 null out, -95 condition variable, -96 mutex,
 * -97 thread error. Any thread; does not install it. */
MV_API int mvNewThreadSafeDispatcher(MvDispatcher **out);

/* ------------------------------------------------------------------------ */
/* Lifecycle and device registry                                            */
/* ------------------------------------------------------------------------ */

/* Backend preference order, read by mvInitialize; zeros are skipped.
 * Initially 2, 3, 5, 6, 4, 1, 7. Numbers: 1 JACK, 2 PulseAudio, 3 ALSA,
 * 4 CoreAudio, 5 WASAPI, 6 Dummy, 7 the fallback connection (Dummy). */
extern MV_API int mvBackendOrder[7];
extern MV_API MvBackendList mvBackendList;
extern MV_API MvDeviceList mvDeviceList;
extern MV_API MvSinkList mvSinkList;

/* mvInitialize: installs the dispatcher and connects the backends.
 * 0; -100 already initialised; -93 null dispatcher; -92 an order entry
 * outside 0..7; -1; -98 no backend in the order; -94 no fallback device; a
 * negated libsoundio error (of the last backend tried). On failure the
 * dispatcher is not installed (it still belongs to the host and may be
 * passed again). Host thread. */
MV_API int mvInitialize(MvDispatcher *dispatcher);

/* mvUninitialize: deletes every sink (releasing every clip), disconnects
 * and destroys the dispatcher. 0, -99, or a dispatcher status; when the
 * dispatcher could not run the teardown (-1, -95) the library stays
 * initialised and the call may be repeated. Any host thread. */
MV_API int mvUninitialize(void);

/* mvRefreshDeviceList: rebuilds the device list (rescanning backend 6).
 * 0, -99, -94, -1, or a dispatcher status. */
MV_API int mvRefreshDeviceList(void);

/* mvGetBackendError: the connection result of a backend (0..7) at the last
 * start-up: 0 connected, -98 never tried, else the negated libsoundio
 * error. -92 outside 0..7, -99 not initialised. */
MV_API int mvGetBackendError(int backend);

/* mvGetBackendName: libsoundio's name for a backend number (7: the
 * fallback backend's name). No initialisation, no lock. Any thread. */
MV_API const char *mvGetBackendName(int backend);

/* mvGetDeviceCount: number of output devices, or -99. */
MV_API int mvGetDeviceCount(void);

/* mvGetDefaultDevice: index of the default device, or -99. */
MV_API int mvGetDefaultDevice(void);

/* mvGetDeviceName: "Automatic" for -1, the device's name for a valid index,
 * null otherwise or when not initialised. */
MV_API const char *mvGetDeviceName(int index);

/* mvGetDeviceID: "auto" for -1, the device's identifier for a valid index,
 * null otherwise or when not initialised. */
MV_API const char *mvGetDeviceID(int index);

/* mvGetDeviceBackend: backend number of a device (7 for the fallback
 * connection's); for -1, of the preferred connection's default device now
 * (the fallback device when it has none). -92 bad index, -96, -99. */
MV_API int mvGetDeviceBackend(int index);

/* mvFlushDeviceEventsImpl: delivers pending device events of the preferred
 * connection (only when two are connected). Engine side, under the lock. */
MV_API void mvFlushDeviceEventsImpl(void);

/* ------------------------------------------------------------------------ */
/* Machine framework (also for host-written machines)                       */
/* ------------------------------------------------------------------------ */

/* mvInitMachine: fills a head with the pointers and gain 1, frequency 1.
 * Returns 0. Control side. */
MV_API int mvInitMachine(MvMachine *machine, void *self, MvDestination *destination,
                         MvSource *source, MvSink *sink, int (*deleteFunc)(MvMachine *machine));
/* mvUninitMachine: nothing to release; for symmetry. */
MV_API void mvUninitMachine(MvMachine *machine);

/* mvInitSource: stores owner, destination and callbacks, clears the links.
 * Returns 0. Control side. */
MV_API int mvInitSource(MvSource *source, MvMachine *owner, MvDestination *destination,
                        MvRenderFunc renderFunc, MvMessageFunc releaseFunc);
/* mvUninitSource: nothing to release; for symmetry. */
MV_API void mvUninitSource(MvSource *source);

/* mvInitDestination: stores the machine and installs the default pull
 * record. 0 or -1 (pull left null). Control side. */
MV_API int mvInitDestination(MvDestination *destination, MvMachine *machine);
/* mvUninitDestination: retires the pull record and releases every connected
 * source through its releaseFunc. Control side. */
MV_API void mvUninitDestination(MvDestination *destination);

/* mvSourceConnect / mvSourceDisconnect: append to / unlink from the
 * destination's connected list. Control side, under the lock. */
MV_API void mvSourceConnect(MvSource *source);
MV_API void mvSourceDisconnect(MvSource *source);

/* mvSourceActivate / mvSourceDeactivate: append to / unlink from the active
 * list. Up-message callbacks: audio thread (post(sink, mvSourceActivate,
 * source)). */
MV_API void mvSourceActivate(MvSink *sink, MvSource *source);
MV_API void mvSourceDeactivate(MvSink *sink, MvSource *source);

/* mvDestinationPullImpl: the default pull; renders every active source in
 * activation order. Returns 0. Audio thread. */
MV_API int mvDestinationPullImpl(MvSink *sink, MvPullRecord *record, float gainStart,
                                 float gainEnd, double frequencyStart, double frequencyEnd,
                                 int frames, float *buffer);

/* mvAdvanceMachineRamps: advances the machine's own gain and frequency ramps
 * over a block of frames (at its sink's sample rate) and multiplies the
 * block's start and end values into the four values received from above.
 * Every render of a machine with a head of its own calls it first, so that
 * mvSetGain and mvSetFrequency work on host-written machines too. Audio
 * thread. */
MV_API void mvAdvanceMachineRamps(MvMachine *machine, int frames, float *gainStart,
                                  float *gainEnd, double *frequencyStart,
                                  double *frequencyEnd);

/* mvDestinationChangeFunc: up-message callback making record the audio-side
 * pull record and sending the old one back to be freed. Audio thread. */
MV_API void mvDestinationChangeFunc(MvSink *sink, MvPullRecord *record);

/* mvResetDestinationFunc: reinstalls the default pull record (queues
 * nothing when it is already installed). 0, -93, -87, -99, -1, or a
 * dispatcher status. Host thread. */
MV_API int mvResetDestinationFunc(MvMachine *machine);

/* mvDeferredFree: frees pointer with mvFree; the standard down-message for
 * handing memory back. Control side. */
MV_API void mvDeferredFree(MvSink *sink, void *pointer);

/* mvDeleteMachine: calls machine->deleteFunc(machine). -93 for null. */
MV_API int mvDeleteMachine(MvMachine *machine);

/* mvSetGain: sets the gain at once (seconds <= 0) or ramps to it linearly
 * over seconds; takes effect at the next chunk. -93 null; -83 gain not
 * finite or seconds NaN; -99; -1; or the dispatcher's status. Host thread. */
MV_API int mvSetGain(MvMachine *machine, double seconds, float gain);

/* mvSetFrequency: sets the rate factor at once or ramps to it. -93; -84
 * negative, infinite or NaN frequency, or NaN seconds; -99; -1; or the
 * dispatcher's status. Host thread. */
MV_API int mvSetFrequency(MvMachine *machine, double seconds, double frequency);

/* ------------------------------------------------------------------------ */
/* Message queues                                                           */
/* ------------------------------------------------------------------------ */

/* mvSendUpMessage: queues {callback, argument} for the sink's audio thread.
 * While the queue is full it reports "Overfull Up-Message queue" once and
 * waits in 8 ms steps; a sink without a stream has no consumer, so there the
 * caller drains the queue itself. 0; -97 when the wait's sleep failed; -93
 * null sink or callback; -94 sink without queues. Engine side (through the
 * dispatcher's post), holding the dispatcher lock. */
MV_API int mvSendUpMessage(MvSink *sink, MvMessageFunc callback, void *argument);

/* mvSendDownMessage: queues a message for the control side, waiting like
 * mvSendUpMessage while the queue is full. 0, or the failure status after
 * reporting "Error %i sending down-message: %s" through mvPrint (the
 * message is dropped). Audio thread (message callbacks, renders, pulls). */
MV_API int mvSendDownMessage(MvSink *sink, MvMessageFunc callback, void *argument);

/* mvFlushUpQueueImpl / mvFlushDownQueueImpl: run, in order, every message
 * queued when the call starts; messages queued meanwhile (also by the
 * callbacks) run at the next flush. 0, or -93 for a null sink. A queue
 * holding a partial message ends the process with exit status -78.
 * Consumer side of that queue only. */
MV_API int mvFlushUpQueueImpl(MvSink *sink);
MV_API int mvFlushDownQueueImpl(MvSink *sink);

/* ------------------------------------------------------------------------ */
/* Sinks                                                                    */
/* ------------------------------------------------------------------------ */

/* mvNewSink: creates a sink without a stream and adds it to mvSinkList. The
 * sink owns soundModel from then on (after a failure it is still yours).
 * bufferSize is the chunk rendered at a time and sets the stream latency;
 * the mix buffer of one chunk is reserved here, so any positive size works.
 * 0, -99, -93, -82 bufferSize <= 0, -1. Host thread. */
MV_API int mvNewSink(MvSink **out, MvSoundModel *soundModel, int bufferSize);

/* mvOpenSink: opens a stream on a device (-1 automatic: the system default,
 * followed when it changes) at the supported rate nearest sampleRate,
 * replacing a stream the sink already has. 0 also when the fallback
 * configuration (fallback device, 8000 Hz) is used (see mvGetSinkError);
 * -99, -93, -86, -92 bad index, -94, -1, a negated libsoundio error (then
 * the sink has no stream). Host thread. */
MV_API int mvOpenSink(MvSink *sink, int deviceIndex, int sampleRate);

/* mvDeleteSink: deletes a sink with everything below it (clips released).
 * 0, -99, -93, -86 not a sink, -94 not in the sink list. Host thread. */
MV_API int mvDeleteSink(MvMachine *sink);

/* mvGetSinkError: why the machine's sink is on the fallback configuration
 * or has no stream: 0 when it plays as asked, -91 no usable format, -8
 * stream error, -12 server lost, or the libsoundio error of the failed
 * open. -99, -93. Host thread. */
MV_API int mvGetSinkError(MvMachine *machine);

/* mvGetSampleRate: the rate of the machine's sink's stream or loopback
 * configuration; -89 without either; -99, -93. Host thread. */
MV_API int mvGetSampleRate(MvMachine *machine);

/* mvGetSpeakerCount: the channel count of the stream's layout (or of the
 * loopback configuration); -90 without either; -99, -93. Host thread. */
MV_API int mvGetSpeakerCount(MvMachine *machine);

/* mvOpenLoopbackSink: configures a sink as if a stream had opened with the
 * given rate, libsoundio's default layout for channelCount and the given
 * format (converted with clipping, no dither), without a device; a stream
 * the sink had is closed. The host then drives it with
 * mvRenderLoopbackSink. 0, -99, -93, -86, -89 rate <= 0, -90 no default
 * layout for channelCount, -91 unknown format. Host thread. */
MV_API int mvOpenLoopbackSink(MvSink *sink, int sampleRate, int channelCount, int format);

/* mvRenderLoopbackSink: runs the write-callback path for frames frames into
 * output (interleaved, the loopback format): queued changes, chunks of at
 * most bufferSize, ramps, pull, sound model and converter. The calling
 * thread takes the audio thread's role for this sink: render from one
 * thread, and make no control calls on this sink's tree from another thread
 * during a render (a loopback sink has no stream, so a control call that
 * finds its up queue full drains it itself). 0, -93, -86, -82 (frames < 0),
 * -85 (no loopback configuration). Takes no lock. */
MV_API int mvRenderLoopbackSink(MvSink *sink, int frames, void *output);

/* ------------------------------------------------------------------------ */
/* Sound models                                                             */
/* ------------------------------------------------------------------------ */

/* mvNewMonoSoundModel / mvNewStereoSoundModel: allocate a sound model (one
 * mvMalloc block) for mvNewSink, which then owns it. Mono mixes one channel
 * and writes it to every device channel; stereo mixes left and right and
 * spreads them over five speaker groups built from the device layout.
 * 0; -1 on allocation failure (out untouched); -93 for a null out.
 * Any thread. writeDevice converts a chunk of any length with constant
 * stack use. */
MV_API int mvNewMonoSoundModel(MvSoundModel **out);
MV_API int mvNewStereoSoundModel(MvSoundModel **out);

/* ------------------------------------------------------------------------ */
/* Mixer                                                                    */
/* ------------------------------------------------------------------------ */

/* mvNewMixer: a mixer under parent's destination. 0, -93, -87, -1. */
MV_API int mvNewMixer(MvMixer **out, MvMachine *parent);
/* mvDeleteMixer: detaches and frees a mixer and its subtree. 0, -93, -86. */
MV_API int mvDeleteMixer(MvMachine *mixer);

/* ------------------------------------------------------------------------ */
/* Sampler                                                                  */
/* ------------------------------------------------------------------------ */

MV_API int mvNewSampler(MvSampler **out, MvMachine *parent);
MV_API int mvDeleteSampler(MvMachine *sampler);
MV_API int mvEnqueueClip(MvMachine *sampler, int removeWhenDone, MvClipRelease release,
                         void *releaseContext, int channels, double sampleRate, int format,
                         int nativeByteOrder, int frames, void *data);
MV_API int mvClearClipQueue(MvMachine *sampler);
MV_API int mvGetClipQueueSize(MvMachine *sampler);
MV_API int mvGetProcessedClips(MvMachine *sampler);
MV_API int mvPlay(MvMachine *sampler);
MV_API int mvPlayAt(MvMachine *sampler, double seconds);
MV_API int mvStop(MvMachine *sampler);
MV_API int mvPause(MvMachine *sampler);
MV_API int mvResume(MvMachine *sampler);
MV_API int mvEnsurePlaying(MvMachine *sampler);
MV_API int mvGetState(MvMachine *sampler);
MV_API int mvSetLooping(MvMachine *sampler, int looping);
MV_API int mvGetLooping(MvMachine *sampler);
MV_API int mvSetLoopStart(MvMachine *sampler, double seconds);
MV_API double mvGetLoopStart(MvMachine *sampler);
MV_API int mvSetInterpolation(MvMachine *sampler, int on);
MV_API int mvGetInterpolation(MvMachine *sampler);
/* mvSetChannelMatrix: mixes the sampler's source channels into the model's
 * channel vectors with sourceChannels x vectorSize weights (copied), ramped
 * over rampTime seconds from a matrix set before, else at once; null
 * weights clear the matrix. 0; -93; -86 not a sampler; -81 vectorSize is
 * not the sink model's; -90 sourceChannels outside 1..64, or
 * sourceChannels x vectorSize above 128 (a host model with wide vectors);
 * -1; a dispatcher status. Control side. */
MV_API int mvSetChannelMatrix(MvMachine *sampler, double rampTime, int sourceChannels,
                              int vectorSize, const float *weights);
MV_API int mvClearChannelMatrix(MvMachine *sampler);

/* ------------------------------------------------------------------------ */
/* Converters and dither (any thread)                                       */
/* ------------------------------------------------------------------------ */

/* mvSelectConverter: the routine for a pair of formats and the clip and
 * dither flags (only their low byte is examined; clip matters only from
 * float32, dither only where a dithered form exists). Null when a format is
 * outside 0..5; no side effects. The routines are reentrant, never
 * allocate, and may run on an audio thread; a dithering routine advances
 * the state it is given once per sample, the others accept a null state. */
MV_API MvConverter mvSelectConverter(int sourceFormat, int destinationFormat, int clip,
                                     int dither);
/* mvInitializeTriangularDitherState: previous 0, generator states 22222 and 5555555.
 * A state serves one thread at a time. */
MV_API void mvInitializeTriangularDitherState(MvTriangularDitherState *state);
/* mvGenerate16BitTriangularDither: advances the state and returns the next
 * high-passed triangular value, -32766..32766. */
MV_API int32_t mvGenerate16BitTriangularDither(MvTriangularDitherState *state);
/* mvGenerateFloatTriangularDither: the same step, times the float nearest
 * 1/32767 (bits 0x38000100). */
MV_API float mvGenerateFloatTriangularDither(MvTriangularDitherState *state);

/* ------------------------------------------------------------------------ */
/* Signal processor                                                         */
/* ------------------------------------------------------------------------ */

/* Global interrupt table used by every program; writable by hosts. */
extern MV_API MvDspInterruptHandler mvDSPInterruptCallbacks[256];

/* mvSetDSP: attaches a program to the machine's destination (a sink or a
 * mixer), replacing what was attached. The image is programLength +
 * 4 * channels * bufferSize + stackSize bytes. initCount words (copied) form
 * the initial message for routine 1; initWords may be null when initCount is
 * 0. The program initialises at once when the sink has an output, else when
 * it opens one. 0; -93 null machine or program, negative initCount, or
 * words missing; -87 no destination; -80 image over 65535 bytes; -1 (nothing
 * attached); a dispatcher status. Control side. */
MV_API int mvSetDSP(MvMachine *machine, uint16_t programLength, const uint8_t *program,
                    uint16_t stackSize, int32_t initCount, const int32_t *initWords);
/* mvSendDSPMessage: queues count words (copied) for routine 2, run before the
 * next block the sink renders, in the order sent. 0 (also when the program
 * has failed: the message is then dropped); -93 null machine, negative count
 * or words missing; -87; -85 no program attached; -1; a dispatcher status.
 * Control side. */
MV_API int mvSendDSPMessage(MvMachine *machine, int32_t count, const int32_t *words);
/* mvGetDSPError: the program's first failure, once published (at once for
 * routines 0 and 1, after the next down-queue drain for routines 2 and 3).
 * Every output may be null; registers takes 20 words, trace up to 255
 * entries (the failing pc, then return addresses, innermost first).
 * *traceLength is set to 0 before any check. The failure's MvDspStatus
 * 1..9; 0 no failure (outputs untouched); -93; -87; -85; a dispatcher
 * status. Control side. */
MV_API int mvGetDSPError(MvMachine *machine, uint8_t *routine, uint32_t *registers,
                         uint8_t *traceLength, uint16_t *trace);
MV_API const char *mvGetDSPErrorString(uint32_t code);
MV_API const char *mvGetDSPRoutineName(uint32_t index);
MV_API int mvGetDSPVersion(void);
/* mvDSPAddResource: registers data with its release routine (also its kind)
 * in a program's resource list, doubling the list with mvRealloc when full.
 * The new handle (>= 1); -93 null list; -94 the list is sealed (called from
 * routine 2 or 3, on the audio thread: nothing is allocated); -1 the list
 * cannot grow. Whichever thread runs the program's routine 0 or 1. */
MV_API int mvDSPAddResource(MvDspResourceList *list, MvDspResourceRelease release, void *data);

#ifdef __cplusplus
}
#endif

#endif /* MAROVEL_AUDIO_H */
