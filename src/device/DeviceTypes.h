#pragma once

#include <QString>
#include <cstdint>

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

// Name of the device image for a device type: "iTouch", "iPad", else "iPhone".
QString DeviceIconName(std::int32_t deviceType);

}  // namespace kestrap
