// The thin native methods: devices, sinks, mixers and sampler control, each
// forwarding to one engine call with its Java arguments converted.
#include "jmv_bridge.h"

using jmv::machine;

namespace {

constexpr jint kMonoModel = 1;
constexpr jint kStereoModel = 2;
constexpr int kWeightBytes = 4; // float32

jstring text(JNIEnv *env, const char *value) { return value ? env->NewStringUTF(value) : nullptr; }

int newSoundModel(jint modelType, MvSoundModel **model) {
    switch (modelType) {
    case kMonoModel: return mvNewMonoSoundModel(model);
    case kStereoModel: return mvNewStereoSoundModel(model);
    default: return jmv::kUnknownModel;
    }
}

// Bytes a render writes: frames of the sink's output format. A null handle
// the engine refuses before it writes anything.
int64_t renderBytes(jlong h, jint frames) {
    MvSink *sink = machine(h) ? machine(h)->sink : nullptr;
    if (!sink) return 0;
    return jmv::Elements{sink->speakerCount * sink->sampleSize, frames}.bytes();
}

} // namespace

extern "C" {

// ---- devices -------------------------------------------------------------

JMV(jint, getVersion)(JNIEnv *, jclass) { return mvGetVersion(); }
JMV(jint, getBackendError)(JNIEnv *, jclass, jint backend) { return mvGetBackendError(backend); }
JMV(jint, getDeviceCount)(JNIEnv *, jclass) { return mvGetDeviceCount(); }
JMV(jint, getDefaultDevice)(JNIEnv *, jclass) { return mvGetDefaultDevice(); }
JMV(jint, getDeviceBackend)(JNIEnv *, jclass, jint index) { return mvGetDeviceBackend(index); }
JMV(jint, refreshDeviceList)(JNIEnv *, jclass) { return mvRefreshDeviceList(); }

JMV(jstring, getDeviceName)(JNIEnv *env, jclass, jint index) {
    return text(env, mvGetDeviceName(index));
}

JMV(jstring, getDeviceID)(JNIEnv *env, jclass, jint index) {
    return text(env, mvGetDeviceID(index));
}

// ---- machines and sinks --------------------------------------------------

JMV(jint, deleteMachine)(JNIEnv *, jclass, jlong h) { return mvDeleteMachine(machine(h)); }

JMV(jint, newSink)(JNIEnv *env, jclass, jobject handleOut, jint modelType, jint chunkSize) {
    MvSoundModel *model = nullptr;
    if (int status = newSoundModel(modelType, &model)) return status;
    int status = jmv::createHandle(env, handleOut, [&](void *out) {
        return mvNewSink(static_cast<MvSink **>(out), model, chunkSize);
    });
    // Only a sink made here owns the model; otherwise nobody would free it.
    if (status != MV_OK) model->destroy(model);
    return status;
}

JMV(jint, openSink)(JNIEnv *, jclass, jlong h, jint deviceIndex, jint sampleRate) {
    return mvOpenSink(reinterpret_cast<MvSink *>(machine(h)), deviceIndex, sampleRate);
}

JMV(jint, openLoopbackSink)
(JNIEnv *, jclass, jlong h, jint sampleRate, jint channelCount, jint format) {
    return mvOpenLoopbackSink(reinterpret_cast<MvSink *>(machine(h)), sampleRate, channelCount,
                              format);
}

// The output is raw device-format samples; the Java side reads them in the
// buffer's order, so a render into a native-order buffer reads back directly.
JMV(jint, renderLoopbackSink)(JNIEnv *env, jclass, jlong h, jint frames, jobject output) {
    void *samples = nullptr;
    if (int status = jmv::directAddress(env, output, renderBytes(h, frames), samples))
        return status;
    return mvRenderLoopbackSink(reinterpret_cast<MvSink *>(machine(h)), frames, samples);
}

JMV(jint, getSinkError)(JNIEnv *, jclass, jlong h) { return mvGetSinkError(machine(h)); }
JMV(jint, getSampleRate)(JNIEnv *, jclass, jlong h) { return mvGetSampleRate(machine(h)); }
JMV(jint, getSpeakerCount)(JNIEnv *, jclass, jlong h) { return mvGetSpeakerCount(machine(h)); }

JMV(jint, resetDestinationFunc)(JNIEnv *, jclass, jlong h) {
    return mvResetDestinationFunc(machine(h));
}

JMV(jint, setGain)(JNIEnv *, jclass, jlong h, jdouble seconds, jfloat gain) {
    return mvSetGain(machine(h), seconds, gain);
}

JMV(jint, setFrequency)(JNIEnv *, jclass, jlong h, jdouble seconds, jdouble frequency) {
    return mvSetFrequency(machine(h), seconds, frequency);
}

JMV(jint, newMixer)(JNIEnv *env, jclass, jobject handleOut, jlong parent) {
    return jmv::createHandle(env, handleOut, [&](void *out) {
        return mvNewMixer(static_cast<MvMixer **>(out), machine(parent));
    });
}

JMV(jint, newSampler)(JNIEnv *env, jclass, jobject handleOut, jlong parent) {
    return jmv::createHandle(env, handleOut, [&](void *out) {
        return mvNewSampler(static_cast<MvSampler **>(out), machine(parent));
    });
}

// ---- sampler control -----------------------------------------------------

JMV(jint, setInterpolation)(JNIEnv *, jclass, jlong h, jboolean on) {
    return mvSetInterpolation(machine(h), on != 0);
}

JMV(jint, getInterpolation)(JNIEnv *, jclass, jlong h) { return mvGetInterpolation(machine(h)); }
JMV(jint, setResampler)(JNIEnv *, jclass, jlong h, jint resampler) {
    return mvSetResampler(machine(h), resampler);
}
JMV(jint, getResampler)(JNIEnv *, jclass, jlong h) { return mvGetResampler(machine(h)); }
JMV(jint, setTransitionFade)(JNIEnv *, jclass, jlong h, jdouble seconds) {
    return mvSetTransitionFade(machine(h), seconds);
}
JMV(jdouble, getTransitionFade)(JNIEnv *, jclass, jlong h) {
    return mvGetTransitionFade(machine(h));
}
JMV(jint, play)(JNIEnv *, jclass, jlong h) { return mvPlay(machine(h)); }
JMV(jint, playAt)(JNIEnv *, jclass, jlong h, jdouble time) { return mvPlayAt(machine(h), time); }
JMV(jint, stop)(JNIEnv *, jclass, jlong h) { return mvStop(machine(h)); }
JMV(jint, pause)(JNIEnv *, jclass, jlong h) { return mvPause(machine(h)); }
JMV(jint, resume)(JNIEnv *, jclass, jlong h) { return mvResume(machine(h)); }
JMV(jint, ensurePlaying)(JNIEnv *, jclass, jlong h) { return mvEnsurePlaying(machine(h)); }
JMV(jint, getState)(JNIEnv *, jclass, jlong h) { return mvGetState(machine(h)); }

JMV(jint, setLooping)(JNIEnv *, jclass, jlong h, jboolean looping) {
    return mvSetLooping(machine(h), looping != 0);
}

JMV(jint, getLooping)(JNIEnv *, jclass, jlong h) { return mvGetLooping(machine(h)); }

JMV(jint, setLoopStart)(JNIEnv *, jclass, jlong h, jdouble seconds) {
    return mvSetLoopStart(machine(h), seconds);
}

JMV(jdouble, getLoopStart)(JNIEnv *, jclass, jlong h) { return mvGetLoopStart(machine(h)); }

// Seconds, or the status as a negative number (both values are never negative).
JMV(jdouble, getPlayPosition)(JNIEnv *, jclass, jlong h) {
    double seconds = 0.0;
    const int status = mvGetPlayPosition(machine(h), &seconds);
    return status ? status : seconds;
}

JMV(jdouble, getSinkLatency)(JNIEnv *, jclass, jlong h) {
    double seconds = 0.0;
    const int status = mvGetSinkLatency(machine(h), &seconds);
    return status ? status : seconds;
}
JMV(jint, clearClipQueue)(JNIEnv *, jclass, jlong h) { return mvClearClipQueue(machine(h)); }
JMV(jint, getClipQueueSize)(JNIEnv *, jclass, jlong h) { return mvGetClipQueueSize(machine(h)); }
JMV(jint, getProcessedClips)(JNIEnv *, jclass, jlong h) { return mvGetProcessedClips(machine(h)); }
JMV(jint, clearChannelMatrix)(JNIEnv *, jclass, jlong h) {
    return mvClearChannelMatrix(machine(h));
}

JMV(jint, setChannelMatrix)
(JNIEnv *env, jclass, jlong h, jdouble rampTime, jint sourceChannels, jint vectorSize,
 jobject weights) {
    return jmv::withNativeOrder(
        env, weights, {kWeightBytes, sourceChannels, vectorSize}, [&](void *data) {
            return mvSetChannelMatrix(machine(h), rampTime, sourceChannels, vectorSize,
                                      static_cast<const float *>(data));
        });
}

} // extern "C"
