#include "device/AppCatalog.h"

#include <QMap>
#include <QMetaObject>
#include <QVersionNumber>
#include <algorithm>
#include <map>
#include <thread>

namespace kestrap {

namespace {

// "1.10" is above "1.9"; versions that are not dotted numbers fall back to text order.
bool versionLess(const QString& a, const QString& b)
{
    qsizetype endA = 0;
    qsizetype endB = 0;
    const QVersionNumber va = QVersionNumber::fromString(a, &endA);
    const QVersionNumber vb = QVersionNumber::fromString(b, &endB);
    if (endA == a.size() && endB == b.size() && !va.isNull() && !vb.isNull() && va != vb)
        return va < vb;
    return a < b;
}

struct Gathered {
    QMap<QString, int> names;  // display name -> devices naming it so
    QMap<QString, QString> icons;  // display name -> icon path of the first device naming it so
    QStringList versions;
    CatalogApp app;
};

void add(Gathered& g, const QString& uid, const AppBundle& bundle)
{
    if (g.app.deviceUids.contains(uid))
        return;
    const bool first = g.app.deviceUids.isEmpty();
    g.app.deviceUids.append(uid);
    if (!bundle.name.isNull()) {
        ++g.names[bundle.name];
        if (!g.icons.contains(bundle.name))
            g.icons.insert(bundle.name, bundle.iconPath);
    }
    if (!bundle.version.isNull() && !g.versions.contains(bundle.version))
        g.versions.append(bundle.version);
    const AppReach reach = reachOf(bundle);
    if (reach == AppReach::Nothing)
        g.app.unreachableOn.append(uid);
    g.app.development = (first || g.app.development) && reach == AppReach::Container;
}

CatalogApp finish(Gathered g)
{
    CatalogApp app = std::move(g.app);
    int most = 0;
    for (auto it = g.names.cbegin(); it != g.names.cend(); ++it)
        if (it.value() > most) {  // QMap walks in name order, so a tie keeps the first
            most = it.value();
            app.name = it.key();
        }
    if (!app.name.isNull())
        app.iconPath = g.icons.value(app.name);
    std::sort(g.versions.begin(), g.versions.end(), versionLess);
    app.versions = g.versions;
    if (!g.versions.isEmpty())
        app.version = g.versions.last();
    app.sharesFiles = app.unreachableOn.isEmpty();
    return app;
}

QString sortName(const CatalogApp& app)
{
    return app.name.isEmpty() ? app.ID : app.name;
}

}  // namespace

AppReach reachOf(const AppBundle& app)
{
    if (app.development)
        return AppReach::Container;
    return app.sharesFiles ? AppReach::Documents : AppReach::Nothing;
}

std::vector<CatalogApp> gatherApps(const std::vector<std::shared_ptr<iMobileDevice>>& devices)
{
    std::map<QString, Gathered> byId;
    for (const auto& device : devices) {
        if (!device)
            continue;
        const QString uid = device->uuid();
        for (const AppBundle& bundle : device->appBundles()) {
            Gathered& g = byId[bundle.ID];
            g.app.ID = bundle.ID;
            add(g, uid, bundle);
        }
    }
    std::vector<CatalogApp> apps;
    apps.reserve(byId.size());
    for (auto& [id, g] : byId)
        apps.push_back(finish(std::move(g)));
    std::stable_sort(apps.begin(), apps.end(), [](const CatalogApp& a, const CatalogApp& b) {
        const int order = QString::compare(sortName(a), sortName(b), Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.ID < b.ID;
    });
    return apps;
}

AppCatalog::AppCatalog(QObject* parent) : QObject(parent), m_link(std::make_shared<Link>())
{
    m_link->catalog = this;
}

AppCatalog::~AppCatalog()
{
    std::lock_guard guard(m_link->lock);
    m_link->catalog = nullptr;
}

void AppCatalog::gather(std::vector<std::shared_ptr<iMobileDevice>> devices)
{
    const unsigned generation = ++m_generation;
    ++m_pending;
    std::thread([link = m_link, generation, devices = std::move(devices)] {
        std::vector<CatalogApp> apps = gatherApps(devices);
        const int count = int(devices.size());
        // Posted under the link's lock, so the catalog cannot end between the check and the
        // post; a catalog that ends later drops the posted call with its other events.
        std::lock_guard guard(link->lock);
        if (AppCatalog* catalog = link->catalog)
            QMetaObject::invokeMethod(
                catalog,
                [catalog, generation, apps = std::move(apps), count]() mutable {
                    catalog->deliver(generation, std::move(apps), count);
                },
                Qt::QueuedConnection);
    }).detach();
}

void AppCatalog::deliver(unsigned generation, std::vector<CatalogApp> apps, int deviceCount)
{
    --m_pending;
    if (generation != m_generation)
        return;
    m_apps = std::move(apps);
    m_deviceCount = deviceCount;
    emit appsChanged();
}

}  // namespace kestrap
