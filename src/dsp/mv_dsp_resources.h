// A program's resource table: handles issued by mvDSPAddResource, found
// again by kind (the entry's release routine is its kind).
#pragma once

#include "marovel_audio.h"

// The data of handle if it names a resource released by release; null for
// handle 0, handles out of range, other kinds and a null list.
void *dspFindResource(const MvDspResourceList *list, int32_t handle, MvDspResourceRelease release);
