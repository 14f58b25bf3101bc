// What other areas may ask of the dispatchers. Internal.
#pragma once

#include "marovel_audio.h"

namespace mv {

// True when the calling thread is the one that drains the sinks' down queues
// now: any caller of the thread-unsafe dispatcher, or the engine thread of
// the thread-safe one. False when no dispatcher is installed.
bool callerIsEngineSide();

// mvDispatcher is written by the host's thread at install and read by
// engine threads deciding whether they own the registry; these keep both
// sides properly ordered.
void installDispatcher(MvDispatcher *dispatcher);
void uninstallDispatcher();
bool isInstalledDispatcher(const MvDispatcher *dispatcher);

} // namespace mv
