// The pictures of the operator's guide that show the device list, the app list and the cart:
// docs/screenshot-applist.png, docs/screenshot-devices.png and docs/screenshot-cart.png. Run
// from the source folder; devices that tell their details and devices not ready are stubs, the
// cart's run goes to simulated devices.

#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/Resources.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "support/DetailedDevice.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QPainter>
#include <QSplitter>
#include <QTemporaryDir>
#include <cstdio>

using namespace kestrap;
using kestrap::app::AlertController;
using kestrap::app::AppController;

namespace {

void settle(int ms)
{
    TestFarm::waitFor([] { return false; }, ms);
}

void save(const QPixmap& picture, const QString& name)
{
    const QString path = QStringLiteral("docs/") + name;
    std::printf("%s: %s\n", qPrintable(path), picture.save(path) ? "saved" : "NOT SAVED");
}

AppBundle app(const char* name, const char* id, const char* version, bool shares = true)
{
    return {QString::fromUtf8(name), QString::fromUtf8(id), {}, QString::fromUtf8(version), shares, false};
}

void addStationDevices(DeviceRoster& roster)
{
    const char* const names[] = {"Classroom iPad 1", "Classroom iPad 2", "Classroom iPad 3", "Front Desk iPhone",
        "Anna's iPhone", "Ben's iPhone", "Spare iPhone", "Library iPad"};
    const char* const places[] = {"1-4.1", "1-4.2", "1-4.3", "1-4.10", "1-4.4", "1-4.9", "2-1", "1-4.11"};
    for (int i = 0; i < 8; ++i) {
        std::vector<AppBundle> apps {app("Reader", "com.example.reader", i == 6 ? "2.0" : "2.1"),
            app("Photos Export", "com.example.photos", "1.4", false)};
        if (i < 5)
            apps.push_back(app("Lessons", "org.school.lessons", "3.2"));
        if (i % 3 == 0)
            apps.push_back(app("Notes Pro", "com.example.notespro", "5.0", false));
        auto device
            = std::make_shared<DetailedDevice>(QStringLiteral("%1f3a9c0e7b21d4%2").arg(i + 1).arg(i * 37 + 1000),
                QString::fromUtf8(names[i]), QString::fromUtf8(places[i]), apps);
        if (QString::fromUtf8(names[i]).contains(QLatin1String("iPad")))
            device->type = QStringLiteral("iPad12,1");
        else if (i % 2)
            device->type = QStringLiteral("iPhone14,7");
        device->battery = 35 + (i * 23) % 65;
        device->free = (4ull + (i * 7) % 20) << 30;
        roster.DeviceAdded(device);
    }
    roster.DevicesNotReadyChanged({
        {QStringLiteral("00008030-001A2D8E3C02802E"), DeviceReadiness::AwaitingTrust, QStringLiteral("Room 12 iPad")},
        {QStringLiteral("00008101-000C14A20E91001E"), DeviceReadiness::PasscodeLocked, {}},
        {QStringLiteral("00008110-0016455C3E89401E"), DeviceReadiness::TrustDenied, QStringLiteral("Guest iPhone")},
    });
}

// The window with the App ID list open over it: the list is a window of its own.
QPixmap withPopup(app::MainWindow& window)
{
    QComboBox* chooser = window.appIdChooser();
    settle(300);  // the apps are gathered off the main thread
    chooser->showPopup();
    settle(300);
    QWidget* popup = chooser->view()->window();
    QPixmap picture = window.grab();
    QPainter painter(&picture);
    painter.drawPixmap(popup->mapToGlobal(QPoint()) - window.mapToGlobal(QPoint()), popup->grab());
    painter.end();
    chooser->hidePopup();
    return picture;
}

void takeLists(AlertController& alerts, ScriptedPanels& panels, UserDefaults& defaults)
{
    app::KestrapAppDelegate delegate(alerts, panels, defaults);
    app::MainWindow& window = delegate.window();
    window.resize(1800, 900);
    window.show();
    addStationDevices(delegate.controller().roster());
    delegate.controller().currentDocument()->setAppId(QStringLiteral("com.example.reader"));
    settle(300);
    save(withPopup(window), QStringLiteral("screenshot-applist.png"));
    for (QSplitter* splitter : window.findChildren<QSplitter*>())
        if (splitter->orientation() == Qt::Horizontal)
            splitter->setSizes({1400, 400});
    settle(300);
    save(window.grab(), QStringLiteral("screenshot-devices.png"));
}

void takeCart(AlertController& alerts, ScriptedPanels& panels, UserDefaults& defaults, const QString& folder)
{
    TestFarm farm;
    for (int i = 0; i < 30; ++i) {
        sim::SimDeviceSpec model;
        model.name = QStringLiteral("Cart %1").arg(i + 1, 2, 10, QLatin1Char('0'));
        if (i % 8 == 3)
            model.productType = QStringLiteral("iPad7,5");
        if (i != 13 && i != 22)
            model.apps.push_back({QStringLiteral("com.example.reader"), QStringLiteral("Reader")});
        model.faults.writeDelayMsPerMiB = i < 6 ? 0 : 150 + 40 * (i % 9);
        farm.addDevice(model);
    }
    app::KestrapAppDelegate delegate(alerts, panels, defaults);
    app::MainWindow& window = delegate.window();
    window.resize(1920, 1080);
    window.showCart(true);
    window.show();
    AppController& controller = delegate.controller();
    delegate.startDevices(farm.service(), {});
    TestFarm::waitFor([&] { return controller.roster().rows().size() == 30; }, 20000);
    controller.roster().DevicesNotReadyChanged({
        {QStringLiteral("00008030-001A2D8E3C02802E"), DeviceReadiness::AwaitingTrust, QStringLiteral("Cart 31")},
        {QStringLiteral("00008101-000C14A20E91001E"), DeviceReadiness::PasscodeLocked, QStringLiteral("Cart 32")},
    });
    controller.OnExcludeDevice(27);
    JobDocument& document = *controller.currentDocument();
    QStringList files;
    for (int i = 0; i < 6; ++i) {
        files << folder + QStringLiteral("/lesson%1.mp4").arg(i + 1);
        QFile f(files.back());
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(3 << 20, char('a' + i)));
    }
    document.addFilePaths(files);
    document.setAppId(QStringLiteral("com.example.reader"));
    document.setFolder(QStringLiteral("Documents"));
    controller.runner()->setConcurrencyOverride(30);
    controller.runner()->setProgressPauseOverride(0);
    controller.OnStart();  // two devices lack the app: the question is answered Start
    settle(4000);
    save(window.grab(), QStringLiteral("screenshot-cart.png"));
    controller.runner()->stop();
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("KESTRAP_SETTINGS", home.filePath(QStringLiteral("settings.ini")).toLocal8Bit());
    qputenv("KESTRAP_LOG_DIR", home.filePath(QStringLiteral("logs")).toLocal8Bit());
    QApplication application(argc, argv);
    app::initResources();
    SettingsUserDefaults defaults(home.filePath(QStringLiteral("d.ini")));
    ScriptedAlerts script;
    script.answer(1);
    ScriptedPanels panels;
    AlertController alerts(script, defaults);
    takeLists(alerts, panels, defaults);
    takeCart(alerts, panels, defaults, home.path());
    return 0;
}
