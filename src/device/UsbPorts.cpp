#include "device/UsbPorts.h"

#include <QDir>
#include <QFile>

namespace kestrap {

namespace {

// A number sysfs writes as decimal text and a newline; -1 for anything else.
int readNumber(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int value = f.read(32).trimmed().toInt(&ok);
    return ok && value >= 0 ? value : -1;
}

}  // namespace

UsbAddress usbAddressOfLocation(std::uint32_t locationId)
{
    return {int(locationId >> 16), int(locationId & 0xffff)};
}

QString usbPortPath(const UsbAddress& where, const QString& sysfsRoot)
{
    if (where.bus <= 0 || where.address <= 0)
        return {};
    const QDir devices(QDir(sysfsRoot).filePath(QStringLiteral("bus/usb/devices")));
    // Root hubs ("usb1") and interfaces ("1-4.2:1.0") sit beside the devices; only a device's
    // own folder, a bus number, a dash and its ports, names a place to plug into.
    for (const QString& name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        if (name.startsWith(QLatin1String("usb")) || name.contains(QLatin1Char(':')))
            continue;
        if (readNumber(devices.filePath(name + QStringLiteral("/busnum"))) == where.bus
            && readNumber(devices.filePath(name + QStringLiteral("/devnum"))) == where.address)
            return name;
    }
    return {};
}

}  // namespace kestrap
