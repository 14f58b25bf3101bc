/*
 * marovel_audio — real-time audio playback engine.
 *
 * The one public header of the engine library. It compiles as C99 and as C++.
 * Every call returns an MvStatus (0 success, -1 out of memory, -100..-80 the
 * engine's own errors, any other negative value a negated libsoundio error
 * number) or a value, unless its comment says otherwise. "A dispatcher
 * status" is what the installed dispatcher's lock, unlock, post or run
 * returned (-1, -95 or -96).
 *
 * Threads. Every call's comment names where it may be called from, in one of
 * these four words:
 *
 *   any thread        Needs no initialisation and takes no lock. "Any
 *                     thread, the audio thread too" where it also never
 *                     allocates, locks, blocks or calls the host.
 *   a control thread  A host thread calling the engine: with the thread-safe
 *                     dispatcher any host thread, with the thread-unsafe one
 *                     one thread at a time. The call takes the dispatcher
 *                     lock itself, so the caller must not be holding it.
 *   under the lock    Code that already holds the dispatcher lock: a host
 *                     between mvDispatcher->lock() and unlock() or post(),
 *                     a function given to run(), and every down-message
 *                     callback and release callback (the engine runs them
 *                     under the lock while it drains a sink's down queue).
 *                     The call takes no lock of its own.
 *   the audio thread  A sink's stream callback on libsoundio's thread, or
 *                     the thread inside mvRenderLoopbackSink, with every
 *                     up-message callback, render and pull it runs. Code
 *                     there never allocates, locks or calls the host.
 *
 * Records that both sides use mark their fields the same way: "under the
 * lock" fields belong to the control side, "the audio thread" fields change
 * only on the audio thread (by up-messages and renders); off the audio
 * thread the host reads them only through the engine's calls.
 *
 * libsoundio records appear only as pointers to incomplete types, so a host
 * needs no libsoundio headers to use this one.
 */
#ifndef MAROVEL_AUDIO_H
#define MAROVEL_AUDIO_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(MAROVEL_AUDIO_BUILD)
#define MV_API __declspec(dllexport)
#else
#define MV_API __declspec(dllimport)
#endif
#else
#define MV_API __attribute__((visibility("default")))
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

#define MV_OK 0
#define MV_ERROR_NO_MEMORY -1
#define MV_ERROR_ALREADY_INITIALIZED -100
#define MV_ERROR_NOT_INITIALIZED -99
#define MV_ERROR_BACKEND_NOT_TRIED -98
#define MV_ERROR_THREAD -97
#define MV_ERROR_MUTEX -96
#define MV_ERROR_CONDITION -95
#define MV_ERROR_INCONSISTENT -94
#define MV_ERROR_NULL_POINTER -93
#define MV_ERROR_INDEX -92
#define MV_ERROR_SAMPLE_FORMAT -91
#define MV_ERROR_SPEAKER_LAYOUT -90
#define MV_ERROR_SAMPLE_RATE -89
#define MV_ERROR_NOT_SOURCE -88
#define MV_ERROR_NOT_DESTINATION -87
#define MV_ERROR_MACHINE_TYPE -86
#define MV_ERROR_PULL_FUNCTION -85
#define MV_ERROR_FREQUENCY -84
#define MV_ERROR_GAIN -83
#define MV_ERROR_BUFFER_SIZE -82
#define MV_ERROR_VECTOR_SIZE -81
#define MV_ERROR_DSP_TOO_LARGE -80

/* ------------------------------------------------------------------------ */
/* Sample formats                                                           */
/* ------------------------------------------------------------------------ */

typedef int MvSampleFormat;

#define MV_FORMAT_FLOAT32 0
#define MV_FORMAT_INT32 1
#define MV_FORMAT_INT24 2
#define MV_FORMAT_INT16 3
#define MV_FORMAT_INT8 4
#define MV_FORMAT_UINT8 5

/* ------------------------------------------------------------------------ */
/* Sampler states (mvGetState)                                              */
/* ------------------------------------------------------------------------ */

#define MV_SAMPLER_STOPPED 0 /* not rendering; the queue is kept */
#define MV_SAMPLER_PLAYING 1 /* rendering the current clip */
#define MV_SAMPLER_PAUSED 2  /* rendering with the position held (rate 0) */

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

/* A message callback. Up-messages run on the audio thread, down-messages
 * under the lock (see Threads above). */
typedef void (*MvMessageFunc)(MvSink *sink, void *argument);

/* One queued message: {callback, argument}, stored whole in a queue. */
typedef struct MvMessage {
    MvMessageFunc callback;
    void *argument;
} MvMessage;

/* The installed dispatcher: a context word and five operations that find
 * their state through mvDispatcher (they take no self argument). Hosts call
 * the operations only to write their own machines (README). */
typedef struct MvDispatcher {
    void *context;
    /* Takes the lock. 0 or -96. A control thread. */
    int (*lock)(void);
    /* Releases it. 0 or -96. Under the lock. */
    int (*unlock)(void);
    /* Has mvSendUpMessage(sink, callback, argument) done on the engine side
     * and releases the lock on every path (do not unlock after it). 0, -1,
     * -95 or -96; the status of the queued send reaches nobody. A failure
     * means nothing was queued, except -96 (only the unlock failed), after
     * which the message is queued and will run. Under the lock. */
    int (*post)(MvSink *sink, MvMessageFunc callback, void *argument);
    /* Runs fn(argument) on the engine side (the engine thread of the
     * thread-safe dispatcher) and returns its result; the lock stays held.
     * fn must never return 1. -1 or -95 when it could not run. Under the
     * lock. */
    int (*run)(int (*fn)(void *argument), void *argument);
    /* Tears the dispatcher down and leaves no lock behind (mvUninitialize
     * calls it). Under the lock. */
    int (*destroy)(void);
} MvDispatcher;

/* State of the triangular dither generator (mvInitializeTriangularDitherState).
 * A state serves one thread at a time. */
typedef struct MvTriangularDitherState {
    int32_t previous;
    uint32_t seed1;
    uint32_t seed2;
} MvTriangularDitherState;

/* Sample conversion routine: count samples from src (stride srcStride,
 * counted in source samples) to dst (stride dstStride). Any thread, the
 * audio thread too. */
typedef void (*MvConverter)(void *dst, int dstStride, const void *src, int srcStride,
                            unsigned int count, MvTriangularDitherState *dither);

/* Render of a source: adds frames into buffer and returns the next source
 * to render (normally its own activeNext). The audio thread. */
typedef MvSource *(*MvRenderFunc)(MvSink *sink, void *self, float gainStart, float gainEnd,
                                  double frequencyStart, double frequencyEnd, int frames,
                                  float *buffer);

/* Pull of a destination: asks its sources for frames. The audio thread. */
typedef int (*MvPullFunc)(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
                          double frequencyStart, double frequencyEnd, int frames, float *buffer);

/* The machine head every node embeds. */
struct MvMachine {
    /* Set by mvInitMachine, then fixed. */
    void *self;
    MvDestination *destination;
    MvSource *source;
    MvSink *sink;
    /* The audio thread: the block's ramps (changed only by the up-messages
     * of mvSetGain / mvSetFrequency and by the renders). */
    float gainStart;
    float gain;
    float gainTarget;
    float gainSlope;
    double frequencyStart;
    double frequency;
    double frequencyTarget;
    double frequencySlope;
    /* Set by mvInitMachine, then fixed: the delete call, also the type tag. */
    int (*deleteFunc)(MvMachine *machine);
};

/* A destination's pull function and its data. Filled before it is
 * installed, then fixed. */
struct MvPullRecord {
    MvDestination *destination;
    void *userData;
    MvPullFunc pullFunc;                       /* runs on the audio thread */
    void (*prepareFunc)(MvPullRecord *record); /* runs under the lock, or null */
    MvMessageFunc freeFunc;                    /* runs under the lock */
};

struct MvDestination {
    MvMachine *machine;      /* fixed */
    MvPullRecord *pull;      /* under the lock: the record last installed */
    MvPullRecord *audioPull; /* the audio thread: the record in use */
    MvSource *connectedHead; /* under the lock */
    MvSource *connectedTail; /* under the lock */
    MvSource *activeHead;    /* the audio thread */
    MvSource *activeTail;    /* the audio thread */
};

struct MvSource {
    MvMachine *owner;           /* fixed */
    MvDestination *destination; /* fixed */
    MvSource *connectedPrev;    /* under the lock */
    MvSource *connectedNext;    /* under the lock */
    MvSource *activePrev;       /* the audio thread */
    MvSource *activeNext;       /* the audio thread */
    MvRenderFunc renderFunc;    /* fixed; runs on the audio thread */
    MvMessageFunc releaseFunc;  /* fixed; runs under the lock */
};

/* A sink's mix shape and its output operations. */
struct MvSoundModel {
    /* Fixed at creation. */
    int32_t channelCount;
    int32_t vectorSize;
    /* Written only by configure. */
    uint8_t *speakerGroups;
    /* Runs under the lock, after the stream opened and before it starts. */
    void (*configure)(MvSoundModel *model, struct SoundIoOutStream *stream);
    /* The next four run on the audio thread. */
    void (*accumulate)(MvSoundModel *model, int frames, const float *source, float *destination);
    void (*mixFrame)(MvSoundModel *model, float gain, int sourceChannels, const float *weights,
                     const float *sourceFrame, float *destinationFrame);
    void (*mixFrameWeighted)(MvSoundModel *model, float gain, int sourceChannels,
                             const float *weights, const float *sourceFrame,
                             float *destinationFrame);
    void (*writeDevice)(MvSoundModel *model, const struct SoundIoChannelLayout *layout,
                        MvConverter converter, MvTriangularDitherState *dither, int bytesPerSample,
                        int byteSwap, int frames, const float *mix,
                        struct SoundIoChannelArea *areas);
    /* Runs under the lock, when the sink is freed. */
    void (*destroy)(MvSoundModel *model);
};

/* The root machine: one output stream and the two message queues. Only
 * mvNewSink makes sinks (the engine keeps private state after the record).
 * The fields below dither are under the lock: the open work changes them
 * only while no stream runs, so the audio thread reads them unguarded. */
struct MvSink {
    MvMachine base;
    MvDestination destination;
    MvTriangularDitherState dither; /* the audio thread */
    int bufferSize;                 /* fixed */
    MvSoundModel *soundModel;       /* fixed; owned */
    int error;
    int deviceIndex;
    int requestedRate;
    int sampleRate;
    int speakerCount;
    MvSampleFormat deviceFormat;
    int sampleSize;
    uint8_t byteSwap;
    struct SoundIoRingBuffer *upQueue;   /* fixed; written under the lock */
    struct SoundIoRingBuffer *downQueue; /* fixed; written on the audio thread */
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

/* Release callback of a clip: called once per clip with its data and
 * context, when the engine has let go of it. Runs under the lock, never on
 * the audio thread. It may call any engine function except mvUninitialize,
 * for instance enqueue the next clip of a stream (mvDeleteSink of the
 * clip's own sink answers -94). */
typedef void (*MvClipRelease)(void *data, void *context);

/* A queued clip. mvEnqueueClip fills it; afterwards only the queue links
 * change. */
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
    MvClip *prev; /* the audio thread */
    MvClip *next; /* the audio thread */
};

/* Channel matrix header; the weights (and, for a ramped matrix, the ramp
 * weights) follow it in the same allocation. */
struct MvChannelMatrix {
    MvSampler *sampler;     /* fixed */
    double rampTime;        /* the audio thread, once installed */
    int32_t sourceChannels; /* fixed */
    float *current;         /* the audio thread, once installed */
    float *target;          /* fixed */
};

/* A sampler. Every value is kept twice where both sides need it: the
 * control copy under the lock, the audio copy on the audio thread. States
 * are MV_SAMPLER_STOPPED, MV_SAMPLER_PLAYING, MV_SAMPLER_PAUSED. */
struct MvSampler {
    MvMachine machine;
    MvSource source;
    MvChannelMatrix *controlMatrix; /* under the lock */
    MvChannelMatrix *audioMatrix;   /* the audio thread */
    MvClip *head;                   /* the audio thread */
    MvClip *tail;                   /* the audio thread */
    MvClip *current;                /* the audio thread */
    double position;                /* the audio thread: frames into current */
    double audioLoopStart;          /* the audio thread: seconds */
    double controlLoopStart;        /* under the lock: seconds */
    int32_t controlState;           /* under the lock: as last known */
    int32_t audioState;             /* the audio thread: authoritative */
    int32_t processedClips;         /* under the lock */
    int32_t queuedClips;            /* under the lock */
    uint8_t controlLooping;         /* under the lock */
    uint8_t audioLooping;           /* the audio thread */
    uint8_t controlInterpolation;   /* under the lock */
    uint64_t audioInterpolation;    /* the audio thread: all ones when on */
    /* Added after the original fields, which keep their layout (see
     * mvSetResampler and mvSetTransitionFade). */
    int32_t controlResampler; /* under the lock: MV_RESAMPLER_* as last set */
    void *resamplerState;     /* under the lock: the band-limited state, once made */
    void *audioResampler;     /* the audio thread: that state while band-limited, else null */
    double controlFade;       /* under the lock: transition fade time as last set */
    void *fadeState;          /* under the lock: the fade state, once made */
    void *audioFade;          /* the audio thread: that state once a fade time arrived */
};

/* Registry records (exported data, see below); all under the lock. */
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

#define MV_DSP_OK 0
#define MV_DSP_NOT_RESPONDING 1
#define MV_DSP_UNKNOWN_OPCODE 2
#define MV_DSP_UNSUPPORTED_OPCODE 3
#define MV_DSP_INVALID_REGISTER 4
#define MV_DSP_INTERRUPT_ERROR 5
#define MV_DSP_STACK_OVERFLOW 6
#define MV_DSP_STACK_UNDERFLOW 7
#define MV_DSP_INVALID_ADDRESS 8
#define MV_DSP_BAD_RESULT 9

/* Routine numbers of a program (texts from mvGetDSPRoutineName). */
#define MV_DSP_ROUTINE_INIT 0
#define MV_DSP_ROUTINE_INIT_MESSAGE 1
#define MV_DSP_ROUTINE_MAIN_MESSAGE 2
#define MV_DSP_ROUTINE_MAIN 3

#define MV_DSP_REGISTER_COUNT 20
#define MV_DSP_PC 16
#define MV_DSP_FP 17
#define MV_DSP_SP 18
#define MV_DSP_LR 19
#define MV_DSP_TRACE_CAPACITY 255

/* Called by the interrupt instruction; non-zero low byte = served. Runs
 * where the routine runs: routines 0 and 1 under the lock, routines 2 and 3
 * on the audio thread. */
typedef int (*MvDspInterruptCallback)(MvDspVm *vm, uint32_t number);

/* A program's machine. Used by whichever side runs the routine: routines 0
 * and 1 under the lock (while no stream runs or before the record is
 * installed), routines 2 and 3 on the audio thread. */
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
 * code that the program finds in R0. Runs where the routine runs (see
 * MvDspInterruptCallback); on the audio thread it must not allocate or
 * lock, so a service that creates a resource belongs in routines 0 and 1. */
typedef int32_t (*MvDspInterruptHandler)(MvDspVm *vm, int number);

/* A program resource: its release routine doubles as its kind. It runs
 * under the lock, when the program is reinitialised or released. */
typedef void (*MvDspResourceRelease)(void *data);

typedef struct MvDspResourceEntry {
    MvDspResourceRelease release;
    void *data;
} MvDspResourceEntry;

/* Grown (mvDSPAddResource) and emptied under the lock only; the audio
 * thread only finds entries by handle. Entry 0 is reserved. */
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

/* A message for routine 1 or 2; its words follow the header. Filled under
 * the lock, then handed to the audio thread by an up-message. */
typedef struct MvDspMessage {
    MvDspState *state;
    int32_t count;
    int32_t *words;
    struct MvDspMessage *next;
} MvDspMessage;

/* The first recorded failure of a program. Written where the failing
 * routine ran; the control side reads it only once it is published. */
typedef struct MvDspReport {
    int32_t status;
    uint32_t registers[MV_DSP_REGISTER_COUNT];
    int32_t routine;
    uint8_t traceLength;
    uint16_t trace[MV_DSP_TRACE_CAPACITY];
} MvDspReport;

/* A program's state. The entries are set by routine 0 (under the lock). */
struct MvDspState {
    MvDspVm *vm;
    uint16_t sampleAddress;
    uint16_t initMessageEntry;
    uint16_t mainMessageEntry;
    uint16_t mainEntry;
    MvDspMessage *messages;      /* the audio thread, once installed */
    MvDspReport *publishedError; /* under the lock: set when the failure is visible */
    MvDspReport report;          /* see MvDspReport */
};

/* The signal-processor pull record: starts with the five words of
 * MvPullRecord and shares their owners; state and resources are owned as
 * their records say. */
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

/* mvMalloc / mvRealloc / mvFree: the allocator hooks, used for every engine
 * record; initially the C library's malloc, realloc and free. Set them
 * before mvInitialize and leave them alone while any engine object exists
 * (memory is released through the hooks current at release time). Read
 * without synchronisation: set them from any thread while the engine is
 * idle. */
extern MV_API void *(*mvMalloc)(size_t size);
extern MV_API void *(*mvRealloc)(void *pointer, size_t size);
extern MV_API void (*mvFree)(void *pointer);
/* mvPrint: the printf-style hook for every diagnostic; null (silent) by
 * default. The engine calls it from any thread, the audio thread too, and
 * from several threads at once: it must be thread-safe and quick. Set it
 * like the allocator hooks. */
extern MV_API int (*mvPrint)(const char *format, ...);

/* mvGetErrorString: the text of a status. For -100..-80 the engine's table
 * text; for any other value libsoundio's text for the error number -code.
 * Any thread, the audio thread too. */
MV_API const char *mvGetErrorString(int code);

/* mvGetVersion: the interface version, 4. Any thread, the audio thread too. */
MV_API int mvGetVersion(void);

/* mvIsLittleEndian: 1 when the library's native byte order is little-endian,
 * else 0. Any thread, the audio thread too. */
MV_API int mvIsLittleEndian(void);

/* mvGetSampleFormatName: "float32", "int32", "int24", "int16", "int8",
 * "uint8" for 0..5; null for any other value. Any thread, the audio thread
 * too. */
MV_API const char *mvGetSampleFormatName(int format);

/* mvGetSampleSize: bytes per sample of a format (4, 4, 3, 2, 1, 1); -91 for
 * any value outside 0..5. Any thread, the audio thread too. */
MV_API int mvGetSampleSize(int format);

/* mvByteSwap: reverses in place the bytes of count values of sampleSize
 * bytes; consecutive values lie stride * sampleSize bytes apart. A count
 * of 0 or less, or a sampleSize below 2, does nothing. Any thread, the
 * audio thread too. */
MV_API void mvByteSwap(void *data, int stride, int sampleSize, int count);

/* mvSleep: sleeps the given milliseconds. 0 when the full time was slept,
 * -97 when the sleep ended early or failed; a negative time sleeps 0 ms
 * and returns 0. Any thread. */
MV_API int mvSleep(int milliseconds);

/* ------------------------------------------------------------------------ */
/* Dispatchers                                                              */
/* ------------------------------------------------------------------------ */

/* mvDispatcher: the installed dispatcher; null while the library is not
 * initialised. Set by mvInitialize and cleared by the dispatcher's destroy;
 * hosts only read it. Under the lock (or a control thread, to test for
 * null). */
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

/* mvDeleteDispatcher: destroys a dispatcher that is not installed (never
 * passed to mvInitialize, or whose mvInitialize failed): ends its engine
 * thread, if it has one, and frees it. An installed dispatcher is destroyed
 * by mvUninitialize instead. 0, -93 null dispatcher, -100 the dispatcher is
 * installed (nothing happens), -96 mutex, -97 the engine thread could not
 * be joined, or the engine thread's own failure status (the record is then
 * freed all the same). Any thread except the dispatcher's engine thread. */
MV_API int mvDeleteDispatcher(MvDispatcher *dispatcher);

/* ------------------------------------------------------------------------ */
/* Lifecycle and device registry                                            */
/* ------------------------------------------------------------------------ */

/* mvBackendOrder: the backend preference order, read by mvInitialize;
 * zeros are skipped. Initially 2, 3, 5, 6, 4, 1, 7. Numbers: 1 JACK,
 * 2 PulseAudio, 3 ALSA, 4 CoreAudio, 5 WASAPI, 6 Dummy, 7 the fallback
 * connection (Dummy). Any thread, before mvInitialize. */
extern MV_API int mvBackendOrder[7];
/* mvBackendList: the connected libsoundio contexts (the preferred one
 * first, then the fallback) and every backend's result at the last
 * start-up. Under the lock; read it elsewhere only while no engine call
 * runs. */
extern MV_API MvBackendList mvBackendList;
/* mvDeviceList: the flat list of output devices (the fallback connection's
 * first), each holding one reference, with the default indices. Under the
 * lock, like mvBackendList. */
extern MV_API MvDeviceList mvDeviceList;
/* mvSinkList: every sink in creation order. Under the lock, like
 * mvBackendList. */
extern MV_API MvSinkList mvSinkList;

/* mvInitialize: installs the dispatcher and connects the backends.
 * 0; -100 already initialised; -93 null dispatcher; -92 an order entry
 * outside 0..7; -1; -98 no backend in the order; -94 no fallback device; a
 * negated libsoundio error (of the last backend tried). On failure the
 * dispatcher is not installed (it still belongs to the host and may be
 * passed again). A control thread. */
MV_API int mvInitialize(MvDispatcher *dispatcher);

/* mvUninitialize: deletes every sink (releasing every clip), disconnects
 * and destroys the dispatcher. 0, -99, or a dispatcher status; when the
 * dispatcher could not run the teardown (-1, -95) the library stays
 * initialised and the call may be repeated. A control thread (never a
 * release callback). */
MV_API int mvUninitialize(void);

/* mvRefreshDeviceList: rebuilds the device list (rescanning backend 6);
 * indices may then name other devices, open sinks keep theirs. 0, -99,
 * -94 the system changed during the scan or has no fallback device, -1,
 * or a dispatcher status. A control thread. */
MV_API int mvRefreshDeviceList(void);

/* mvGetBackendError: the connection result of a backend (0..7) at the last
 * start-up: 0 connected, -98 never tried, else the negated libsoundio
 * error. -92 outside 0..7, -99 not initialised, or a dispatcher status. A
 * control thread. */
MV_API int mvGetBackendError(int backend);

/* mvGetBackendName: libsoundio's name for a backend number (7: the
 * fallback backend's name); null outside 0..7. Any thread. */
MV_API const char *mvGetBackendName(int backend);

/* mvGetDeviceCount: number of output devices; -99, or a dispatcher status.
 * A control thread. */
MV_API int mvGetDeviceCount(void);

/* mvGetDefaultDevice: index of the default device at the last refresh; -99,
 * or a dispatcher status. A control thread. */
MV_API int mvGetDefaultDevice(void);

/* mvGetDeviceName: "Automatic" for -1, the device's name for a valid index,
 * null otherwise, when not initialised or when the lock fails. The text
 * stays valid until the next refresh or mvUninitialize. A control thread. */
MV_API const char *mvGetDeviceName(int index);

/* mvGetDeviceID: "auto" for -1, the device's identifier for a valid index,
 * null otherwise, as mvGetDeviceName. A control thread. */
MV_API const char *mvGetDeviceID(int index);

/* mvGetDeviceBackend: backend number of a device (7 for the fallback
 * connection's); for -1, of the preferred connection's default device now
 * (the fallback device when it has none). -92 bad index, -96, -99. A
 * control thread. */
MV_API int mvGetDeviceBackend(int index);

/* mvFlushDeviceEventsImpl: delivers pending device events of the preferred
 * connection (only when two are connected); default-device changes move
 * automatic sinks from inside it. The dispatchers call it. Under the lock. */
MV_API void mvFlushDeviceEventsImpl(void);

/* ------------------------------------------------------------------------ */
/* Machine framework (also for host-written machines)                       */
/* ------------------------------------------------------------------------ */

/* mvInitMachine: fills a head with the pointers and gain 1, frequency 1.
 * Returns 0. Any thread, before the node is connected. */
MV_API int mvInitMachine(MvMachine *machine, void *self, MvDestination *destination,
                         MvSource *source, MvSink *sink, int (*deleteFunc)(MvMachine *machine));
/* mvUninitMachine: nothing to release; for symmetry. Under the lock (in
 * the node's final release). */
MV_API void mvUninitMachine(MvMachine *machine);

/* mvInitSource: stores owner, destination and callbacks, clears the links.
 * Returns 0. Any thread, before the node is connected. */
MV_API int mvInitSource(MvSource *source, MvMachine *owner, MvDestination *destination,
                        MvRenderFunc renderFunc, MvMessageFunc releaseFunc);
/* mvUninitSource: nothing to release; for symmetry. Under the lock (in the
 * node's final release). */
MV_API void mvUninitSource(MvSource *source);

/* mvInitDestination: stores the machine and installs the default pull
 * record. 0 or -1 (pull left null). Any thread, before the node is
 * connected. */
MV_API int mvInitDestination(MvDestination *destination, MvMachine *machine);
/* mvUninitDestination: retires the pull record and releases every connected
 * source through its releaseFunc. Under the lock (in the node's final
 * release). */
MV_API void mvUninitDestination(MvDestination *destination);

/* mvSourceConnect / mvSourceDisconnect: append to / unlink from the
 * destination's connected list. Under the lock. */
MV_API void mvSourceConnect(MvSource *source);
MV_API void mvSourceDisconnect(MvSource *source);

/* mvSourceActivate / mvSourceDeactivate: append to / unlink from the active
 * list; message callbacks, posted as post(sink, mvSourceActivate, source).
 * The audio thread. */
MV_API void mvSourceActivate(MvSink *sink, MvSource *source);
MV_API void mvSourceDeactivate(MvSink *sink, MvSource *source);

/* mvDestinationPullImpl: the default pull; renders every active source in
 * activation order. Returns 0. The audio thread. */
MV_API int mvDestinationPullImpl(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
                                 double frequencyStart, double frequencyEnd, int frames,
                                 float *buffer);

/* mvAdvanceMachineRamps: advances the machine's own gain and frequency ramps
 * over a block of frames (at its sink's sample rate) and multiplies the
 * block's start and end values into the four values received from above.
 * Every render of a machine with a head of its own calls it first, so that
 * mvSetGain and mvSetFrequency work on host-written machines too. The audio
 * thread. */
MV_API void mvAdvanceMachineRamps(MvMachine *machine, int frames, float *gainStart, float *gainEnd,
                                  double *frequencyStart, double *frequencyEnd);

/* mvDestinationChangeFunc: up-message callback making record the audio-side
 * pull record and sending the old one back to be freed. The audio thread. */
MV_API void mvDestinationChangeFunc(MvSink *sink, MvPullRecord *record);

/* mvResetDestinationFunc: reinstalls the default pull record (queues
 * nothing when it is already installed). 0, -93, -87, -99, -1, or a
 * dispatcher status. A control thread. */
MV_API int mvResetDestinationFunc(MvMachine *machine);

/* mvDeferredFree: frees pointer with mvFree; the standard down-message for
 * handing memory back. Under the lock. */
MV_API void mvDeferredFree(MvSink *sink, void *pointer);

/* mvDeleteMachine: calls machine->deleteFunc(machine) and returns its
 * status; -93 for null. A control thread. */
MV_API int mvDeleteMachine(MvMachine *machine);

/* mvSetGain: sets the gain at once (seconds <= 0) or ramps to it linearly
 * over seconds; takes effect at the next chunk. -93 null; -83 gain not
 * finite or seconds NaN; -99; -1; or a dispatcher status. A control
 * thread. */
MV_API int mvSetGain(MvMachine *machine, double seconds, float gain);

/* mvSetFrequency: sets the rate factor at once or ramps to it. -93; -84
 * negative, infinite or NaN frequency, or NaN seconds; -99; -1; or a
 * dispatcher status. A control thread. */
MV_API int mvSetFrequency(MvMachine *machine, double seconds, double frequency);

/* ------------------------------------------------------------------------ */
/* Message queues                                                           */
/* ------------------------------------------------------------------------ */

/* mvSendUpMessage: queues {callback, argument} for the sink's audio thread.
 * While the queue is full it reports "Overfull Up-Message queue" once and
 * waits in 8 ms steps; a sink without a stream has no consumer, so there the
 * caller drains the queue itself. 0; -97 when the wait's sleep failed; -93
 * null sink or callback; -94 sink without queues. Under the lock; hosts
 * reach it through mvDispatcher->post, which runs it on the engine side. */
MV_API int mvSendUpMessage(MvSink *sink, MvMessageFunc callback, void *argument);

/* mvSendDownMessage: queues a message for the control side, waiting like
 * mvSendUpMessage while the queue is full. 0, or the failure status after
 * reporting "Error %i sending down-message: %s" through mvPrint (the
 * message is dropped). The audio thread (message callbacks, renders,
 * pulls). */
MV_API int mvSendDownMessage(MvSink *sink, MvMessageFunc callback, void *argument);

/* mvFlushUpQueueImpl: runs, in order, every up-message queued when the call
 * starts; messages queued meanwhile run at the next flush. 0, or -93 for a
 * null sink. A queue holding a partial message ends the process with exit
 * status -78. The audio thread (the up queue's consumer). */
MV_API int mvFlushUpQueueImpl(MvSink *sink);
/* mvFlushDownQueueImpl: the same for the down queue; the dispatchers call
 * it for every sink, and a query may run it to count what the audio side
 * reported. 0 or -93. Under the lock (the down queue's consumer). */
MV_API int mvFlushDownQueueImpl(MvSink *sink);

/* ------------------------------------------------------------------------ */
/* Sinks                                                                    */
/* ------------------------------------------------------------------------ */

/* mvNewSink: creates a sink without a stream and adds it to mvSinkList. The
 * sink owns soundModel from then on (after a failure it is still yours).
 * bufferSize is the chunk rendered at a time and sets the stream latency;
 * the mix buffer of one chunk is reserved here, so any positive size works.
 * 0, -99, -93, -82 bufferSize <= 0, -1, or a dispatcher status. A control
 * thread. */
MV_API int mvNewSink(MvSink **out, MvSoundModel *soundModel, int bufferSize);

/* mvOpenSink: opens a stream on a device (-1 automatic: the system default,
 * followed when it changes) at the supported rate nearest sampleRate,
 * replacing a stream the sink already has. 0 also when the fallback
 * configuration (fallback device, 8000 Hz) is used (see mvGetSinkError);
 * -99, -93, -86, -92 bad index, -94, -1, a negated libsoundio error (then
 * the sink has no stream), or a dispatcher status. A control thread. */
MV_API int mvOpenSink(MvSink *sink, int deviceIndex, int sampleRate);

/* mvDeleteSink: deletes a sink with everything below it (clips released).
 * 0, -99, -93, -86 not a sink, -94 not in the sink list or called from a
 * release callback (or down message) of that very sink, which still works on
 * the sink when the callback returns, or a dispatcher status. A control
 * thread. */
MV_API int mvDeleteSink(MvMachine *sink);

/* mvGetSinkError: why the machine's sink is on the fallback configuration
 * or has no stream: 0 when it plays as asked, -91 no usable format, -8
 * stream error, -12 server lost, or the libsoundio error of the failed
 * open. -99, -93, or a dispatcher status. A control thread. */
MV_API int mvGetSinkError(MvMachine *machine);

/* mvGetSampleRate: the rate of the machine's sink's stream or loopback
 * configuration; -89 without either; -99, -93, or a dispatcher status. A
 * control thread. */
MV_API int mvGetSampleRate(MvMachine *machine);

/* mvGetSpeakerCount: the channel count of the stream's layout (or of the
 * loopback configuration); -90 without either; -99, -93, or a dispatcher
 * status. A control thread. */
MV_API int mvGetSpeakerCount(MvMachine *machine);

/* mvOpenLoopbackSink: configures a sink as if a stream had opened with the
 * given rate, libsoundio's default layout for channelCount and the given
 * format (converted with clipping, no dither), without a device; a stream
 * the sink had is closed. The host then drives it with
 * mvRenderLoopbackSink. 0, -99, -93, -86, -89 rate <= 0, -90 no default
 * layout for channelCount, -91 unknown format, or a dispatcher status. A
 * control thread. */
MV_API int mvOpenLoopbackSink(MvSink *sink, int sampleRate, int channelCount, int format);

/* mvRenderLoopbackSink: runs the write-callback path for frames frames into
 * output (interleaved, the loopback format): queued changes, chunks of at
 * most bufferSize, ramps, pull, sound model and converter. Render from one
 * thread, and make no control calls on this sink's tree from another thread
 * during a render (a loopback sink has no stream, so a control call that
 * finds its up queue full drains it itself). 0, -93, -86, -82 (frames < 0),
 * -85 (no loopback configuration). The audio thread: the calling thread
 * takes that role for this sink, and the call takes no lock. */
MV_API int mvRenderLoopbackSink(MvSink *sink, int frames, void *output);

/* ------------------------------------------------------------------------ */
/* Sound models                                                             */
/* ------------------------------------------------------------------------ */

/* mvNewMonoSoundModel / mvNewStereoSoundModel: allocate a sound model (one
 * mvMalloc block) for mvNewSink, which then owns it. Mono mixes one channel
 * and writes it to every device channel; stereo mixes left and right and
 * spreads them over five speaker groups built from the device layout.
 * writeDevice converts a chunk of any length with constant stack use.
 * 0; -1 on allocation failure (out untouched); -93 for a null out. Any
 * thread. */
MV_API int mvNewMonoSoundModel(MvSoundModel **out);
MV_API int mvNewStereoSoundModel(MvSoundModel **out);

/* ------------------------------------------------------------------------ */
/* Mixer                                                                    */
/* ------------------------------------------------------------------------ */

/* mvNewMixer: a mixer under parent's destination, playing from the next
 * block; stored in *out. 0, -93 null out or parent, -87 parent has no
 * destination, -99, -1, or a dispatcher status. A control thread. */
MV_API int mvNewMixer(MvMixer **out, MvMachine *parent);
/* mvDeleteMixer: detaches a mixer and frees it with its subtree once the
 * audio thread has let go (clips released). 0, -93, -86 not a mixer (also
 * for a mixer already deleted whose release has not run yet), -99, or a
 * dispatcher status. A control thread. */
MV_API int mvDeleteMixer(MvMachine *mixer);

/* ------------------------------------------------------------------------ */
/* Sampler                                                                  */
/* ------------------------------------------------------------------------ */

/* Every sampler call below takes the sampler's machine and answers -93 for
 * a null machine, -86 when it is not a sampler and -99 before
 * initialisation, besides what its comment lists. A call that changes
 * playback sets the control state at once and takes effect on the audio
 * thread at the sink's next chunk. All of them: a control thread. */

/* mvNewSampler: a stopped sampler under parent's destination, stored in
 * *out; it joins the parent's active list when it first plays. 0, -93 null
 * out or parent, -87 parent has no destination, -99, -1, or a dispatcher
 * status. A control thread. */
MV_API int mvNewSampler(MvSampler **out, MvMachine *parent);
/* mvDeleteSampler: stops and detaches the sampler; once the audio thread
 * has let go it releases every queued clip and frees the sampler. 0, -93,
 * -86 (also for a sampler already deleted whose release has not run yet),
 * -99, or a dispatcher status. A control thread. */
MV_API int mvDeleteSampler(MvMachine *sampler);
/* mvEnqueueClip: appends a clip of frames frames of channels interleaved
 * channels at sampleRate in format, read in place from data (not copied:
 * data stays the host's and must stay valid and unchanged until
 * release(data, releaseContext) is called, once per clip; release may be
 * null). With nativeByteOrder 0 the data is byte-swapped in place first.
 * A removeWhenDone clip leaves the queue and is released once played
 * through; others stay queued (and loop along). Enqueueing never starts
 * playback. 0; -93 null sampler or data; -82 frames <= 0 or more than
 * INT_MAX samples; -86; -99; -90 channels <= 0; -89 rate not positive and
 * finite; -91 unknown format; -1 (the clip is not queued and release is not
 * called); or a dispatcher status. A control thread. */
MV_API int mvEnqueueClip(MvMachine *sampler, int removeWhenDone, MvClipRelease release,
                         void *releaseContext, int channels, double sampleRate, int format,
                         int nativeByteOrder, int frames, void *data);
/* mvClearClipQueue: stops the sampler and releases every queued clip; the
 * processed-clip count is kept. 0, -93, -86, -99, or a dispatcher status.
 * A control thread. */
MV_API int mvClearClipQueue(MvMachine *sampler);
/* mvGetClipQueueSize: the number of clips enqueued and not yet released,
 * after applying what the audio thread has reported. The count, -93, -86,
 * -99, or a dispatcher status. A control thread. */
MV_API int mvGetClipQueueSize(MvMachine *sampler);
/* mvGetProcessedClips: the clip-to-clip moves (loop wraps included) since
 * the audio thread last reported the sampler stopped (out of clips, or a
 * play that found the queue empty; mvStop keeps the count), after applying
 * what it has reported. The count, -93, -86, -99, or a dispatcher status.
 * A control thread. */
MV_API int mvGetProcessedClips(MvMachine *sampler);
/* mvPlay: plays from the first queued clip: starts a stopped sampler,
 * restarts a playing one, resumes a paused one where it paused. An empty
 * queue leaves it stopped. 0, -93, -86, -99, or a dispatcher status. A
 * control thread. */
MV_API int mvPlay(MvMachine *sampler);
/* mvPlayAt: plays from seconds into the queue, each clip measured at its
 * own rate (a negative or NaN time counts as 0). Beyond the last clip it
 * stops, or with looping on starts the first clip. 0, -93, -86, -99, -1, or
 * a dispatcher status. A control thread. */
MV_API int mvPlayAt(MvMachine *sampler, double seconds);
/* mvStop: stops playback and rewinds; the queue is kept. 0, -93, -86, -99,
 * or a dispatcher status. A control thread. */
MV_API int mvStop(MvMachine *sampler);
/* mvPause: holds a playing sampler at its position (it keeps rendering at
 * rate 0); does nothing to a sampler that is not playing. 0, -93, -86,
 * -99, or a dispatcher status. A control thread. */
MV_API int mvPause(MvMachine *sampler);
/* mvResume: continues a paused sampler where it paused; does nothing to
 * one that is not paused. 0, -93, -86, -99, or a dispatcher status. A
 * control thread. */
MV_API int mvResume(MvMachine *sampler);
/* mvEnsurePlaying: starts a stopped sampler from the first clip, resumes a
 * paused one, leaves a playing one alone. An empty queue leaves it
 * stopped. 0, -93, -86, -99, or a dispatcher status. A control thread. */
MV_API int mvEnsurePlaying(MvMachine *sampler);
/* mvGetState: MV_SAMPLER_STOPPED, MV_SAMPLER_PLAYING or MV_SAMPLER_PAUSED,
 * as the control side knows it; while playing it first applies what the
 * audio thread has reported, so a sampler that ran out of clips reads as
 * stopped. -93, -86, -99, or a dispatcher status. A control thread. */
MV_API int mvGetState(MvMachine *sampler);
/* mvSetLooping: with looping on (non-zero low byte) the queue plays again
 * from the loop start after its last clip. 0, -93, -86, -99, or a
 * dispatcher status. A control thread. */
MV_API int mvSetLooping(MvMachine *sampler, int looping);
/* mvGetLooping: the looping byte last set (0 or 1 through mvSetLooping);
 * -93, -86, -99, or a dispatcher status. A control thread. */
MV_API int mvGetLooping(MvMachine *sampler);
/* mvSetLoopStart: where a loop wraps to, in seconds into the queue (a
 * negative or NaN time counts as 0). 0, -93, -86, -99, -1, or a dispatcher
 * status. A control thread. */
MV_API int mvSetLoopStart(MvMachine *sampler, double seconds);
/* mvGetLoopStart: the loop start last set, in seconds; an error comes back
 * as a negative double: -93.0, -86.0, -99.0, or a dispatcher status. A
 * control thread. */
MV_API double mvGetLoopStart(MvMachine *sampler);
/* mvSetInterpolation: linear interpolation between frames on (non-zero low
 * byte, the default) or off (the frame at or before the position). 0, -93,
 * -86, -99, or a dispatcher status. A control thread. */
MV_API int mvSetInterpolation(MvMachine *sampler, int on);
/* mvGetInterpolation: the interpolation byte last set (1 initially); -93,
 * -86, -99, or a dispatcher status. A control thread. */
MV_API int mvGetInterpolation(MvMachine *sampler);

/* Resamplers a sampler can use (mvSetResampler). */
#define MV_RESAMPLER_STANDARD 0    /* linear or none, as mvSetInterpolation says */
#define MV_RESAMPLER_BANDLIMITED 1 /* windowed-sinc, band-limited to both rates */

/* mvSetResampler: chooses how the sampler reads its clips between frames.
 * MV_RESAMPLER_STANDARD, the default, is the engine's own path that
 * mvSetInterpolation governs, bit for bit. MV_RESAMPLER_BANDLIMITED filters
 * with a 16-tap Kaiser-windowed sinc from polyphase tables; above a playback
 * step of 1 (clip frames per output frame) the filter narrows and grows
 * with the step, up to 64 taps, so content that would land past the
 * output's Nyquist is removed instead of folding back (fully up to a step
 * of about 3). It reads on both sides of the position, across clip joins
 * and loop wraps, for every format, channel count and matrix; playback
 * sounds at the position, as the standard path does. mvSetInterpolation then
 * has no effect until the standard path is chosen again. The first call
 * with MV_RESAMPLER_BANDLIMITED builds the shared tables (about 1.4 MB,
 * once) and the sampler's own state (about 33 KB, kept until it is
 * deleted). 0, -93, -86, -92 for another value, -99, -1, or a dispatcher
 * status. A control thread. */
MV_API int mvSetResampler(MvMachine *sampler, int resampler);
/* mvGetResampler: the resampler as last set (MV_RESAMPLER_STANDARD until
 * mvSetResampler is called), or -93, -86, -99, or a dispatcher status. A
 * control thread. */
MV_API int mvGetResampler(MvMachine *sampler);
/* mvSetTransitionFade: fades the sampler's transitions over `seconds` (0 to
 * 0.1) with a raised-cosine curve; 0, the default, keeps every transition
 * instant. While the sampler plays, mvStop, mvPause, mvClearClipQueue,
 * mvPlayAt and mvPlay's restart fade its sound out first and take effect on
 * the audio side when the fade ends; a seek or restart then fades in at its
 * new place, mvResume fades in, and a paused sampler holds silence instead
 * of the held frame. A gain set with a time of 0 glides there on a raised
 * cosine over the fade time, and mvSetFrequency with a time of 0 ramps over
 * it. mvGetState reports the new state as soon as the call
 * returns, as without fades; the audio state, and a clear's releases,
 * follow when the fade out has ended. A command arriving while a fade out
 * is still under way first completes the pending one at once. 0, -93, -86,
 * -92 for a time outside 0 to 0.1 (or NaN), -1, -99, or a dispatcher status.
 * A control thread. */
MV_API int mvSetTransitionFade(MvMachine *sampler, double seconds);
/* mvGetTransitionFade: the fade time as last set (0 until set), or the error
 * as a negative number (-93.0, -86.0, -99.0, or a dispatcher status). A
 * control thread. */
MV_API double mvGetTransitionFade(MvMachine *sampler);
/* mvSetChannelMatrix: routes each of sourceChannels clip channels into the
 * mix with weights (sourceChannels * vectorSize floats, source channel
 * major, copied). The first matrix, and any with rampTime <= 0 or NaN,
 * takes effect at once; a later one with rampTime > 0 glides from the
 * weights in use over rampTime seconds. Null weights: as
 * mvClearChannelMatrix. 0, -93, -86, -99, -81 vectorSize is not the sink
 * model's, -90 sourceChannels outside 1..64 or sourceChannels x vectorSize
 * above 128 (a host model with wide vectors), -1, or a dispatcher status.
 * A control thread. */
MV_API int mvSetChannelMatrix(MvMachine *sampler, double rampTime, int sourceChannels,
                              int vectorSize, const float *weights);
/* mvClearChannelMatrix: drops the matrix: a mono sink then plays a clip's
 * first channel, a stereo sink its first two. 0, -93, -86, -99, or a
 * dispatcher status. A control thread. */
MV_API int mvClearChannelMatrix(MvMachine *sampler);

/* mvGetPlayPosition: where the sampler's audio is, in seconds from the head
 * of its queue (the reference of mvPlayAt), as of the last block rendered:
 * exact to the frame at block ends, 0 while stopped. A clip released after
 * play leaves the head, so the position then drops by its length. The audio
 * side publishes it without a lock and the call takes none. 0 with
 * *seconds set; -93 for a null sampler or seconds; -86 when it is not a
 * sampler; -99 before initialisation. Any thread. */
MV_API int mvGetPlayPosition(MvMachine *sampler, double *seconds);

/* mvGetSinkLatency: how long from now until a frame rendered now is heard:
 * the latency the stream reported at the end of its last write, which
 * covers everything the engine has handed to it (the engine keeps no audio
 * of its own between writes); 0 for a loopback sink and before a stream's
 * first write. Any machine may be passed (its root sink answers). 0 with
 * *seconds set; -93 for a null machine or seconds; -89 while the sink has
 * neither stream nor loopback configuration; -99, or a dispatcher status.
 * A control thread. */
MV_API int mvGetSinkLatency(MvMachine *sink, double *seconds);

/* ------------------------------------------------------------------------ */
/* Converters and dither                                                    */
/* ------------------------------------------------------------------------ */

/* mvSelectConverter: the routine for a pair of formats and the clip and
 * dither flags (only their low byte is examined; clip matters only from
 * float32, dither only where a dithered form exists). Null when a format is
 * outside 0..5; no side effects. The routines are reentrant and never
 * allocate; a dithering routine advances the state it is given once per
 * sample, the others accept a null state. Any thread, the audio thread
 * too. */
MV_API MvConverter mvSelectConverter(int sourceFormat, int destinationFormat, int clip, int dither);
/* mvInitializeTriangularDitherState: previous 0, generator states 22222
 * and 5555555. Any thread, the audio thread too. */
MV_API void mvInitializeTriangularDitherState(MvTriangularDitherState *state);
/* mvGenerate16BitTriangularDither: advances the state and returns the next
 * high-passed triangular value, -32766..32766. Any thread, the audio
 * thread too. */
MV_API int32_t mvGenerate16BitTriangularDither(MvTriangularDitherState *state);
/* mvGenerateFloatTriangularDither: the same step, times the float nearest
 * 1/32767 (bits 0x38000100). Any thread, the audio thread too. */
MV_API float mvGenerateFloatTriangularDither(MvTriangularDitherState *state);

/* ------------------------------------------------------------------------ */
/* Signal processor                                                         */
/* ------------------------------------------------------------------------ */

/* mvDSPInterruptCallbacks: the interrupt table every program uses, indexed
 * by the interrupt number; empty entries are null. Hosts may fill entries
 * from any thread while no program runs. */
extern MV_API MvDspInterruptHandler mvDSPInterruptCallbacks[256];

/* mvSetDSP: attaches a program to the machine's destination (a sink or a
 * mixer), replacing what was attached. The image is programLength +
 * 4 * channels * bufferSize + stackSize bytes. initCount words (copied) form
 * the initial message for routine 1; initWords may be null when initCount is
 * 0. The program initialises at once when the sink has an output, else when
 * it opens one. 0; -93 null machine or program, negative initCount, or
 * words missing; -87 no destination; -80 image over 65535 bytes; -1 (nothing
 * attached); -99 not initialised; a dispatcher status. A control thread. */
MV_API int mvSetDSP(MvMachine *machine, uint16_t programLength, const uint8_t *program,
                    uint16_t stackSize, int32_t initCount, const int32_t *initWords);
/* mvSendDSPMessage: queues count words (copied) for routine 2, run before the
 * next block the sink renders, in the order sent. 0 (also when the program
 * has failed: the message is then dropped); -93 null machine, negative count
 * or words missing; -87; -85 no program attached; -1; -99; a dispatcher
 * status. A control thread. */
MV_API int mvSendDSPMessage(MvMachine *machine, int32_t count, const int32_t *words);
/* mvGetDSPError: the program's first failure, once published (at once for
 * routines 0 and 1, after the next down-queue drain for routines 2 and 3).
 * Every output may be null; registers takes 20 words, trace up to 255
 * entries (the failing pc, then return addresses, innermost first).
 * *traceLength is set to 0 before any check. The failure's MvDspStatus
 * 1..9; 0 no failure (outputs untouched); -93; -87; -85; -99; a
 * dispatcher status. A control thread. */
MV_API int mvGetDSPError(MvMachine *machine, uint8_t *routine, uint32_t *registers,
                         uint8_t *traceLength, uint16_t *trace);
/* mvGetDSPErrorString: the text of an MvDspStatus 0..9; "Not a DSP error
 * code" for anything larger. Never null. Any thread, the audio thread
 * too. */
MV_API const char *mvGetDSPErrorString(uint32_t code);
/* mvGetDSPRoutineName: the name of routine 0..3 ("Initializer Routine",
 * "Initializer Message Processor", "Main Message Processor", "Main
 * Routine"); "Not a DSP Routine" for anything larger. Never null. Any
 * thread, the audio thread too. */
MV_API const char *mvGetDSPRoutineName(uint32_t index);
/* mvGetDSPVersion: the byte-code version, 0. Any thread, the audio thread
 * too. */
MV_API int mvGetDSPVersion(void);
/* mvDSPAddResource: registers data with its release routine (also its kind)
 * in a program's resource list, doubling the list with mvRealloc when full.
 * The new handle (>= 1); -93 null list; -94 the list is sealed (called from
 * routine 2 or 3, on the audio thread: nothing is allocated); -1 the list
 * cannot grow (it is left unchanged). Under the lock: from a service running
 * in routine 0 or 1. */
MV_API int mvDSPAddResource(MvDspResourceList *list, MvDspResourceRelease release, void *data);

#ifdef __cplusplus
}
#endif

#endif /* MAROVEL_AUDIO_H */
