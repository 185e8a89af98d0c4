#pragma once

#include "device/iMobileDevice.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap {

// One app as the connected devices have it, for choosing a job's App ID.
struct CatalogApp {
    QString ID;  // bundle identifier
    // "CFBundleDisplayName" as most of the devices that have the app name it (the first in
    // alphabetical order on a tie); null when none names it.
    QString name;
    // The highest "CFBundleShortVersionString" among those devices; null when none tells.
    QString version;
    QStringList versions;  // every version the devices have, lowest first; more than one: mixed
    QString iconPath;  // of the device the name came from
    // Whether house arrest gives a computer something of the app on every device that has it:
    // the whole container (development) or the Documents folder ("UIFileSharingEnabled").
    bool sharesFiles = false;
    bool development = false;  // installed for development on every device that has it
    QStringList deviceUids;  // the devices that have it, in the order the devices were given
    // Of deviceUids, the devices where nothing of the app can be reached: an App Store app
    // that does not share files. A job for the app fails there. Empty when sharesFiles.
    QStringList unreachableOn;

    bool operator==(const CatalogApp&) const = default;
};

// Where a copy into an app can write on one device: its whole container (apps installed
// for development), its Documents folder (apps that share files) or nothing.
enum class AppReach { Container, Documents, Nothing };
AppReach reachOf(const AppBundle& app);

// Every user app of the devices, one entry per bundle id, sorted by name (case-insensitive;
// an app without a name by its bundle id), then by bundle id. "On N of M devices" is
// deviceUids.size() of devices.size().
//
// Blocks: a device reads its app list over its link the first time it is asked. Call it on
// a worker thread (AppCatalog does), never on the main thread with real devices.
std::vector<CatalogApp> gatherApps(const std::vector<std::shared_ptr<iMobileDevice>>& devices);

// The apps of a set of devices, gathered off the owner's thread.
//
// Threads: create and use it on one thread that runs a Qt event loop (the main thread).
// gather() returns at once; the apps are read on a worker thread and appsChanged() comes on
// the owner's thread when they are in. A gather() while one is under way supersedes it: only
// the latest set's apps are ever shown. Destroying the catalog while it gathers is safe; the
// worker finishes its device calls on its own and its result is dropped.
class AppCatalog : public QObject {
    Q_OBJECT
public:
    explicit AppCatalog(QObject* parent = nullptr);
    ~AppCatalog() override;

    // Reads the apps of these devices (typically the device manager's devices(), again after
    // each DeviceAdded and DeviceRemoved).
    void gather(std::vector<std::shared_ptr<iMobileDevice>> devices);

    // The apps of the last set gathered; empty before the first is in.
    const std::vector<CatalogApp>& apps() const { return m_apps; }
    // How many devices that set had: the M of "on N of M devices".
    int deviceCount() const { return m_deviceCount; }
    // Whether a gather() has not delivered yet.
    bool isGathering() const { return m_pending > 0; }

signals:
    void appsChanged();

private:
    // What a worker reaches its catalog through; the catalog's end cuts the link.
    struct Link {
        std::mutex lock;
        AppCatalog* catalog = nullptr;
    };
    void deliver(unsigned generation, std::vector<CatalogApp> apps, int deviceCount);

    std::shared_ptr<Link> m_link;
    std::vector<CatalogApp> m_apps;
    int m_deviceCount = 0;
    unsigned m_generation = 0;
    int m_pending = 0;
};

}  // namespace kestrap
