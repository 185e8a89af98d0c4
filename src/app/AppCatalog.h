#pragma once

#include "device/AppCatalog.h"
#include "device/iMobileDevice.h"

#include <QObject>
#include <QStringList>
#include <vector>

namespace kestrap {
class DeviceRoster;
}

namespace kestrap::app {

// One app as the connected devices have it: where it is installed, and whether a computer can
// put files into it (it shares its files, or it is installed for development).
struct CatalogApp {
    QString ID;
    QString name;  // the display name; null when no device names it
    QString version;  // as the last device listing it says
    QString iconPath;
    bool sharesFiles = false;  // on at least one device
    bool development = false;  // on at least one device
    QStringList deviceUids;  // in the roster's order

    bool canReceiveFiles() const { return sharesFiles || development; }
};

// The apps of every connected device, gathered again off the main thread (a real device's
// app list is a round trip to its installation proxy) whenever a device comes or goes. Apps
// that can receive files come first, by name, then those that cannot. Devices that list no
// apps at all are not counted as lacking any.
//
// Threading: main thread only, where the roster tells of devices; appsChanged() comes there
// once a gathering is in, the latest only.
class AppCatalog : public QObject {
    Q_OBJECT
public:
    explicit AppCatalog(DeviceRoster& roster, QObject* parent = nullptr);

    const std::vector<CatalogApp>& apps() const { return m_apps; }
    // Devices whose apps are known (they listed some).
    int deviceCount() const { return int(m_known.size()); }
    // Whether a change of devices has not reached apps() yet.
    bool isGathering() const { return m_gatherer.isGathering(); }
    // The app with that bundle id, or null.
    const CatalogApp* find(const QString& bundleId) const;
    // Devices whose apps are known and that do not have this one, among those uids.
    int devicesLacking(const QString& bundleId, const QStringList& uids) const;

signals:
    void appsChanged();

private:
    void gather();
    void take();

    DeviceRoster& m_roster;
    kestrap::AppCatalog m_gatherer;
    QStringList m_known;  // the devices that listed some app
    std::vector<CatalogApp> m_apps;
};

}  // namespace kestrap::app
