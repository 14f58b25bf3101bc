// Device registry: the backend connections (the preferred one from
// mvBackendOrder and the fallback), the flat list of output devices they
// offer and its public queries.
#include "mv_devices.h"

#include "mv_control.h"

#include <algorithm>
#include <atomic>

extern "C" {
MV_API int mvBackendOrder[7] = {2, 3, 5, 6, 4, 1, 7};
MV_API MvBackendList mvBackendList = {0, nullptr, {0, 0, 0, 0, 0, 0, 0, 0}};
MV_API MvDeviceList mvDeviceList = {0, nullptr, -1, 0};
}

namespace mv {
namespace {

// Engine backend number → libsoundio backend. 1..6 are libsoundio's own;
// the fallback 7 is a second connection to the Dummy backend, which always
// connects and always offers a default output device.
constexpr SoundIoBackend kLibsoundioBackend[kBackendNumbers] = {
    SoundIoBackendNone,       // 0 none
    SoundIoBackendJack,       // 1
    SoundIoBackendPulseAudio, // 2
    SoundIoBackendAlsa,       // 3
    SoundIoBackendCoreAudio,  // 4
    SoundIoBackendWasapi,     // 5
    SoundIoBackendDummy,      // 6, rescanned on refresh
    SoundIoBackendDummy,      // 7, the fallback connection
};

constexpr int kPreferredSlot = 0;
constexpr int kFallbackSlot = 1;
constexpr int kMaxConnections = 2;

// What the registry remembers about each connection; a context's userdata
// points at its note.
struct ConnectionNote {
    int engineBackend;
    bool lost;
};
ConnectionNote connectionNotes[kMaxConnections];

ConnectionNote *noteOf(const SoundIo *context) {
    return context ? static_cast<ConnectionNote *>(context->userdata) : nullptr;
}

template <class T> T *allocateArray(int count) {
    return static_cast<T *>(mvMalloc(sizeof(T) * size_t(std::max(count, 1))));
}

// What the registry's opener wants to hear of device events.
DeviceEvents deviceEvents{nullptr, nullptr};

// ---------------------------------------------------------------------------
// Callbacks installed on every context in place of libsoundio's defaults,
// which abort the process (backend disconnect) or print (priority warning).

// Device-change notification of either context; arrives inside event
// flushing, on the engine side under the lock.
void handleDevicesChange(SoundIo *) {
    if (deviceEvents.devicesChanged) deviceEvents.devicesChanged();
}

// The sound server behind a connection went away. Delivered inside event
// flushing, on the engine side under the lock.
void handleBackendDisconnect(SoundIo *context, int error) {
    if (ConnectionNote *note = noteOf(context)) note->lost = true;
    if (deviceEvents.backendLost) deviceEvents.backendLost(context, error);
}

// Called on an audio thread when it cannot get real-time priority; said
// once per start-up.
std::atomic<bool> realtimeWarningGiven{false};

void reportNoRealtimePriority() {
    if (!realtimeWarningGiven.exchange(true) && mvPrint)
        mvPrint("Audio threads run without real-time priority\n");
}

SoundIo *newContext(int slot) {
    SoundIo *context = soundio_create();
    if (!context) return nullptr;
    connectionNotes[slot] = {0, false};
    context->userdata = &connectionNotes[slot];
    context->app_name = "marovel_audio";
    context->on_devices_change = handleDevicesChange;
    context->on_backend_disconnect = handleBackendDisconnect;
    context->emit_rtprio_warning = reportNoRealtimePriority;
    return context;
}

bool stopsTheSearch(int error) {
    return error == SoundIoErrorNone || error == SoundIoErrorNoMem || error == SoundIoErrorInvalid;
}

// Tries mvBackendOrder in order; -98 when it names no backend.
int connectPreferred(SoundIo *context) {
    std::fill(std::begin(mvBackendList.errors), std::end(mvBackendList.errors),
              MV_ERROR_BACKEND_NOT_TRIED);
    int result = MV_ERROR_BACKEND_NOT_TRIED;
    for (int backend : mvBackendOrder) {
        if (backend == 0) continue;
        int error = soundio_connect_backend(context, kLibsoundioBackend[backend]);
        mvBackendList.errors[backend] = result = -error;
        if (!stopsTheSearch(error)) continue;
        if (error == SoundIoErrorNone) noteOf(context)->engineBackend = backend;
        break;
    }
    return result;
}

int connectFallback(SoundIo *context) {
    int error = soundio_connect_backend(context, kLibsoundioBackend[kFallbackBackend]);
    mvBackendList.errors[kFallbackBackend] = -error;
    if (!error) noteOf(context)->engineBackend = kFallbackBackend;
    return -error;
}

// Creates the slot's context and connects it; once connected and its first
// events are in, it joins the registry.
int addConnection(int slot, int (*connect)(SoundIo *)) {
    SoundIo *context = newContext(slot);
    if (!context) return MV_ERROR_NO_MEMORY;
    if (int status = connect(context)) {
        soundio_destroy(context);
        return status;
    }
    soundio_flush_events(context);
    mvBackendList.contexts[mvBackendList.count++] = context;
    return MV_OK;
}

// ---------------------------------------------------------------------------
// Device list

// Devices of a lost connection can no longer be opened; the list leaves
// them out.
int offeredDeviceCount(const SoundIo *context) {
    if (connectionLost(context)) return 0;
    return std::max(soundio_output_device_count(const_cast<SoundIo *>(context)), 0);
}

// Appends the context's devices (each a new reference) and notes its
// default; returns how many it offered.
int appendDevicesOf(SoundIo *context, int capacity) {
    int offered = offeredDeviceCount(context);
    int defaultPosition = soundio_default_output_device_index(context);
    int &defaultSlot = engineBackendOf(context) == kFallbackBackend
                           ? mvDeviceList.fallbackDefaultIndex
                           : mvDeviceList.defaultIndex;
    for (int position = 0; position < offered && mvDeviceList.count < capacity; ++position) {
        SoundIoDevice *device = soundio_get_output_device(context, position);
        if (!device) continue; // counted but missing: the count check below reports it
        if (position == defaultPosition) defaultSlot = mvDeviceList.count;
        mvDeviceList.devices[mvDeviceList.count++] = device;
    }
    return offered;
}

// The fallback connection's devices come first, the preferred ones after.
int buildDeviceList() {
    int expected = 0;
    for (int c = 0; c < mvBackendList.count; ++c)
        expected += offeredDeviceCount(mvBackendList.contexts[c]);
    auto **devices = allocateArray<SoundIoDevice *>(expected);
    if (!devices) return MV_ERROR_NO_MEMORY;
    mvDeviceList = {0, devices, -1, -1};
    int offered = 0;
    for (int c = mvBackendList.count - 1; c >= 0; --c)
        offered += appendDevicesOf(mvBackendList.contexts[c], expected);
    if (offered != expected || mvDeviceList.count != expected) return MV_ERROR_INCONSISTENT;
    if (mvDeviceList.fallbackDefaultIndex == -1) return MV_ERROR_INCONSISTENT;
    if (mvDeviceList.defaultIndex == -1)
        mvDeviceList.defaultIndex = mvDeviceList.fallbackDefaultIndex;
    return MV_OK;
}

void releaseDeviceList() {
    for (int i = 0; i < mvDeviceList.count; ++i) soundio_device_unref(mvDeviceList.devices[i]);
    mvFree(mvDeviceList.devices);
    mvDeviceList.devices = nullptr;
    mvDeviceList.count = 0;
    mvDeviceList.defaultIndex = -1;
}

void disconnectEveryContext() {
    for (int c = 0; c < mvBackendList.count; ++c) soundio_destroy(mvBackendList.contexts[c]);
    mvFree(mvBackendList.contexts);
    mvBackendList.contexts = nullptr;
    mvBackendList.count = 0;
    std::fill(std::begin(connectionNotes), std::end(connectionNotes), ConnectionNote{0, false});
}

int refreshWork(void *argument) {
    if (argument) return MV_ERROR_INCONSISTENT;
    releaseDeviceList();
    for (int c = 0; c < mvBackendList.count; ++c) {
        SoundIo *context = mvBackendList.contexts[c];
        if (engineBackendOf(context) != kRescannedBackend) continue;
        soundio_force_device_scan(context);
        soundio_flush_events(context);
    }
    return buildDeviceList();
}

SoundIoDevice *listedDevice(int index) {
    return index >= 0 && index < mvDeviceList.count ? mvDeviceList.devices[index] : nullptr;
}

constexpr const char *kAutomaticName = "Automatic";
constexpr const char *kAutomaticID = "auto";
constexpr int kAutomaticIndex = -1;

bool preferredIsFallback() {
    return engineBackendOf(mvBackendList.contexts[kPreferredSlot]) == kFallbackBackend;
}

} // namespace

bool backendOrderIsValid() {
    return std::all_of(std::begin(mvBackendOrder), std::end(mvBackendOrder),
                       [](int backend) { return backend >= 0 && backend < kBackendNumbers; });
}

int openDeviceRegistry(DeviceEvents events) {
    deviceEvents = events;
    mvBackendList.contexts = allocateArray<SoundIo *>(kMaxConnections);
    if (!mvBackendList.contexts) return MV_ERROR_NO_MEMORY;
    mvBackendList.count = 0;
    realtimeWarningGiven = false;
    int status = addConnection(kPreferredSlot, connectPreferred);
    // The fallback needs a connection of its own unless it is the preferred one.
    if (status == MV_OK && !preferredIsFallback())
        status = addConnection(kFallbackSlot, connectFallback);
    if (status == MV_OK) status = buildDeviceList();
    if (status != MV_OK) closeDeviceRegistry();
    return status;
}

void closeDeviceRegistry() {
    releaseDeviceList();
    disconnectEveryContext();
}

int engineBackendOf(const SoundIo *context) {
    ConnectionNote *note = noteOf(context);
    return note ? note->engineBackend : 0;
}

bool connectionLost(const SoundIo *context) {
    ConnectionNote *note = noteOf(context);
    return note && note->lost;
}

SoundIoDevice *takeCurrentDefaultDevice() {
    if (mvBackendList.count > 0) {
        SoundIo *preferred = mvBackendList.contexts[kPreferredSlot];
        int index = connectionLost(preferred) ? -1 : soundio_default_output_device_index(preferred);
        if (index >= 0)
            if (SoundIoDevice *device = soundio_get_output_device(preferred, index)) return device;
    }
    return takeListedDevice(mvDeviceList.fallbackDefaultIndex);
}

SoundIoDevice *takeListedDevice(int index) {
    SoundIoDevice *device = listedDevice(index);
    if (device) soundio_device_ref(device);
    return device;
}

} // namespace mv

extern "C" {

MV_API int mvRefreshDeviceList(void) { return mv::lockedRun(mv::refreshWork, nullptr); }

MV_API int mvGetBackendError(int backend) {
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    if (backend < 0 || backend >= mv::kBackendNumbers) return MV_ERROR_INDEX;
    return mv::lockedRead([backend] { return mvBackendList.errors[backend]; });
}

MV_API const char *mvGetBackendName(int backend) {
    if (backend < 0 || backend >= mv::kBackendNumbers) return nullptr;
    return soundio_backend_name(mv::kLibsoundioBackend[backend]);
}

MV_API int mvGetDeviceCount(void) {
    return mv::lockedRead([] { return mvDeviceList.count; });
}

MV_API int mvGetDefaultDevice(void) {
    return mv::lockedRead([] { return mvDeviceList.defaultIndex; });
}

MV_API const char *mvGetDeviceName(int index) {
    return mv::lockedText([index]() -> const char * {
        if (index == mv::kAutomaticIndex) return mv::kAutomaticName;
        SoundIoDevice *device = mv::listedDevice(index);
        return device ? device->name : nullptr;
    });
}

MV_API const char *mvGetDeviceID(int index) {
    return mv::lockedText([index]() -> const char * {
        if (index == mv::kAutomaticIndex) return mv::kAutomaticID;
        SoundIoDevice *device = mv::listedDevice(index);
        return device ? device->id : nullptr;
    });
}

MV_API int mvGetDeviceBackend(int index) {
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    if (index < mv::kAutomaticIndex) return MV_ERROR_INDEX;
    return mv::lockedRead([index] {
        if (index != mv::kAutomaticIndex) {
            SoundIoDevice *device = mv::listedDevice(index);
            return device ? mv::engineBackendOf(device->soundio) : MV_ERROR_INDEX;
        }
        SoundIoDevice *current = mv::takeCurrentDefaultDevice();
        if (!current) return MV_ERROR_INDEX;
        int backend = mv::engineBackendOf(current->soundio);
        soundio_device_unref(current);
        return backend;
    });
}

MV_API void mvFlushDeviceEventsImpl(void) {
    if (mvBackendList.count == mv::kMaxConnections)
        soundio_flush_events(mvBackendList.contexts[mv::kPreferredSlot]);
}

} // extern "C"
