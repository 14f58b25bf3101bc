// Library lifecycle: start-up and shut-down. Installs the host's dispatcher,
// opens the device registry and the sink list, and tells the registry what
// a device event means for the sinks.
#include "mv_control.h"
#include "mv_devices.h"
#include "mv_dispatch.h"
#include "mv_sink.h"

namespace mv {
namespace {

// Engine-side work (run through the dispatcher with a null argument)

// Releases everything; the per-backend errors keep their values.
int teardownWork(void *argument) {
    if (argument) return MV_ERROR_INCONSISTENT;
    deleteEverySink();
    closeDeviceRegistry();
    return MV_OK;
}

int startupWork(void *argument) {
    if (argument) return MV_ERROR_INCONSISTENT;
    if (int status = openDeviceRegistry({followDefaultDevice, abandonBackend})) return status;
    if (int status = createSinkList()) {
        teardownWork(nullptr);
        return status;
    }
    return MV_OK;
}

} // namespace
} // namespace mv

extern "C" {

MV_API int mvInitialize(MvDispatcher *dispatcher) {
    if (mvDispatcher) return MV_ERROR_ALREADY_INITIALIZED;
    if (!dispatcher) return MV_ERROR_NULL_POINTER;
    if (!mv::backendOrderIsValid()) return MV_ERROR_INDEX;
    mv::installDispatcher(dispatcher);
    int status = mv::lockedRun(mv::startupWork, nullptr);
    // A failed start-up leaves the dispatcher with the host, not destroyed.
    if (status) mv::uninstallDispatcher();
    return status;
}

// The teardown itself cannot fail, so a failed run means it never ran: the
// engine stays initialised (nothing released, nothing lost) so the call can
// be repeated, instead of destroying the dispatcher over live contexts.
MV_API int mvUninitialize(void) { return mv::lockedRunThenDestroy(mv::teardownWork); }

} // extern "C"
