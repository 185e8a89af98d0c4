#pragma once

#include "device/iMobileDevice.h"
#include "device/ios/MobileDeviceService.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrap {

class LocalFile;  // a local file open for sending

// An iPhone, iPad or iPod touch reached through the mobile-device service.
//
// The object keeps one AFC connection, attached to one root at a time: the media area ("/"
// or "com.apple.afc"), the whole file system ("com.apple.afc2", jailbroken devices only)
// or one app's container (any other name: a bundle id, through house arrest). Paths of the
// file operations are relative to that root.
//
// Threads and locks:
// - Opening (createWithDevice, connect) runs on the main thread, from the detector;
//   changeService and the file operations run on the copy thread serving the device. Any
//   call may come from any thread; the object serialises them.
// - accessLock (not recursive) guards the connection, the current service and every use of
//   the connection. The object's monitor (m_cachesLock) guards the caches: lockdown values,
//   device information, app list and item information. When both are needed, accessLock
//   is taken first.
// - Values that are cached (lockdown values such as the name, the device information behind
//   capacity() and freeCapacity(), the app list once read) are answered without accessLock,
//   so a display on the main thread never waits for a copy in progress.
// - openConnection() gives further connections, each an object of its own with its own
//   accessLock: the copies of a job use those, so the device object's own connection stays
//   free for the window.
// - Upload progress, download progress and shouldContinue() are called on the copying thread
//   while accessLock is held: they must not call back into the same device.
class iPhoneDevice : public iMobileDevice {
public:
    // The copy buffer: downloads and reads move this much per platform call.
    static constexpr std::uint32_t kCopyBufferSize = 5 * 1024 * 1024;
    // An upload writes to the device in requests of this size, and reports its progress after
    // each: real devices are fastest with 1 to 4 MiB per request.
    static constexpr std::uint32_t kUploadWriteSize = 2 * 1024 * 1024;
    // The item-information cache holds at most this many paths.
    static constexpr int kItemInfoCacheLimit = 50;

    explicit iPhoneDevice(std::shared_ptr<MobileDeviceService> service);
    ~iPhoneDevice() override;
    iPhoneDevice(const iPhoneDevice&) = delete;
    iPhoneDevice& operator=(const iPhoneDevice&) = delete;

    // --- Sessions and services ------------------------------------------------------------
    // Opens the device: link, pairing, session, then "com.apple.afc2" when enableAfc2 is
    // set and the device offers it (the jailbreak probe), else "com.apple.afc". Without
    // enableAfc2 it also reads the lockdown values and the device information.
    // why, when given, gets the cause of a failure.
    bool createWithDevice(AMDeviceRef device, bool enableAfc2, DeviceError* why = nullptr);
    // Closes what is open and opens the same device again.
    bool connect(bool enableAfc2);
    // Attaches the connection to another root: "/", "com.apple.afc", "com.apple.afc2" or a
    // bundle id. Two attempts with one reset of the device link between them.
    bool canChangeService() const override { return true; }
    DeviceError openService(const QString& serviceName) override;
    // A connection of its own, an iPhoneDevice with the same lockdown values and a lock of its
    // own. The device's going reaches it through deviceGone().
    std::shared_ptr<iMobileDevice> openConnection(const QString& serviceName, DeviceError* why) override;
    int usefulConnections() const override;
    // An app's container is vended whole (apps installed for development) where the device
    // gives it, else its documents (apps that share files); a device that refused an app's
    // container once is not asked for it again by this object or its connections.
    bool servesDocumentsOnly() const override { return m_documentsOnly.load(); }
    bool isEqualToDevice(AMDeviceRef device) const { return device && device == m_phoneDevice.load(); }
    // The device has gone. Its connection is closed now if no call uses it, else by that
    // call as it ends, so that an object kept for display (a finished row) holds no
    // connection: a socket, on a real device. Never waits: the detector calls it on the
    // main thread. Failures from then on have "the device was disconnected" as their cause.
    void deviceGone();
    AMDeviceRef phoneDevice() const { return m_phoneDevice.load(); }

    bool isJailbreak() const override { return m_isJailbreak.load(); }
    bool isAFC2Mode() const { return m_isAFC2Mode.load(); }
    QString currentService();
    bool hasConnection();

    // One lockdown value, cached once the device has given it; invalid when it gives none.
    QVariant attributeForKey(const QString& key);
    // The AFC device information ("FSTotalBytes", "FSFreeBytes", ...), read once per
    // opening; nothing when it cannot be read (the next call tries again).
    std::optional<QMap<QString, std::int64_t>> getDeviceInfo();
    // The user apps, cached while the list is not empty.
    std::vector<AppBundle> appBundles() override;
    // Every installed app: bundle id -> attributes (those of defaultReturnAttributes()).
    QVariantMap GetAllAppBundlesOnDevice(AMDeviceRef device);

    static const QStringList& lockdownKeys();
    static const QStringList& defaultReturnAttributes();

    // --- File information ------------------------------------------------------------------
    // AFC's file information of an absolute path, from the cache when it holds the path;
    // empty when the item cannot be read.
    QMap<QString, QString> itemInfoAtPath(const QString& absolutePath);
    std::size_t itemInfoCacheSize();
    // One progress step of a download: asks the delegate whether to go on and reports done
    // of total.
    bool finish(std::int64_t done, std::int64_t total);

    // --- iMobileDevice -----------------------------------------------------------------
    void refresh() override;
    QString uuid() override;
    QString buildVersion() override;
    QString osVersion() override;
    QString firmwareVersion() override;
    QString modelNumber() override;
    QString phoneNumber() override;
    QString serialNumber() override;
    std::uint64_t freeCapacity() override;
    std::uint64_t capacity() override;
    QString name() override;
    std::int32_t deviceType() override;
    QString productType() override;
    // Found in sysfs from the device's LocationID when the device is opened.
    QString hubPlace() override;
    // "BatteryCurrentCapacity" of "com.apple.mobile.battery", read when the device is opened
    // and by refreshDetails().
    std::optional<int> batteryLevel() override;
    bool refreshDetails() override;
    QString fullPath(const QString& path) override;
    QString iTunesControlPath() override;
    std::optional<QByteArray> readFileAtPath(const QString& path, std::uint32_t offset, std::uint32_t length) override;
    std::optional<QByteArray> contentsOfFileAtPath(const QString& path, DeviceError* why = nullptr) override;
    bool downloadFile(const QString& devicePath, const QString& localPath) override;
    bool uploadFile(const QString& devicePath, const QString& localPath) override;
    std::vector<iMobileFileSystemNode> contentsOfDirectory(const QString& path, std::int32_t pathType) override;
    std::optional<QStringList> namesInDirectory(const QString& path) override;
    std::optional<DeviceItem> itemAtPath(const QString& path) override;
    bool isLinkAtPath(const QString& path) override;
    bool isDirectoryAtPath(const QString& path) override;
    bool itemExistsAtPath(const QString& path, bool* isDirectory = nullptr) override;
    bool deleteItemAtPath(const QString& path) override;
    bool renameItemAtPath(const QString& path, const QString& newName) override;
    bool createDirectory(const QString& path) override;
    QDateTime modificationDateOfItemAtPath(const QString& path) override;
    QDateTime creationDateOfItemAtPath(const QString& path) override;
    std::uint64_t getSizeOfItemAtPath(const QString& path) override;
    // Writes ".NAME.<random>.kestrap-part" beside the target, checks it (its close, its size,
    // its bytes when asked to verify, the local file unchanged since it was opened), renames
    // it over the target, then gives the target the local file's modification time.
    UploadResult sendFile(const UploadRequest& request) override;
    bool holdsUnchanged(const QString& devicePath, const QString& localPath) override;
    std::optional<std::uint64_t> freeSpaceNow() override;
    void removeStaleTemporaries(const QString& folder, std::chrono::seconds maxAge) override;
    void setCopyDelegate(iMobileDeviceCopyDelegate* delegate) override { m_copyDelegate.store(delegate); }

    // Where an upload writes first, beside its target: a name of its own for every upload, so
    // that two writers on one device never share one, that ends in kTemporarySuffix and fits a
    // 255-byte name. `kind` is "part" for a new file, "old" for an old one moved aside.
    static QString temporaryUploadPath(const QString& absolutePath, const QString& kind = QStringLiteral("part"));
    static bool isTemporaryName(const QString& name);
    static inline const QString kTemporarySuffix = QStringLiteral(".kestrap-part");

private:
    // Holds accessLock; the last user of a gone device's connection closes it.
    class Access {
    public:
        explicit Access(iPhoneDevice& device) : m_device(device), m_lock(device.accessLock) { }
        ~Access()
        {
            if (m_device.m_gone)
                m_device.closeConnectionLocked();
        }
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;

    private:
        iPhoneDevice& m_device;
        std::lock_guard<std::mutex> m_lock;
    };

    // Each of these needs accessLock held by the caller.
    DeviceError tryStartService(const QString& serviceName, std::int32_t tryTimes);
    bool ResetConnection();
    void closeConnectionLocked();
    QMap<QString, QString> itemInfoLocked(const QString& absolutePath);
    bool isDirectoryLocked(const QString& absolutePath);
    std::optional<AFCFileRef> openForReadingLocked(const QString& absolutePath);

    DeviceError uploadToTemporaryLocked(const QString& temporary, LocalFile& in, const UploadRequest& request);
    DeviceError checkTemporaryLocked(
        const QString& temporary, std::int64_t size, std::optional<std::uint32_t> crc, const UploadRequest& request);
    DeviceError replaceWithTemporaryLocked(
        const QString& temporary, const QString& absolute, const UploadRequest& request);
    // Removes an upload's temporary, telling the request when it is known to be gone.
    void removeTemporaryLocked(const QString& temporary, const UploadRequest& request);
    // Whether the device holds a regular file of that size and modification time (to the second).
    bool holdsUnchangedLocked(const QString& absolute, std::int64_t size, std::int64_t mtimeSeconds);
    // AFC's file information of an item, asked of the device now, not from the cache.
    std::optional<QMap<QByteArray, QByteArray>> statLocked(const QString& absolutePath, MDError* error = nullptr);

    // The cause of a failed call; the device's going whatever the call said, once it has gone.
    DeviceError amdError(MDError code, ErrorDomain domain = ErrorDomain::Lockdown) const;
    DeviceError afcError(MDError code) const;

    QString stringAttribute(const QString& key);
    // The battery's charge as the device tells it now; nothing when it does not.
    std::optional<int> readBatteryLevel();
    void readPlace();
    std::int64_t deviceInfoValue(const QString& key);
    void forgetItemInfo();

    const std::shared_ptr<MobileDeviceService> m_service;

    std::atomic<AMDeviceRef> m_phoneDevice {nullptr};
    std::atomic<bool> m_isAFC2Mode {false};
    std::atomic<bool> m_isJailbreak {false};
    std::atomic<iMobileDeviceCopyDelegate*> m_copyDelegate {nullptr};
    std::atomic<bool> m_gone {false};
    std::atomic<bool> m_documentsOnly {false};  // the open root is an app's documents vend

    // Bundle ids whose whole container the device refused, shared with the connections
    // openConnection() gives: a device's connections open at once, and each would ask again.
    struct RefusedContainers {
        std::mutex lock;
        QSet<QString> ids;
    };
    std::shared_ptr<RefusedContainers> m_refusedContainers = std::make_shared<RefusedContainers>();

    std::mutex accessLock;  // guards m_connection and m_currentService, and every use of the connection
    AFCConnectionRef m_connection = nullptr;
    QString m_currentService = QStringLiteral("/");

    std::mutex m_connectionsLock;  // guards m_connections
    std::vector<std::weak_ptr<iPhoneDevice>> m_connections;  // those openConnection() gave

    std::mutex m_cachesLock;  // the object's monitor: guards the caches below
    QHash<QString, QVariant> m_attributes;
    std::optional<QMap<QString, std::int64_t>> m_deviceInfo;
    std::vector<AppBundle> m_bundles;
    QString m_hubPlace;
    std::optional<int> m_batteryLevel;
    QHash<QString, QMap<QString, QString>> m_itemInfoCaches;
};

}  // namespace kestrap
