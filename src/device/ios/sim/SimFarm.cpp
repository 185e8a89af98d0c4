#include "device/ios/sim/SimFarm.h"

#include "util/Helpers.h"
#include "util/Plist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSet>
#include <QUuid>
#include <algorithm>

namespace kestrap::sim {

namespace {

QString randomUdid()
{
    QString id;
    for (int i = 0; i < 5; ++i)
        id += QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    return id;
}

QString randomHex(int digits)
{
    return randomUdid().left(digits).toUpper();
}

// "iPhone" of "iPhone10,3": the product type up to its first digit.
QString deviceClass(const QString& productType)
{
    qsizetype i = 0;
    while (i < productType.size() && !productType[i].isDigit())
        ++i;
    return productType.left(i);
}

bool setError(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

}  // namespace

SimFaults SimFaults::fromPlist(const QVariantMap& f)
{
    SimFaults faults;
    faults.refusePairing = f.value(QStringLiteral("RefusePairing")).toBool();
    faults.refuseSession = f.value(QStringLiteral("RefuseSession")).toBool();
    faults.refuseServices = f.value(QStringLiteral("RefuseServices")).toStringList();
    faults.refuseHouseArrest = f.value(QStringLiteral("RefuseHouseArrest")).toBool();
    faults.refuseAppLookups = f.value(QStringLiteral("RefuseAppLookups"), 0).toInt();
    faults.failWriteAfterBytes = f.value(QStringLiteral("FailWriteAfterBytes"), -1).toLongLong();
    faults.writeDelayMsPerMiB = f.value(QStringLiteral("WriteDelayMsPerMiB"), 0).toLongLong();
    faults.unplugAfterBytes = f.value(QStringLiteral("UnplugAfterBytes"), -1).toLongLong();
    faults.dropPairRecordReads = f.value(QStringLiteral("DropPairRecordReads"), 0).toInt();
    faults.failRenames = f.value(QStringLiteral("FailRenames"), 0).toInt();
    faults.corruptWriteAtByte = f.value(QStringLiteral("CorruptWriteAtByte"), -1).toLongLong();
    faults.stallAfterBytes = f.value(QStringLiteral("StallAfterBytes"), -1).toLongLong();
    faults.unplugAtHandshake = f.value(QStringLiteral("UnplugAtHandshake"), 0).toInt();
    return faults;
}

QVariantMap SimFaults::toPlist() const
{
    QVariantMap f;
    if (refusePairing)
        f.insert(QStringLiteral("RefusePairing"), true);
    if (refuseSession)
        f.insert(QStringLiteral("RefuseSession"), true);
    if (!refuseServices.isEmpty())
        f.insert(QStringLiteral("RefuseServices"), refuseServices);
    if (refuseHouseArrest)
        f.insert(QStringLiteral("RefuseHouseArrest"), true);
    if (refuseAppLookups > 0)
        f.insert(QStringLiteral("RefuseAppLookups"), refuseAppLookups);
    if (failWriteAfterBytes >= 0)
        f.insert(QStringLiteral("FailWriteAfterBytes"), qint64(failWriteAfterBytes));
    if (writeDelayMsPerMiB > 0)
        f.insert(QStringLiteral("WriteDelayMsPerMiB"), qint64(writeDelayMsPerMiB));
    if (unplugAfterBytes >= 0)
        f.insert(QStringLiteral("UnplugAfterBytes"), qint64(unplugAfterBytes));
    if (dropPairRecordReads > 0)
        f.insert(QStringLiteral("DropPairRecordReads"), dropPairRecordReads);
    if (failRenames > 0)
        f.insert(QStringLiteral("FailRenames"), failRenames);
    if (corruptWriteAtByte >= 0)
        f.insert(QStringLiteral("CorruptWriteAtByte"), qint64(corruptWriteAtByte));
    if (stallAfterBytes >= 0)
        f.insert(QStringLiteral("StallAfterBytes"), qint64(stallAfterBytes));
    if (unplugAtHandshake > 0)
        f.insert(QStringLiteral("UnplugAtHandshake"), unplugAtHandshake);
    return f;
}

std::optional<QString> productTypeForKind(const QString& kind)
{
    if (kind.compare(QLatin1String("iPhone"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("iPhone10,3");
    if (kind.compare(QLatin1String("iPad"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("iPad7,5");
    if (kind.compare(QLatin1String("iPod"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("iPod9,1");
    return std::nullopt;
}

bool isValidBundleId(const QString& id)
{
    return !IsEmpty(id) && !id.contains(QLatin1Char('/')) && !id.contains(QChar(0)) && id != QLatin1String(".")
        && id != QLatin1String("..");
}

std::optional<QVariantMap> readDevicePlist(const QString& deviceFolder, QString* error)
{
    QFile f(QDir(deviceFolder).filePath(kDevicePlist));
    if (!f.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("Cannot read %1: %2").arg(f.fileName(), f.errorString()));
        return std::nullopt;
    }
    QString reason;
    const auto value = plist::parse(f.readAll(), &reason);
    if (!value || value->typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("%1 is not a device description: %2").arg(f.fileName(), reason));
        return std::nullopt;
    }
    return value->toMap();
}

bool writeDevicePlist(const QString& deviceFolder, const QVariantMap& plist, QString* error)
{
    const auto xml = plist::toXml(plist);
    if (!xml)
        return setError(error, QStringLiteral("The device description has no property-list form."));
    QSaveFile f(QDir(deviceFolder).filePath(kDevicePlist));
    if (!f.open(QIODevice::WriteOnly) || f.write(*xml) != xml->size() || !f.commit())
        return setError(error, QStringLiteral("Cannot write %1: %2").arg(f.fileName(), f.errorString()));
    return true;
}

bool isDomainKey(const QString& key)
{
    return key.startsWith(QLatin1String("com.apple."));
}

QVariantMap deviceAppAttributes(const QVariantMap& farmAttributes)
{
    QVariantMap attributes = farmAttributes;
    attributes.insert(kAppFileSharing, farmAttributes.value(kAppFileSharing, true).toBool());
    if (!attributes.contains(QStringLiteral("SignerIdentity")))
        attributes.insert(QStringLiteral("SignerIdentity"),
            farmAttributes.value(kAppDevelopment, false).toBool()
                ? QStringLiteral("Apple Development: Simulated Developer (KESTRAP01)")
                : QStringLiteral("Apple iPhone OS Application Signing"));
    return attributes;
}

bool createDevice(const QString& farm, SimDeviceSpec model, QString* error, QString* udid)
{
    if (model.udid.isEmpty())
        model.udid = randomUdid();
    if (!isValidBundleId(model.udid))
        return setError(error, QStringLiteral("\"%1\" cannot name a device folder.").arg(model.udid));
    for (const auto& app : model.apps)
        if (!isValidBundleId(app.id))
            return setError(error, QStringLiteral("\"%1\" is not a valid bundle id.").arg(app.id));
    const QDir dev(QDir(farm).filePath(model.udid));
    if (dev.exists())
        return setError(error, QStringLiteral("A device %1 exists already in %2.").arg(model.udid, farm));
    if (model.name.isEmpty())
        model.name = QStringLiteral("Simulated device");

    QVariantMap apps;
    for (const SimAppSpec& app : model.apps) {
        const QString& bundleId = app.id;
        const QString& displayName = app.name;
        const QString exe = bundleId.section(QLatin1Char('.'), -1);
        apps.insert(bundleId,
            QVariantMap {
                {QStringLiteral("CFBundleIdentifier"), bundleId},
                {QStringLiteral("CFBundleDisplayName"), displayName.isEmpty() ? exe : displayName},
                {QStringLiteral("CFBundleName"), exe},
                {QStringLiteral("CFBundleExecutable"), exe},
                {QStringLiteral("CFBundleIconFile"), QStringLiteral("Icon.png")},
                {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0")},
                {QStringLiteral("ApplicationType"), QStringLiteral("User")},
                {kAppDevelopment, app.development},
                {kAppFileSharing, app.sharesFiles},
                {QStringLiteral("Path"),
                    QStringLiteral("/private/var/containers/Bundle/Application/%1/%2.app")
                        .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), exe)},
            });
    }
    QVariantMap plist {
        {QStringLiteral("DeviceName"), model.name},
        {QStringLiteral("UniqueDeviceID"), model.udid},
        {QStringLiteral("ProductType"), model.productType},
        {QStringLiteral("ProductVersion"), model.productVersion},
        {QStringLiteral("BuildVersion"), QStringLiteral("16G77")},
        {QStringLiteral("FirmwareVersion"), QStringLiteral("iBoot-4076.260.1")},
        {QStringLiteral("DeviceClass"), deviceClass(model.productType)},
        {QStringLiteral("ModelNumber"), QStringLiteral("MQ%1").arg(randomHex(3))},
        {QStringLiteral("SerialNumber"), randomHex(12).toUpper()},
        {QStringLiteral("ActivationState"), QStringLiteral("Activated")},
        {QStringLiteral("WiFiAddress"), QStringLiteral("02:00:00:00:00:01")},
        {kKeyFSTotalBytes, qint64(model.capacity)},
        {kKeyFSFreeBytes, qint64(model.capacity)},
        {kKeyPaired, true},
        {kKeyAFC2, model.jailbroken},
        {kKeyApplications, apps},
    };
    const int battery = model.batteryLevel >= 0 ? std::min(model.batteryLevel, 100)
                                                : int(QRandomGenerator::global()->bounded(35, 101));
    plist.insert(kBatteryDomain,
        QVariantMap {
            {QStringLiteral("BatteryCurrentCapacity"), qint64(battery)},
            {QStringLiteral("BatteryIsCharging"), battery < 100},
            {QStringLiteral("ExternalConnected"), true},
            {QStringLiteral("FullyCharged"), battery == 100},
        });
    plist.insert(kKeyLocationID, qint64(model.locationId ? model.locationId : placeDeviceOnHub(farm)));
    const QVariantMap faults = model.faults.toPlist();
    if (!faults.isEmpty())
        plist.insert(kKeyFaults, faults);

    if (!dev.mkpath(kMediaFolder) || !dev.mkpath(kContainersFolder))
        return setError(error, QStringLiteral("Cannot create %1.").arg(dev.path()));
    for (const auto& app : model.apps)
        dev.mkpath(QStringLiteral("%1/%2/%3").arg(kContainersFolder, app.id, kDocumentsFolder));
    if (model.jailbroken)
        dev.mkpath(kRootFolder);
    if (!writeDevicePlist(dev.path(), plist, error))
        return false;
    if (udid)
        *udid = model.udid;
    return true;
}

namespace {

bool writeSysfsNumber(const QString& path, int value)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(QByteArray::number(value) + '\n') > 0;
}

// Lays out a device folder of the fake sysfs tree.
void writeSysfsDevice(const QString& farm, const QString& portPath, int bus, int address)
{
    const QDir devices(QDir(farm).filePath(kSysfsFolder + QStringLiteral("/bus/usb/devices")));
    devices.mkpath(portPath);
    writeSysfsNumber(devices.filePath(portPath + QStringLiteral("/busnum")), bus);
    writeSysfsNumber(devices.filePath(portPath + QStringLiteral("/devnum")), address);
}

}  // namespace

std::uint32_t placeDeviceOnHub(const QString& farm)
{
    constexpr int kFirstBus = 101;
    constexpr int kPorts = 7;
    QSet<std::uint32_t> taken;
    for (const QString& udid : deviceIds(farm))
        if (const auto plist = readDevicePlist(QDir(farm).filePath(udid)))
            taken.insert(std::uint32_t(plist->value(kKeyLocationID).toLongLong()));
    for (int slot = 0;; ++slot) {
        const int bus = kFirstBus + slot / kPorts;
        const int port = slot % kPorts + 1;
        const std::uint32_t location = std::uint32_t(bus) << 16 | std::uint32_t(port + 2);
        if (taken.contains(location))
            continue;
        writeSysfsDevice(farm, QStringLiteral("%1-1").arg(bus), bus, 2);
        writeSysfsDevice(farm, QStringLiteral("%1-1.%2").arg(bus).arg(port), bus, port + 2);
        return location;
    }
}

bool setPlugged(const QString& farm, const QString& udid, bool plugged, QString* error)
{
    const QDir dev(QDir(farm).filePath(udid));
    if (!isValidBundleId(udid) || !QFileInfo::exists(dev.filePath(kDevicePlist)))
        return setError(error, QStringLiteral("No simulated device %1 in %2.").arg(udid, farm));
    const QString marker = dev.filePath(kUnpluggedMarker);
    if (plugged) {
        if (QFileInfo::exists(marker) && !QFile::remove(marker))
            return setError(error, QStringLiteral("Cannot remove %1.").arg(marker));
        return true;
    }
    QFile f(marker);
    if (!f.exists() && !f.open(QIODevice::WriteOnly))
        return setError(error, QStringLiteral("Cannot create %1: %2").arg(marker, f.errorString()));
    return true;
}

TrustAnswer trustAnswer(const QVariantMap& devicePlist)
{
    const QString answer = devicePlist.value(kKeyTrust).toString();
    if (answer == QLatin1String("pending"))
        return TrustAnswer::Pending;
    if (answer == QLatin1String("denied"))
        return TrustAnswer::Denied;
    if (answer.isEmpty() && !devicePlist.value(kKeyPaired, true).toBool())
        return TrustAnswer::Pending;
    return TrustAnswer::Trusted;
}

QString trustAnswerName(TrustAnswer answer)
{
    switch (answer) {
    case TrustAnswer::Pending:
        return QStringLiteral("pending");
    case TrustAnswer::Denied:
        return QStringLiteral("denied");
    case TrustAnswer::Trusted:
        break;
    }
    return QStringLiteral("trusted");
}

bool passcodeLocked(const QVariantMap& devicePlist)
{
    return devicePlist.value(kKeyPasscodeLocked).toBool();
}

namespace {

// Changes one value of a device's device.plist, which is read again at its next lockdown
// connection.
bool setDeviceValue(const QString& farm, const QString& udid, const QString& key, const QVariant& value, QString* error)
{
    const QString folder = QDir(farm).filePath(udid);
    std::optional<QVariantMap> plist;
    if (!isValidBundleId(udid) || !(plist = readDevicePlist(folder)))
        return setError(error, QStringLiteral("No simulated device %1 in %2.").arg(udid, farm));
    if (value.isValid())
        plist->insert(key, value);
    else
        plist->remove(key);
    // The older "Paired" would speak against the answer.
    if (key == kKeyTrust)
        plist->remove(kKeyPaired);
    return writeDevicePlist(folder, *plist, error);
}

}  // namespace

bool setTrustAnswer(const QString& farm, const QString& udid, TrustAnswer answer, QString* error)
{
    return setDeviceValue(farm, udid, kKeyTrust, trustAnswerName(answer), error);
}

bool setPasscodeLocked(const QString& farm, const QString& udid, bool locked, QString* error)
{
    return setDeviceValue(farm, udid, kKeyPasscodeLocked, locked ? QVariant(true) : QVariant(), error);
}

bool takeUnlisted(const QString& farm, const QString& udid)
{
    QFile marker(QDir(farm).filePath(udid + QLatin1Char('/') + kUnlistedMarker));
    if (!marker.open(QIODevice::ReadOnly))
        return false;
    const int left = std::max(1, marker.readAll().trimmed().toInt());
    marker.close();
    if (left <= 1)
        marker.remove();
    else if (marker.open(QIODevice::WriteOnly | QIODevice::Truncate))
        marker.write(QByteArray::number(left - 1));
    return true;
}

QStringList deviceIds(const QString& farm)
{
    QStringList ids;
    const QDir dir(farm);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (QFileInfo::exists(dir.filePath(name + QLatin1Char('/') + kDevicePlist)))
            ids << name;
    return ids;
}

bool isPlugged(const QString& farm, const QString& udid)
{
    const QDir dev(QDir(farm).filePath(udid));
    return QFileInfo::exists(dev.filePath(kDevicePlist)) && !QFileInfo::exists(dev.filePath(kUnpluggedMarker));
}

}  // namespace kestrap::sim
