// What other areas may ask of the dispatchers. Internal.
#pragma once

namespace mv {

// True when the calling thread is the one that drains the sinks' down queues
// now: any caller of the thread-unsafe dispatcher, or the engine thread of
// the thread-safe one. False when no dispatcher is installed.
bool callerIsEngineSide();

} // namespace mv
