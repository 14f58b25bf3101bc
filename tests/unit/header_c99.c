/* The public header as a C99 host sees it: this file is compiled as strict
 * C99 and reports the record layout it sees, which the C++ side compares
 * with its own (a mismatch would corrupt every record crossing the API). */
#include "header_layout.h"
#include "marovel_audio.h"

#include <stddef.h>

void mvReportCLayout(MvHeaderLayout *layout) {
    layout->sinkSize = sizeof(MvSink);
    layout->sinkUpQueue = offsetof(MvSink, upQueue);
    layout->sinkStream = offsetof(MvSink, stream);
    layout->machineSize = sizeof(MvMachine);
    layout->machineDeleteFunc = offsetof(MvMachine, deleteFunc);
    layout->samplerSize = sizeof(MvSampler);
    layout->samplerAudioInterpolation = offsetof(MvSampler, audioInterpolation);
    layout->clipSize = sizeof(MvClip);
    layout->dspFuncSize = sizeof(MvDspFunc);
    layout->dspFuncResources = offsetof(MvDspFunc, resources);
    layout->reverbSize = sizeof(MvReverb);
    layout->messageSize = sizeof(MvMessage);
    layout->version = mvGetVersion();
    layout->sampleSizeInt24 = mvGetSampleSize(MV_FORMAT_INT24);
    layout->printHookIsNull = mvPrint == NULL;
}
