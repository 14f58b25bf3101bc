// Device registry: the backend connections and the flat list of output
// devices they offer. Internal. It knows nothing of sinks: whoever opens the
// registry says what a device event means for them.
#pragma once

#include "marovel_audio.h"

#include <soundio/soundio.h>

namespace mv {

// Engine backend numbers with a role of their own.
constexpr int kFallbackBackend = 7;  // always connected, offers the fallback device
constexpr int kRescannedBackend = 6; // rescanned by mvRefreshDeviceList
constexpr int kBackendNumbers = 8;   // 0..7; 0 means none

// What libsoundio tells the registry about its connections, passed on.
// Both arrive inside event flushing, on the engine side under the lock.
struct DeviceEvents {
    void (*devicesChanged)();                                // the default may have moved
    void (*backendLost)(SoundIo *context, int soundioError); // its devices are gone
};

// True when mvBackendOrder names only engine backend numbers.
bool backendOrderIsValid();

// Connects the preferred backend (mvBackendOrder) and the fallback, then
// lists their devices. 0, or the first failure with nothing left behind.
// Engine side.
int openDeviceRegistry(DeviceEvents events);

// Releases the device list and every connection; the per-backend errors
// keep their values. Engine side.
void closeDeviceRegistry();

// The engine backend number a context was connected for (7 for the
// fallback connection even though libsoundio calls it Dummy); 0 for a
// context the registry does not know.
int engineBackendOf(const SoundIo *context);

// True once libsoundio reported that the context's backend went away (the
// sound server died or restarted); its devices can no longer be opened.
bool connectionLost(const SoundIo *context);

// The current default output device of the preferred connection, asked from
// libsoundio now; when that connection has none (or is lost), the device at
// mvDeviceList.fallbackDefaultIndex. Returns a new reference the caller
// releases with soundio_device_unref, or null when neither exists.
// Engine side, under the lock.
SoundIoDevice *takeCurrentDefaultDevice();

// The listed device at `index` with a new reference, or null when the list
// has no such entry. Engine side, under the lock.
SoundIoDevice *takeListedDevice(int index);

} // namespace mv
