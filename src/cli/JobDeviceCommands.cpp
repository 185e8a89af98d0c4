// kestrap-cli job plan --device and job remove: a job's files as they stand on devices.

#include "cli/JobDeviceCommands.h"

#include "cli/Cli.h"
#include "cli/ConnectedDevices.h"
#include "cli/Serve.h"
#include "device/DeviceManager.h"
#include "device/ios/MobileDeviceService.h"
#include "job/JobDocument.h"
#include "job/MirrorPlan.h"
#include "job/PortJob.h"
#include "logging/LoggingSetup.h"
#include "settings/Settings.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

namespace kestrap::cli {

namespace {

const QCommandLineOption kSimulate(
    QStringLiteral("simulate"), QStringLiteral("Serve the devices of a device farm."), QStringLiteral("FARM"));
const QCommandLineOption kNoChecksum(
    QStringLiteral("no-checksum"), QStringLiteral("Read a job file whose checksum does not match."));

QJsonObject planOf(
    iMobileDevice& device, const JobSettings& settings, const SendPlan& plan, bool skipUnchanged, bool mirror)
{
    QJsonArray send;
    QJsonArray unchanged;
    QStringList destinations;
    for (const SendEntryPtr& e : plan.files()) {
        const QString remote = SendPlan::remotePathOf(settings.folder, *e);
        destinations << remote;
        QJsonObject o {{QStringLiteral("path"), e->path}, {QStringLiteral("remotePath"), remote},
            {QStringLiteral("filesize"), qint64(e->filesize.value_or(0))}};
        if (!e->error.isEmpty())
            o.insert(QStringLiteral("error"), e->error);
        (skipUnchanged && e->error.isEmpty() && device.holdsUnchanged(remote, e->path) ? unchanged : send).append(o);
    }
    QJsonObject root {{QStringLiteral("send"), send}, {QStringLiteral("unchanged"), unchanged}};
    if (mirror) {
        const MirrorPlan mirrorPlan(MirrorPlan::mirroredFolders(settings), destinations);
        QJsonArray remove;
        for (const MirrorPlan::Item& item : mirrorPlan.extrasOn({&device}))
            remove.append(QJsonObject {{QStringLiteral("remotePath"), PathJoin(QStringLiteral("/"), item.path)},
                {QStringLiteral("folder"), item.isFolder}});
        root.insert(QStringLiteral("remove"), remove);
        root.insert(QStringLiteral("mirroredFolders"), QJsonArray::fromStringList(mirrorPlan.folders()));
    }
    return root;
}

}  // namespace

int jobPlanOnDevice(const QStringList& args)
{
    const QString usage
        = QStringLiteral("job plan FILE --device UDID [--simulate FARM] [--mirror] [--skip-unchanged] [--no-checksum]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Lists what a run would send to one device, leave as unchanged and, "
                                               "with --mirror, remove. Changes nothing."));
    const QCommandLineOption device(QStringLiteral("device"), QStringLiteral("The device."), QStringLiteral("UDID"));
    const QCommandLineOption mirror(QStringLiteral("mirror"),
        QStringLiteral("List what mirroring would remove (default: the \"mirrorFolders\" setting)."));
    const QCommandLineOption skipUnchanged(QStringLiteral("skip-unchanged"),
        QStringLiteral("List files the device holds unchanged apart (default: the \"skipUnchanged\" setting)."));
    p.addOptions({device, kSimulate, mirror, skipUnchanged, kNoChecksum});
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The job file (.jcf)."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One job file is required."), usage);
    JobDocument job;
    if (const JobResult read = job.readFromFile(p.positionalArguments().first(), p.isSet(kNoChecksum)); !read)
        return fail(read.error().description, read.error().reason);
    const SendPlan plan = SendPlan::collect(job.settings());
    if (plan.isEmpty())
        return fail(plan.error().isEmpty() ? QStringLiteral("No files to copy, please check the filter settings.")
                                           : plan.error());

    QString reason;
    const auto service = serviceFor(p.value(kSimulate), false, &reason);
    if (!service)
        return fail(QStringLiteral("No devices can be reached."), reason);
    DeviceManager manager;
    startManager(manager, service);
    const std::shared_ptr<iMobileDevice> found = findDevice(manager, p.value(device));
    if (!found)
        return fail(QStringLiteral("No device %1 is connected.").arg(p.value(device)));
    DeviceError why;
    const std::shared_ptr<iMobileDevice> container = found->openConnection(job.appId(), &why);
    if (!container)
        return fail(QStringLiteral("Can't find '%1' on '%2'").arg(job.appId(), found->name()), why.text);
    const Settings& settings = Settings::settings();
    QJsonObject root = planOf(*container, job.settings(), plan, p.isSet(skipUnchanged) || settings.skipUnchanged(),
        p.isSet(mirror) || settings.mirrorFolders());
    root.insert(QStringLiteral("device"), found->name());
    root.insert(QStringLiteral("udid"), p.value(device));
    printJson(QJsonDocument(root));
    return kExitOk;
}

int jobRemove(const QStringList& args)
{
    const QString usage = QStringLiteral(
        "job remove FILE [--simulate FARM] [--force] [--concurrency N] [--report FILE] [--json] [--no-checksum]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Removes the files the job sends from every connected device, then the folders they leave empty. A device "
        "file whose size differs from the job's is left alone."));
    const QCommandLineOption force(
        QStringLiteral("force"), QStringLiteral("Remove the job's files from a device even where their size differs."));
    const QCommandLineOption report(QStringLiteral("report"),
        QStringLiteral("Write what each device lost to FILE: CSV, or JSON when FILE ends in .json."),
        QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print the summary as JSON."));
    p.addOptions({kSimulate, force, kConcurrency, report, json, kNoChecksum});
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The job file (.jcf)."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One job file is required."), usage);

    startLogging();
    Settings::settings();
    JobDocument document;
    if (const JobResult read = document.readFromFile(p.positionalArguments().first(), p.isSet(kNoChecksum)); !read)
        return fail(read.error().description, read.error().reason);
    PortJob job;
    job.setRunKind(RunKind::Remove);
    job.setForce(p.isSet(force));
    if (const QString error = takeConcurrency(p, job); !error.isEmpty())
        return usageError(error, usage);
    QString reason;
    const auto service = serviceFor(p.value(kSimulate), false, &reason);
    if (!service)
        return fail(QStringLiteral("No devices can be reached."), reason);
    if (!reason.isEmpty())
        QTextStream(stderr) << reason << '\n';
    return serveJob(document, job, service, {false, p.isSet(json), p.value(report), std::nullopt, {}});
}

}  // namespace kestrap::cli
