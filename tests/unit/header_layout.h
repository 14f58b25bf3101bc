/* Layout facts of the public records as one language sees them; filled by
 * the C99 translation unit header_c99.c. */
#ifndef MV_HEADER_LAYOUT_H
#define MV_HEADER_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MvHeaderLayout {
    size_t sinkSize, sinkUpQueue, sinkStream;
    size_t machineSize, machineDeleteFunc;
    size_t samplerSize, samplerAudioInterpolation;
    size_t clipSize;
    size_t dspFuncSize, dspFuncResources;
    size_t reverbSize;
    size_t messageSize;
    int version;
    int sampleSizeInt24;
    int printHookIsNull;
} MvHeaderLayout;

void mvReportCLayout(MvHeaderLayout *layout);

#ifdef __cplusplus
}
#endif

#endif
