#include "device/AppCatalog.h"

#include "support/StubDevice.h"
#include "support/TestFarm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

AppBundle app(const QString& id, const QString& name, const QString& version, bool shares = true, bool dev = false)
{
    AppBundle a;
    a.ID = id;
    a.name = name;
    a.iconPath = QStringLiteral("/%1.app/Icon.png").arg(name);
    a.version = version;
    a.sharesFiles = shares;
    a.development = dev;
    return a;
}

std::shared_ptr<StubDevice> device(const QString& uid, std::vector<AppBundle> apps)
{
    auto d = std::make_shared<StubDevice>(uid, uid, DeviceTypePhone);
    d->apps = std::move(apps);
    return d;
}

const CatalogApp* find(const std::vector<CatalogApp>& apps, const QString& id)
{
    for (const CatalogApp& a : apps)
        if (a.ID == id)
            return &a;
    return nullptr;
}

}  // namespace

TEST(AppCatalogGathering, EachAppIsListedOnceWithTheDevicesThatHaveItSortedByName)
{
    const std::vector<std::shared_ptr<iMobileDevice>> devices {
        device("A", {app("com.z.notes", "notes", "1.0"), app("com.b.maps", "Maps", "2.0")}),
        device("B", {app("com.b.maps", "Maps", "2.0")}),
        device("C", {}),
    };
    const auto apps = gatherApps(devices);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].ID, "com.b.maps");  // "Maps" before "notes", whatever the case
    EXPECT_EQ(apps[0].deviceUids, QStringList({"A", "B"}));
    EXPECT_EQ(apps[1].ID, "com.z.notes");
    EXPECT_EQ(apps[1].deviceUids, QStringList({"A"}));
    EXPECT_EQ(apps[1].iconPath, "/notes.app/Icon.png");
}

TEST(AppCatalogGathering, AnAppWithDifferentNamesAndVersionsTakesTheCommonNameAndTheHighestVersion)
{
    const std::vector<std::shared_ptr<iMobileDevice>> devices {
        device("A", {app("com.x.reader", "Reader", "1.9")}),
        device("B", {app("com.x.reader", "Reader Pro", "1.10")}),
        device("C", {app("com.x.reader", "Reader Pro", "1.9")}),
    };
    const auto apps = gatherApps(devices);
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].name, "Reader Pro");
    EXPECT_EQ(apps[0].iconPath, "/Reader Pro.app/Icon.png");
    EXPECT_EQ(apps[0].version, "1.10");
    EXPECT_EQ(apps[0].versions, QStringList({"1.9", "1.10"}));
}

TEST(AppCatalogGathering, AnAppThatSharesNothingSaysOnWhichDevicesNothingCanBeReached)
{
    const std::vector<std::shared_ptr<iMobileDevice>> devices {
        device("A", {app("com.shop", "Shop", "3", false), app("com.dev", "Dev", "1", false, true)}),
        device("B",
            {app("com.shop", "Shop", "3", true), app("com.dev", "Dev", "1", false, true),
                app("com.docs", "Docs", "1")}),
    };
    const auto apps = gatherApps(devices);
    const CatalogApp* shop = find(apps, "com.shop");
    ASSERT_TRUE(shop);
    EXPECT_FALSE(shop->sharesFiles);
    EXPECT_EQ(shop->unreachableOn, QStringList({"A"}));
    const CatalogApp* dev = find(apps, "com.dev");
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->development);
    EXPECT_TRUE(dev->sharesFiles);  // the whole container is given
    const CatalogApp* docs = find(apps, "com.docs");
    ASSERT_TRUE(docs);
    EXPECT_TRUE(docs->sharesFiles);
    EXPECT_FALSE(docs->development);
}

TEST(AppCatalogGathering, AnAppWithoutANameSortsByItsBundleIdAndNoDevicesGiveNoApps)
{
    EXPECT_TRUE(gatherApps({}).empty());
    const std::vector<std::shared_ptr<iMobileDevice>> devices {
        device("A", {app("com.b", QString(), QString()), app("com.c", "a", "1")}),
    };
    const auto apps = gatherApps(devices);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].ID, "com.c");
    EXPECT_TRUE(apps[1].name.isNull());
    EXPECT_TRUE(apps[1].version.isNull());
}

TEST(AppCatalogGathering, TheCatalogDeliversOnlyTheLatestSetOnItsOwnThread)
{
    AppCatalog catalog;
    int changes = 0;
    QObject::connect(&catalog, &AppCatalog::appsChanged, [&] { ++changes; });
    catalog.gather({device("A", {app("com.old", "Old", "1")})});
    catalog.gather({device("A", {app("com.new", "New", "1")}), device("B", {})});
    EXPECT_TRUE(catalog.isGathering());
    QElapsedTimer timer;
    timer.start();
    while (catalog.isGathering() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(catalog.isGathering());
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(catalog.apps().size(), 1u);
    EXPECT_EQ(catalog.apps()[0].ID, "com.new");
    EXPECT_EQ(catalog.deviceCount(), 2);
}

// The attributes a simulated device's app lookup answers, as a real device's installation
// proxy does: an App Store app without file sharing shares nothing, a development install is
// told by its signer.
TEST(AppCatalogGathering, SimulatedDevicesTellTheirAppsVersionSharingAndDevelopment)
{
    TestFarm farm;
    const QString a = farm.addPhone({{"com.x.shop", "Shop", false, false}, {"com.x.dev", "Dev", true, true}});
    const QString b = farm.addPhone({{"com.x.shop", "Shop", false, true}});
    const std::vector<std::shared_ptr<iMobileDevice>> devices {farm.open(a), farm.open(b)};
    ASSERT_TRUE(devices[0] && devices[1]);
    const auto apps = devices[0]->appBundles();
    ASSERT_EQ(apps.size(), 2u);
    for (const AppBundle& app : apps) {
        EXPECT_EQ(app.version, "1.0");
        EXPECT_EQ(app.development, app.ID == "com.x.dev");
        EXPECT_EQ(app.sharesFiles, app.ID == "com.x.dev");
    }
    const auto catalog = gatherApps(devices);
    ASSERT_EQ(catalog.size(), 2u);
    EXPECT_EQ(catalog[0].ID, "com.x.dev");
    EXPECT_EQ(catalog[1].deviceUids, QStringList({a, b}));
    EXPECT_EQ(catalog[1].unreachableOn, QStringList({a}));
}
