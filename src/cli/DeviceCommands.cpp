// kestrap-cli devices and device: the devices the device manager accepts, and file work on
// one of them, on a device farm (--simulate FARM or KESTRAP_FARM).

#include "cli/Cli.h"
#include "cli/DeviceTree.h"
#include "device/DeviceManager.h"
#include "device/iMobileDevice.h"
#include "device/ios/MobileDeviceService.h"
#include "device/ipod/iPodDetector.h"
#include "util/Helpers.h"
#include "util/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace kestrap::cli {

namespace {

const QCommandLineOption kSimulate(QStringLiteral("simulate"),
    QStringLiteral("Serve the device farm FARM instead of the KESTRAP_FARM one."), QStringLiteral("FARM"));

std::shared_ptr<MobileDeviceService> serviceFor(const QCommandLineParser& p, QString* error)
{
    return p.isSet(kSimulate) ? farmMobileDeviceService(p.value(kSimulate), error) : defaultMobileDeviceService(error);
}

// Starts the manager as the application does and lets the detector announce the devices
// connected now.
void startManager(DeviceManager& manager, std::shared_ptr<MobileDeviceService> service,
    std::int32_t support = DeviceSupportPhone | DeviceSupportPad)
{
    manager.setDeviceSupport(support);
    manager.setMobileDeviceService(service);
    manager.start();
    // Real devices are opened by the backend before they are announced; it knows when the
    // ones attached now are ready.
    service->announceAttachedDevices();
    // iPods mounted before the start are announced from threads of their own and handed to
    // this thread; once they have all been sent, one round of events takes them in.
    if (manager.iPodListener())
        manager.iPodListener()->waitForAnnouncements();
    QCoreApplication::processEvents();
}

QString typeName(std::int32_t type)
{
    switch (type) {
    case DeviceTypeTouch:
        return QStringLiteral("iPod touch");
    case DeviceTypePhone:
        return QStringLiteral("iPhone");
    case DeviceTypePad:
        return QStringLiteral("iPad");
    case DeviceTypePod:
        return QStringLiteral("iPod");
    default:
        return QStringLiteral("unknown");
    }
}

// What an operator must do for a device that is attached but not served yet.
QString notReadyText(DeviceReadiness state)
{
    switch (state) {
    case DeviceReadiness::AwaitingTrust:
        return QStringLiteral("waiting for trust: unlock it and tap \"Trust\"");
    case DeviceReadiness::TrustDenied:
        return QStringLiteral("trust denied: unplug it, plug it in again and tap \"Trust\"");
    case DeviceReadiness::PasscodeLocked:
        return QStringLiteral("locked: enter the passcode on the device");
    case DeviceReadiness::NotAnswering:
        break;
    }
    return QStringLiteral("not answering");
}

int devices(const QStringList& args)
{
    const QString usage = QStringLiteral("devices [--simulate FARM] [--support FLAGS] [--json]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Lists the connected iPhone, iPad and iPod touch devices."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per device."));
    const QCommandLineOption support(QStringLiteral("support"),
        QStringLiteral("Device kinds accepted, added up: 1 disk-mode iPods, 2 iPhone and iPod touch, 8 iPad "
                       "(default 10, as the application)."),
        QStringLiteral("FLAGS"), QStringLiteral("10"));
    p.addOptions({kSimulate, support, json});
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (!p.positionalArguments().isEmpty())
        return usageError(QStringLiteral("devices takes no arguments."), usage);
    bool supportOk = false;
    const int flags = p.value(support).toInt(&supportOk);
    if (!supportOk || flags < 0)
        return usageError(QStringLiteral("--support takes a whole number such as 10 or 11."), usage);
    QString error;
    const auto service = serviceFor(p, &error);
    if (!service)
        return fail(error);
    DeviceManager manager;
    startManager(manager, service, flags);

    QJsonArray all;
    for (const auto& device : manager.devices()) {
        QJsonArray apps;
        QStringList appNames;
        for (const AppBundle& app : device->appBundles()) {
            QJsonObject record {{QStringLiteral("ID"), app.ID}};
            if (!app.name.isNull()) {
                record.insert(QStringLiteral("name"), app.name);
                record.insert(QStringLiteral("iconPath"), app.iconPath);
            }
            apps.append(record);
            appNames << app.ID;
        }
        const bool jailbroken = device->isJailbreak();
        if (!p.isSet(json)) {
            printLine(QStringLiteral("%1  %2  %3  %4 free of %5%6%7")
                          .arg(device->name(), device->uuid(), typeName(device->deviceType()),
                              CapacityString(device->freeCapacity()), CapacityString(device->capacity()),
                              jailbroken ? QStringLiteral("  jailbroken") : QString(),
                              appNames.isEmpty() ? QString() : QStringLiteral("  apps: ") + appNames.join(", ")));
            continue;
        }
        all.append(QJsonObject {
            {QStringLiteral("name"), device->name()},
            {QStringLiteral("uid"), device->uuid()},
            {QStringLiteral("deviceType"), device->deviceType()},
            {QStringLiteral("capacity"), qint64(device->capacity())},
            {QStringLiteral("freeCapacity"), qint64(device->freeCapacity())},
            {QStringLiteral("isJailbreak"), jailbroken},
            {QStringLiteral("apps"), apps},
        });
    }
    if (p.isSet(json))
        printJson(QJsonDocument(all));
    else
        for (const NotReadyDevice& device : service->devicesNotReady())
            printLine(QStringLiteral("%1  %2").arg(device.udid, notReadyText(device.state)));
    return kExitOk;
}

// One file operation; answers the exit code.
int fileAction(iMobileDevice& device, const QString& action, const QStringList& words, const QString& usage)
{
    const auto need = [&](int n) { return words.size() == n; };
    if (action == QLatin1String("ls")) {
        if (words.size() > 1)
            return usageError(QStringLiteral("ls takes at most one folder."), usage);
        const QString folder = words.value(0, QStringLiteral("/"));
        if (!device.isDirectoryAtPath(folder))
            return fail(QStringLiteral("No folder '%1' on %2.").arg(folder, device.name()));
        for (const auto& node : device.contentsOfDirectory(folder, PathTypeAll)) {
            if (node.name() == QLatin1String(".") || node.name() == QLatin1String(".."))
                continue;
            printLine(node.isDirectory()
                    ? node.name() + QLatin1Char('/')
                    : QStringLiteral("%1\t%2").arg(node.name()).arg(device.getSizeOfItemAtPath(node.fullpath())));
        }
        return kExitOk;
    }
    if (action == QLatin1String("put")) {
        if (!need(2))
            return usageError(QStringLiteral("put takes LOCAL REMOTE."), usage);
        const QFileInfo local(words[0]);
        if (!local.isFile())
            return fail(QStringLiteral("No such file: %1").arg(words[0]));
        QString remote = words[1];
        bool isDir = false;
        if (device.itemExistsAtPath(remote, &isDir) && isDir)
            remote = PathJoin(remote, local.fileName());
        const UploadResult sent = device.sendFile({remote, local.absoluteFilePath()});
        if (!sent.ok())
            return fail(QStringLiteral("Failed to copy '%1' to %2!").arg(words[0], device.name()), sent.error.text);
        return kExitOk;
    }
    if (action == QLatin1String("get")) {
        if (!need(2))
            return usageError(QStringLiteral("get takes REMOTE LOCAL."), usage);
        bool isDir = false;
        if (!device.itemExistsAtPath(words[0], &isDir) || isDir)
            return fail(QStringLiteral("No file '%1' on %2.").arg(words[0], device.name()));
        QString local = words[1];
        if (QFileInfo(local).isDir())
            local = QDir(local).filePath(LastPathComponent(words[0]));
        if (!device.downloadFile(words[0], local))
            return fail(QStringLiteral("Failed to copy '%1' from %2!").arg(words[0], device.name()));
        return kExitOk;
    }
    if (action == QLatin1String("rm")) {
        if (!need(1))
            return usageError(QStringLiteral("rm takes one path."), usage);
        if (!device.deleteItemAtPath(words[0]))
            return fail(QStringLiteral("Cannot remove '%1' on %2 (missing, or a folder that is not empty).")
                            .arg(words[0], device.name()));
        return kExitOk;
    }
    if (action == QLatin1String("mkdir")) {
        if (!need(1))
            return usageError(QStringLiteral("mkdir takes one path."), usage);
        bool isDir = false;
        if (!device.createDirectory(words[0]) && !(device.itemExistsAtPath(words[0], &isDir) && isDir))
            return fail(QStringLiteral("Cannot create the folder '%1' on %2.").arg(words[0], device.name()));
        return kExitOk;
    }
    if (action == QLatin1String("mv")) {
        if (!need(2))
            return usageError(QStringLiteral("mv takes PATH NEW_NAME."), usage);
        if (!device.renameItemAtPath(words[0], words[1]))
            return fail(QStringLiteral("Cannot rename '%1' to '%2' on %3.").arg(words[0], words[1], device.name()));
        return kExitOk;
    }
    return usageError(QStringLiteral("Unknown device action \"%1\".").arg(action), usage);
}

int deviceCommand(const QStringList& args)
{
    if (args.value(0) == QLatin1String("tree"))
        return deviceTree(args.mid(1));
    const QString usage = QStringLiteral(
        "device UDID ls [FOLDER] | get REMOTE LOCAL | put LOCAL REMOTE | rm PATH | mkdir PATH | mv PATH NEW_NAME "
        "[--app BUNDLE_ID] [--simulate FARM]");
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("File work on one device, in its media area or, with --app, in an app's container."));
    const QCommandLineOption app(
        QStringLiteral("app"), QStringLiteral("Work in this app's container."), QStringLiteral("BUNDLE_ID"));
    p.addOptions({app, kSimulate});
    p.addPositionalArgument(QStringLiteral("UDID"), QStringLiteral("The device."));
    p.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("ls, get, put, rm, mkdir or mv."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    const QStringList words = p.positionalArguments();
    if (words.size() < 2)
        return usageError(QStringLiteral("A device and an action are required."), usage);
    QString error;
    const auto service = serviceFor(p, &error);
    if (!service)
        return fail(error);
    DeviceManager manager;
    startManager(manager, service);
    std::shared_ptr<iMobileDevice> device;
    for (const auto& d : manager.devices())
        if (d->uuid() == words[0] && d->canChangeService())
            device = d;
    if (!device)
        return fail(QStringLiteral("No device %1 is connected.").arg(words[0]));
    if (p.isSet(app) && !device->changeService(p.value(app)))
        return fail(QStringLiteral("Can't find '%1' on '%2'").arg(p.value(app), device->name()));
    return fileAction(*device, words[1], words.mid(2), usage);
}

const Registration devicesReg(
    QStringLiteral("devices"), QStringLiteral("list the connected iPhone, iPad and iPod touch devices"), devices);
const Registration deviceReg(
    QStringLiteral("device"), QStringLiteral("ls, get, put, rm, mkdir, mv or tree on one device"), deviceCommand);

}  // namespace

}  // namespace kestrap::cli
