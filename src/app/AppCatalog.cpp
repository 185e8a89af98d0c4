#include "app/AppCatalog.h"

#include "job/DeviceRoster.h"

#include <algorithm>

namespace kestrap::app {

AppCatalog::AppCatalog(DeviceRoster& roster, QObject* parent) : QObject(parent), m_roster(roster)
{
    connect(&roster, &DeviceRoster::rowAdded, this, &AppCatalog::gather);
    connect(&roster, &DeviceRoster::rowRemoved, this, &AppCatalog::gather);
    connect(&m_gatherer, &kestrap::AppCatalog::appsChanged, this, &AppCatalog::take);
    if (!roster.rows().empty())
        gather();
}

void AppCatalog::gather()
{
    std::vector<std::shared_ptr<iMobileDevice>> devices;
    for (const DeviceRowPtr& row : m_roster.rows())
        if (row->device)
            devices.push_back(row->device);
    m_gatherer.gather(std::move(devices));
}

void AppCatalog::take()
{
    m_apps.clear();
    m_known.clear();
    for (const kestrap::CatalogApp& found : m_gatherer.apps()) {
        CatalogApp app;
        app.ID = found.ID;
        app.name = found.name;
        app.version = found.version;
        app.iconPath = found.iconPath;
        // Reachable on some of its devices: a job for it serves those.
        app.sharesFiles = found.unreachableOn.size() < found.deviceUids.size();
        app.development = found.development;
        app.deviceUids = found.deviceUids;
        for (const QString& uid : found.deviceUids)
            if (!m_known.contains(uid))
                m_known << uid;
        m_apps.push_back(std::move(app));
    }
    // Already by name: only the apps that can receive files move ahead.
    std::stable_partition(m_apps.begin(), m_apps.end(), [](const CatalogApp& a) { return a.canReceiveFiles(); });
    emit appsChanged();
}

const CatalogApp* AppCatalog::find(const QString& bundleId) const
{
    const auto it = std::find_if(m_apps.begin(), m_apps.end(), [&](const CatalogApp& a) { return a.ID == bundleId; });
    return it == m_apps.end() ? nullptr : &*it;
}

int AppCatalog::devicesLacking(const QString& bundleId, const QStringList& uids) const
{
    const CatalogApp* app = find(bundleId);
    int lacking = 0;
    for (const QString& uid : uids)
        if (m_known.contains(uid) && !(app && app->deviceUids.contains(uid)))
            ++lacking;
    return lacking;
}

}  // namespace kestrap::app
