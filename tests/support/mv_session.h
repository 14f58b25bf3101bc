// An engine session for tests: a chosen backend order and dispatcher kind,
// initialised for the test's lifetime.
#pragma once

#include "marovel_audio.h"

#include <array>
#include <ostream>

namespace mvtest {

using BackendOrderList = std::array<int, 7>;

// Preferred connection on the Dummy backend (6) plus the fallback (7).
constexpr BackendOrderList kDummyOrder = {6, 0, 0, 0, 0, 0, 0};
// The fallback backend as the preferred connection: one context only.
constexpr BackendOrderList kFallbackOnlyOrder = {7, 0, 0, 0, 0, 0, 0};
constexpr BackendOrderList kEmptyOrder = {0, 0, 0, 0, 0, 0, 0};
constexpr BackendOrderList kDefaultOrder = {2, 3, 5, 6, 4, 1, 7};

enum class DispatcherKind { threadUnsafe, threadSafe };
std::ostream &operator<<(std::ostream &out, DispatcherKind kind);

int newDispatcher(DispatcherKind kind, MvDispatcher **out);

// Sets mvBackendOrder while it lives and restores the previous order.
class BackendOrderScope {
public:
    explicit BackendOrderScope(const BackendOrderList &order);
    ~BackendOrderScope();
    BackendOrderScope(const BackendOrderScope &) = delete;
    BackendOrderScope &operator=(const BackendOrderScope &) = delete;

private:
    BackendOrderList saved_;
};

// Initialises the engine with a new dispatcher of the given kind and the
// given order; uninitialises on destruction if still initialised. The test
// checks status() (0 expected unless it provokes a failure).
class EngineSession {
public:
    EngineSession(DispatcherKind kind, const BackendOrderList &order);
    ~EngineSession();
    EngineSession(const EngineSession &) = delete;
    EngineSession &operator=(const EngineSession &) = delete;

    int status() const { return status_; }

private:
    BackendOrderScope order_;
    int status_;
};

} // namespace mvtest
