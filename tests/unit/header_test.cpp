// The public header compiled as C99 sees the same records as C++.
#include "header_layout.h"
#include "marovel_audio.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(PublicHeader, C99AndCxxAgreeOnRecordLayoutAndCalls) {
    MvHeaderLayout c{};
    mvReportCLayout(&c);
    EXPECT_EQ(c.sinkSize, sizeof(MvSink));
    EXPECT_EQ(c.sinkUpQueue, offsetof(MvSink, upQueue));
    EXPECT_EQ(c.sinkStream, offsetof(MvSink, stream));
    EXPECT_EQ(c.machineSize, sizeof(MvMachine));
    EXPECT_EQ(c.machineDeleteFunc, offsetof(MvMachine, deleteFunc));
    EXPECT_EQ(c.samplerSize, sizeof(MvSampler));
    EXPECT_EQ(c.samplerAudioInterpolation, offsetof(MvSampler, audioInterpolation));
    EXPECT_EQ(c.clipSize, sizeof(MvClip));
    EXPECT_EQ(c.dspFuncSize, sizeof(MvDspFunc));
    EXPECT_EQ(c.dspFuncResources, offsetof(MvDspFunc, resources));
    EXPECT_EQ(c.reverbSize, sizeof(MvReverb));
    EXPECT_EQ(c.messageSize, 2 * sizeof(void *)) << "a message is two pointers wide";
    EXPECT_EQ(c.version, 4);
    EXPECT_EQ(c.sampleSizeInt24, 3);
    EXPECT_TRUE(c.printHookIsNull);
}

} // namespace
