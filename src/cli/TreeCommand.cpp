// kestrap-cli device tree: one device's files as the device file tree sees them, with sizes
// and dates, as text or JSON.

#include "cli/Cli.h"
#include "cli/ConnectedDevices.h"
#include "cli/DeviceTree.h"
#include "device/DeviceManager.h"
#include "device/iMobileDevice.h"
#include "device/ios/MobileDeviceService.h"
#include "device/tree/FileSystemNode.h"
#include "util/Helpers.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>

namespace kestrap::cli {

namespace {

const QString kUsage = QStringLiteral(
    "device tree UDID [--app BUNDLE_ID | --apps | --camera-roll | --root] [--depth N] [--json] [--simulate FARM]");

constexpr int kDefaultDepth = 3;

QString dateText(const QDateTime& date)
{
    return date.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// One line a node, indented two spaces a level: folders end in "/", files show their size;
// apps show their bundle id.
void printText(FileSystemNode& node, int level, int depth)
{
    QString line = QString(2 * level, QLatin1Char(' '));
    if (level == 0) {
        const QString path = node.displayPath();
        line += path.isEmpty() ? QStringLiteral("/") : path;
    } else {
        line += node.displayName();
        if (node.isDirectory())
            line += QLatin1Char('/');
        if (node.isAppNode() && node.parent() && node.parent()->fsType() == FSTypeApps)
            line += QStringLiteral("  (%1)").arg(node.rootPath());
        if (!node.isDirectory())
            line += QStringLiteral("  ") + CapacityString(node.fileSize());
    }
    if (node.fsType() == FSTypeFiles)
        line += QStringLiteral("  ") + dateText(node.modifiedDate());
    printLine(line);
    if (node.isDirectory() && level < depth)
        for (const auto& child : node.children())
            printText(*child, level + 1, depth);
}

QJsonObject toJson(FileSystemNode& node, int level, int depth)
{
    QJsonObject o {
        {QStringLiteral("displayName"), node.displayName()},
        {QStringLiteral("displayPath"), node.displayPath()},
        {QStringLiteral("fullPath"), node.fullPath()},
        {QStringLiteral("rootPath"), node.rootPath().isNull() ? QJsonValue() : QJsonValue(node.rootPath())},
        {QStringLiteral("fsType"), node.fsType()},
        {QStringLiteral("isDirectory"), node.isDirectory()},
    };
    if (!node.isDirectory())
        o.insert(QStringLiteral("fileSize"), qint64(node.fileSize()));
    if (node.fsType() == FSTypeFiles)
        o.insert(QStringLiteral("modifiedDate"), node.modifiedDate().toUTC().toString(Qt::ISODate));
    if (node.isDirectory() && level < depth) {
        QJsonArray children;
        for (const auto& child : node.children())
            children.append(toJson(*child, level + 1, depth));
        o.insert(QStringLiteral("children"), children);
    }
    return o;
}

}  // namespace

int deviceTree(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Prints one device's files as a tree with sizes and dates: the media area, or an app's container, "
        "the apps, the camera roll, or the whole file system of a jailbroken device."));
    const QCommandLineOption app(
        QStringLiteral("app"), QStringLiteral("The container of this app."), QStringLiteral("BUNDLE_ID"));
    const QCommandLineOption apps(QStringLiteral("apps"), QStringLiteral("The user apps and their containers."));
    const QCommandLineOption cameraRoll(QStringLiteral("camera-roll"), QStringLiteral("The camera roll, /DCIM."));
    const QCommandLineOption root(
        QStringLiteral("root"), QStringLiteral("The whole file system (jailbroken devices only)."));
    const QCommandLineOption depth(QStringLiteral("depth"),
        QStringLiteral("Levels shown below the top (default %1).").arg(kDefaultDepth), QStringLiteral("N"),
        QString::number(kDefaultDepth));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("One JSON object, children nested."));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
        QStringLiteral("Serve the device farm FARM instead of the KESTRAP_FARM one."), QStringLiteral("FARM"));
    p.addOptions({app, apps, cameraRoll, root, depth, json, simulate});
    p.addPositionalArgument(QStringLiteral("UDID"), QStringLiteral("The device."));
    int code = 0;
    if (!parse(p, kUsage, args, &code))
        return code;
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("device tree takes one device."), kUsage);
    if (int(p.isSet(app)) + int(p.isSet(apps)) + int(p.isSet(cameraRoll)) + int(p.isSet(root)) > 1)
        return usageError(QStringLiteral("Choose one of --app, --apps, --camera-roll and --root."), kUsage);
    bool depthOk = false;
    const int levels = p.value(depth).toInt(&depthOk);
    if (!depthOk || levels < 0)
        return usageError(QStringLiteral("--depth takes a whole number, 0 or more."), kUsage);

    QString error;
    const auto service
        = p.isSet(simulate) ? farmMobileDeviceService(p.value(simulate), &error) : defaultMobileDeviceService(&error);
    if (!service)
        return fail(error);
    DeviceManager manager;
    startManager(manager, service);
    const QString udid = p.positionalArguments().first();
    const std::shared_ptr<iMobileDevice> device = findDevice(manager, udid);
    if (!device)
        return fail(QStringLiteral("No device %1 is connected.").arg(udid));

    // The app's node comes from the app root, so that its paths show the app's name; an app
    // the root does not list (one without a display name) gets a node of its own.
    std::unique_ptr<FileSystemNode> top;
    FileSystemNode* node = nullptr;
    if (p.isSet(app)) {
        top = FileSystemNode::appRootNodeWithMobileDevice(device);
        for (const auto& child : top->children())
            if (child->rootPath() == p.value(app))
                node = child.get();
        if (!node) {
            top = std::make_unique<FileSystemNode>(device, QStringLiteral("/"), nullptr, p.value(app), true);
            node = top.get();
        }
        if (!node->connectToDevice())
            return fail(QStringLiteral("Can't find '%1' on '%2'").arg(p.value(app), device->name()));
    } else {
        if (p.isSet(apps))
            top = FileSystemNode::appRootNodeWithMobileDevice(device);
        else if (p.isSet(cameraRoll))
            top = FileSystemNode::cameraRollNodeWithMobileDevice(device);
        else if (p.isSet(root))
            top = FileSystemNode::deviceRootNodeWithMobileDevice(device);
        else
            top = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);
        node = top.get();
        if (p.isSet(root) && !node->connectToDevice())
            return fail(
                QStringLiteral("Cannot read the whole file system of %1: it is not jailbroken.").arg(device->name()));
        if (node->fsType() == FSTypeFiles && !node->device()->isDirectoryAtPath(node->fullPath()))
            return fail(QStringLiteral("No folder '%1' on %2.").arg(node->fullPath(), device->name()));
    }

    if (p.isSet(json))
        printJson(QJsonDocument(toJson(*node, 0, levels)));
    else
        printText(*node, 0, levels);
    return kExitOk;
}

}  // namespace kestrap::cli
