// kestrap-cli sim create|plug|unplug|trust|deny|unlock: device farms of simulated devices.

#include "cli/Cli.h"
#include "device/ios/sim/SimFarm.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace kestrap::cli {

namespace {

// Names of the devices in the farm already, so that new ones get names of their own.
QSet<QString> deviceNames(const QString& farm)
{
    QSet<QString> names;
    for (const QString& udid : sim::deviceIds(farm))
        if (const auto plist = sim::readDevicePlist(QDir(farm).filePath(udid)))
            names.insert(plist->value(QStringLiteral("DeviceName")).toString());
    return names;
}

int create(const QStringList& args)
{
    const QString usage = QStringLiteral(
        "sim create FARM [--devices N] [--type iPhone|iPad|iPod] [--app BUNDLE_ID[=NAME]]... "
        "[--dev-app BUNDLE_ID[=NAME]]... [--private-app BUNDLE_ID[=NAME]]... [--capacity BYTES] [--jailbroken]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Adds simulated devices to a device farm; prints their udids."));
    const QCommandLineOption devices(
        QStringLiteral("devices"), QStringLiteral("How many devices (default 1)."), QStringLiteral("N"), "1");
    const QCommandLineOption type(QStringLiteral("type"), QStringLiteral("iPhone (default), iPad or iPod."),
        QStringLiteral("KIND"), QStringLiteral("iPhone"));
    const QCommandLineOption app(QStringLiteral("app"),
        QStringLiteral("An App Store app that shares its Documents folder, with its display name after \"=\"; may "
                       "be repeated."),
        QStringLiteral("BUNDLE_ID[=NAME]"));
    const QCommandLineOption devApp(QStringLiteral("dev-app"),
        QStringLiteral("An app installed for development, whose whole container is shared; may be repeated."),
        QStringLiteral("BUNDLE_ID[=NAME]"));
    const QCommandLineOption privateApp(QStringLiteral("private-app"),
        QStringLiteral("An App Store app that shares no files with a computer; may be repeated."),
        QStringLiteral("BUNDLE_ID[=NAME]"));
    const QCommandLineOption capacity(QStringLiteral("capacity"),
        QStringLiteral("Size of the user file system in bytes (default 32 GiB)."), QStringLiteral("BYTES"));
    const QCommandLineOption jailbroken(
        QStringLiteral("jailbroken"), QStringLiteral("The devices offer \"com.apple.afc2\" on Root/."));
    p.addOptions({devices, type, app, devApp, privateApp, capacity, jailbroken});
    p.addPositionalArgument(QStringLiteral("FARM"), QStringLiteral("The device farm folder (made when missing)."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One device farm folder is required."), usage);
    bool ok = false;
    const int count = p.value(devices).toInt(&ok);
    if (!ok || count < 1 || count > 1000)
        return usageError(QStringLiteral("--devices takes a number from 1 to 1000."), usage);
    const auto productType = sim::productTypeForKind(p.value(type));
    if (!productType)
        return usageError(QStringLiteral("--type is iPhone, iPad or iPod."), usage);
    sim::SimDeviceSpec model;
    model.productType = *productType;
    model.jailbroken = p.isSet(jailbroken);
    if (p.isSet(capacity)) {
        model.capacity = p.value(capacity).toULongLong(&ok);
        if (!ok || model.capacity == 0)
            return usageError(QStringLiteral("--capacity takes a number of bytes."), usage);
    }
    struct Kind {
        const QCommandLineOption& option;
        bool development;
        bool sharesFiles;
    };
    for (const Kind& kind : {Kind {app, false, true}, Kind {devApp, true, true}, Kind {privateApp, false, false}}) {
        for (const QString& value : p.values(kind.option)) {
            const QString id = value.section(QLatin1Char('='), 0, 0);
            if (!sim::isValidBundleId(id))
                return usageError(QStringLiteral("\"%1\" is not a valid bundle id.").arg(id), usage);
            model.apps.push_back({id, value.section(QLatin1Char('='), 1), kind.development, kind.sharesFiles});
        }
    }

    const QString farm = p.positionalArguments().first();
    if (!QDir().mkpath(farm))
        return fail(QStringLiteral("Cannot create the device farm %1.").arg(farm));
    QSet<QString> names = deviceNames(farm);
    QString kind;
    for (const char* known : {"iPhone", "iPad", "iPod"})
        if (p.value(type).compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
            kind = QLatin1String(known);
    int number = 0;
    for (int i = 0; i < count; ++i) {
        do
            model.name = QStringLiteral("%1 %2").arg(kind).arg(++number);
        while (names.contains(model.name));
        names.insert(model.name);
        model.udid.clear();
        QString error;
        QString udid;
        if (!sim::createDevice(farm, model, &error, &udid))
            return fail(error);
        printLine(udid);
    }
    return kExitOk;
}

// What the operator, or the device's user, does to one simulated device.
struct DeviceAction {
    const char* name;
    const char* description;
    bool (*apply)(const QString& farm, const QString& udid, QString* error);
};

const DeviceAction kDeviceActions[] = {
    {"plug", "Plugs a simulated device in.",
        [](const QString& farm, const QString& udid, QString* error) {
            return sim::setPlugged(farm, udid, true, error);
        }},
    {"unplug", "Unplugs a simulated device.",
        [](const QString& farm, const QString& udid, QString* error) {
            return sim::setPlugged(farm, udid, false, error);
        }},
    {"trust", "Taps \"Trust\" on a simulated device asking whether to trust this computer.",
        [](const QString& farm, const QString& udid, QString* error) {
            return sim::setTrustAnswer(farm, udid, sim::TrustAnswer::Trusted, error);
        }},
    {"deny", "Taps \"Don't Trust\" on a simulated device; it asks again once plugged in again.",
        [](const QString& farm, const QString& udid, QString* error) {
            return sim::setTrustAnswer(farm, udid, sim::TrustAnswer::Denied, error);
        }},
    {"unlock", "Enters the passcode of a simulated device locked with one.",
        [](const QString& farm, const QString& udid, QString* error) {
            return sim::setPasscodeLocked(farm, udid, false, error);
        }},
};

int deviceAction(const DeviceAction& action, const QStringList& args)
{
    const QString usage = QStringLiteral("sim %1 FARM UDID").arg(QLatin1String(action.name));
    QCommandLineParser p;
    p.setApplicationDescription(QString::fromUtf8(action.description));
    p.addPositionalArgument(QStringLiteral("FARM"), QStringLiteral("The device farm folder."));
    p.addPositionalArgument(QStringLiteral("UDID"), QStringLiteral("The device."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 2)
        return usageError(QStringLiteral("A device farm and a udid are required."), usage);
    QString error;
    if (!action.apply(p.positionalArguments()[0], p.positionalArguments()[1], &error))
        return fail(error);
    return kExitOk;
}

int simCommand(const QStringList& args)
{
    const QString sub = args.value(0);
    const QStringList rest = args.mid(1);
    if (sub == QLatin1String("create"))
        return create(rest);
    for (const DeviceAction& action : kDeviceActions)
        if (sub == QLatin1String(action.name))
            return deviceAction(action, rest);
    return unknownSubcommand(
        QStringLiteral("sim"), sub, QStringLiteral("sim create|plug|unplug|trust|deny|unlock ..."));
}

const Registration reg(QStringLiteral("sim"),
    QStringLiteral("create simulated devices, plug them in or out, answer for their users"), simCommand);

}  // namespace

}  // namespace kestrap::cli
