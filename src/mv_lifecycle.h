// Library lifecycle and device registry: what the dispatchers and the sink
// area need beyond the public interface. Internal.
#pragma once

#include "marovel_audio.h"

#include <soundio/soundio.h>

namespace mv {

// Engine backend numbers with a role of their own.
constexpr int kFallbackBackend = 7;  // always connected, offers the fallback device
constexpr int kRescannedBackend = 6; // rescanned by mvRefreshDeviceList
constexpr int kBackendNumbers = 8;   // 0..7; 0 means none

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

// mvDispatcher is written by the host's thread at install and read by
// engine threads deciding whether they own the registry; these keep both
// sides properly ordered.
void installDispatcher(MvDispatcher *dispatcher);
void uninstallDispatcher();
bool isInstalledDispatcher(const MvDispatcher *dispatcher);

} // namespace mv
