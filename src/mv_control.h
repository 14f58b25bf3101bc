// The control-call pattern, written once: a public call takes the
// dispatcher's lock, reads or changes control-side state, then runs engine
// work or posts an up-message, and answers one status. Internal; every
// helper here is called on a host thread (or from a release callback).
#pragma once

#include "marovel_audio.h"

#include <type_traits>

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

// Tears the engine down: runs `work` under the lock and, when it ran,
// destroys the dispatcher, which releases the lock with it. A failed run
// unlocks and answers its status; the dispatcher stays.
inline int lockedRunThenDestroy(int (*work)(void *)) {
    if (!mvDispatcher) return MV_ERROR_NOT_INITIALIZED;
    if (int status = mvDispatcher->lock()) return status;
    if (int status = mvDispatcher->run(work, nullptr)) {
        mvDispatcher->unlock();
        return status;
    }
    return mvDispatcher->destroy();
}

// What a locked change asks for when it is done: an up-message to post, or
// only the unlock with a status (0, or a failure that wins over it).
struct Post {
    int status;
    MvMessageFunc message; // null: nothing to tell the audio side
    void *argument;
};
inline Post postMessage(MvMessageFunc message, void *argument) { return {MV_OK, message, argument}; }
inline Post postNothing() { return {MV_OK, nullptr, nullptr}; }
inline Post postFailure(int status) { return {status, nullptr, nullptr}; }

// Takes the lock, runs `change`, then posts the message it asks for (the
// dispatcher's post releases the lock and answers the call) or unlocks. A
// failed lock's status means `change` never ran.
template <class Change> int lockedPost(MvSink *sink, Change change) {
    if (int status = mvDispatcher->lock()) return status;
    Post post = change();
    if (post.message) return mvDispatcher->post(sink, post.message, post.argument);
    return lockedStatus(post.status, mvDispatcher->unlock());
}

// Takes the lock for posting a record the caller allocated; when the lock
// fails nobody has seen the record, so it is freed here.
inline int lockOwning(void *record) {
    int status = mvDispatcher->lock();
    if (status) mvFree(record);
    return status;
}

struct NoUndo {
    void operator()() const {}
};

// True when a failed post queued nothing. A post fails before its message
// is queued (-1, -95, or a host dispatcher's own status) except when only
// its closing unlock failed (-96): the message is queued and will run.
inline bool postQueuedNothing(int status) { return status != MV_OK && status != MV_ERROR_MUTEX; }

// Posts `message` with `record`, which the message owns from then on, from
// under the lock (post releases it, whatever it answers). What a failed
// post frees, the one rule: when it queued nothing, `undo` takes back,
// under the lock again, the control-side change that expected the message,
// and the record is freed; when that lock fails the change stays and so
// does the record it may point at. A queued message keeps its record.
template <class Undo = NoUndo>
int postOwned(MvSink *sink, MvMessageFunc message, void *record, Undo undo = {}) {
    int status = mvDispatcher->post(sink, message, record);
    if (!postQueuedNothing(status)) return status;
    if constexpr (!std::is_same_v<Undo, NoUndo>) {
        if (mvDispatcher->lock() != MV_OK) return status;
        undo();
        mvDispatcher->unlock();
    }
    mvFree(record);
    return status;
}

} // namespace mv
