// kestrap-cli run: the application's Start without its window, for duplication stations.

#include "cli/Cli.h"
#include "cli/RunDisplay.h"
#include "cli/Serve.h"
#include "device/DeviceManager.h"
#include "device/ios/MobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "job/DeviceRowHistory.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "job/RunReport.h"
#include "logging/Log.h"
#include "logging/LoggingSetup.h"
#include "settings/Settings.h"
#include "station/StationServer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>
#include <optional>

namespace kestrap::cli {

namespace {

std::atomic<int> g_signal {0};

extern "C" void onSignal(int sig)
{
    g_signal = sig;
}

// The page's address and token, from the options or the station's environment; none when
// no address is given, and *error set when what is given cannot be used.
std::optional<StationOptions> stationOptions(const QString& listen, const QString& tokenFile, QString* error)
{
    if (listen.isEmpty()) {
        if (!tokenFile.isEmpty() && !qEnvironmentVariableIsSet("KESTRAP_LISTEN_TOKEN"))
            *error = QStringLiteral("--listen-token needs --listen.");
        return std::nullopt;
    }
    QString why;
    const auto address = station::parseListenAddress(listen, &why);
    if (!address) {
        *error = QStringLiteral("--listen %1: %2").arg(listen, why);
        return std::nullopt;
    }
    StationOptions options {*address, {}};
    if (!tokenFile.isEmpty()) {
        const auto token = station::readTokenFile(tokenFile, &why);
        if (!token) {
            *error = why;
            return std::nullopt;
        }
        options.token = *token;
    }
    if (address->needsToken() && options.token.isEmpty()) {
        *error = QStringLiteral("--listen %1 is not a loopback address: it needs --listen-token FILE.")
                     .arg(address->text());
        return std::nullopt;
    }
    return options;
}

std::unique_ptr<station::StationServer> startStation(const StationOptions& options, const QString& jobPath,
    const JobDocument& document, const PortJob& job, const DeviceRowHistory& seen, const DeviceRoster& roster)
{
    station::StationJob about {QFileInfo(jobPath).absoluteFilePath(), document.settings().appId,
        document.settings().folder, qint64(job.singleFiles().size()), job.totalFileSize()};
    station::StationFeed feed {[&job, &seen] { return RunStatusOf(seen.rows(), job.transferProgresses()); },
        [&job, &roster] { return RunStatusOf(roster.rows(), job.transferProgresses()); }};
    auto server = std::make_unique<station::StationServer>(about, feed, options.token);
    QString error;
    if (!server->start(options.address, &error)) {
        QTextStream(stderr) << error << '\n';
        return nullptr;
    }
    station::ListenAddress shown = options.address;
    shown.port = server->port();
    QTextStream(stderr) << "Station page on http://" << shown.text() << "/\n";
    return server;
}
// Writes the report of who got what; the run's summary stands whatever becomes of it.
bool writeReport(const QString& path, PortJob& job, const std::vector<DeviceRowPtr>& rows)
{
    const std::vector<ProgressRecord> records = job.transferProgresses();
    std::vector<RunReport::Row> report;
    for (const DeviceRowPtr& row : rows) {
        const auto it = std::find_if(
            records.begin(), records.end(), [&](const ProgressRecord& r) { return r.deviceid == row->uid; });
        report.push_back(RunReport::rowOf(*row, it == records.end() ? nullptr : &*it));
    }
    if (const JobResult written = RunReport::write(path, report); !written) {
        fail(written.error().description, written.error().reason);
        return false;
    }
    return true;
}

}  // namespace

const QCommandLineOption kConcurrency(QStringLiteral("concurrency"),
    QStringLiteral("Devices served at once (default: the \"concurrency\" setting)."), QStringLiteral("N"));

QString takeConcurrency(const QCommandLineParser& parser, PortJob& job)
{
    if (!parser.isSet(kConcurrency))
        return {};
    bool ok = false;
    const int n = parser.value(kConcurrency).toInt(&ok);
    // With none at a time nothing would ever be served, and the run would never end.
    if (!ok || n < 1)
        return QStringLiteral("--concurrency takes a whole number of 1 or more.");
    job.setConcurrencyOverride(n);
    return {};
}

std::shared_ptr<MobileDeviceService> serviceFor(const QString& farm, bool station, QString* reason)
{
    if (!farm.isEmpty())
        return farmMobileDeviceService(farm, reason);
    // A station serves devices as they are plugged in, and the first one starts usbmuxd.
    return defaultMobileDeviceService(reason, station ? WithoutUsbmuxd::Wait : WithoutUsbmuxd::Fail);
}

int serveJob(JobDocument& document, PortJob& job, const std::shared_ptr<MobileDeviceService>& service,
    const ServeOptions& options)
{
    switch (document.startCheck()) {
    case StartCheck::NoFiles:
        return fail(QStringLiteral("There is no file to be transferred."));
    case StartCheck::NoAppId:
        return fail(QStringLiteral("App ID can't be empty!"));
    case StartCheck::NoFolder:
        return fail(QStringLiteral("Please specify a folder under the App."));
    case StartCheck::Ready:
        break;
    }
    // Said before any device is touched, not after a run whose report would be lost.
    if (!options.report.isEmpty())
        if (const JobResult writable = RunReport::checkWritable(options.report); !writable)
            return fail(writable.error().description, writable.error().reason);

    DeviceRoster roster;
    roster.setJob(&document, &job);
    DeviceRowHistory seen(roster);
    DeviceManager manager;
    manager.setDeviceSupport(DeviceSupportPhone | DeviceSupportPad);
    manager.setMobileDeviceService(service);
    manager.setDelegate(&roster);
    manager.start();
    // Devices that are connected already are announced from the event loop; let them in first.
    service->announceAttachedDevices();
    QCoreApplication::processEvents();

    roster.queueAll();
    if (const JobResult started = job.start(document.settings()); !started) {
        manager.setDelegate(nullptr);
        return fail(started.error().description, started.error().reason);
    }

    std::unique_ptr<station::StationServer> server;
    if (options.page) {
        server = startStation(*options.page, options.jobPath, document, job, seen, roster);
        if (!server) {
            job.stop();
            manager.setDelegate(nullptr);
            return kExitFailure;
        }
    }

    RunDisplay display(job, seen.rows(), options.json);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    QEventLoop loop;
    QTimer tick;
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        display.refresh();
        if (g_signal) {
            loop.quit();
            return;
        }
        if (!options.station && job.deviceQueue().empty() && job.runningThreads() == 0)
            loop.quit();
    });
    tick.start();
    loop.exec();
    tick.stop();
    // No page is answered from here on: the run's end waits for no client.
    server.reset();
    job.stop();
    manager.setDelegate(nullptr);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    display.finish();
    const bool allGood = display.printSummary();
    // Read while the devices are still known: the report names each by its serial number.
    const bool reported = options.report.isEmpty() || writeReport(options.report, job, seen.rows());
    manager.stop();
    return allGood && reported ? kExitOk : kExitFailure;
}

namespace {

int run(const QStringList& args)
{
    const QString usage = QStringLiteral("run JOB [--simulate FARM] [--concurrency N] [--progress-pause S] "
                                         "[--connections N] [--skip-unchanged] [--verify] [--mirror] "
                                         "[--report FILE] [--station] [--json] [--no-checksum] "
                                         "[--listen [ADDR:]PORT [--listen-token FILE]]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Runs a job on every connected device and every device plugged in while "
                                               "it runs."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"), QStringLiteral("Serve the devices of a device farm."), QStringLiteral("FARM"));
    const QCommandLineOption pause(QStringLiteral("progress-pause"),
        QStringLiteral("Seconds between two progress updates of a device (default: the "
                       "\"progressPause\" setting, 0.5); copies never wait for them."),
        QStringLiteral("S"));
    const QCommandLineOption connections(QStringLiteral("connections"),
        QStringLiteral("File connections to each device, 1 to 8, each sending other files (default: the "
                       "\"connectionsPerDevice\" setting, 4)."),
        QStringLiteral("N"));
    const QCommandLineOption skipUnchanged(QStringLiteral("skip-unchanged"),
        QStringLiteral("Send only changed files: leave those a device holds with the same size and modification "
                       "time (default: the \"skipUnchanged\" setting)."));
    const QCommandLineOption verify(QStringLiteral("verify"),
        QStringLiteral("Read every file back from the device before it replaces the old one (default: the "
                       "\"verifyCopies\" setting)."));
    const QCommandLineOption mirror(QStringLiteral("mirror"),
        QStringLiteral("Remove files the job no longer has from the folders it sends, on each device that got "
                       "every file (default: the \"mirrorFolders\" setting)."));
    const QCommandLineOption report(QStringLiteral("report"),
        QStringLiteral("Write who got what, one row a device, to FILE: CSV, or JSON when FILE ends in .json."),
        QStringLiteral("FILE"));
    const QCommandLineOption station(
        QStringLiteral("station"), QStringLiteral("Keep serving devices as they are plugged in until interrupted."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the summary as JSON."));
    const QCommandLineOption noChecksum(
        QStringLiteral("no-checksum"), QStringLiteral("Read a job file whose checksum does not match."));
    const QCommandLineOption listen(QStringLiteral("listen"),
        QStringLiteral("Serve a status page, JSON and Prometheus metrics of the run on [ADDR:]PORT (default address "
                       "127.0.0.1; default: $KESTRAP_LISTEN)."),
        QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption listenToken(QStringLiteral("listen-token"),
        QStringLiteral("A file, readable only by its owner, holding the token every request must carry; needed "
                       "for any address but loopback (default: $KESTRAP_LISTEN_TOKEN)."),
        QStringLiteral("FILE"));
    p.addOptions({simulate, kConcurrency, pause, connections, skipUnchanged, verify, mirror, report, station, json,
        noChecksum, listen, listenToken});
    p.addPositionalArgument(QStringLiteral("JOB"), QStringLiteral("The job file (.jcf)."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One job file is required."), usage);

    std::optional<StationOptions> page;
    {
        QString error;
        page = stationOptions(p.isSet(listen) ? p.value(listen) : qEnvironmentVariable("KESTRAP_LISTEN"),
            p.isSet(listenToken) ? p.value(listenToken) : qEnvironmentVariable("KESTRAP_LISTEN_TOKEN"), &error);
        if (!error.isEmpty())
            return usageError(error, usage);
    }

    // The run's events go to the event log and the text logs, like the application's.
    startLogging();
    Settings::settings();

    JobDocument document;
    if (const JobResult read = document.readFromFile(p.positionalArguments().first(), p.isSet(noChecksum)); !read)
        return fail(read.error().description, read.error().reason);
    PortJob job;
    if (const QString error = takeConcurrency(p, job); !error.isEmpty())
        return usageError(error, usage);
    if (p.isSet(pause)) {
        bool ok = false;
        const double s = p.value(pause).toDouble(&ok);
        if (!ok || s < 0)
            return usageError(QStringLiteral("--progress-pause takes a number of seconds of 0 or more."), usage);
        job.setProgressPauseOverride(s);
    }
    if (p.isSet(connections)) {
        bool ok = false;
        const int n = p.value(connections).toInt(&ok);
        if (!ok || n < 1 || n > Settings::kMaxConnectionsPerDevice)
            return usageError(QStringLiteral("--connections takes a whole number from 1 to %1.")
                                  .arg(Settings::kMaxConnectionsPerDevice),
                usage);
        job.setConnectionsOverride(n);
    }
    if (p.isSet(skipUnchanged))
        job.setSkipUnchangedOverride(true);
    if (p.isSet(verify))
        job.setVerifyOverride(true);
    if (p.isSet(mirror))
        job.setMirrorOverride(true);

    QString reason;
    const std::shared_ptr<MobileDeviceService> service
        = serviceFor(p.isSet(simulate) ? p.value(simulate) : QString(), p.isSet(station), &reason);
    if (!service)
        return fail(QStringLiteral("No devices can be reached."), reason);
    if (!reason.isEmpty())
        QTextStream(stderr) << reason << '\n';
    return serveJob(document, job, service,
        {p.isSet(station), p.isSet(json), p.value(report), page, p.positionalArguments().first()});
}

const Registration reg(QStringLiteral("run"), QStringLiteral("run a job on every connected device"), run);

}  // namespace

}  // namespace kestrap::cli
