#pragma once

#include "device/DeviceTypes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The mobile-device platform as the iOS device layer sees it: device notifications, the
// lockdown link (pairing, session, values), service starts (AFC, house arrest), the app
// lookup and the Apple File Conduit. iPhoneDetector and iPhoneDevice are written against
// this interface only; backends (simulated devices on a device farm, real devices through
// libimobiledevice) implement it.
//
// Contracts shared by every call:
// - A result of type MDError is 0 (MDSuccess) on success and non-zero on any failure; the
//   exact code is informative only. Out parameters are written only on success.
// - Handles are opaque: callers keep, pass and compare them, never look inside.
//   * AMDeviceRef: one device record per attachment (a device plugged in again gets a new
//     record). A record is valid while its device is attached, during a notification
//     callback that carries it, and, after its device has gone, for as long as someone
//     holds it (AMDeviceRetain); calls on the record of a device that has gone fail. A
//     station re-plugs its devices for days: records nobody holds are forgotten.
//   * AMServiceHandle: what a service start gives; AFCConnectionOpen takes it over, and a
//     handle never opened is dropped when its device's session ends or the device goes.
//   * AFCConnectionRef, AFCKeyValueRef, AFCDirectoryRef: valid from their open to their
//     close; the close frees them.
//   * AFCFileRef: a number, valid on its connection from AFCFileRefOpen to AFCFileRefClose.
// - AFC paths are absolute paths on the device ("/a/b"), relative to the root of the
//   service the connection was opened on: the media area ("com.apple.afc"), the whole file
//   system ("com.apple.afc2") or an app's container (house arrest; of a documents vend, only
//   "/Documents" and below). A backend never lets a path reach outside that root, neither
//   by ".." nor through a symbolic link.
//
// Threads: every call may block on device I/O and may be made from any thread. One AFC
// connection is used by one thread at a time (callers serialise their own connection);
// different connections and different devices may be used in parallel. Notification
// callbacks run on the thread that subscribed, from its Qt event loop, which that thread
// must run.
namespace kestrap {

using MDError = std::int32_t;
constexpr MDError MDSuccess = 0;

// Codes of the lockdown side. Any non-zero value is a failure.
enum AMDError : MDError {
    AMDUnknownError = 1,
    AMDDeviceDisconnectedError = 2,  // the device has gone; its record is dead
    AMDNotConnectedError = 3,  // AMDeviceConnect was not called, or the link was closed
    AMDSessionInactiveError = 4,  // a call that needs a lockdown session came without one
    AMDPairingRefusedError = 5,  // the device refuses the host's pairing
    AMDSessionRefusedError = 6,
    AMDServiceProhibitedError = 7,  // the service is unknown or refused
    AMDApplicationNotInstalledError = 8,  // house arrest for an app the device does not have
    AMDInvalidArgumentError = 9,
    AMDAlreadySubscribedError = 10,
    // House arrest refuses that vend for that app ("InstallationLookupFailed"): the whole
    // container of an app not installed for development, the documents of an app that does
    // not share files with a computer.
    AMDVendRefusedError = 11,
    // Not answered by a device: a caller's cause for an app whose container is refused and
    // whose documents are given, when what it wants lies outside them.
    AMDDocumentsOnlyError = 12,
    AMDTrustDeniedError = 13,  // the device's user tapped "Don't Trust"; asked again once re-plugged
    AMDPasscodeLockedError = 14,  // the device is locked with a passcode and will not pair until unlocked
};

// Codes of the file side, numbered like the AFC protocol's own.
enum AFCError : MDError {
    AFCUnknownError = 1,
    AFCReadError = 4,
    AFCWriteError = 5,
    AFCInvalidArgumentError = 7,
    AFCObjectNotFoundError = 8,
    AFCObjectIsDirError = 9,
    AFCPermissionDeniedError = 10,
    AFCServiceNotConnectedError = 11,
    AFCObjectExistsError = 16,
    AFCNoSpaceLeftError = 18,
    AFCIOError = 20,
    AFCDirNotEmptyError = 33,
};

// Opaque handle types. Backends derive their own records from these.
struct AMDevice {
    virtual ~AMDevice() = default;
};
struct AFCConnection {
    virtual ~AFCConnection() = default;
};
struct AFCKeyValue {
    virtual ~AFCKeyValue() = default;
};
struct AFCDirectory {
    virtual ~AFCDirectory() = default;
};
using AMDeviceRef = AMDevice*;
using AFCConnectionRef = AFCConnection*;
using AFCKeyValueRef = AFCKeyValue*;
using AFCDirectoryRef = AFCDirectory*;
using AMServiceHandle = std::uint32_t;
using AFCFileRef = std::uint64_t;
using AMDeviceNotificationRef = std::uint64_t;

// Device notification messages.
enum AMDeviceMessage : std::int32_t {
    AMDeviceMessageConnected = 1,
    AMDeviceMessageDisconnected = 2,
};

// What a notification callback gets.
struct AMDeviceNotificationInfo {
    AMDeviceRef device = nullptr;
    std::int32_t message = 0;  // an AMDeviceMessage; other numbers are possible and unexpected
};
using AMDeviceNotificationCallback = std::function<void(const AMDeviceNotificationInfo&)>;

// Modes of AFCFileRefOpen.
enum AFCFileMode : std::uint64_t {
    AFCFileModeRead = 1,  // read only; the file must exist
    AFCFileModeReadWrite = 2,  // read and write; the file must exist
    AFCFileModeWrite = 3,  // write only: create, or empty an existing file
};

// Origins of AFCFileRefSeek.
enum AFCSeekOrigin : std::uint64_t {
    AFCSeekFromStart = 0,
    AFCSeekFromCurrent = 1,
    AFCSeekFromEnd = 2,
};

// What house arrest is asked for.
enum class AMHouseArrestVend {
    // "VendContainer": the app's whole container is the root. Devices give it only for apps
    // installed for development (from Xcode), never for App Store apps.
    Container,
    // "VendDocuments": for apps that share files with a computer (UIFileSharingEnabled).
    // The root is still the container, but only "/Documents" and what lies below it can be
    // reached: "/" lists only "Documents" (and "." and ".."), and any other path fails with
    // AFCPermissionDeniedError.
    Documents,
};

inline const QString kServiceAFC = QStringLiteral("com.apple.afc");
inline const QString kServiceAFC2 = QStringLiteral("com.apple.afc2");

class MobileDeviceService {
public:
    virtual ~MobileDeviceService() = default;

    // --- Device notifications --------------------------------------------------------
    // Calls callback with message 1 for every device attached now (after this call has
    // returned, from the event loop) and every device attached later, and with message 2
    // when one goes. Delivery is on the subscribing thread.
    virtual MDError AMDeviceNotificationSubscribe(
        AMDeviceNotificationCallback callback, AMDeviceNotificationRef* notification)
        = 0;
    // Ends a subscription; no call of its callback starts after this returns. Must be made
    // on the subscribing thread.
    virtual MDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification) = 0;
    // Delivers, on the calling thread and before returning, the notifications still owed to
    // its subscriptions for devices attached now, so that a caller that must know every
    // present device (a command-line run about to start) need not guess how long to wait.
    // Call it on the subscribing thread. Backends that cannot tell do nothing.
    virtual void announceAttachedDevices() { }
    // The devices attached now that are not announced yet, each with what keeps it (in the
    // order they came). Such a device is announced by itself once it is ready: its user taps
    // "Trust" or unlocks it. Any thread. Backends that cannot tell answer none.
    virtual std::vector<NotReadyDevice> devicesNotReady() { return {}; }
    // Calls changed on the subscribing thread, from its Qt event loop, whenever what
    // devicesNotReady() answers has changed (a device began to wait, waits for another
    // reason, is ready, or went), so that nobody need ask it again and again. Answers
    // AMDServiceProhibitedError, and never calls, where the backend cannot tell: then
    // devicesNotReady() must be asked. No call of changed starts after the unsubscribe, which
    // must be made on the subscribing thread.
    virtual MDError AMDeviceNotReadySubscribe(std::function<void()> changed, AMDeviceNotificationRef* notification)
    {
        Q_UNUSED(changed);
        Q_UNUSED(notification);
        return AMDServiceProhibitedError;
    }
    virtual MDError AMDeviceNotReadyUnsubscribe(AMDeviceNotificationRef notification)
    {
        Q_UNUSED(notification);
        return AMDInvalidArgumentError;
    }
    // Where usbmuxd says the device is plugged in, its "LocationID": on Linux (bus << 16) |
    // address (see device/UsbPorts.h); 0 when the backend does not know. Any thread; asks
    // no device.
    virtual std::uint32_t AMDeviceUSBLocationID(AMDeviceRef device)
    {
        Q_UNUSED(device);
        return 0;
    }
    // The sysfs tree the LocationIDs of this backend's devices are found in: this computer's
    // ("/sys"), or a fake one a test or a device farm lays out.
    QString usbSysfsRoot() const;
    void setUsbSysfsRoot(const QString& root);
    // Whether a call on a device waits for its answer over a link (USB, a network): then a
    // copy gains from several connections, whose round trips overlap. A backend whose calls
    // run on the caller's thread answers false: there a second connection only takes turns
    // with the first.
    virtual bool callsWaitOnALink() const { return true; }

    // Keeps a record valid after its device has gone, until the matching release. Any
    // thread. Backends whose records live as long as they do need not count.
    virtual void AMDeviceRetain(AMDeviceRef) { }
    virtual void AMDeviceRelease(AMDeviceRef) { }

    // The device's identifier ("UniqueDeviceID") as the record carries it without asking the
    // device; a null string when the record carries none.
    virtual QString AMDeviceCopyDeviceIdentifier(AMDeviceRef device) = 0;

    // --- Lockdown ----------------------------------------------------------------------
    // Order of use: connect, paired check, validate, start session, start a service.
    virtual MDError AMDeviceConnect(AMDeviceRef device) = 0;
    // Closes the link; the session, if any, ends with it. Open AFC connections stay usable.
    virtual MDError AMDeviceDisconnect(AMDeviceRef device) = 0;
    // 1 when the host is paired with the device, 0 otherwise (not an MDError).
    virtual std::int32_t AMDeviceIsPaired(AMDeviceRef device) = 0;
    virtual MDError AMDeviceValidatePairing(AMDeviceRef device) = 0;
    virtual MDError AMDeviceStartSession(AMDeviceRef device) = 0;
    virtual MDError AMDeviceStopSession(AMDeviceRef device) = 0;
    // One lockdown value (a property-list tree as QVariant, see util/Plist.h); an invalid
    // QVariant when the device gives none. A null domain is the default domain. Needs a
    // connected link.
    virtual QVariant AMDeviceCopyValue(AMDeviceRef device, const QString& domain, const QString& key) = 0;
    // Starts "com.apple.afc" or "com.apple.afc2" (a running session is needed).
    virtual MDError AMDeviceStartService(AMDeviceRef device, const QString& serviceName, AMServiceHandle* service) = 0;
    // Starts the house-arrest service on the app with that bundle id, with the vend asked
    // for (a running session is needed). Fails with AMDApplicationNotInstalledError when the
    // device does not have the app, and with AMDVendRefusedError when it has the app but
    // refuses that vend for it; a caller refused the container may still be given the
    // documents.
    virtual MDError AMDeviceStartHouseArrestService(
        AMDeviceRef device, const QString& bundleId, AMHouseArrestVend vend, AMServiceHandle* service)
        = 0;
    // The installed apps: bundle id -> attribute dictionary. options may hold
    // "ReturnAttributes" (a list of attribute names): only those attributes are answered.
    virtual MDError AMDeviceLookupApplications(AMDeviceRef device, const QVariantMap& options, QVariantMap* apps) = 0;

    // --- Apple File Conduit ----------------------------------------------------------
    // Opens the file connection on a started service; takes the handle over.
    virtual MDError AFCConnectionOpen(AMServiceHandle service, std::uint32_t timeout, AFCConnectionRef* connection) = 0;
    // Closes and frees the connection, with every file and handle still open on it.
    virtual MDError AFCConnectionClose(AFCConnectionRef connection) = 0;

    // Key-value pairs of the file system: "FSTotalBytes", "FSFreeBytes", "FSBlockSize", "Model".
    virtual MDError AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* info) = 0;
    // Key-value pairs of one item: "st_size", "st_blocks", "st_nlink", "st_ifmt" ("S_IFREG",
    // "S_IFDIR", "S_IFLNK"), "st_mtime", "st_ctime", "st_birthtime" (times in nanoseconds
    // since 1970). Describes a symbolic link itself, not its target.
    virtual MDError AFCFileInfoOpen(AFCConnectionRef connection, const QString& path, AFCKeyValueRef* info) = 0;
    // The next pair as UTF-8 text; a null key (QByteArray::isNull) when there are no more.
    virtual MDError AFCKeyValueRead(AFCKeyValueRef handle, QByteArray* key, QByteArray* value) = 0;
    virtual MDError AFCKeyValueClose(AFCKeyValueRef handle) = 0;

    virtual MDError AFCDirectoryOpen(AFCConnectionRef connection, const QString& path, AFCDirectoryRef* dir) = 0;
    // The next name in UTF-8, "." and ".." included; a null name when there are no more.
    virtual MDError AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef dir, QByteArray* name) = 0;
    virtual MDError AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef dir) = 0;
    // Makes the folder and any missing folders above it; succeeds when it exists already.
    virtual MDError AFCDirectoryCreate(AFCConnectionRef connection, const QString& path) = 0;

    virtual MDError AFCFileRefOpen(
        AFCConnectionRef connection, const QString& path, std::uint64_t mode, AFCFileRef* file)
        = 0;
    virtual MDError AFCFileRefSeek(
        AFCConnectionRef connection, AFCFileRef file, std::int64_t offset, std::uint64_t origin)
        = 0;
    // Reads up to *count bytes into buffer; *count becomes the number read, 0 at the end.
    virtual MDError AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer, std::uint32_t* count)
        = 0;
    // Writes all count bytes, or fails (a full device fails without growing past its size).
    virtual MDError AFCFileRefWrite(
        AFCConnectionRef connection, AFCFileRef file, const void* buffer, std::uint32_t count)
        = 0;
    virtual MDError AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) = 0;

    // Removes a file, a link or an empty folder.
    virtual MDError AFCRemovePath(AFCConnectionRef connection, const QString& path) = 0;
    virtual MDError AFCRenamePath(AFCConnectionRef connection, const QString& from, const QString& to) = 0;
    // Sets an item's modification time (nanoseconds since 1970), as AFC's set-file-time
    // request does; the item itself, not a link's target.
    virtual MDError AFCSetModificationTime(AFCConnectionRef connection, const QString& path, std::int64_t nanoseconds)
        = 0;

private:
    mutable std::mutex m_sysfsLock;
    QString m_sysfsRoot = QStringLiteral("/sys");
};

// What went wrong, in words a user can act on ("no space left on the device"), for a code of
// the lockdown side and of the file side. Unknown codes get a generic text with the number.
QString amdErrorText(MDError code);
QString afcErrorText(MDError code);

// Simulated devices on a device farm folder (docs/device-farm.md); null, with the reason in
// *error, when the folder does not exist.
std::shared_ptr<MobileDeviceService> farmMobileDeviceService(const QString& farm, QString* error = nullptr);

// What a program does when usbmuxd is not running. The system starts usbmuxd when the first
// device is plugged in and ends it when the last one goes, so a program that serves devices
// as they come (the window, a station) waits for it; one that answers for the devices
// present now (a listing, a single run) fails.
enum class WithoutUsbmuxd { Fail, Wait };

// The service the program uses when none is given: simulated devices on the device farm
// named by the environment variable KESTRAP_FARM, when it is set; else real devices through
// usbmuxd (the libimobiledevice backend). Null, with the reason in *error, when there is no
// farm and usbmuxd cannot be reached (with WithoutUsbmuxd::Fail), or the build has no
// real-device backend. With WithoutUsbmuxd::Wait and no usbmuxd, the service is there and
// serves devices once usbmuxd starts, and *error says that none can come before.
std::shared_ptr<MobileDeviceService> defaultMobileDeviceService(
    QString* error = nullptr, WithoutUsbmuxd without = WithoutUsbmuxd::Fail);

}  // namespace kestrap
