// Signal-processor machine: programs attached to a sink's destination and
// driven block by block through a loopback sink, written in assembly.
#include "dsp/mv_dsp_machine.h"
#include "dsp/mv_dsp_vm.h"
#include "mv_asm.h"
#include "mv_session.h"
#include "mv_test_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

using namespace mv;

namespace {

using mvtest::DispatcherKind;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlock = 64;
constexpr uint16_t kStack = 256;
// Interrupt slots the engine leaves empty; tests install their own handlers.
constexpr int kHostSlot = 200;
constexpr int kEmptySlot = 201;

std::string interruptLine(int slot) { return "INT " + std::to_string(slot) + "\n"; }

// A host-written source: a sine on channel 0 and the same sine at half
// amplitude on channel 1, continuous across blocks.
struct ToneSource {
    MvMachine machine;
    MvSource source;
    double cyclesPerFrame;
    float amplitude;
    long position;
};

float toneSample(const ToneSource &tone, long frame, int channel) {
    const double phase = 2 * std::numbers::pi * tone.cyclesPerFrame * double(frame);
    return float(tone.amplitude * std::sin(phase) * (channel == 0 ? 1.0 : 0.5));
}

MvSource *renderTone(MvSink *sink, void *self, float, float, double, double, int frames,
                     float *buffer) {
    auto *tone = static_cast<ToneSource *>(self);
    const int channels = sink->soundModel->channelCount;
    for (int frame = 0; frame < frames; ++frame)
        for (int channel = 0; channel < channels; ++channel)
            buffer[frame * channels + channel] +=
                toneSample(*tone, tone->position + frame, channel);
    tone->position += frames;
    return tone->source.activeNext;
}

void releaseTone(MvSink *, void *self) { delete static_cast<ToneSource *>(self); }

mvasm::Program assemble(const std::string &source, const std::string &name = "<test>") {
    mvasm::Program program = mvasm::assemble(source, name);
    for (const std::string &error : program.errors) ADD_FAILURE() << error;
    return program;
}

mvasm::Program assembleExample(const std::string &name) {
    std::ifstream in(std::string(MV_DSP_EXAMPLES_DIR) + "/" + name);
    EXPECT_TRUE(in) << name;
    return assemble(std::string(std::istreambuf_iterator<char>(in), {}), name);
}

int32_t floatWord(float value) { return std::bit_cast<int32_t>(value); }

struct DspError {
    int status = -1000;
    uint8_t routine = 0xEE;
    uint32_t registers[MV_DSP_REGISTER_COUNT] = {};
    uint8_t traceLength = 0xEE;
    uint16_t trace[MV_DSP_TRACE_CAPACITY] = {};
};

// A sink with a stereo model and one tone under its destination; opened as a
// float32 loopback at kRate unless a test opens it later.
class Tree {
public:
    explicit Tree(int bufferSize = kBlock, bool open = true) {
        MvSoundModel *model = nullptr;
        EXPECT_EQ(mvNewStereoSoundModel(&model), 0);
        EXPECT_EQ(mvNewSink(&sink_, model, bufferSize), 0);
        if (open) this->open();
    }

    void open() { ASSERT_EQ(mvOpenLoopbackSink(sink_, kRate, kChannels, MV_FORMAT_FLOAT32), 0); }

    // A tone under parent's destination (the sink's when null).
    void addTone(double hertz, float amplitude, MvMachine *parent = nullptr) {
        auto *tone = new ToneSource{};
        tone->cyclesPerFrame = hertz / kRate;
        tone->amplitude = amplitude;
        MvDestination *destination = parent ? parent->destination : &sink_->destination;
        mvInitMachine(&tone->machine, tone, nullptr, &tone->source, sink_, nullptr);
        mvInitSource(&tone->source, &tone->machine, destination, renderTone, releaseTone);
        ASSERT_EQ(mvDispatcher->lock(), 0);
        mvSourceConnect(&tone->source);
        ASSERT_EQ(mvDispatcher->post(sink_, reinterpret_cast<MvMessageFunc>(mvSourceActivate),
                                     &tone->source),
                  0);
    }

    std::vector<float> render(int frames = kBlock) {
        std::vector<float> out(size_t(frames) * kChannels);
        EXPECT_EQ(mvRenderLoopbackSink(sink_, frames, out.data()), 0);
        return out;
    }

    int attach(const mvasm::Program &program, uint16_t stack = kStack,
               std::vector<int32_t> initWords = {}) {
        return mvSetDSP(machine(), uint16_t(program.bytes.size()), program.bytes.data(), stack,
                        int32_t(initWords.size()), initWords.empty() ? nullptr : initWords.data());
    }

    int send(std::vector<int32_t> words) {
        return mvSendDSPMessage(machine(), int32_t(words.size()), words.data());
    }

    DspError error() {
        DspError e;
        e.status = mvGetDSPError(machine(), &e.routine, e.registers, &e.traceLength, e.trace);
        return e;
    }

    void drainDownQueue() { mvFlushDownQueueImpl(sink_); }

    MvDspFunc *program() { return reinterpret_cast<MvDspFunc *>(sink_->destination.pull); }

    // A word the program keeps in its image.
    uint32_t word(const mvasm::Program &source, const char *label, uint32_t offset = 0) {
        uint32_t value;
        std::memcpy(&value, program()->state.vm->memory + source.address(label) + offset,
                    sizeof value);
        return value;
    }

    MvMachine *machine() { return &sink_->base; }
    MvSink *sink() { return sink_; }

private:
    MvSink *sink_ = nullptr;
};

std::vector<float> scaled(std::vector<float> samples, float factor) {
    for (float &sample : samples) sample *= factor;
    return samples;
}

double rms(const std::vector<float> &samples, int channel) {
    double sum = 0;
    int count = 0;
    for (size_t i = channel; i < samples.size(); i += kChannels, ++count)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / count);
}

class DspMachineTest : public ::testing::Test {
protected:
    mvtest::EngineSession session_{DispatcherKind::threadUnsafe, mvtest::kFallbackOnlyOrder};
};

// The 14-byte program: routine 0 returns 13 for all three entries, which is
// the HALT that routines 1, 2 and 3 run.
const std::vector<uint8_t> kPassThrough = {0x04, 0x00, 0x0D, 0x00, 0x04, 0x01, 0x0D,
                                           0x00, 0x04, 0x02, 0x0D, 0x00, 0x01, 0x01};

const char *const kRoutineEntries = R"(
        LDI16 R0, quiet
        LDI16 R1, quiet
        LDI16 R2, main
        HALT
quiet:  HALT
)";

TEST_F(DspMachineTest, PassThroughProgramLeavesTheAudioBitIdentical) {
    Tree reference, processed;
    reference.addTone(440, 0.8f);
    processed.addTone(440, 0.8f);
    ASSERT_EQ(mvSetDSP(processed.machine(), uint16_t(kPassThrough.size()), kPassThrough.data(), 16,
                       0, nullptr),
              0);
    for (int block = 0; block < 4; ++block) EXPECT_EQ(processed.render(), reference.render());
    EXPECT_EQ(processed.error().status, 0);
}

TEST_F(DspMachineTest, ImageSizeLimit) {
    const std::vector<uint8_t> program(100, 0x01);
    Tree fits(4096, false), tooLarge(8192, false);
    // 100 + 1024 + 4*2*4096 = 33892; with 8192 frames the sum is 66660.
    EXPECT_EQ(mvSetDSP(fits.machine(), 100, program.data(), 1024, 0, nullptr), 0);
    EXPECT_EQ(fits.program()->state.vm->memorySize, 33892);
    EXPECT_EQ(mvSetDSP(tooLarge.machine(), 100, program.data(), 1024, 0, nullptr),
              MV_ERROR_DSP_TOO_LARGE);
    EXPECT_EQ(tooLarge.program()->pullFunc, mvDestinationPullImpl);
}

TEST_F(DspMachineTest, ArgumentChecks) {
    Tree tree;
    const int32_t words[2] = {1, 2};
    EXPECT_EQ(mvSetDSP(nullptr, 14, kPassThrough.data(), 16, 0, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetDSP(tree.machine(), 14, nullptr, 16, 0, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 16, 2, nullptr),
              MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 16, -1, words),
              MV_ERROR_NULL_POINTER);

    MvMachine noDestination{};
    uint8_t traceLength = 0xEE;
    EXPECT_EQ(mvSetDSP(&noDestination, 14, kPassThrough.data(), 16, 0, nullptr),
              MV_ERROR_NOT_DESTINATION);
    EXPECT_EQ(mvSendDSPMessage(&noDestination, 0, nullptr), MV_ERROR_NOT_DESTINATION);
    EXPECT_EQ(mvGetDSPError(nullptr, nullptr, nullptr, &traceLength, nullptr),
              MV_ERROR_NULL_POINTER);
    EXPECT_EQ(traceLength, 0);
    EXPECT_EQ(mvGetDSPError(&noDestination, nullptr, nullptr, nullptr, nullptr),
              MV_ERROR_NOT_DESTINATION);

    // No program attached yet.
    EXPECT_EQ(tree.send({1}), MV_ERROR_PULL_FUNCTION);
    EXPECT_EQ(tree.error().status, MV_ERROR_PULL_FUNCTION);

    EXPECT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 16, 0, nullptr), 0);
    EXPECT_EQ(mvSendDSPMessage(tree.machine(), 0, nullptr), 0);
    EXPECT_EQ(mvSendDSPMessage(tree.machine(), 2, nullptr), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSendDSPMessage(tree.machine(), -2, words), MV_ERROR_NULL_POINTER);
    EXPECT_EQ(mvSendDSPMessage(nullptr, 1, words), MV_ERROR_NULL_POINTER);

    // Without a failure the outputs other than the trace length stay as given.
    DspError error = tree.error();
    EXPECT_EQ(error.status, 0);
    EXPECT_EQ(error.routine, 0xEE);
    EXPECT_EQ(error.traceLength, 0);
}

class RoutineZeroEntries : public DspMachineTest, public ::testing::WithParamInterface<int> {};

TEST_P(RoutineZeroEntries, MustLieInsideTheImage) {
    const int lastEntry = GetParam();
    // Routines 1 and 2 are the HALT at 12; routine 3 never runs here.
    const mvasm::Program program =
        assemble("LDI16 R0, 12\nLDI16 R1, 12\nLDI16 R2, " + std::to_string(lastEntry) + "\nHALT\n");
    Tree tree;
    // M = 13 + 4*2*64 + 475 = 1000.
    ASSERT_EQ(tree.attach(program, 475), 0);
    ASSERT_EQ(tree.program()->state.vm->memorySize, 1000);
    const DspError error = tree.error();
    if (lastEntry < 1000) {
        EXPECT_EQ(error.status, 0);
        EXPECT_EQ(tree.program()->state.mainEntry, lastEntry);
    } else {
        EXPECT_EQ(error.status, MV_DSP_BAD_RESULT);
        EXPECT_EQ(error.routine, MV_DSP_ROUTINE_INIT);
        EXPECT_EQ(error.registers[2], uint32_t(lastEntry));
    }
}

INSTANTIATE_TEST_SUITE_P(LastEntry, RoutineZeroEntries, ::testing::Values(999, 1000));

TEST_F(DspMachineTest, InitialisationFailuresArePublishedAtOnce) {
    Tree tree;
    // Routine 0 needs 16 bytes of stack.
    ASSERT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 8, 0, nullptr), 0);
    DspError error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_STACK_OVERFLOW);
    EXPECT_EQ(error.routine, MV_DSP_ROUTINE_INIT);
    EXPECT_EQ(error.traceLength, 1);

    // Routine 1 that halts with R0 = 3.
    ASSERT_EQ(tree.attach(assemble(R"(
        LDI16 R0, bad
        LDI16 R1, bad
        LDI16 R2, bad
        HALT
bad:    LDI8 R0, 3
        HALT
)")),
              0);
    error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_BAD_RESULT);
    EXPECT_EQ(error.routine, MV_DSP_ROUTINE_INIT_MESSAGE);
    EXPECT_EQ(error.registers[0], 3u);
}

TEST_F(DspMachineTest, BusyLoopRunsOutOfBudget) {
    Tree tree;
    ASSERT_EQ(tree.attach(assemble("spin: JMP spin\n")), 0);
    const DspError error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_NOT_RESPONDING);
    EXPECT_EQ(error.routine, MV_DSP_ROUTINE_INIT);
}

TEST_F(DspMachineTest, MainRoutineFailureIsPublishedWhenTheDownQueueDrains) {
    Tree tree;
    tree.addTone(440, 0.5f);
    ASSERT_EQ(tree.attach(assemble(std::string(kRoutineEntries) + "main: LDI8 R0, 1\nHALT\n")), 0);
    tree.render();
    EXPECT_EQ(tree.error().status, 0);
    tree.drainDownQueue();
    const DspError error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_BAD_RESULT);
    EXPECT_EQ(error.routine, MV_DSP_ROUTINE_MAIN);
    EXPECT_EQ(error.registers[0], 1u);
}

TEST_F(DspMachineTest, MessagesRunInOrderBeforeTheMainRoutine) {
    const mvasm::Program program = assemble(R"(
        LDI16 R0, record
        LDI16 R1, record
        LDI16 R2, main
        HALT
record:                         ; appends word 0 to the log
        POP2 R1, R2
        LD32 R3, logged
        LDI8 R4, 4
        MUL R5, R3, R4
        LDI16 R6, log
        ADD R6, R6, R5
        ST32R R6, R2
        INC R3
        ST32 logged, R3
        HALT
main:   LD32 R3, logged
        ST32 loggedAtMain, R3
        HALT
logged:       .word 0
loggedAtMain: .word 0
log:          .zero 16
)");
    Tree tree;
    ASSERT_EQ(tree.attach(program, kStack, {7}), 0);
    EXPECT_EQ(tree.word(program, "logged"), 1u);
    ASSERT_EQ(tree.send({11, 99}), 0);
    ASSERT_EQ(tree.send({22}), 0);
    tree.render();
    EXPECT_EQ(tree.word(program, "logged"), 3u);
    EXPECT_EQ(tree.word(program, "loggedAtMain"), 3u);
    EXPECT_EQ(tree.word(program, "log"), 7u);
    EXPECT_EQ(tree.word(program, "log", 4), 11u);
    EXPECT_EQ(tree.word(program, "log", 8), 22u);
    EXPECT_EQ(tree.program()->state.messages, nullptr);
}

TEST_F(DspMachineTest, AfterAFailureSourcesStayAudibleAndMessagesAreDropped) {
    // Silences every block until a message breaks it.
    const mvasm::Program program = assemble(std::string(R"(
        LDI16 R0, quiet
        LDI16 R1, breakIt
        LDI16 R2, main
        HALT
quiet:  HALT
breakIt:
        LDI8 R1, 1
        ST32 broken, R1
        HALT
main:   LD32 R3, broken
        JNZ R3, refuse
        POP2 R1, R2
        LDI8 R4, 2
        MUL R1, R1, R4
        LDI8 R5, 0
        LDI8 R6, 4
silence:
        ST32R R2, R5
        ADD R2, R2, R6
        DEC R1
        JNZ R1, silence
        HALT
refuse: LDI8 R0, 1
        HALT
broken: .word 0
)"));
    Tree reference, tree;
    reference.addTone(1000, 0.5f);
    tree.addTone(1000, 0.5f);
    ASSERT_EQ(tree.attach(program), 0);
    const std::vector<float> silence(kBlock * kChannels, 0.0f);
    EXPECT_EQ(tree.render(), silence);
    reference.render();

    ASSERT_EQ(tree.send({1}), 0);
    EXPECT_EQ(tree.render(), reference.render()); // the block the program left alone
    tree.drainDownQueue();
    EXPECT_EQ(tree.error().status, MV_DSP_BAD_RESULT);

    EXPECT_EQ(tree.send({2}), 0);
    EXPECT_EQ(tree.render(), reference.render());
    EXPECT_EQ(tree.program()->state.messages, nullptr);
    EXPECT_EQ(tree.error().routine, MV_DSP_ROUTINE_MAIN);
}

// Host interrupt handlers: one that registers a resource whose release is
// counted, one that fails with a code.
int releasedResources = 0;
void countRelease(void *) { ++releasedResources; }
int32_t addCountedResource(MvDspVm *vm, int) {
    const int handle = mvDSPAddResource(vm->resources, countRelease, nullptr);
    if (handle < 0) return handle;
    dspVmSetRegister(vm, 0, uint32_t(handle));
    return 0;
}
int32_t failWithInvalidValue(MvDspVm *, int) { return -6; }

class HostInterrupts : public DspMachineTest {
protected:
    HostInterrupts() {
        releasedResources = 0;
        mvDSPInterruptCallbacks[kHostSlot] = addCountedResource;
    }
    ~HostInterrupts() override { mvDSPInterruptCallbacks[kHostSlot] = nullptr; }
};

const std::string kCountingProgram = interruptLine(kHostSlot) + R"(
        ST32 handle, R0         ; the handle of the resource just made
        LD32 R3, opens
        INC R3
        ST32 opens, R3
)" + kRoutineEntries + R"(
main:   HALT
handle: .word 0
opens:  .word 0
)";

TEST_F(HostInterrupts, StreamOpenReleasesResourcesAndReinitialises) {
    const mvasm::Program program = assemble(kCountingProgram);
    Tree tree(kBlock, false);
    ASSERT_EQ(tree.attach(program), 0);
    EXPECT_EQ(tree.word(program, "opens"), 0u); // nothing runs before the stream opens

    tree.open();
    EXPECT_EQ(tree.word(program, "opens"), 1u);
    EXPECT_EQ(tree.word(program, "handle"), 1u);
    EXPECT_EQ(releasedResources, 0);

    tree.open();
    EXPECT_EQ(tree.word(program, "opens"), 2u);  // the image keeps what runs stored
    EXPECT_EQ(tree.word(program, "handle"), 1u); // handles issued from 1 again
    EXPECT_EQ(tree.program()->resources.count, 2);
    EXPECT_EQ(releasedResources, 1);

    // Replacing the program releases the old one's resources.
    ASSERT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 16, 0, nullptr), 0);
    tree.render();
    tree.drainDownQueue();
    EXPECT_EQ(releasedResources, 2);
}

TEST_F(DspMachineTest, FailedProgramIsNotReinitialised) {
    const mvasm::Program program =
        assemble(std::string("LD32 R3, opens\nINC R3\nST32 opens, R3\n") + kRoutineEntries +
                 "main: LDI8 R0, 1\nHALT\nopens: .word 0\n");
    Tree tree;
    ASSERT_EQ(tree.attach(program), 0);
    tree.render(); // routine 3 fails; its report is still on its way
    tree.open();
    EXPECT_EQ(tree.word(program, "opens"), 1u);
}

TEST_F(DspMachineTest, InterruptDispatchPutsTheFailureCodeInR0) {
    Tree tree;
    mvDSPInterruptCallbacks[kHostSlot] = failWithInvalidValue;
    ASSERT_EQ(tree.attach(assemble(interruptLine(kHostSlot) + "HALT\n")), 0);
    mvDSPInterruptCallbacks[kHostSlot] = nullptr;
    DspError error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_INTERRUPT_ERROR);
    EXPECT_EQ(int32_t(error.registers[0]), -6);

    ASSERT_EQ(tree.attach(assemble(interruptLine(kEmptySlot) + "HALT\n")), 0);
    error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_INTERRUPT_ERROR);
    EXPECT_EQ(error.registers[0], uint32_t(MV_DSP_INTERRUPT_ERROR));
    EXPECT_EQ(error.trace[0], 1); // pc on the interrupt's operand byte
}

// ------------------------------------------------------------ allocation

class DspAllocationFailure : public ::testing::TestWithParam<DispatcherKind> {
protected:
    mvtest::EngineSession session_{GetParam(), mvtest::kFallbackOnlyOrder};
};

TEST_P(DspAllocationFailure, SetDSPReturnsMinusOneAndLeaksNothing) {
    Tree tree;
    const int32_t words[2] = {5, 6};
    mvtest::FailingAllocator allocator;
    int status = MV_ERROR_NO_MEMORY;
    for (int n = 1; status == MV_ERROR_NO_MEMORY; ++n) {
        allocator.failNth(n);
        status = mvSetDSP(tree.machine(), 14, kPassThrough.data(), 64, 2, words);
        if (status == MV_ERROR_NO_MEMORY) {
            EXPECT_EQ(allocator.liveBlocks(), 0) << "failing allocation " << n;
            EXPECT_EQ(tree.program()->pullFunc, mvDestinationPullImpl);
        }
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tree.program()->pullFunc, dspPull);
}

TEST_P(DspAllocationFailure, SendDSPMessageReturnsMinusOneAndLeaksNothing) {
    Tree tree;
    ASSERT_EQ(mvSetDSP(tree.machine(), 14, kPassThrough.data(), 64, 0, nullptr), 0);
    tree.render();
    const int32_t words[3] = {1, 2, 3};
    mvtest::FailingAllocator allocator;
    int status = MV_ERROR_NO_MEMORY;
    for (int n = 1; status == MV_ERROR_NO_MEMORY; ++n) {
        allocator.failNth(n);
        status = mvSendDSPMessage(tree.machine(), 3, words);
        if (status == MV_ERROR_NO_MEMORY) {
            EXPECT_EQ(allocator.liveBlocks(), 0);
        }
    }
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, DspAllocationFailure,
                         ::testing::Values(DispatcherKind::threadUnsafe,
                                           DispatcherKind::threadSafe));

// ------------------------------------------------------------ audio-side bounds

// The word a service finds on top of the stack: a valid rate for the
// creators, the handle of its own kind for the others (routine 0 makes
// filter 1, reverberator 2 and filter 3, which fills the first list).
uint32_t firstArgumentFor(int number) {
    const std::string_view name = mvasm::interruptName(number);
    if (name.ends_with("_NEW")) return kRate;
    return name.starts_with("REVERB") ? 2 : 1;
}

// Every service, built-in or a host's, called from routine 3 with plausible
// arguments (handle, the sample block, frames, step 2, four 1.0 floats).
std::string serviceInMainRoutine(int number) {
    return R"(
        LDI32 R7, 48000
        PUSH R7
        INT BIQUAD_NEW
        LDI32 R1, 0x3F800000
        PUSH R1
        PUSH R1
        PUSH R1
        PUSH R1
        PUSH R1
        PUSH R1
        LDI8 R1, 2
        PUSH R1
        PUSH R7
        INT REVERB_NEW
        PUSH R7
        INT BIQUAD_NEW
)" + std::string(kRoutineEntries) +
           R"(
main:   POP2 R1, R2             ; frames, sample address
        LDI32 R3, 0x3F800000
        PUSH R3
        PUSH R3
        PUSH R3
        PUSH R3
        LDI8 R3, 2
        PUSH R3
        PUSH R1
        PUSH R2
        LDI32 R3, )" +
           std::to_string(firstArgumentFor(number)) + R"(
        PUSH R3
        INT )" +
           std::to_string(number) + R"(
        LDI8 R0, 0
        HALT
)";
}

TEST_F(HostInterrupts, NoServiceAllocatesOnTheAudioThread) {
    int services = 0;
    for (int number = 0; number < 256; ++number) {
        if (mvDSPInterruptCallbacks[number] == nullptr) continue;
        SCOPED_TRACE("interrupt " + std::to_string(number));
        ++services;
        Tree tree;
        tree.addTone(440, 0.5f);
        ASSERT_EQ(tree.attach(assemble(serviceInMainRoutine(number))), 0);
        ASSERT_EQ(tree.error().status, 0);
        ASSERT_EQ(tree.program()->resources.count, tree.program()->resources.capacity);
        {
            mvtest::FailingAllocator allocator;
            tree.render();
            tree.render();
            EXPECT_EQ(allocator.allocationCalls(), 0);
        }
        tree.drainDownQueue();
        const DspError error = tree.error();
        const bool creates = number == kHostSlot || mvasm::interruptName(number).ends_with("_NEW");
        if (creates) {
            EXPECT_EQ(error.status, MV_DSP_INTERRUPT_ERROR);
            EXPECT_EQ(error.routine, MV_DSP_ROUTINE_MAIN);
            EXPECT_EQ(int32_t(error.registers[0]), MV_ERROR_INCONSISTENT);
            EXPECT_EQ(tree.program()->resources.count, 4);
        }
    }
    EXPECT_EQ(services, 51 + 1);
}

// Runaway main routines: each loop iteration counts itself in R1, so the
// count at the budget's end tells what one iteration was charged.
struct Runaway {
    const char *name;
    const char *body; // one iteration, R1 counted after its work
    uint32_t unitsPerIteration;
};

const Runaway kRunaways[] = {
    // 4096 bytes = 1024 words, plus COPY, INC and JMP.
    {"block copies", "loop: COPY buffer, buffer + 4096, 4096\n", 1024 + 3},
    // 1024 samples, plus four pushes, INT, INC and JMP.
    {"filter calls", "loop: PUSH R5\nPUSH R4\nPUSH R3\nPUSH R2\nINT BIQUAD_PROCESS\n", 1024 + 7},
};

TEST_F(DspMachineTest, RunawayBlockWorkEndsWithinTheBudget) {
    for (const Runaway &runaway : kRunaways) {
        SCOPED_TRACE(runaway.name);
        const mvasm::Program program = assemble(std::string(R"(
        LDI32 R0, 48000
        PUSH R0
        INT BIQUAD_NEW
        ST32 filter, R0
)") + kRoutineEntries + R"(
main:   LDI8 R1, 0
        LD32 R2, filter
        LDI16 R3, buffer
        LDI16 R4, 1024
        LDI8 R5, 1
)" + runaway.body + R"(
        INC R1
        JMP loop
filter: .word 0
buffer: .zero 8192
)");
        Tree tree;
        ASSERT_EQ(tree.attach(program), 0);
        tree.render();
        tree.drainDownQueue();
        const DspError error = tree.error();
        EXPECT_EQ(error.status, MV_DSP_NOT_RESPONDING);
        EXPECT_EQ(error.routine, MV_DSP_ROUTINE_MAIN);
        constexpr uint32_t kPrologue = 5;
        const uint32_t iterations = (kDspRunBudget - kPrologue) / runaway.unitsPerIteration;
        EXPECT_GE(error.registers[1], iterations - 1);
        EXPECT_LE(error.registers[1], iterations + 1);
    }
}

// ------------------------------------------------------------ examples

TEST_F(DspMachineTest, GainExampleHalvesTheLevelOnMessage) {
    const mvasm::Program program = assembleExample("gain.mvs");
    Tree reference, tree;
    reference.addTone(440, 0.8f);
    tree.addTone(440, 0.8f);
    ASSERT_EQ(tree.attach(program), 0);
    EXPECT_EQ(tree.render(), reference.render());
    ASSERT_EQ(tree.send({floatWord(0.5f)}), 0);
    EXPECT_EQ(tree.render(), scaled(reference.render(), 0.5f));
}

TEST_F(DspMachineTest, ProgramOnAMixerProcessesOnlyTheMixersSources) {
    Tree reference, tree;
    MvMixer *mixer = nullptr;
    ASSERT_EQ(mvNewMixer(&mixer, tree.machine()), 0);
    tree.addTone(440, 0.5f, &mixer->machine);
    tree.addTone(440, 0.5f);
    reference.addTone(440, 0.5f);
    const mvasm::Program gain = assembleExample("gain.mvs");
    ASSERT_EQ(mvSetDSP(&mixer->machine, uint16_t(gain.bytes.size()), gain.bytes.data(), kStack, 1,
                       std::vector<int32_t>{floatWord(0.0f)}.data()),
              0);
    EXPECT_EQ(tree.render(), reference.render()); // the mixer's tone is silenced
    EXPECT_EQ(mvGetDSPError(tree.machine(), nullptr, nullptr, nullptr, nullptr),
              MV_ERROR_PULL_FUNCTION);
    EXPECT_EQ(mvGetDSPError(&mixer->machine, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(DspMachineTest, LowPassExampleAttenuatesAHighTone) {
    const mvasm::Program program = assembleExample("lowpass.mvs");
    Tree high, low;
    high.addTone(12000, 0.5f);
    low.addTone(100, 0.5f);
    for (Tree *tree : {&high, &low}) {
        ASSERT_EQ(tree->attach(program, kStack, {floatWord(500.0f)}), 0);
        tree->render(kBlock * 8); // let the filter settle
    }
    const std::vector<float> highOut = high.render(kBlock * 16), lowOut = low.render(kBlock * 16);
    EXPECT_LT(rms(highOut, 0), 0.01 * 0.5 / std::sqrt(2.0));
    EXPECT_GT(rms(lowOut, 0), 0.9 * 0.5 / std::sqrt(2.0));
    EXPECT_GT(rms(lowOut, 1), 0.9 * 0.25 / std::sqrt(2.0));
    EXPECT_EQ(high.error().status, 0);
}

TEST_F(DspMachineTest, ReverbExampleAddsATailAndPassesTheDrySignalWithoutWet) {
    const mvasm::Program program = assembleExample("reverb.mvs");
    Tree reference, dry, wet;
    for (Tree *tree : {&reference, &dry, &wet}) tree->addTone(440, 0.5f);
    ASSERT_EQ(dry.attach(program, kStack, {floatWord(0.0f)}), 0);
    ASSERT_EQ(wet.attach(program), 0);
    for (int block = 0; block < 40; ++block) {
        const std::vector<float> expected = reference.render();
        EXPECT_EQ(dry.render(), expected);
        const std::vector<float> reverberated = wet.render();
        if (block == 39) {
            EXPECT_NE(reverberated, expected);
        }
    }
    EXPECT_EQ(wet.error().status, 0);
}

TEST_F(DspMachineTest, FailingExampleShowsItsTraceThroughTwoFrames) {
    const mvasm::Program program = assembleExample("fail.mvs");
    Tree tree;
    ASSERT_EQ(tree.attach(program), 0);
    tree.render();
    tree.drainDownQueue();
    const DspError error = tree.error();
    EXPECT_EQ(error.status, MV_DSP_INVALID_ADDRESS);
    EXPECT_EQ(error.routine, MV_DSP_ROUTINE_MAIN);
    ASSERT_EQ(error.traceLength, 3);
    EXPECT_EQ(error.trace[0], program.address("inner") + 3); // LD32's last byte
    EXPECT_EQ(error.trace[1], program.address("innerReturn"));
    EXPECT_EQ(error.trace[2], program.address("outerReturn"));
}

} // namespace
