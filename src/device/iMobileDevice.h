#pragma once

#include "device/DeviceError.h"
#include "device/DeviceTypes.h"
#include "device/iMobileFileSystemNode.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrap {

// The most contentsOfFileAtPath reads. It serves previews of artwork and images, which are a
// few MiB at most (an app's 1024x1024 icon is under 2 MiB as PNG); a video or a database
// picked by mistake would otherwise be read whole into memory, gigabytes of it over USB.
inline constexpr qsizetype kPreviewLimit = 16 * 1024 * 1024;
// The failure of a preview read past kPreviewLimit.
DeviceError previewTooLarge(const QString& path);

// One user app of a device, as appBundles() lists it.
struct AppBundle {
    QString name;  // "CFBundleDisplayName"; null when the app has none
    QString ID;  // bundle identifier
    QString iconPath;  // "/<last component of the app's Path>/<CFBundleIconFile>"; null without a name
    QString version;  // "CFBundleShortVersionString"; null when the app has none
    // "UIFileSharingEnabled": house arrest vends its Documents folder to a computer.
    bool sharesFiles = true;
    // Installed for development (not from the App Store): its whole container is vended.
    bool development = false;
};

// One file to send, and how.
struct UploadRequest {
    UploadRequest() = default;
    UploadRequest(QString devicePath, QString localPath)
        : devicePath(std::move(devicePath)), localPath(std::move(localPath))
    {
    }

    QString devicePath;
    QString localPath;
    // Leave a device file that has the local file's size and modification time (to the
    // second) as it is: nothing is read or sent.
    bool skipUnchanged = false;
    // Read the written file back and compare it with what was sent before it replaces the old.
    bool verify = false;
    // Called on the sending thread after each piece written, with the bytes done of the total;
    // false ends the upload, which then fails and leaves the old file as it was.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
    // Called on the sending thread once the file is to be written (it was not left as
    // unchanged), before anything is: the caller makes the file's folder ready then. The
    // connection is not held meanwhile, so the callback may use it.
    std::function<void()> beforeWrite;
    // Called on the sending thread for each temporary item the upload puts on the device:
    // with made true before the item can exist, with made false once it was renamed or
    // removed. One told made and never unmade is still there, left by a device that went in
    // the middle. oldFileOf is empty for the new file's temporary, and names the item whose
    // old file it holds when that was moved aside.
    std::function<void(const QString& temporary, const QString& oldFileOf, bool made)> temporary;
    // Called on the sending thread each time the device answers one of a long run of
    // requests that report no progress (reading a file back), so a caller can tell a busy
    // device from one that stopped answering.
    std::function<void()> answered;
};

struct UploadResult {
    DeviceError error;  // empty when the device holds the whole file
    bool skipped = false;  // the device held it unchanged already

    bool ok() const { return error.isEmpty(); }
};

// What a device holds at a path.
struct DeviceItem {
    enum class Kind { File, Folder, Link };
    Kind kind = Kind::File;
    std::uint64_t size = 0;  // 0 when the device gives none
};

// Watches long copies: asked whether to go on, told how far they are.
// Every call comes on the copying thread. A device keeps its delegate as a plain,
// non-owning pointer, so the delegate must outlive every copy it watches.
class iMobileDeviceCopyDelegate {
public:
    virtual ~iMobileDeviceCopyDelegate() = default;

    // Asked before every progress report; false asks the running copy to stop.
    virtual bool shouldContinue() { return true; }

    // Progress of a download or a disk-mode upload.
    virtual void transferBytes(std::int64_t done, std::int64_t total)
    {
        Q_UNUSED(done);
        Q_UNUSED(total);
    }
};

// A device the program can read and write, whatever its kind.
//
// Paths are device paths relative to the device's current root (the open file service of
// an iOS device, the mount point of a disk-mode iPod); a leading "/" means the same.
// fullPath() turns one into the absolute path of the device's own file layer and is
// idempotent, so callers may pass either form. Failures answer false, nothing, an empty
// list or a zero; no exception leaves a device.
//
// Threads: every call may block on device I/O and may be made from any thread; a device
// serialises its own calls.
class iMobileDevice {
public:
    virtual ~iMobileDevice() = default;

    // Forgets cached per-path file information.
    virtual void refresh() = 0;

    virtual QString uuid() = 0;
    virtual QString buildVersion() = 0;
    virtual QString osVersion() = 0;
    virtual QString firmwareVersion() = 0;
    virtual QString modelNumber() = 0;
    virtual QString phoneNumber() = 0;
    virtual QString serialNumber() = 0;
    virtual std::uint64_t freeCapacity() = 0;
    virtual std::uint64_t capacity() = 0;
    virtual QString name() = 0;
    virtual std::int32_t deviceType() = 0;
    // "ProductType" ("iPad12,1"); null where the device has none (a disk-mode iPod).
    virtual QString productType() { return {}; }
    // Where the device is plugged in on this computer's USB hubs, as sysfs names the port
    // ("1-4.2": bus 1, port 4 of the root hub, port 2 of the hub behind it); null when unknown.
    virtual QString hubPlace() { return {}; }
    // The battery's charge in percent as last read (the device manager reads it again every
    // minute); none when the device does not tell. Cheap: no device I/O.
    virtual std::optional<int> batteryLevel() { return {}; }
    // Reads again what changes while the device stays plugged in: its battery level and its
    // free space. Answers whether either changed. Blocks on device I/O: the device manager
    // calls it on a worker thread, never on the main thread. Devices that tell nothing new
    // answer false.
    virtual bool refreshDetails() { return false; }

    virtual QString fullPath(const QString& path) = 0;
    // "iTunes_Control" on iOS devices, "iPod_Control" on disk-mode iPods.
    virtual QString iTunesControlPath() = 0;

    // At most length bytes from offset on; nothing when the file cannot be opened,
    // positioned or read.
    virtual std::optional<QByteArray> readFileAtPath(const QString& path, std::uint32_t offset, std::uint32_t length)
        = 0;
    // The whole file, for a preview: at most kPreviewLimit bytes. A file that cannot be read
    // or is larger gives nothing, and why in *why.
    virtual std::optional<QByteArray> contentsOfFileAtPath(const QString& path, DeviceError* why = nullptr) = 0;
    // Copies the device file to a local file, creating missing local folders.
    virtual bool downloadFile(const QString& devicePath, const QString& localPath) = 0;
    // Copies a local file to the device, replacing an existing item.
    virtual bool uploadFile(const QString& devicePath, const QString& localPath) = 0;
    // The same with options, progress and the cause of a failure. At every moment the device
    // holds the old item or the whole new file, never a part. Devices without those
    // guarantees or options answer with uploadFile().
    virtual UploadResult sendFile(const UploadRequest& request);
    // Whether the device holds the local file as a send with skipUnchanged would leave it: a
    // regular file of the same size and modification time, to the second. May block on
    // device I/O.
    virtual bool holdsUnchanged(const QString& devicePath, const QString& localPath);
    // An empty list when the folder cannot be opened or the path type is not one of PathType.
    virtual std::vector<iMobileFileSystemNode> contentsOfDirectory(const QString& path, std::int32_t pathType) = 0;
    // The names in a folder, "." and ".." left out, as the folder lists them: one request for
    // the folder, none for each name, so nothing says which is a folder. Nothing when the
    // folder cannot be opened (an empty list is an empty folder).
    virtual std::optional<QStringList> namesInDirectory(const QString& path);
    // What the path holds, in one request where the device can; nothing where it holds
    // nothing there or did not answer. May block on device I/O.
    virtual std::optional<DeviceItem> itemAtPath(const QString& path);
    virtual bool isLinkAtPath(const QString& path) = 0;
    virtual bool isDirectoryAtPath(const QString& path) = 0;
    virtual bool itemExistsAtPath(const QString& path, bool* isDirectory = nullptr) = 0;
    virtual bool deleteItemAtPath(const QString& path) = 0;
    // Renames within the item's own folder: newName is a name, not a path.
    virtual bool renameItemAtPath(const QString& path, const QString& newName) = 0;
    // False also when the folder exists already; callers check with itemExistsAtPath().
    virtual bool createDirectory(const QString& path) = 0;
    // The current time when the device gives none.
    virtual QDateTime modificationDateOfItemAtPath(const QString& path) = 0;
    virtual QDateTime creationDateOfItemAtPath(const QString& path) = 0;
    // 0 when the device gives none.
    virtual std::uint64_t getSizeOfItemAtPath(const QString& path) = 0;

    // Free bytes as the device says now, not as cached; nothing when it cannot tell.
    virtual std::optional<std::uint64_t> freeSpaceNow() { return freeCapacity(); }
    // Removes the temporaries that interrupted uploads left in a folder and that nobody has
    // written for at least maxAge. Devices whose uploads leave none do nothing.
    virtual void removeStaleTemporaries(const QString& folder, std::chrono::seconds maxAge)
    {
        Q_UNUSED(folder);
        Q_UNUSED(maxAge);
    }

    // Optional operations.
    virtual void setCopyDelegate(iMobileDeviceCopyDelegate* delegate) { Q_UNUSED(delegate); }

    // Devices whose files sit behind services (iOS devices) can attach their file access to
    // another root: "/" (the media area), "com.apple.afc2" or an app's bundle id (its
    // container). Others answer false to both.
    virtual bool canChangeService() const { return false; }
    virtual bool changeService(const QString& serviceName) { return openService(serviceName).isEmpty(); }
    // changeService() with the cause of a failure.
    virtual DeviceError openService(const QString& serviceName);
    // A connection of its own to one root of the device (a name as openService takes it), for
    // one user at a time: its calls never wait for those of the device object or of another
    // connection, so several copies into one device overlap their round trips, and a window
    // asking the device anything never waits for a copy. Null, with the cause in *why, when
    // the device gives none; the connection fails its calls once the device has gone.
    virtual std::shared_ptr<iMobileDevice> openConnection(const QString& serviceName, DeviceError* why);
    // The most connections a copy into this device gains from: several overlap their calls'
    // round trips where calls wait on a link; elsewhere a second only takes turns.
    virtual int usefulConnections() const { return 1; }
    // Whether the root attached is an app's container of which only "/Documents" and below
    // can be reached: the device refused the whole container (an App Store app) and gave the
    // documents the app shares. Paths elsewhere fail with permission denied.
    virtual bool servesDocumentsOnly() const { return false; }
    // Whether the whole file system can be reached ("com.apple.afc2").
    virtual bool isJailbreak() const { return false; }
    // The user apps; empty on devices without apps.
    virtual std::vector<AppBundle> appBundles() { return {}; }
};

// Told by the device manager when a device it accepts comes or goes. Main thread only.
class DeviceManagerDelegate {
public:
    virtual ~DeviceManagerDelegate() = default;
    virtual void DeviceAdded(const std::shared_ptr<iMobileDevice>& device) { Q_UNUSED(device); }
    virtual void DeviceRemoved(const std::shared_ptr<iMobileDevice>& device) { Q_UNUSED(device); }
    // What a device tells of itself changed (its battery level, its free space).
    virtual void DeviceChanged(const std::shared_ptr<iMobileDevice>& device) { Q_UNUSED(device); }
    // The devices attached but not ready to be served, each with what it needs, whenever
    // that list changes. A device leaves it when it is added, or when it goes.
    virtual void DevicesNotReadyChanged(const std::vector<NotReadyDevice>& devices) { Q_UNUSED(devices); }
};

}  // namespace kestrap
