#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The device farm: a folder of simulated devices (format in docs/device-farm.md).
//
//   FARM/<udid>/device.plist              lockdown values, file-system figures, apps, faults
//   FARM/<udid>/Media/                    root of "com.apple.afc"
//   FARM/<udid>/Containers/<bundle id>/   root of that app's container (house arrest)
//   FARM/<udid>/Root/                     root of "com.apple.afc2" (jailbroken devices only)
//   FARM/<udid>/.unplugged                present while the device is unplugged
//   FARM/<udid>/.unlisted                 the emulator's next N device lists leave the device out
namespace kestrap::sim {

inline const QString kDevicePlist = QStringLiteral("device.plist");
inline const QString kUnpluggedMarker = QStringLiteral(".unplugged");
inline const QString kUnlistedMarker = QStringLiteral(".unlisted");
inline const QString kMediaFolder = QStringLiteral("Media");
inline const QString kContainersFolder = QStringLiteral("Containers");
inline const QString kRootFolder = QStringLiteral("Root");
inline const QString kDocumentsFolder = QStringLiteral("Documents");  // of an app's container

// Keys of device.plist that belong to the simulation, not to the lockdown values.
inline const QString kKeyFSTotalBytes = QStringLiteral("FSTotalBytes");
inline const QString kKeyFSFreeBytes = QStringLiteral("FSFreeBytes");
inline const QString kKeyPaired = QStringLiteral("Paired");
inline const QString kKeyAFC2 = QStringLiteral("AFC2");
inline const QString kKeyApplications = QStringLiteral("Applications");
inline const QString kKeyFaults = QStringLiteral("Faults");
inline const QString kKeyTrust = QStringLiteral("Trust");
inline const QString kKeyPasscodeLocked = QStringLiteral("PasscodeLocked");
// Where the device is plugged in, as usbmuxd gives it: (bus << 16) | address.
inline const QString kKeyLocationID = QStringLiteral("LocationID");
// The fake sysfs tree of a farm (FARM/.sysfs/bus/usb/devices/<port path>/busnum, devnum) in
// which the devices' LocationIDs are found.
inline const QString kSysfsFolder = QStringLiteral(".sysfs");
// Lockdown domains are dictionaries of device.plist under their names; the battery's is read
// from the file at every ask, so that a farm's batteries can drain while plugged in.
inline const QString kBatteryDomain = QStringLiteral("com.apple.mobile.battery");
// Whether a key of device.plist is a lockdown domain rather than a value of the default one.
bool isDomainKey(const QString& key);

// What a device's user has answered, or would, to this computer's request to pair.
enum class TrustAnswer {
    Trusted,  // "trusted": tapped "Trust", or did long ago
    Pending,  // "pending": the dialog is up and nobody has answered
    Denied,  // "denied": tapped "Don't Trust"; asked again once plugged in again
};
// The answer device.plist holds ("Trust"); a device without one trusts unless its older
// "Paired" is false.
TrustAnswer trustAnswer(const QVariantMap& devicePlist);
QString trustAnswerName(TrustAnswer answer);
// Whether the device is locked with a passcode ("PasscodeLocked"): it refuses to pair.
bool passcodeLocked(const QVariantMap& devicePlist);
// Writes the device's answer, or its lock, into its device.plist, as its user would change
// them: `kestrap-cli sim trust|deny|unlock`.
bool setTrustAnswer(const QString& farm, const QString& udid, TrustAnswer answer, QString* error);
bool setPasscodeLocked(const QString& farm, const QString& udid, bool locked, QString* error);

// Attributes of an app in "Applications" that decide what house arrest vends.
inline const QString kAppDevelopment = QStringLiteral("Development");  // default false: an App Store app
inline const QString kAppFileSharing = QStringLiteral("UIFileSharingEnabled");  // default true

// An app's attributes in "Applications" as a device's installation proxy answers them:
// "UIFileSharingEnabled" stated (the farm's default is true, a device's absent key means
// false), and "SignerIdentity" a developer's for "Development" apps, the App Store's else.
QVariantMap deviceAppAttributes(const QVariantMap& farmAttributes);

// The capacity of a device that does not give one, and of sim create's devices.
constexpr std::int64_t kDefaultCapacity = 32ll * 1024 * 1024 * 1024;

// Faults a simulated device shows. Read from the "Faults" dictionary of device.plist each
// time the device is plugged in, or set by tests (SimMobileDeviceService::setFaults).
// Byte counts are counted over every file written on the device from that moment on.
struct SimFaults {
    bool refusePairing = false;  // "RefusePairing": AMDeviceValidatePairing fails
    bool refuseSession = false;  // "RefuseSession": AMDeviceStartSession fails
    QStringList refuseServices;  // "RefuseServices": AMDeviceStartService fails for these names
    bool refuseHouseArrest = false;  // "RefuseHouseArrest": every house-arrest start fails
    int refuseAppLookups = 0;  // "RefuseAppLookups": that many next app lookups fail
    std::int64_t failWriteAfterBytes = -1;  // "FailWriteAfterBytes": writes fail past this count
    std::int64_t writeDelayMsPerMiB = 0;  // "WriteDelayMsPerMiB": slow writes
    std::int64_t unplugAfterBytes = -1;  // "UnplugAfterBytes": the device goes at this count
    int dropPairRecordReads = 0;  // "DropPairRecordReads": the emulator's usbmuxd leaves that
                                  // many next reads of the device's pair record unanswered
    int failRenames = 0;  // "FailRenames": that many next renames fail with AFC error 20
    // "CorruptWriteAtByte": the byte at this offset of the device's write stream is stored
    // changed while the write reports success.
    std::int64_t corruptWriteAtByte = -1;
    // "StallAfterBytes": once the device's writes reach this count, the device stops
    // answering: every call on it, lockdown or file, on every connection, waits without an
    // answer until the device is unplugged, and then fails as on a device that has gone.
    std::int64_t stallAfterBytes = -1;
    // "UnplugAtHandshake": the device is pulled out amid the TLS handshake of its Nth lockdown
    // session since it was plugged in (1 = the first), once the host's hello has come. Only the
    // device emulator, which speaks TLS, strikes it.
    int unplugAtHandshake = 0;

    static SimFaults fromPlist(const QVariantMap& faults);
    QVariantMap toPlist() const;
};

// An app `sim create` installs.
struct SimAppSpec {
    QString id;  // the bundle id
    QString name;  // the display name; the last part of the bundle id when empty
    bool development = false;  // installed for development: its whole container is vended
    bool sharesFiles = true;  // "UIFileSharingEnabled": its Documents folder is vended
};

// What `sim create` makes.
struct SimDeviceSpec {
    QString udid;  // 40 lower-case hex digits when empty
    QString name;
    QString productType = QStringLiteral("iPhone10,3");
    QString productVersion = QStringLiteral("12.4");
    std::uint64_t capacity = kDefaultCapacity;
    bool jailbroken = false;
    // The battery's charge in percent; a level between 35 and 100 picked at random when
    // negative.
    int batteryLevel = -1;
    // Where it is plugged in: its "LocationID"; 0 picks the next free port of the farm's hubs.
    std::uint32_t locationId = 0;
    std::vector<SimAppSpec> apps;
    SimFaults faults;
};

// The product type sim create uses for "iPhone", "iPad" or "iPod"; nothing for other words.
std::optional<QString> productTypeForKind(const QString& kind);

// A bundle id the farm can hold as a folder name: not empty, no "/", not "." or "..".
bool isValidBundleId(const QString& bundleId);

// Writes FARM/<udid>/ with its device.plist, Media/, a container with a Documents folder per
// app and, when jailbroken, Root/. The device starts plugged in. Fails, writing nothing,
// when a device with that udid exists already.
bool createDevice(const QString& farm, SimDeviceSpec model, QString* error, QString* udid = nullptr);

// The next free place on a farm's simulated hubs: each bus (from 101, a number no computer's
// sysfs has, so a host's tree never names a simulated device) has one hub on port 1 with
// seven ports, and a device at port p has the address p + 2. Writes the place into
// FARM/.sysfs so that the LocationID gives the port path "<bus>-1.<p>".
std::uint32_t placeDeviceOnHub(const QString& farm);

// Removes or creates the .unplugged marker. Fails for a folder that is not a device.
bool setPlugged(const QString& farm, const QString& udid, bool plugged, QString* error);

// For the emulator's usbmuxd: whether this device list leaves the device out, as the list of
// a busy usbmuxd can. The .unlisted marker holds how many lists still do (empty: one); each
// counts it down, the last removes it.
bool takeUnlisted(const QString& farm, const QString& udid);

// The udids of the farm's devices (folders with a device.plist), sorted.
QStringList deviceIds(const QString& farm);
bool isPlugged(const QString& farm, const QString& udid);

// device.plist of one device; nothing when it is missing or not a dictionary.
std::optional<QVariantMap> readDevicePlist(const QString& deviceFolder, QString* error = nullptr);
bool writeDevicePlist(const QString& deviceFolder, const QVariantMap& plist, QString* error = nullptr);

}  // namespace kestrap::sim
