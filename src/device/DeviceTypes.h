#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace kestrap {

// What deviceType() answers; other parts compare against these values, so they are fixed.
enum DeviceType : std::int32_t {
    DeviceTypeUnknown = -1,
    DeviceTypePod = 512,  // iPod reached in disk mode
    DeviceTypeTouch = 513,  // iPod touch
    DeviceTypePhone = 514,  // iPhone
    DeviceTypePad = 515,  // iPad
};

// The second argument of contentsOfDirectory(); any other value lists nothing.
enum PathType : std::int32_t {
    PathTypeFolders = 256,
    PathTypeFiles = 257,
    PathTypeAll = 258,  // folders first, then files
};

// The device type of an iOS device from its lockdown "ProductType".
DeviceType DeviceTypeFromProductType(const QString& productType);

// A device's model as people call it, from its "ProductType" ("iPad12,1" -> "iPad (9th
// generation)"); a type not known answers the type itself, an empty one nothing.
QString MarketingName(const QString& productType);

// Why a device that is attached is not announced yet: what its user, or the operator, must
// do before it can be served. Front ends word each state themselves.
enum class DeviceReadiness {
    AwaitingTrust,  // its "Trust this computer?" dialog is up (or about to be)
    TrustDenied,  // its user tapped "Don't Trust": unplug it, plug it in again, tap "Trust"
    PasscodeLocked,  // locked with a passcode: enter it on the device
    NotAnswering,  // attached, but it does not answer (yet): usually a device still starting
};

struct NotReadyDevice {
    QString udid;
    DeviceReadiness state = DeviceReadiness::NotAnswering;
    QString name;  // "DeviceName" where the device tells it before it trusts; else null
    bool operator==(const NotReadyDevice&) const = default;
};

// Name of the device image for a device type: "iTouch", "iPad", else "iPhone".
QString DeviceIconName(std::int32_t deviceType);

}  // namespace kestrap
