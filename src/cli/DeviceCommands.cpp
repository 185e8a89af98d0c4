// kestrap-cli devices and device: the devices the device manager accepts, and file work on
// one of them, on a device farm (--simulate FARM or KESTRAP_FARM).

#include "cli/Cli.h"
#include "cli/ConnectedDevices.h"
#include "cli/DeviceTree.h"
#include "device/AppCatalog.h"
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

void startManager(DeviceManager& manager, std::shared_ptr<MobileDeviceService> service, std::int32_t support)
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

std::shared_ptr<iMobileDevice> findDevice(DeviceManager& manager, const QString& udid)
{
    for (const auto& d : manager.devices())
        if (d->uuid() == udid)
            return d->canChangeService() ? d : nullptr;
    return nullptr;
}

namespace {

const QCommandLineOption kSimulate(QStringLiteral("simulate"),
    QStringLiteral("Serve the device farm FARM instead of the KESTRAP_FARM one."), QStringLiteral("FARM"));

std::shared_ptr<MobileDeviceService> serviceFor(const QCommandLineParser& p, QString* error)
{
    return p.isSet(kSimulate) ? farmMobileDeviceService(p.value(kSimulate), error) : defaultMobileDeviceService(error);
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

// The JSON name of a state, for scripts.
QString stateName(DeviceReadiness state)
{
    switch (state) {
    case DeviceReadiness::AwaitingTrust:
        return QStringLiteral("awaitingTrust");
    case DeviceReadiness::TrustDenied:
        return QStringLiteral("trustDenied");
    case DeviceReadiness::PasscodeLocked:
        return QStringLiteral("passcodeLocked");
    case DeviceReadiness::NotAnswering:
        break;
    }
    return QStringLiteral("notAnswering");
}

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject appJson(const AppBundle& app)
{
    QJsonObject record {{QStringLiteral("ID"), app.ID}, {QStringLiteral("sharesFiles"), app.sharesFiles},
        {QStringLiteral("development"), app.development}};
    if (!app.name.isNull()) {
        record.insert(QStringLiteral("name"), app.name);
        record.insert(QStringLiteral("iconPath"), app.iconPath);
    }
    if (!app.version.isNull())
        record.insert(QStringLiteral("version"), app.version);
    return record;
}

QJsonObject deviceJson(iMobileDevice& device)
{
    QJsonArray apps;
    for (const AppBundle& app : device.appBundles())
        apps.append(appJson(app));
    const std::optional<int> battery = device.batteryLevel();
    return {
        {QStringLiteral("name"), device.name()},
        {QStringLiteral("uid"), device.uuid()},
        {QStringLiteral("state"), QStringLiteral("ready")},
        {QStringLiteral("deviceType"), device.deviceType()},
        {QStringLiteral("productType"), orNull(device.productType())},
        {QStringLiteral("model"), orNull(MarketingName(device.productType()))},
        {QStringLiteral("osVersion"), orNull(device.osVersion())},
        {QStringLiteral("serialNumber"), orNull(device.serialNumber())},
        {QStringLiteral("hubPlace"), orNull(device.hubPlace())},
        {QStringLiteral("batteryLevel"), battery ? QJsonValue(*battery) : QJsonValue()},
        {QStringLiteral("capacity"), qint64(device.capacity())},
        {QStringLiteral("freeCapacity"), qint64(device.freeCapacity())},
        {QStringLiteral("isJailbreak"), device.isJailbreak()},
        {QStringLiteral("apps"), apps},
    };
}

// One device in words: what tells an operator which one it is and where it sits.
QString deviceLine(iMobileDevice& device)
{
    QStringList words {device.name(), device.uuid()};
    const QString model = MarketingName(device.productType());
    words << (model.isEmpty() ? typeName(device.deviceType()) : model);
    if (!device.osVersion().isEmpty())
        words << QStringLiteral("iOS ") + device.osVersion();
    if (!device.serialNumber().isEmpty())
        words << QStringLiteral("serial ") + device.serialNumber();
    if (!device.hubPlace().isEmpty())
        words << QStringLiteral("hub ") + device.hubPlace();
    if (const std::optional<int> battery = device.batteryLevel())
        words << QStringLiteral("battery %1%").arg(*battery);
    words << QStringLiteral("%1 free of %2")
                 .arg(CapacityString(device.freeCapacity()), CapacityString(device.capacity()));
    if (device.isJailbreak())
        words << QStringLiteral("jailbroken");
    QStringList apps;
    for (const AppBundle& app : device.appBundles())
        apps << app.ID;
    if (!apps.isEmpty())
        words << QStringLiteral("apps: ") + apps.join(QStringLiteral(", "));
    return words.join(QStringLiteral("  "));
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
        if (p.isSet(json))
            all.append(deviceJson(*device));
        else
            printLine(deviceLine(*device));
    }
    for (const NotReadyDevice& device : service->devicesNotReady()) {
        if (!p.isSet(json)) {
            const QString who = device.name.isEmpty() ? device.udid : device.name + QStringLiteral("  ") + device.udid;
            printLine(QStringLiteral("%1  %2").arg(who, notReadyText(device.state)));
            continue;
        }
        QJsonObject record {{QStringLiteral("uid"), device.udid}, {QStringLiteral("state"), stateName(device.state)}};
        if (!device.name.isEmpty())
            record.insert(QStringLiteral("name"), device.name);
        all.append(record);
    }
    if (p.isSet(json))
        printJson(QJsonDocument(all));
    return kExitOk;
}

// How much of an app a copy reaches on the devices that have it.
QString sharingText(const CatalogApp& app)
{
    if (app.development)
        return QStringLiteral("whole container");
    if (app.sharesFiles)
        return QStringLiteral("shares Documents");
    if (app.unreachableOn.size() == app.deviceUids.size())
        return QStringLiteral("shares nothing");
    return QStringLiteral("shares nothing on %1 of them").arg(app.unreachableOn.size());
}

QJsonObject catalogJson(const CatalogApp& app)
{
    QJsonObject record {
        {QStringLiteral("ID"), app.ID},
        {QStringLiteral("name"), orNull(app.name)},
        {QStringLiteral("version"), orNull(app.version)},
        {QStringLiteral("versions"), QJsonArray::fromStringList(app.versions)},
        {QStringLiteral("iconPath"), orNull(app.iconPath)},
        {QStringLiteral("sharesFiles"), app.sharesFiles},
        {QStringLiteral("development"), app.development},
        {QStringLiteral("devices"), QJsonArray::fromStringList(app.deviceUids)},
        {QStringLiteral("unreachableOn"), QJsonArray::fromStringList(app.unreachableOn)},
    };
    return record;
}

int apps(const QStringList& args)
{
    const QString usage = QStringLiteral("apps [--simulate FARM] [--json]");
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Lists the apps of the connected devices, each with the devices that have it."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object per app."));
    p.addOptions({kSimulate, json});
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (!p.positionalArguments().isEmpty())
        return usageError(QStringLiteral("apps takes no arguments."), usage);
    QString error;
    const auto service = serviceFor(p, &error);
    if (!service)
        return fail(error);
    DeviceManager manager;
    startManager(manager, service);
    const auto& devices = manager.devices();
    const std::vector<CatalogApp> catalog = gatherApps(devices);
    if (p.isSet(json)) {
        QJsonArray all;
        for (const CatalogApp& app : catalog)
            all.append(catalogJson(app));
        printJson(QJsonDocument(all));
        return kExitOk;
    }
    QHash<QString, QString> names;
    for (const auto& device : devices)
        names.insert(device->uuid(), device->name());
    for (const CatalogApp& app : catalog) {
        QStringList on;
        for (const QString& uid : app.deviceUids)
            on << names.value(uid, uid);
        const QString version = app.versions.size() > 1 ? app.versions.join(QLatin1Char('/')) : app.version;
        printLine(QStringLiteral("%1  %2  %3  %4  on %5 of %6 devices: %7")
                      .arg(app.ID, app.name.isEmpty() ? QStringLiteral("(no name)") : app.name,
                          version.isEmpty() ? QStringLiteral("(no version)") : version, sharingText(app))
                      .arg(app.deviceUids.size())
                      .arg(devices.size())
                      .arg(on.join(QStringLiteral(", "))));
    }
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
    const std::shared_ptr<iMobileDevice> device = findDevice(manager, words[0]);
    if (!device)
        return fail(QStringLiteral("No device %1 is connected.").arg(words[0]));
    if (p.isSet(app) && !device->changeService(p.value(app)))
        return fail(QStringLiteral("Can't find '%1' on '%2'").arg(p.value(app), device->name()));
    return fileAction(*device, words[1], words.mid(2), usage);
}

const Registration devicesReg(
    QStringLiteral("devices"), QStringLiteral("list the connected iPhone, iPad and iPod touch devices"), devices);
const Registration appsReg(
    QStringLiteral("apps"), QStringLiteral("list the apps of the connected devices and which devices have each"), apps);
const Registration deviceReg(
    QStringLiteral("device"), QStringLiteral("ls, get, put, rm, mkdir, mv or tree on one device"), deviceCommand);

}  // namespace

}  // namespace kestrap::cli
