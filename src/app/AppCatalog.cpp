#include "app/AppCatalog.h"

#include "device/iMobileDevice.h"
#include "job/DeviceRoster.h"

#include <QCollator>
#include <algorithm>

namespace kestrap::app {

AppCatalog::AppCatalog(DeviceRoster& roster, QObject* parent) : QObject(parent), m_roster(roster)
{
    connect(&roster, &DeviceRoster::rowAdded, this, &AppCatalog::gather);
    connect(&roster, &DeviceRoster::rowAboutToBeRemoved, this, &AppCatalog::drop);
    for (int i = 0; i < int(roster.rows().size()); ++i)
        gather(i);
}

void AppCatalog::gather(int row)
{
    const DeviceRowPtr& r = m_roster.rows()[std::size_t(row)];
    if (!r->device)
        return;
    std::vector<AppBundle> bundles = r->device->appBundles();
    if (bundles.empty())
        return;
    m_bundles[r->uid] = std::move(bundles);
    rebuild();
}

void AppCatalog::drop(int row)
{
    if (m_bundles.erase(m_roster.rows()[std::size_t(row)]->uid) > 0)
        rebuild();
}

void AppCatalog::rebuild()
{
    std::map<QString, CatalogApp> byId;
    for (const DeviceRowPtr& row : m_roster.rows()) {
        const auto listed = m_bundles.find(row->uid);
        if (listed == m_bundles.end())
            continue;
        for (const AppBundle& bundle : listed->second) {
            CatalogApp& app = byId[bundle.ID];
            app.ID = bundle.ID;
            if (!bundle.name.isEmpty())
                app.name = bundle.name;
            if (!bundle.version.isEmpty())
                app.version = bundle.version;
            if (!bundle.iconPath.isEmpty())
                app.iconPath = bundle.iconPath;
            app.sharesFiles = app.sharesFiles || bundle.sharesFiles;
            app.development = app.development || bundle.development;
            if (!app.deviceUids.contains(row->uid))
                app.deviceUids << row->uid;
        }
    }
    m_apps.clear();
    for (auto& [id, app] : byId)
        m_apps.push_back(std::move(app));
    QCollator collator;
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(m_apps.begin(), m_apps.end(), [&](const CatalogApp& a, const CatalogApp& b) {
        if (a.canReceiveFiles() != b.canReceiveFiles())
            return a.canReceiveFiles();
        return collator.compare(a.name.isEmpty() ? a.ID : a.name, b.name.isEmpty() ? b.ID : b.name) < 0;
    });
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
        if (m_bundles.count(uid) && !(app && app->deviceUids.contains(uid)))
            ++lacking;
    return lacking;
}

}  // namespace kestrap::app
