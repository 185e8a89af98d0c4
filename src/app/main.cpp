// kestrap, the desktop application.

#include "app/AlertController.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/QtAlertPresenter.h"
#include "app/QtFilePanels.h"
#include "device/image/gui/QtImageDecoder.h"
#include "device/ios/MobileDeviceService.h"
#include "device/tree/TreeSeams.h"
#include "logging/LoggingSetup.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

using namespace kestrap;

namespace {

struct Options {
    QString farm;
    QStringList files;
    QString screenshot;
    int screenshotDelayMs = 0;
};

Options parseOptions(const QApplication& app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Copies files into an app's container on many iOS devices at once."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption simulate(
        QStringLiteral("simulate"), QStringLiteral("Serve the devices of a device farm."), QStringLiteral("FARM"));
    // For scripts/screenshot: saves the main window as a PNG after a delay, then quits.
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Save the main window to PNG after MS milliseconds and quit."), QStringLiteral("PNG:MS"));
    p.addOptions({simulate, screenshot});
    p.addPositionalArgument(
        QStringLiteral("JOB"), QStringLiteral("Job files (.jcf) to open."), QStringLiteral("[JOB...]"));
    p.process(app);
    Options o;
    o.farm = p.value(simulate);
    o.files = p.positionalArguments();
    if (p.isSet(screenshot)) {
        const QString v = p.value(screenshot);
        const qsizetype colon = v.lastIndexOf(QLatin1Char(':'));
        o.screenshot = colon > 0 ? v.left(colon) : v;
        o.screenshotDelayMs = colon > 0 ? v.mid(colon + 1).toInt() : 0;
    }
    return o;
}

std::shared_ptr<MobileDeviceService> deviceService(const Options& o, QString* reason)
{
    if (!o.farm.isEmpty())
        return farmMobileDeviceService(o.farm, reason);
    return defaultMobileDeviceService(reason);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kestrap"));
    QApplication::setOrganizationName(QStringLiteral("Kestrap"));
    QApplication::setApplicationVersion(QStringLiteral(KESTRAP_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kestrap"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/kestrap-256.png")));
    const Options options = parseOptions(app);

    startLogging();
    Settings::settings();
    setFileSystemImageDecoder(std::make_shared<QtImageDecoder>());

    app::QtAlertPresenter presenter;
    app::AlertController alerts(presenter, UserDefaults::standardUserDefaults());
    app::QtFilePanels panels;
    app::KestrapAppDelegate delegate(alerts, panels, UserDefaults::standardUserDefaults());
    delegate.window().show();

    QString reason;
    auto service = deviceService(options, &reason);
    delegate.startDevices(service, reason);
    for (const QString& file : options.files)
        delegate.openFile(file);

    if (!options.screenshot.isEmpty()) {
        QTimer::singleShot(options.screenshotDelayMs, &app, [&] {
            delegate.window().grab().save(options.screenshot);
            QApplication::quit();
        });
    }
    return app.exec();
}
