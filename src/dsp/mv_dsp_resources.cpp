#include "mv_dsp_resources.h"

using namespace mv;

extern "C" MV_API int mvDSPAddResource(MvDspResourceList *list, MvDspResourceRelease release,
                                       void *data) {
    if (!list) return MV_ERROR_NULL_POINTER;
    if (dspResourcesSealed(list)) return MV_ERROR_INCONSISTENT;
    if (list->count == list->capacity) {
        const int32_t capacity = list->capacity * 2;
        void *entries = mvRealloc(list->entries, sizeof(MvDspResourceEntry) * capacity);
        if (!entries) return MV_ERROR_NO_MEMORY;
        list->entries = static_cast<MvDspResourceEntry *>(entries);
        list->capacity = capacity;
    }
    list->entries[list->count] = {release, data};
    return list->count++;
}

namespace mv {

void *dspFindResource(const MvDspResourceList *list, int32_t handle, MvDspResourceRelease release) {
    if (!list || handle <= 0 || handle >= list->count) return nullptr;
    const MvDspResourceEntry &entry = list->entries[handle];
    return entry.release == release ? entry.data : nullptr;
}

bool dspResourcesSealed(const MvDspResourceList *list) { return list && list->sealed != 0; }

void dspSealResources(MvDspResourceList *list, bool sealed) { list->sealed = sealed ? 1 : 0; }

} // namespace mv
