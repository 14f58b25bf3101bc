// Recognising the engine's own sound models. Internal.
#pragma once

#include "marovel_audio.h"

namespace mv {

// True for a model made by mvNewMonoSoundModel / mvNewStereoSoundModel (its
// mixing operations are the engine's), so callers may mix the same way
// without going through the table.
bool isMonoSoundModel(const MvSoundModel *model);
bool isStereoSoundModel(const MvSoundModel *model);

} // namespace mv
