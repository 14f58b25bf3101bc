// A program's resource table: handles issued by mvDSPAddResource, found
// again by kind (the entry's release routine is its kind).
#pragma once

#include "marovel_audio.h"

namespace mv {

// The data of handle if it names a resource released by release; null for
// handle 0, handles out of range, other kinds and a null list.
void *dspFindResource(const MvDspResourceList *list, int32_t handle, MvDspResourceRelease release);

// A sealed list takes no new resources: outside routines 0 and 1 a program
// runs on the audio thread, which never allocates. A null list is not sealed.
bool dspResourcesSealed(const MvDspResourceList *list);
void dspSealResources(MvDspResourceList *list, bool sealed);

} // namespace mv
