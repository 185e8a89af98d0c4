#pragma once

#include <QString>
#include <cstdint>

namespace kestrap {

// Where sysfs lists the USB devices of this computer, below a sysfs root ("/sys").
inline const QString kSysfsRoot = QStringLiteral("/sys");

// The bus and address usbmuxd packs into a device's "LocationID" on Linux: (bus << 16) |
// address. The address is the one the kernel gave the device when it was plugged in, not a
// port; it changes with every plug.
struct UsbAddress {
    int bus = 0;
    int address = 0;
};
UsbAddress usbAddressOfLocation(std::uint32_t locationId);

// The port path of the USB device at that bus and address, the name sysfs gives its folder
// under <sysfsRoot>/bus/usb/devices: "1-4.2" is port 2 of the hub on port 4 of bus 1's root
// hub. Null when no device there has that bus and address, or the tree cannot be read.
// Reads the local file system only (a few small files per USB device), never a device.
QString usbPortPath(const UsbAddress& where, const QString& sysfsRoot = kSysfsRoot);

}  // namespace kestrap
