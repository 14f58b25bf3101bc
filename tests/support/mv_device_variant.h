// A listed device record with other formats, for tests of the format choice
// against real backends: a copy of the device at `index` that offers only
// `formats`, appended to mvDeviceList while it lives. The copy shares the
// original's strings and lies outside libsoundio's reference counting.
// Create and destroy it while no engine call runs.
#pragma once

#include "marovel_audio.h"

#include <soundio/soundio.h>

#include <vector>

namespace mvtest {

class DeviceVariant {
public:
    DeviceVariant(int index, std::vector<SoundIoFormat> formats);
    ~DeviceVariant();
    DeviceVariant(const DeviceVariant &) = delete;
    DeviceVariant &operator=(const DeviceVariant &) = delete;

    int index() const { return int(devices_.size()) - 1; } // its place in the list
    SoundIoDevice *original() const { return original_; }

private:
    std::vector<SoundIoFormat> formats_;
    SoundIoDevice *original_;
    SoundIoDevice variant_;
    std::vector<SoundIoDevice *> devices_;
    SoundIoDevice **savedDevices_;
};

} // namespace mvtest
