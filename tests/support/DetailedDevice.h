#pragma once

#include "support/StubDevice.h"

// A stub that tells of itself as a connected iPhone does: model, system, serial number,
// place on the hubs, charge, space and its apps.
class DetailedDevice : public StubDevice {
public:
    DetailedDevice(QString uuid, QString name, QString hubPlace = {}, std::vector<kestrap::AppBundle> apps = {})
        : StubDevice(std::move(uuid), std::move(name), kestrap::DeviceTypePhone)
        , m_hubPlace(std::move(hubPlace))
        , m_apps(std::move(apps))
    {
    }
    QString productType() override { return type; }
    std::int32_t deviceType() override { return kestrap::DeviceTypeFromProductType(type); }
    QString osVersion() override { return QStringLiteral("16.7.2"); }
    QString serialNumber() override { return QStringLiteral("F2LX") + uuid().left(4).toUpper(); }
    QString hubPlace() override { return m_hubPlace; }
    std::optional<int> batteryLevel() override { return battery; }
    std::uint64_t freeCapacity() override { return free; }
    std::uint64_t capacity() override { return 64ull << 30; }
    std::vector<kestrap::AppBundle> appBundles() override { return m_apps; }

    QString type = QStringLiteral("iPhone10,3");
    std::optional<int> battery = 80;
    std::uint64_t free = 12ull << 30;

private:
    QString m_hubPlace;
    std::vector<kestrap::AppBundle> m_apps;
};
