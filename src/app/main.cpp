// kestrap, the desktop application.

#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/DeviceBrowserWindow.h"
#include "app/EventLogWindow.h"
#include "app/ExcludedDevicesWindow.h"
#include "app/FilesConfigWindow.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/PreferencesWindow.h"
#include "app/QtAlertPresenter.h"
#include "app/QtFilePanels.h"
#include "app/TerminationSignals.h"
#include "device/image/gui/QtImageDecoder.h"
#include "device/ios/MobileDeviceService.h"
#include "device/tree/TreeSeams.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"
#include "logging/Log.h"
#include "logging/LoggingSetup.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

using namespace kestrap;

namespace {

struct Options {
    QString farm;
    QStringList files;
    QString start;
    QString screenshot;
    int screenshotDelayMs = 0;
    QString screenshotExclude;
};

Options parseOptions(const QApplication& app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Copies files into an app's container on many iOS devices at once."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption simulate(
        QStringLiteral("simulate"), QStringLiteral("Serve the devices of a device farm."), QStringLiteral("FARM"));
    // For scripts/screenshot: excludes a device by name, starts the job, saves the main window
    // as a PNG after a delay, then quits.
    QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Start, save the main window to PNG after MS milliseconds and quit."),
        QStringLiteral("PNG:MS[:EXCLUDE]"));
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption start(QStringLiteral("start"),
        QStringLiteral("Open the job and start it: devices are served as they are plugged in."), QStringLiteral("JOB"));
    p.addOptions({simulate, start, screenshot});
    p.addPositionalArgument(
        QStringLiteral("JOB"), QStringLiteral("Job files (.jcf) to open."), QStringLiteral("[JOB...]"));
    p.process(app);
    Options o;
    o.farm = p.value(simulate);
    o.files = p.positionalArguments();
    o.start = p.value(start);
    if (p.isSet(screenshot)) {
        const QStringList parts = p.value(screenshot).split(QLatin1Char(':'));
        o.screenshot = parts.value(0);
        o.screenshotDelayMs = parts.value(1).toInt();
        o.screenshotExclude = parts.value(2);
    }
    return o;
}

std::shared_ptr<MobileDeviceService> deviceService(const Options& o, QString* reason)
{
    if (!o.farm.isEmpty())
        return farmMobileDeviceService(o.farm, reason);
    // The window serves devices as they are plugged in, and the first one starts usbmuxd.
    return defaultMobileDeviceService(reason, WithoutUsbmuxd::Wait);
}

// The screenshot run: one device left out, the job started, the window saved mid-way. With
// KESTRAP_SCREENSHOT_ALL set, the other windows are saved beside it too.
void takeScreenshot(app::KestrapAppDelegate& delegate, const Options& o)
{
    QCoreApplication::processEvents();
    const auto& rows = delegate.controller().roster().rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->name == o.screenshotExclude)
            delegate.controller().OnExcludeDevice(int(i));
    QTimer::singleShot(o.screenshotDelayMs, &delegate, [&delegate, o] {
        delegate.window().grab().save(o.screenshot);
        if (qEnvironmentVariableIsSet("KESTRAP_SCREENSHOT_ALL")) {
            const QString base = o.screenshot.chopped(4);
            delegate.OnConfig();
            delegate.filesConfigWindow()->grab().save(base + QStringLiteral("-filesettings.png"));
            delegate.OnShowExcludedDevice();
            delegate.excludedDevicesWindow()->table()->selectRow(0);
            delegate.excludedDevicesWindow()->grab().save(base + QStringLiteral("-excluded.png"));
            delegate.OnEventLog();
            delegate.eventLogWindow()->grab().save(base + QStringLiteral("-eventlog.png"));
            app::PreferencesWindow prefs(Settings::settings());
            prefs.grab().save(base + QStringLiteral("-preferences.png"));
            delegate.controller().currentJob()->stop();
            delegate.window().deviceTable()->selectRow(0);
            delegate.OnBrowseDevice();
            if (auto* browser = delegate.window().findChild<app::DeviceBrowserWindow*>()) {
                auto* tree = browser->findChild<QTreeView*>();
                tree->expandRecursively(tree->model()->index(1, 0), 2);
                tree->expand(tree->model()->index(0, 0));
                QCoreApplication::processEvents();
                browser->grab().save(base + QStringLiteral("-browser.png"));
            }
        }
        // Stopped first: quitting closes the window, which would ask about a running job.
        delegate.controller().currentJob()->stop();
        QApplication::quit();
    });
    // Last: Start may ask a question, and the timer above must be running while it waits.
    delegate.controller().OnStart();
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
    // Ended by the session or a terminal: the job stops at its next write and the event loop
    // returns, so the loggers flush what they hold when the application goes.
    app::TerminationSignals terminations;
    QObject::connect(&terminations, &app::TerminationSignals::received, &delegate, [&delegate](int signalNumber) {
        KLOG_INFO("Ending on signal %1", signalNumber);
        delegate.controller().endNow();
    });
    delegate.window().show();

    QString reason;
    auto service = deviceService(options, &reason);
    delegate.startDevices(service, reason);
    for (const QString& file : options.files)
        delegate.openFile(file);
    // From the event loop, like the person's own Start; a job that could not be read is not
    // started (the message said why).
    if (!options.start.isEmpty() && delegate.openFile(options.start))
        QTimer::singleShot(0, &delegate, [&delegate] { delegate.controller().OnStart(); });

    // From the event loop, so a question asked by Start cannot outlive the quit.
    if (!options.screenshot.isEmpty())
        QTimer::singleShot(0, &delegate, [&] { takeScreenshot(delegate, options); });
    return app.exec();
}
