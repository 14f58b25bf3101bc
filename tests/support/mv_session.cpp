// Engine sessions for tests.
#include "mv_session.h"

#include <algorithm>
#include <iterator>

namespace mvtest {

std::ostream &operator<<(std::ostream &out, DispatcherKind kind) {
    return out << (kind == DispatcherKind::threadSafe ? "threadSafe" : "threadUnsafe");
}

int newDispatcher(DispatcherKind kind, MvDispatcher **out) {
    return kind == DispatcherKind::threadSafe ? mvNewThreadSafeDispatcher(out)
                                              : mvNewThreadUnsafeDispatcher(out);
}

BackendOrderScope::BackendOrderScope(const BackendOrderList &order) {
    std::copy(std::begin(mvBackendOrder), std::end(mvBackendOrder), saved_.begin());
    std::copy(order.begin(), order.end(), std::begin(mvBackendOrder));
}

BackendOrderScope::~BackendOrderScope() {
    std::copy(saved_.begin(), saved_.end(), std::begin(mvBackendOrder));
}

EngineSession::EngineSession(DispatcherKind kind, const BackendOrderList &order) : order_(order) {
    MvDispatcher *dispatcher = nullptr;
    status_ = newDispatcher(kind, &dispatcher);
    if (status_ == MV_OK) status_ = mvInitialize(dispatcher);
}

EngineSession::~EngineSession() {
    if (mvDispatcher) mvUninitialize();
}

} // namespace mvtest
