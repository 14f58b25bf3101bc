// The control-call pattern, written once: a public call takes the
// dispatcher's lock, reads or changes control-side state, then runs engine
// work or posts an up-message, and answers one status. Internal; every
// helper here is called on a host thread (or from a release callback).
#pragma once

#include "marovel_audio.h"

namespace mv {

// The status precedence of every locked call: the body's failure (a
// negative answer) wins, then a failed unlock; with neither, the body's
// answer (a status of 0 or a non-negative value).
inline int lockedStatus(int answer, int unlocked) {
    return answer < 0 || unlocked == MV_OK ? answer : unlocked;
}

// Runs `body` under the lock. -99 without a dispatcher; a failed lock's
// status; otherwise lockedStatus of the body's answer and the unlock.
template <class Body> int lockedRead(Body body) {
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    if (int status = mvDispatcher->lock()) return status;
    int answer = body();
    return lockedStatus(answer, mvDispatcher->unlock());
}

// lockedRead for calls that answer a text: null on any failure.
template <class Body> const char *lockedText(Body body) {
    if (!mvDispatcher || mvDispatcher->lock()) return nullptr;
    const char *text = body();
    return mvDispatcher->unlock() ? nullptr : text;
}

// Runs engine-side `work` through the dispatcher under the lock.
inline int lockedRun(int (*work)(void *), void *argument) {
    return lockedRead([=] { return mvDispatcher->run(work, argument); });
}

} // namespace mv
