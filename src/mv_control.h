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
template <class Answer> Answer lockedStatus(Answer answer, int unlocked) {
    return answer < 0 || unlocked == MV_OK ? answer : Answer(unlocked);
}

// Runs `body` under the lock; it answers a status or a non-negative value
// (an int or a double). -99 without a dispatcher; a failed lock's status;
// otherwise lockedStatus of the body's answer and the unlock.
template <class Body> auto lockedRead(Body body) -> decltype(body()) {
    using Answer = decltype(body());
    if (!mvDispatcher) return Answer(MV_ERROR_NOT_INITIALIZED);
    if (int status = mvDispatcher->lock()) return Answer(status);
    Answer answer = body();
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

// What a locked change asks for when it is done: an up-message to post
// (`owned`: one that carries its own record, see postOwned), or only the
// unlock with a status (0, or a failure that wins over it).
struct Post {
    int status;
    MvMessageFunc message; // null: nothing to tell the audio side
    void *argument;
    bool owned;
};
inline Post postMessage(MvMessageFunc message, void *argument) {
    return {MV_OK, message, argument, false};
}
inline Post postOwnedMessage(MvMessageFunc message, void *record) {
    return {MV_OK, message, record, true};
}
inline Post postNothing() { return {MV_OK, nullptr, nullptr, false}; }
inline Post postFailure(int status) { return {status, nullptr, nullptr, false}; }

inline int postOwned(MvSink *sink, MvMessageFunc message, void *record);

// Ends a locked change: posts the message it asks for (the dispatcher's
// post releases the lock and answers the call) or unlocks.
inline int finishPost(MvSink *sink, Post post) {
    if (!post.message) return lockedStatus(post.status, mvDispatcher->unlock());
    if (post.owned) return postOwned(sink, post.message, post.argument);
    return mvDispatcher->post(sink, post.message, post.argument);
}

// Takes the lock, runs `change`, then finishes as it asks. A failed lock's
// status means `change` never ran.
template <class Change> int lockedPost(MvSink *sink, Change change) {
    if (int status = mvDispatcher->lock()) return status;
    return finishPost(sink, change());
}

// How a message's record is freed when its message never ran: mvFree
// unless the record says otherwise.
using RecordRelease = void (*)(void *record);

inline void releaseRecord(void *record, RecordRelease release) {
    if (release) release(record);
    else mvFree(record);
}

// Takes the lock for posting a record the caller allocated; when the lock
// fails nobody has seen the record, so it is released here.
inline int lockOwning(void *record, RecordRelease release = nullptr) {
    int status = mvDispatcher->lock();
    if (status) releaseRecord(record, release);
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
template <class Undo>
int postOwned(MvSink *sink, MvMessageFunc message, void *record, Undo undo,
              RecordRelease release = nullptr) {
    int status = mvDispatcher->post(sink, message, record);
    if (!postQueuedNothing(status)) return status;
    if constexpr (!std::is_same_v<Undo, NoUndo>) {
        if (mvDispatcher->lock() != MV_OK) return status;
        undo();
        mvDispatcher->unlock();
    }
    releaseRecord(record, release);
    return status;
}

inline int postOwned(MvSink *sink, MvMessageFunc message, void *record) {
    return postOwned(sink, message, record, NoUndo{});
}

} // namespace mv
