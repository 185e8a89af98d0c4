#pragma once

#include "device/DeviceManager.h"

#include <QString>
#include <memory>

namespace kestrap {
class MobileDeviceService;
class iMobileDevice;
}  // namespace kestrap

// How a command that works on the devices connected now finds them.
namespace kestrap::cli {

// Starts the manager as the application does and lets the detector announce the devices
// connected now.
void startManager(DeviceManager& manager, std::shared_ptr<MobileDeviceService> service,
    std::int32_t support = DeviceSupportPhone | DeviceSupportPad);
// The connected device with that udid whose files sit behind services (an iPhone, iPad or
// iPod touch); null when there is none.
std::shared_ptr<iMobileDevice> findDevice(DeviceManager& manager, const QString& udid);

}  // namespace kestrap::cli
