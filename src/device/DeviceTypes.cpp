#include "device/DeviceTypes.h"

namespace kestrap {

DeviceType DeviceTypeFromProductType(const QString& productType)
{
    if (productType.contains(QLatin1String("iPod")))
        return DeviceTypeTouch;
    if (productType.contains(QLatin1String("iPhone")))
        return DeviceTypePhone;
    if (productType.contains(QLatin1String("iPad")))
        return DeviceTypePad;
    return DeviceTypeUnknown;
}

QString MarketingName(const QString& productType)
{
    return productType;
}

QString DeviceIconName(std::int32_t deviceType)
{
    switch (deviceType) {
    case DeviceTypeTouch:
        return QStringLiteral("iTouch");
    case DeviceTypePad:
        return QStringLiteral("iPad");
    default:
        return QStringLiteral("iPhone");
    }
}

}  // namespace kestrap
