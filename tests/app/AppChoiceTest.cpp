// Choosing the app from the devices, Start's word on devices that lack it, and the desktop
// notification at the end of a run.

#include "app/AlertController.h"
#include "app/AppCatalog.h"
#include "app/AppChoiceModel.h"
#include "app/AppController.h"
#include "app/DesktopNotifier.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "support/DetailedDevice.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::app;

namespace {

const QString kReader = QStringLiteral("com.example.reader");

AppBundle reader(const QString& version = QStringLiteral("2.1"))
{
    return {QStringLiteral("Reader"), kReader, QStringLiteral("/Reader.app/Icon.png"), version, true, false};
}

AppBundle notes()
{
    return {QStringLiteral("Notes"), QStringLiteral("com.example.notes"), {}, QStringLiteral("1.0"), false, false};
}

AppBundle lab()
{
    return {{}, QStringLiteral("org.lab.tool"), {}, {}, false, true};
}

std::shared_ptr<DetailedDevice> add(DeviceRoster& roster, const QString& uid, std::vector<AppBundle> apps)
{
    auto device = std::make_shared<DetailedDevice>(uid, uid, QString(), std::move(apps));
    roster.DeviceAdded(device);
    return device;
}

// Until the catalog has gathered the apps of the devices as they are now.
void settle(const app::AppCatalog& catalog)
{
    QElapsedTimer waited;
    waited.start();
    while (catalog.isGathering() && waited.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

struct Fixture : ::testing::Test {
    QTemporaryDir dir;
    SettingsUserDefaults defaults {dir.filePath(QStringLiteral("d.ini"))};
    ScriptedAlerts script;
    ScriptedPanels panels;
    AlertController alerts {script, defaults};

    QString file()
    {
        const QString path = dir.filePath(QStringLiteral("a.bin"));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("data");
        return path;
    }
};

}  // namespace

// --- The app list -----------------------------------------------------------------------

TEST(AppList, AppsAreGatheredAcrossDevicesAndThoseThatShareNothingStandApart)
{
    DeviceRoster roster;
    app::AppCatalog catalog(roster);
    AppChoiceModel choices(catalog);
    add(roster, QStringLiteral("one"), {reader(QStringLiteral("2.0")), notes()});
    auto two = add(roster, QStringLiteral("two"), {reader(), lab()});
    add(roster, QStringLiteral("three"), {});  // lists nothing: neither counted nor lacking
    settle(catalog);

    ASSERT_EQ(catalog.apps().size(), 3u);
    EXPECT_EQ(catalog.deviceCount(), 2);
    EXPECT_EQ(catalog.apps()[0].ID, QStringLiteral("org.lab.tool"));  // by name: its id, for want of one
    EXPECT_EQ(catalog.apps()[1].ID, kReader);
    EXPECT_EQ(catalog.apps()[1].deviceUids, (QStringList {"one", "two"}));

    // Receiving apps, a separator, then the one that shares nothing, greyed and not selectable.
    ASSERT_EQ(choices.rowCount(), 4);
    EXPECT_EQ(choices.index(0).data().toString(), QStringLiteral("org.lab.tool \u2014 on 1 of 2 devices"));
    EXPECT_EQ(choices.index(1).data().toString(),
        QStringLiteral("Reader \u2014 com.example.reader 2.1 \u2014 on 2 of 2 devices"));
    EXPECT_EQ(choices.index(1).data(Qt::EditRole).toString(), kReader);
    EXPECT_FALSE(choices.index(1).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(choices.index(2).data(Qt::AccessibleDescriptionRole).toString(), QStringLiteral("separator"));
    EXPECT_EQ(choices.flags(choices.index(2)), Qt::NoItemFlags);
    EXPECT_EQ(choices.index(3).data().toString(),
        QStringLiteral("Notes \u2014 com.example.notes 1.0 \u2014 does not share its files with a computer"));
    EXPECT_EQ(choices.flags(choices.index(3)), Qt::NoItemFlags);

    EXPECT_EQ(catalog.devicesLacking(QStringLiteral("com.example.notes"), {"one", "two", "three"}), 1);
    EXPECT_EQ(catalog.devicesLacking(QStringLiteral("com.nobody.has"), {"one", "two", "three"}), 2);

    roster.DeviceRemoved(two);
    settle(catalog);
    ASSERT_EQ(choices.rowCount(), 3);
    EXPECT_EQ(choices.index(0).data().toString(),
        QStringLiteral("Reader \u2014 com.example.reader 2.0 \u2014 on 1 of 1 devices"));
}

TEST_F(Fixture, ChoosingAnAppPutsItsIdInTheJobAndAnIdNoDeviceHasCanStillBeTyped)
{
    KestrapAppDelegate delegate(alerts, panels, defaults);
    MainWindow& window = delegate.window();
    JobDocument& document = *delegate.controller().currentDocument();
    add(delegate.controller().roster(), QStringLiteral("one"), {reader()});
    settle(delegate.controller().appCatalog());
    QComboBox* chooser = window.appIdChooser();
    ASSERT_EQ(chooser->count(), 1);
    emit chooser->activated(0);
    EXPECT_EQ(document.appId(), kReader);
    EXPECT_EQ(window.appIdField()->text(), kReader);

    window.appIdField()->setText(QStringLiteral("com.typed.elsewhere"));
    emit window.appIdField()->textEdited(window.appIdField()->text());
    EXPECT_EQ(document.appId(), QStringLiteral("com.typed.elsewhere"));
    // A device coming remakes the list; what was typed stays.
    add(delegate.controller().roster(), QStringLiteral("two"), {notes()});
    settle(delegate.controller().appCatalog());
    EXPECT_EQ(chooser->count(), 3);
    EXPECT_EQ(window.appIdField()->text(), QStringLiteral("com.typed.elsewhere"));
    EXPECT_EQ(document.appId(), QStringLiteral("com.typed.elsewhere"));
}

// --- Start with devices that lack the app -----------------------------------------------

TEST_F(Fixture, StartSaysHowManyDevicesLackTheAppAndCancelKeepsTheJobIdle)
{
    AppController controller(alerts, panels, defaults);
    add(controller.roster(), QStringLiteral("one"), {reader()});
    add(controller.roster(), QStringLiteral("two"), {notes()});
    add(controller.roster(), QStringLiteral("three"), {notes()});
    settle(controller.appCatalog());
    JobDocument& document = *controller.currentDocument();
    document.addFilePaths({file()});
    document.setAppId(kReader);
    document.setFolder(QStringLiteral("Documents"));

    controller.OnStart();
    ASSERT_EQ(script.asked.size(), 1u);
    EXPECT_EQ(script.asked[0].title, QStringLiteral("Start anyway?"));
    EXPECT_EQ(
        script.asked[0].message, QStringLiteral("2 of 3 devices do not have com.example.reader: they will fail."));
    EXPECT_FALSE(controller.isPreparing());

    // A device left out is not one Start would serve.
    controller.OnExcludeDevice(2);
    script.answer(1);
    controller.OnStart();
    ASSERT_EQ(script.asked.size(), 2u);
    EXPECT_EQ(
        script.asked[1].message, QStringLiteral("1 of 2 devices does not have com.example.reader: it will fail."));
    EXPECT_TRUE(controller.isPreparing());
    controller.OnStart();  // called off

    controller.OnIncludeDevices({2});
    controller.OnExcludeDevices({1, 2});
    controller.OnStart();
    EXPECT_EQ(script.asked.size(), 2u) << "every device served has the app: nothing to ask";
    controller.OnStart();
}

// --- The end of a run on the desktop ----------------------------------------------------

namespace {

struct RecordingNotifier : DesktopNotifier {
    void notify(const QString& summary, const QString& body) override { sent.emplace_back(summary, body); }
    std::vector<std::pair<QString, QString>> sent;
};

}  // namespace

TEST_F(Fixture, TheEndOfARunIsNotifiedOnceWhenTheWindowIsInTheBackground)
{
    TestFarm farm;
    farm.addPhone({{kReader, QStringLiteral("Reader")}});
    farm.addPhone({{kReader, QStringLiteral("Reader")}});
    AppController controller(alerts, panels, defaults);
    RecordingNotifier notifier;
    controller.setNotifier(&notifier);
    JobDocument& document = *controller.currentDocument();
    document.addFilePaths({file()});
    document.setAppId(kReader);
    document.setFolder(QStringLiteral("Documents"));
    controller.runner()->setProgressPauseOverride(0);
    controller.startDevices(farm.service());
    ASSERT_TRUE(TestFarm::waitFor([&] { return controller.roster().rows().size() == 2; }));

    controller.OnStart();
    ASSERT_TRUE(TestFarm::waitFor([&] { return !script.asked.empty(); }, 20000));
    TestFarm::waitFor([] { return false; }, 300);
    ASSERT_EQ(notifier.sent.size(), 1u);
    EXPECT_EQ(notifier.sent[0].first, QStringLiteral("The run has ended"));
    EXPECT_EQ(notifier.sent[0].second, QStringLiteral("2 finished, 0 failed."));
    controller.OnStart();
}

TEST(DesktopNotifier, WithoutANotificationServiceNothingHappensAndNothingWaits)
{
#if defined(__SANITIZE_THREAD__)
    // QtDBus works on a thread of its own inside the uninstrumented Qt and libdbus libraries.
    GTEST_SKIP() << "QtDBus's own thread is not visible to ThreadSanitizer";
#endif
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    QTemporaryDir dir;
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath(QStringLiteral("no-bus")).toLocal8Bit());
    QElapsedTimer t;
    t.start();
    DBusNotifier().notify(QStringLiteral("The run has ended"), QStringLiteral("1 finished, 0 failed."));
    EXPECT_LT(t.elapsed(), 1000);
    qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
}
