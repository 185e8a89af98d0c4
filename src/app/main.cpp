// kestrap, the desktop application.

#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/DesktopNotifier.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/QtAlertPresenter.h"
#include "app/QtFilePanels.h"
#include "app/ScreenshotTour.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "device/image/gui/QtImageDecoder.h"
#include "device/ios/MobileDeviceService.h"
#include "device/tree/TreeSeams.h"
#include "logging/Log.h"
#include "logging/LoggingSetup.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <optional>

using namespace kestrap;

namespace {

struct Options {
    QString farm;
    QStringList files;
    QString start;
    std::optional<app::ScreenshotTour::Plan> screenshot;
};

Options parseOptions(const QApplication& app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Copies files into an app's container on many iOS devices at once."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption simulate(
        QStringLiteral("simulate"), QStringLiteral("Serve the devices of a device farm."), QStringLiteral("FARM"));
    // For scripts/screenshot: the pictures of the operator's guide.
    QCommandLineOption screenshot(QStringLiteral("screenshot"),
        QStringLiteral("Start, save every window beside PNG after MS milliseconds and quit."),
        QStringLiteral("PNG:MS[:EXCLUDE[:BROWSE]]"));
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
        o.screenshot
            = app::ScreenshotTour::Plan {parts.value(0), parts.value(1).toInt(), parts.value(2), parts.value(3)};
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
    // The screenshot run is a world of its own: it neither hands over nor is handed to.
    app::SingleInstance instance(app::SingleInstance::defaultChannels());
    if (!options.screenshot) {
        QStringList handed = options.files;
        if (!options.start.isEmpty())
            handed << options.start;
        QString reason;
        switch (instance.handOff(handed, &reason)) {
        case app::SingleInstance::HandOff::Handed:
            return 0;
        case app::SingleInstance::HandOff::Failed:
            std::fprintf(stderr, "kestrap: %s\n", qPrintable(reason));
            return 1;
        case app::SingleInstance::HandOff::NoneRunning:
            break;
        }
        // Another launch may have come first since: it gets the files then.
        if (!instance.serve(&reason)) {
            if (instance.handOff(handed) == app::SingleInstance::HandOff::Handed)
                return 0;
            std::fprintf(stderr, "kestrap: later launches open their own window: %s\n", qPrintable(reason));
        }
    }

    startLogging();
    Settings::settings();
    setFileSystemImageDecoder(std::make_shared<QtImageDecoder>());

    app::QtAlertPresenter presenter;
    app::AlertController alerts(presenter, UserDefaults::standardUserDefaults());
    app::QtFilePanels panels;
    app::KestrapAppDelegate delegate(alerts, panels, UserDefaults::standardUserDefaults());
    app::DBusNotifier notifier;
    delegate.controller().setNotifier(&notifier);
    // Ended by the session or a terminal: the job stops at its next write and the event loop
    // returns, so the loggers flush what they hold when the application goes.
    app::TerminationSignals terminations;
    // Whatever question is open goes unanswered: a service manager cannot answer it.
    QObject::connect(
        &terminations, &app::TerminationSignals::received, &delegate, [&delegate, &presenter](int signalNumber) {
            KLOG_INFO("Ending on signal %1", signalNumber);
            presenter.dismissAll();
            delegate.controller().endNow();
        });
    delegate.window().show();
    QObject::connect(&instance, &app::SingleInstance::openRequested, &delegate,
        [&delegate](const QStringList& paths) { delegate.openHandedFiles(paths); });
    QObject::connect(&instance, &app::SingleInstance::activateRequested, &delegate, [&delegate] {
        delegate.window().raise();
        delegate.window().activateWindow();
    });

    QString reason;
    auto service = deviceService(options, &reason);
    delegate.startDevices(service, reason);
    // From the event loop: a file that cannot be read is said so in a message, and an end
    // asked while that message waits must find the loop it ends running. Like the person's own
    // Start, a job that could not be read is not started (the message said why).
    QTimer::singleShot(0, &delegate, [&delegate, &presenter, &options] {
        for (const QString& file : options.files)
            if (!presenter.isDismissing())
                delegate.openFile(file);
        if (!options.start.isEmpty() && !presenter.isDismissing() && delegate.openFile(options.start)
            && !presenter.isDismissing())
            delegate.controller().OnStart();
    });

    // From the event loop, so a question asked by Start cannot outlive the quit.
    std::unique_ptr<app::ScreenshotTour> tour;
    if (options.screenshot) {
        tour = std::make_unique<app::ScreenshotTour>(delegate, *options.screenshot);
        QTimer::singleShot(0, tour.get(), &app::ScreenshotTour::start);
    }
    return app.exec();
}
