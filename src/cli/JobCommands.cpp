// kestrap-cli job create|show|plan|remove: job files without the desktop application.

#include "cli/Cli.h"
#include "cli/JobDeviceCommands.h"
#include "job/JobDocument.h"
#include "job/SendPlan.h"
#include "util/Helpers.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace kestrap::cli {

namespace {

const QString kNoFiles = QStringLiteral("No files to copy, please check the filter settings.");

int failWithJobError(const JobError& e)
{
    return fail(e.description, e.reason);
}

int create(const QStringList& args)
{
    const QString usage = QStringLiteral(
        "job create FILE --app-id ID --folder DIR [--allow PATTERN] [--allow-regex] [--ignore PATTERN] "
        "[--ignore-regex] [--no-recursive] [--depth N] [PATH...]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Writes a job file."));
    const QCommandLineOption appId(
        QStringLiteral("app-id"), QStringLiteral("Bundle id of the target app."), QStringLiteral("ID"));
    const QCommandLineOption folder(QStringLiteral("folder"),
        QStringLiteral("Folder inside the app's container that receives the files."), QStringLiteral("DIR"));
    const QCommandLineOption allow(QStringLiteral("allow"),
        QStringLiteral("Extensions to admit, separated by \";\" (default \"*\": all)."), QStringLiteral("PATTERN"),
        QStringLiteral("*"));
    const QCommandLineOption allowRegex(
        QStringLiteral("allow-regex"), QStringLiteral("--allow is a regular expression searched in the whole path."));
    const QCommandLineOption ignore(QStringLiteral("ignore"),
        QStringLiteral("Extensions to leave out, separated by \";\"."), QStringLiteral("PATTERN"), QStringLiteral(""));
    const QCommandLineOption ignoreRegex(
        QStringLiteral("ignore-regex"), QStringLiteral("--ignore is a regular expression searched in the whole path."));
    const QCommandLineOption noRecursive(
        QStringLiteral("no-recursive"), QStringLiteral("Listed folders send nothing."));
    const QCommandLineOption depth(QStringLiteral("depth"), QStringLiteral("Folder levels walked (default 3)."),
        QStringLiteral("N"), QStringLiteral("3"));
    p.addOptions({appId, folder, allow, allowRegex, ignore, ignoreRegex, noRecursive, depth});
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The job file to write (.jcf)."));
    p.addPositionalArgument(
        QStringLiteral("PATH"), QStringLiteral("Files and folders to send."), QStringLiteral("[PATH...]"));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;

    const QStringList positional = p.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("A job file to write is required."), usage);
    if (IsEmpty(p.value(appId)) || IsEmpty(p.value(folder)))
        return usageError(QStringLiteral("--app-id and --folder are required."), usage);
    if (const QString fault = JobFile::appIdFault(p.value(appId)); !fault.isEmpty())
        return usageError(
            QStringLiteral("--app-id takes a bundle identifier such as com.example.app, or / for the device's media "
                           "area: the App ID %1.")
                .arg(fault),
            usage);
    bool depthOk = false;
    const int depthValue = p.value(depth).toInt(&depthOk);
    if (!depthOk)
        return usageError(QStringLiteral("--depth takes a whole number."), usage);

    JobDocument job;
    job.setAppId(p.value(appId));
    job.setFolder(p.value(folder));
    job.setAllowedPattern(p.value(allow));
    job.setIsAllowedPatternRegex(p.isSet(allowRegex));
    job.setIgnoredPattern(p.value(ignore));
    job.setIsIgnoredPatternRegex(p.isSet(ignoreRegex));
    job.setIsRecursive(!p.isSet(noRecursive));
    job.setRecursiveDepth(depthValue);
    QStringList paths;
    for (qsizetype i = 1; i < positional.size(); ++i) {
        const QFileInfo info(positional[i]);
        if (!info.exists() && !info.isSymLink())
            return fail(QStringLiteral("No such file or folder: %1").arg(positional[i]));
        paths << info.absoluteFilePath();
    }
    job.addFilePaths(paths);
    if (const JobResult written = job.writeToFile(positional[0]); !written)
        return failWithJobError(written.error());
    return kExitOk;
}

// Reads the job file named by the one positional argument, honouring --no-checksum.
bool readJob(JobDocument& job, const QString& usage, const QStringList& args, int* code)
{
    QCommandLineParser p;
    const QCommandLineOption noChecksum(
        QStringLiteral("no-checksum"), QStringLiteral("Read a file whose checksum does not match."));
    p.addOption(noChecksum);
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The job file (.jcf)."));
    if (!parse(p, usage, args, code))
        return false;
    if (p.positionalArguments().size() != 1) {
        *code = usageError(QStringLiteral("One job file is required."), usage);
        return false;
    }
    if (const JobResult read = job.readFromFile(p.positionalArguments().first(), p.isSet(noChecksum)); !read) {
        *code = failWithJobError(read.error());
        return false;
    }
    return true;
}

int show(const QStringList& args)
{
    JobDocument job;
    int code = 0;
    if (!readJob(job, QStringLiteral("job show FILE [--no-checksum]"), args, &code))
        return code;
    printJson(QJsonDocument(QJsonObject::fromVariantMap(job.toPropertyList())));
    return kExitOk;
}

int plan(const QStringList& args)
{
    JobDocument job;
    int code = 0;
    if (!readJob(job, QStringLiteral("job plan FILE [--device UDID [--simulate FARM] [--mirror]] [--no-checksum]"),
            args, &code))
        return code;
    const SendPlan sendPlan = SendPlan::collect(job.settings());
    if (sendPlan.isEmpty())
        return fail(sendPlan.error().isEmpty() ? kNoFiles : sendPlan.error());
    QJsonArray files;
    QJsonArray errors;
    for (const SendEntryPtr& e : sendPlan.files()) {
        QJsonObject o;
        if (!e->error.isEmpty()) {
            o.insert(QStringLiteral("path"), e->path);
            o.insert(QStringLiteral("error"), e->error);
            errors.append(o);
            continue;
        }
        o.insert(QStringLiteral("path"), e->path);
        o.insert(QStringLiteral("directory"), e->directory);
        o.insert(QStringLiteral("remotePath"), SendPlan::remotePathOf(job.folder(), *e));
        o.insert(QStringLiteral("filesize"), qint64(e->filesize.value_or(0)));
        files.append(o);
    }
    QJsonObject root;
    root.insert(QStringLiteral("files"), files);
    root.insert(QStringLiteral("errors"), errors);
    root.insert(QStringLiteral("totalFileSize"), qint64(sendPlan.totalFileSize()));
    printJson(QJsonDocument(root));
    return kExitOk;
}

int job(const QStringList& args)
{
    const QString sub = args.value(0);
    const QStringList rest = args.mid(1);
    if (sub == QLatin1String("create"))
        return create(rest);
    if (sub == QLatin1String("show"))
        return show(rest);
    // With a device, the plan is what a run would do to that device; without, the send list.
    if (sub == QLatin1String("plan"))
        return rest.contains(QLatin1String("--device")) || rest.filter(QStringLiteral("--device=")).size() > 0
            ? jobPlanOnDevice(rest)
            : plan(rest);
    if (sub == QLatin1String("remove"))
        return jobRemove(rest);
    return unknownSubcommand(QStringLiteral("job"), sub, QStringLiteral("job create|show|plan|remove ..."));
}

const Registration reg(
    QStringLiteral("job"), QStringLiteral("create, show or plan a job file, or take its files back"), job);

}  // namespace

}  // namespace kestrap::cli
