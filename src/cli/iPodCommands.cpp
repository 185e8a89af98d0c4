// kestrap-cli ipod info: what the program knows of a disk-mode iPod's volume.

#include "cli/Cli.h"
#include "device/ipod/iPodDetector.h"
#include "device/ipod/iPodDevice.h"
#include "util/Helpers.h"

#include <QFileInfo>
#include <QJsonObject>

namespace kestrap::cli {

namespace {

QJsonValue orNull(const QString& s)
{
    return s.isNull() ? QJsonValue() : QJsonValue(s);
}

QString orNone(const QString& s)
{
    return s.isNull() ? QStringLiteral("(none)") : s;
}

int info(const QStringList& args)
{
    const QString usage = QStringLiteral("ipod info MOUNT [--json]");
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Describes the disk-mode iPod mounted at MOUNT."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Print JSON."));
    p.addOption(json);
    p.addPositionalArgument(QStringLiteral("MOUNT"), QStringLiteral("The iPod's mount point."));
    int code = 0;
    if (!parse(p, usage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("One mount point is required."), usage);

    const QString mount = QFileInfo(p.positionalArguments().first()).absoluteFilePath();
    if (!QFileInfo(mount).isDir())
        return fail(QStringLiteral("No such folder: %1").arg(mount));
    if (!iPodDetector::IsPodDevicePath(mount))
        return fail(QStringLiteral("Not a disk-mode iPod: %1 has no iPod_Control folder.").arg(mount));

    iPodDevice device(mount);
    if (p.isSet(json)) {
        QJsonObject o;
        o.insert(QStringLiteral("mountPath"), device.mountPath());
        o.insert(QStringLiteral("name"), device.name());
        o.insert(QStringLiteral("uuid"), orNull(device.uuid()));
        o.insert(QStringLiteral("serialNumber"), orNull(device.serialNumber()));
        o.insert(QStringLiteral("firmwareVersion"), orNull(device.firmwareVersion()));
        o.insert(QStringLiteral("familyId"), device.familyId());
        o.insert(QStringLiteral("podType"), device.PodType());
        o.insert(QStringLiteral("capacity"), qint64(device.capacity()));
        o.insert(QStringLiteral("freeCapacity"), qint64(device.freeCapacity()));
        printJson(QJsonDocument(o));
        return kExitOk;
    }
    printLine(QStringLiteral("name: %1").arg(device.name()));
    printLine(QStringLiteral("mount path: %1").arg(device.mountPath()));
    printLine(QStringLiteral("uuid: %1").arg(orNone(device.uuid())));
    printLine(QStringLiteral("serial number: %1").arg(orNone(device.serialNumber())));
    printLine(QStringLiteral("firmware: %1").arg(orNone(device.firmwareVersion())));
    printLine(QStringLiteral("family: %1").arg(device.familyId()));
    printLine(QStringLiteral("PodType: %1").arg(device.PodType()));
    printLine(QStringLiteral("capacity: %1").arg(CapacityString(device.capacity())));
    printLine(QStringLiteral("free capacity: %1").arg(CapacityString(device.freeCapacity())));
    return kExitOk;
}

int ipod(const QStringList& args)
{
    const QString sub = args.value(0);
    if (sub == QLatin1String("info"))
        return info(args.mid(1));
    return unknownSubcommand(QStringLiteral("ipod"), sub, QStringLiteral("ipod info ..."));
}

const Registration reg(QStringLiteral("ipod"), QStringLiteral("describe a disk-mode iPod's volume"), ipod);

}  // namespace

}  // namespace kestrap::cli
