// Signal-processor machine: attaches a program to a destination as a
// replacement pull record, runs its four routines at their moments, records
// the first failure and hands it to the control side.
#include "dsp/mv_dsp_machine.h"

#include "dsp/mv_dsp_resources.h"
#include "dsp/mv_dsp_vm.h"
#include "mv_control.h"
#include "mv_machine.h"
#include "mv_sink.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace mv {

namespace {

// Addresses are 16-bit, so an image holds at most this many bytes.
constexpr int64_t kImageLimit = 0xFFFF;
constexpr int32_t kFirstResourceCapacity = 4;
constexpr uint32_t kWordBytes = 4;

// Stack room each routine needs before it may start.
constexpr uint64_t kInitRoutineRoom = 16;
constexpr uint64_t kMainRoutineRoom = 12;

uint64_t messageRoom(int32_t count) {
    return kWordBytes * static_cast<uint64_t>(count) + kWordBytes;
}

MvDspFunc *asProgram(void *record) { return static_cast<MvDspFunc *>(record); }

// The sources are pulled into float-aligned memory behind the record and the
// block copied into the image, whose sample address follows the program and
// so is rarely float-aligned.
float *pullBlock(MvDspFunc *program) { return reinterpret_cast<float *>(program + 1); }

MvSink *sinkOf(MvDspFunc *program) { return program->destination->machine->sink; }

int channelCountOf(const MvSink *sink) { return sink->soundModel->channelCount; }

MvDspMessage *newDspMessage(MvDspState *state, int32_t count, const int32_t *words) {
    const size_t wordBytes = kWordBytes * static_cast<size_t>(count);
    auto *message = static_cast<MvDspMessage *>(mvMalloc(sizeof(MvDspMessage) + wordBytes));
    if (message == nullptr) return nullptr;
    message->state = state;
    message->count = count;
    message->words = reinterpret_cast<int32_t *>(message + 1);
    message->next = nullptr;
    if (count > 0) std::memcpy(message->words, words, wordBytes);
    return message;
}

void releaseResources(MvDspResourceList *list) {
    for (int32_t handle = 1; handle < list->count; ++handle) {
        const MvDspResourceEntry &entry = list->entries[handle];
        if (entry.release != nullptr) entry.release(entry.data);
    }
    list->count = 1;
}

// Starts a routine on the freshly reset VM: fp at the empty stack, the
// message words (last word first) and then the arguments pushed, so that the
// first argument lies on top; pc at the entry. The completion rule turns a
// halt with a bad result into status 9.
MvDspStatus runRoutine(MvDspState *state, int32_t routine, uint16_t entry, uint64_t room,
                       std::initializer_list<uint32_t> arguments,
                       const MvDspMessage *message = nullptr) {
    MvDspVm *vm = state->vm;
    state->report.routine = routine;
    const uint32_t sp = dspVmGetRegister(vm, MV_DSP_SP);
    dspVmSetRegister(vm, MV_DSP_FP, sp);
    if (static_cast<int64_t>(sp) - vm->stackBase < static_cast<int64_t>(room))
        return MV_DSP_STACK_OVERFLOW;
    if (message != nullptr)
        for (int32_t word = message->count; word-- > 0;)
            dspVmPush(vm, static_cast<uint32_t>(message->words[word]));
    for (auto argument = std::rbegin(arguments); argument != std::rend(arguments); ++argument)
        dspVmPush(vm, *argument);
    dspVmSetRegister(vm, MV_DSP_PC, entry);

    const MvDspStatus status = dspVmRun(vm, kDspRunBudget);
    if (status != MV_DSP_OK) return status;
    if (routine == MV_DSP_ROUTINE_INIT) {
        const uint32_t m = vm->memorySize;
        const bool entriesInImage = dspVmGetRegister(vm, 0) < m && dspVmGetRegister(vm, 1) < m &&
                                    dspVmGetRegister(vm, 2) < m;
        return entriesInImage ? MV_DSP_OK : MV_DSP_BAD_RESULT;
    }
    return dspVmGetRegister(vm, 0) == 0 ? MV_DSP_OK : MV_DSP_BAD_RESULT;
}

MvDspStatus runMessageRoutine(MvDspState *state, int32_t routine, uint16_t entry,
                              const MvDspMessage *message) {
    const int32_t count = message != nullptr ? message->count : 0;
    return runRoutine(state, routine, entry, messageRoom(count), {static_cast<uint32_t>(count)},
                      message);
}

void failOnControlSide(MvDspState *state, MvDspStatus status) {
    recordDspFailure(state, status);
    state->publishedError = &state->report;
}

// Routine 0 with the stream's rate and channel count, then routine 1 with
// the initial message if one is queued. Control side.
void runInitialisers(MvSink *sink, MvDspState *state) {
    MvDspVm *vm = state->vm;
    MvDspStatus status = runRoutine(
        state, MV_DSP_ROUTINE_INIT, 0, kInitRoutineRoom,
        {0u, static_cast<uint32_t>(sink->sampleRate), static_cast<uint32_t>(channelCountOf(sink))});
    if (status != MV_DSP_OK) return failOnControlSide(state, status);
    state->initMessageEntry = static_cast<uint16_t>(dspVmGetRegister(vm, 0));
    state->mainMessageEntry = static_cast<uint16_t>(dspVmGetRegister(vm, 1));
    state->mainEntry = static_cast<uint16_t>(dspVmGetRegister(vm, 2));
    dspVmReset(vm);

    MvDspMessage *message = state->messages;
    if (message != nullptr) state->messages = message->next;
    status =
        runMessageRoutine(state, MV_DSP_ROUTINE_INIT_MESSAGE, state->initMessageEntry, message);
    if (message != nullptr) mvFree(message);
    if (status != MV_DSP_OK) return failOnControlSide(state, status);
    dspVmReset(vm);
}

// The program makes its filters and reverberators here, on the control side;
// afterwards its list stays sealed, so routines 2 and 3 cannot allocate.
void dspInitialise(MvSink *sink, MvDspState *state, MvDspResourceList *resources) {
    dspSealResources(resources, false);
    runInitialisers(sink, state);
    dspSealResources(resources, true);
}

// Queued messages oldest first, then the main routine. A failed message and
// those after it stay queued. Audio thread.
MvDspStatus runBlockRoutines(MvSink *sink, MvDspState *state, int frames) {
    while (MvDspMessage *message = state->messages) {
        const MvDspStatus status =
            runMessageRoutine(state, MV_DSP_ROUTINE_MAIN_MESSAGE, state->mainMessageEntry, message);
        if (status != MV_DSP_OK) return status;
        state->messages = message->next;
        mvSendDownMessage(sink, mvDeferredFree, message);
        dspVmReset(state->vm);
    }
    const MvDspStatus status =
        runRoutine(state, MV_DSP_ROUTINE_MAIN, state->mainEntry, kMainRoutineRoom,
                   {static_cast<uint32_t>(frames), state->sampleAddress});
    if (status == MV_DSP_OK) dspVmReset(state->vm);
    return status;
}

// A program whose pull change never reached the audio thread.
void releaseProgram(void *record) { dspRelease(nullptr, record); }

// The program attached to destination, or null when its pull is not one.
// Under the lock.
MvDspFunc *attachedProgram(MvDestination *destination) {
    return destination->pull->pullFunc == dspPull ? asProgram(destination->pull) : nullptr;
}

} // namespace

void recordDspFailure(MvDspState *state, MvDspStatus status) {
    MvDspVm *vm = state->vm;
    MvDspReport &report = state->report;
    report.status = status;
    std::copy_n(vm->registers, MV_DSP_REGISTER_COUNT, report.registers);

    // pc, then the return addresses saved by the frame interrupt: the word at
    // a frame pointer is the saved lr, the word after it the saved fp.
    const int64_t m = vm->memorySize;
    int length = 0;
    report.trace[length++] = static_cast<uint16_t>(dspVmGetRegister(vm, MV_DSP_PC));
    uint32_t link = dspVmGetRegister(vm, MV_DSP_LR);
    uint32_t frame = dspVmGetRegister(vm, MV_DSP_FP);
    while (link != 0 && length < MV_DSP_TRACE_CAPACITY) {
        if (link >= m || static_cast<int64_t>(frame) > m - 8) break;
        report.trace[length++] = static_cast<uint16_t>(link);
        link = dspVmLoadWord(dspVmAddress(vm, frame));
        frame = dspVmLoadWord(dspVmAddress(vm, frame + kWordBytes));
    }
    report.traceLength = static_cast<uint8_t>(length);
}

int dispatchDspInterrupt(MvDspVm *vm, uint32_t number) {
    const int n = static_cast<int>(number % 256);
    const MvDspInterruptHandler handler = mvDSPInterruptCallbacks[n];
    if (handler == nullptr) {
        dspVmSetRegister(vm, 0, MV_DSP_INTERRUPT_ERROR);
        return 0;
    }
    const int32_t code = handler(vm, n);
    if (code == 0) return 1;
    dspVmSetRegister(vm, 0, static_cast<uint32_t>(code));
    return 0;
}

int dspPull(MvSink *sink, MvPullRecord *record, float gainStart, float gainEnd,
            double frequencyStart, double frequencyEnd, int frames, float *buffer) {
    MvDspFunc *program = asProgram(record);
    MvDspState *state = &program->state;
    float *block = pullBlock(program);
    const size_t blockBytes = sizeof(float) * static_cast<size_t>(frames) * channelCountOf(sink);

    std::memset(block, 0, blockBytes);
    mvDestinationPullImpl(sink, record, gainStart, gainEnd, frequencyStart, frequencyEnd, frames,
                          block);
    uint8_t *image = dspVmAddress(state->vm, state->sampleAddress);
    std::memcpy(image, block, blockBytes);
    if (state->report.status == MV_DSP_OK) {
        const MvDspStatus status = runBlockRoutines(sink, state, frames);
        if (status != MV_DSP_OK) {
            recordDspFailure(state, status);
            mvSendDownMessage(sink, publishDspErrorNotice, state);
        }
        std::memcpy(block, image, blockBytes);
    }
    sink->soundModel->accumulate(sink->soundModel, frames, block, buffer);
    return 0;
}

void dspPrepare(MvPullRecord *record) {
    MvDspFunc *program = asProgram(record);
    // A failed program stays failed, also while its failure is still on its
    // way through the down queue.
    if (program->state.report.status != MV_DSP_OK) return;
    releaseResources(&program->resources);
    dspInitialise(sinkOf(program), &program->state, &program->resources);
}

void dspRelease(MvSink *, void *record) {
    MvDspFunc *program = asProgram(record);
    if (program->resources.entries != nullptr) {
        releaseResources(&program->resources);
        mvFree(program->resources.entries);
    }
    for (MvDspMessage *message = program->state.messages; message != nullptr;) {
        MvDspMessage *next = message->next;
        mvFree(message);
        message = next;
    }
    if (program->state.vm != nullptr) dspVmDestroy(program->state.vm);
    mvFree(program);
}

void appendDspMessage(MvSink *, void *argument) {
    auto *message = static_cast<MvDspMessage *>(argument);
    MvDspMessage **tail = &message->state->messages;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = message;
}

void publishDspErrorNotice(MvSink *, void *argument) {
    auto *state = static_cast<MvDspState *>(argument);
    state->publishedError = &state->report;
}

namespace {

// Everything mvSetDSP allocates, zeroed first so that dspRelease can undo a
// half-made record.
MvDspFunc *newProgram(uint16_t programLength, const uint8_t *program, uint16_t regionBytes,
                      uint16_t stackSize, int32_t initCount, const int32_t *initWords) {
    auto *record = static_cast<MvDspFunc *>(mvMalloc(sizeof(MvDspFunc) + regionBytes));
    if (record == nullptr) return nullptr;
    std::memset(record, 0, sizeof(MvDspFunc));
    MvDspState *state = &record->state;
    MvDspResourceList *resources = &record->resources;

    state->vm = dspVmCreate(program, programLength, regionBytes, stackSize);
    // Routine 0 runs before any block was pulled into the sample region.
    if (state->vm != nullptr) std::memset(dspVmAddress(state->vm, programLength), 0, regionBytes);
    if (state->vm != nullptr && initCount > 0)
        state->messages = newDspMessage(state, initCount, initWords);
    if (state->vm != nullptr && (initCount == 0 || state->messages != nullptr))
        resources->entries = static_cast<MvDspResourceEntry *>(
            mvMalloc(sizeof(MvDspResourceEntry) * kFirstResourceCapacity));
    if (resources->entries == nullptr) {
        dspRelease(nullptr, record);
        return nullptr;
    }
    resources->capacity = kFirstResourceCapacity;
    resources->count = 1;
    resources->entries[0] = MvDspResourceEntry{nullptr, nullptr};
    dspSealResources(resources, true); // until the first initialisation

    dspVmSetInterruptCallback(state->vm, dispatchDspInterrupt);
    state->vm->resources = resources;
    state->sampleAddress = programLength;
    record->userData = state;
    record->pullFunc = dspPull;
    record->prepareFunc = dspPrepare;
    record->freeFunc = dspRelease;
    return record;
}

} // namespace

} // namespace mv

using namespace mv;

extern "C" int mvSetDSP(MvMachine *machine, uint16_t programLength, const uint8_t *program,
                        uint16_t stackSize, int32_t initCount, const int32_t *initWords) {
    if (mvDispatcher == nullptr) return MV_ERROR_NOT_INITIALIZED;
    if (machine == nullptr || program == nullptr || initCount < 0 ||
        (initCount != 0 && initWords == nullptr))
        return MV_ERROR_NULL_POINTER;
    MvDestination *destination = machine->destination;
    if (destination == nullptr) return MV_ERROR_NOT_DESTINATION;
    MvSink *sink = machine->sink;
    const int64_t regionBytes =
        int64_t{kWordBytes} * channelCountOf(sink) * static_cast<int64_t>(sink->bufferSize);
    if (programLength + stackSize + regionBytes > kImageLimit) return MV_ERROR_DSP_TOO_LARGE;

    MvDspFunc *record = newProgram(programLength, program, static_cast<uint16_t>(regionBytes),
                                   stackSize, initCount, initWords);
    if (record == nullptr) return MV_ERROR_NO_MEMORY;
    record->destination = destination;
    if (const int locked = mv::lockOwning(record, releaseProgram)) return locked;
    if (mv::sinkHasOutput(sink)) dspInitialise(sink, &record->state, &record->resources);
    MvPullRecord *previous = destination->pull;
    destination->pull = reinterpret_cast<MvPullRecord *>(record);
    // A change that never reached the audio thread leaves the previous
    // record in place and the new one unreachable.
    return mv::postOwned(
        sink, mv::changeMessage(), record,
        [destination, previous, record] {
            if (destination->pull == reinterpret_cast<MvPullRecord *>(record))
                destination->pull = previous;
        },
        releaseProgram);
}

extern "C" int mvSendDSPMessage(MvMachine *machine, int32_t count, const int32_t *words) {
    if (mvDispatcher == nullptr) return MV_ERROR_NOT_INITIALIZED;
    if (machine == nullptr || count < 0 || (count != 0 && words == nullptr))
        return MV_ERROR_NULL_POINTER;
    MvDestination *destination = machine->destination;
    if (destination == nullptr) return MV_ERROR_NOT_DESTINATION;
    return mv::lockedPost(machine->sink, [&] {
        MvDspFunc *program = attachedProgram(destination);
        if (program == nullptr) return mv::postFailure(MV_ERROR_PULL_FUNCTION);
        MvDspState *state = &program->state;
        // A failed program takes no more messages; the host learns why from
        // mvGetDSPError.
        if (state->publishedError != nullptr) return mv::postNothing();
        MvDspMessage *message = newDspMessage(state, count, words);
        if (message == nullptr) return mv::postFailure(MV_ERROR_NO_MEMORY);
        return mv::postOwnedMessage(appendDspMessage, message);
    });
}

extern "C" int mvGetDSPError(MvMachine *machine, uint8_t *routine, uint32_t *registers,
                             uint8_t *traceLength, uint16_t *trace) {
    if (traceLength != nullptr) *traceLength = 0;
    if (mvDispatcher == nullptr) return MV_ERROR_NOT_INITIALIZED;
    if (machine == nullptr) return MV_ERROR_NULL_POINTER;
    MvDestination *destination = machine->destination;
    if (destination == nullptr) return MV_ERROR_NOT_DESTINATION;
    return mv::lockedRead([&]() -> int {
        MvDspFunc *program = attachedProgram(destination);
        if (program == nullptr) return MV_ERROR_PULL_FUNCTION;
        const MvDspReport *report = program->state.publishedError;
        if (report == nullptr) return MV_OK;
        if (routine != nullptr) *routine = static_cast<uint8_t>(report->routine);
        if (registers != nullptr) std::copy_n(report->registers, MV_DSP_REGISTER_COUNT, registers);
        if (traceLength != nullptr) *traceLength = report->traceLength;
        if (trace != nullptr) std::copy_n(report->trace, report->traceLength, trace);
        return report->status;
    });
}
