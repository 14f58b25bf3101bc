// The two message rings of a sink. Internal.
#pragma once

#include "marovel_audio.h"

namespace mv {

// Requested bytes per ring: room for at least 256 messages; libsoundio may
// round the capacity up to whole pages.
constexpr int kQueueRequestedBytes = 2048;

// Creates sink->upQueue and sink->downQueue. 0, or -1 with neither created.
int createSinkQueues(MvSink *sink);

// Destroys both rings without running what they hold (drain them first) and
// clears the fields. Safe on a sink whose rings were never created.
void destroySinkQueues(MvSink *sink);

} // namespace mv
