#pragma once

#include "device/iMobileDevice.h"

#include <QIODevice>
#include <QString>
#include <cstdint>
#include <mutex>
#include <span>

namespace kestrap {

// An iPod in disk mode, reached through its mounted volume.
//
// Every device path resolves under the mount point and stays there: a path with a ".."
// component, or one whose symbolic links lead out of the volume, fails like a missing file.
// Identity values are read once, at creation; the name is read from the iPod's media
// database on the first call of name() and kept.
//
// Threads: any call may come from any thread. File operations share no state; the name,
// the copy delegate and the length of the file being copied are guarded by locks of their
// own. A copy blocks its calling thread until it ends; copies on different threads run
// side by side.
class iPodDevice : public iMobileDevice {
public:
    // sysRoot is where the kernel's device tree is mounted; tests point it at a made-up tree.
    explicit iPodDevice(const QString& mountPath, const QString& sysRoot = QStringLiteral("/sys"));

    const QString& mountPath() const { return m_mountPath; }
    std::int32_t familyId() const { return m_familyId; }
    // A kind code from the family: 1, 2, 3, 4, or 0 for a family of no known kind.
    std::int32_t PodType() const;

    void refresh() override;
    QString uuid() override;
    // The port path of the USB device the volume sits on, found when the iPod was mounted.
    QString hubPlace() override { return m_hubPlace; }
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

    // A path that begins with the mount point (as whole path components) is returned
    // unchanged; any other is joined to the mount point.
    QString fullPath(const QString& path) override;
    QString iTunesControlPath() override;

    std::optional<QByteArray> readFileAtPath(const QString& path, std::uint32_t offset, std::uint32_t length) override;
    std::optional<QByteArray> contentsOfFileAtPath(const QString& path, DeviceError* why = nullptr) override;
    bool downloadFile(const QString& devicePath, const QString& localPath) override;
    bool uploadFile(const QString& devicePath, const QString& localPath) override;
    // Folders, then regular files; links and special files are left out.
    std::vector<iMobileFileSystemNode> contentsOfDirectory(const QString& path, std::int32_t pathType) override;
    bool isLinkAtPath(const QString& path) override;
    bool isDirectoryAtPath(const QString& path) override;
    bool itemExistsAtPath(const QString& path, bool* isDirectory = nullptr) override;
    bool deleteItemAtPath(const QString& path) override;
    bool renameItemAtPath(const QString& path, const QString& newName) override;
    bool createDirectory(const QString& path) override;
    QDateTime modificationDateOfItemAtPath(const QString& path) override;
    QDateTime creationDateOfItemAtPath(const QString& path) override;
    std::uint64_t getSizeOfItemAtPath(const QString& path) override;
    void setCopyDelegate(iMobileDeviceCopyDelegate* delegate) override;

    // Copies one regular file between two absolute local paths, replacing the destination
    // only once the copy is complete. Progress goes to the copy delegate at most every
    // 0.1 s while the copy runs; a copy that succeeds ends with exactly one report whose
    // done count equals its total, one that fails ends with none and answers false.
    // The destination's folder must exist. An iPod copy cannot be stopped once started.
    bool copyFrom(const QString& source, const QString& destination);
    // Hands a progress report to the copy delegate.
    void finish(std::int64_t done, std::int64_t total);
    std::uint64_t getCopiedFileSize();
    // A regular file by its own attributes (a link is not one).
    static bool isRegularFile(const QString& absolutePath);

    // The name of the iPod at the mount point from its media database: the SQLite media
    // library when there is one ("iPod" when it gives none), else the record database
    // ("Unknown iPod" when it gives none). Never a null string.
    QString getDeviceName() const;
    // The title of the first master playlist of a record database file; null when the file
    // cannot be read or holds none.
    static QString getNameFromDB(const QString& path);
    // The same walk over an open file positioned at the database header. Nothing in the
    // file is trusted: a length pointing backwards or past the end, a count of records
    // that cannot fit in the rest of the file, or a record cut short ends the walk with no
    // name. The walk only moves forwards, so it ends within the file.
    static QString nameFromRecordDatabase(QIODevice& file);
    // Scans a playlist list the file is positioned at.
    static QString readMHLP(QIODevice& file);
    // Exactly length bytes decoded as UTF-16 little-endian; null when fewer remain.
    static QString readMHODString(QIODevice& file, std::uint32_t length);

    // Reads identity: the USB serial number of the volume's backing device, then this
    // iPod's entry in the preferences plist.
    void GetPodInfo();
    // Where "com.apple.iPod.plist" is looked up: $XDG_CONFIG_HOME/Kestrap
    // (~/.config/Kestrap without it).
    static QString GetPreferencesDirectory();

private:
    // The absolute path a device path stands for, or a null string when it would leave the
    // volume. followLast says whether the operation goes through a link at the last
    // component; links in the folders above are always followed and checked.
    QString confinedPath(const QString& path, bool followLast) const;
    bool insideVolume(const QString& canonical) const;

    QString m_mountPath;
    QString m_canonicalMountPath;
    QString m_sysRoot;
    QString m_uuid;
    QString m_hubPlace;
    QString m_serialNumber;
    QString m_osVersion;
    std::int32_t m_familyId = 0;

    std::mutex m_nameLock;  // guards m_deviceName
    QString m_deviceName;
    std::mutex m_copyLock;  // guards m_copyDelegate and m_copiedFileLength
    iMobileDeviceCopyDelegate* m_copyDelegate = nullptr;
    std::uint64_t m_copiedFileLength = 0;
};

// The USB serial number of the device a volume's block device sits on, found by walking up
// the kernel's device tree under sysRoot from the block device (major, minor) to the first
// USB device. Null when there is none or it has no serial number.
QString getUSBDeviceInfo(const QString& sysRoot, unsigned major, unsigned minor);
// The sysfs folder of that USB device; null when there is none. Its name is the device's
// port path ("1-4.2").
QString usbDeviceFolderOfBlock(const QString& sysRoot, unsigned major, unsigned minor);

// Decodes the bytes a GET_DESCRIPTOR request for a USB string descriptor transferred: a
// two-byte header, then UTF-16LE code units, up to the first zero unit and at most 63 of
// them. Null when fewer than 3 bytes came.
QString getUSBStringDescriptor(std::span<const std::uint8_t> transferred);

}  // namespace kestrap
