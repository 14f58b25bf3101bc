// Device records with other formats, appended to the device list.
#include "mv_device_variant.h"

namespace mvtest {

namespace {
// Never reaches zero, so libsoundio never frees the borrowed record.
constexpr int kBorrowedReferences = 1 << 20;
} // namespace

DeviceVariant::DeviceVariant(int index, std::vector<SoundIoFormat> formats)
    : formats_(std::move(formats)), original_(mvDeviceList.devices[index]), variant_(*original_),
      devices_(mvDeviceList.devices, mvDeviceList.devices + mvDeviceList.count),
      savedDevices_(mvDeviceList.devices) {
    variant_.ref_count = kBorrowedReferences;
    variant_.formats = formats_.data();
    variant_.format_count = int(formats_.size());
    devices_.push_back(&variant_);
    mvDeviceList.devices = devices_.data();
    mvDeviceList.count = int(devices_.size());
}

DeviceVariant::~DeviceVariant() {
    mvDeviceList.devices = savedDevices_;
    mvDeviceList.count = int(devices_.size()) - 1;
}

} // namespace mvtest
