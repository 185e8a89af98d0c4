#include "device/ios/MobileDeviceService.h"

#include "device/ios/sim/SimMobileDeviceService.h"

#include <QFileInfo>

namespace kestrap {

std::shared_ptr<MobileDeviceService> farmMobileDeviceService(const QString& farm, QString* error)
{
    if (QFileInfo(farm).isDir())
        return std::make_shared<sim::SimMobileDeviceService>(farm);
    if (error)
        *error = QStringLiteral("The device farm %1 is not a folder.").arg(farm);
    return nullptr;
}

std::shared_ptr<MobileDeviceService> defaultMobileDeviceService(QString* error)
{
    const QString farm = qEnvironmentVariable("KESTRAP_FARM");
    if (!farm.isEmpty())
        return farmMobileDeviceService(farm, error);
    if (error)
        *error = QStringLiteral("This build has no real-device backend; give a device farm (KESTRAP_FARM).");
    return nullptr;
}

}  // namespace kestrap
