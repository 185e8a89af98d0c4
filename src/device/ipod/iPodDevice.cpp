#include "device/ipod/iPodDevice.h"

#include "util/Helpers.h"
#include "util/Paths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace kestrap {

namespace {

constexpr qint64 kCopyChunk = 1024 * 1024;
constexpr qint64 kProgressIntervalMs = 100;

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

bool lstatPath(const QString& path, struct stat* st)
{
    return ::lstat(native(path).constData(), st) == 0;
}

bool statPath(const QString& path, struct stat* st)
{
    return ::stat(native(path).constData(), st) == 0;
}

QString canonical(const QString& path)
{
    char resolved[PATH_MAX];
    if (!::realpath(native(path).constData(), resolved))
        return {};
    return QFile::decodeName(resolved);
}

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash <= 0)
        return QStringLiteral("/");
    return path.left(slash);
}

QDateTime fromTimestamp(std::int64_t seconds, std::uint32_t nanoseconds)
{
    return QDateTime::fromMSecsSinceEpoch(seconds * 1000 + nanoseconds / 1000000);
}

}  // namespace

iPodDevice::iPodDevice(const QString& mountPath, const QString& sysRoot) : m_mountPath(mountPath), m_sysRoot(sysRoot)
{
    if (QDir::isRelativePath(m_mountPath))
        m_mountPath = QDir::cleanPath(QDir::current().absoluteFilePath(m_mountPath));
    while (m_mountPath.size() > 1 && m_mountPath.endsWith(u'/'))
        m_mountPath.chop(1);
    m_canonicalMountPath = canonical(m_mountPath);
    GetPodInfo();
}

void iPodDevice::refresh() { }

QString iPodDevice::uuid()
{
    return m_uuid;
}

QString iPodDevice::buildVersion()
{
    return {};
}

QString iPodDevice::osVersion()
{
    return {};
}

QString iPodDevice::firmwareVersion()
{
    return m_osVersion;
}

QString iPodDevice::modelNumber()
{
    return {};
}

QString iPodDevice::phoneNumber()
{
    return {};
}

QString iPodDevice::serialNumber()
{
    return m_serialNumber;
}

std::uint64_t iPodDevice::freeCapacity()
{
    struct statvfs fs { };
    if (::statvfs(native(m_mountPath).constData(), &fs) != 0)
        return 0;
    return std::uint64_t(fs.f_bavail) * fs.f_frsize;
}

std::uint64_t iPodDevice::capacity()
{
    struct statvfs fs { };
    if (::statvfs(native(m_mountPath).constData(), &fs) != 0)
        return 0;
    return std::uint64_t(fs.f_blocks) * fs.f_frsize;
}

QString iPodDevice::name()
{
    std::lock_guard guard(m_nameLock);
    if (m_deviceName.isNull())
        m_deviceName = printableText(getDeviceName());
    return m_deviceName;
}

std::int32_t iPodDevice::deviceType()
{
    return DeviceTypePod;
}

QString iPodDevice::fullPath(const QString& path)
{
    // A plain prefix test would take "/media/iPod2/x" for a path on "/media/iPod".
    if (path.startsWith(m_mountPath)
        && (path.size() == m_mountPath.size() || path.at(m_mountPath.size()) == u'/' || m_mountPath == u"/"))
        return path;
    return PathJoin(m_mountPath, path);
}

QString iPodDevice::iTunesControlPath()
{
    return QStringLiteral("iPod_Control");
}

bool iPodDevice::insideVolume(const QString& canonicalPath) const
{
    if (m_canonicalMountPath.isEmpty())
        return false;
    return canonicalPath == m_canonicalMountPath || m_canonicalMountPath == u"/"
        || canonicalPath.startsWith(m_canonicalMountPath + u'/');
}

QString iPodDevice::confinedPath(const QString& path, bool followLast) const
{
    const QString joined = const_cast<iPodDevice*>(this)->fullPath(path);
    for (const QStringView part : QStringView(joined).mid(m_mountPath.size()).split(u'/'))
        if (part == u"..")
            return {};
    // Without "..", cleaning only drops "." parts and doubled or trailing slashes, so
    // "/" and "./" name the mount point itself.
    const QString full = QDir::cleanPath(joined);

    // Where the item really is: the first thing that exists on the way up from it (or from
    // its folder, for operations on a link itself) must resolve into the volume.
    QString probe = (followLast || full == m_mountPath) ? full : parentOf(full);
    for (;;) {
        struct stat st { };
        if (lstatPath(probe, &st)) {
            // A dangling link resolves nowhere; writing through it could land anywhere.
            const QString real = canonical(probe);
            return (!real.isEmpty() && insideVolume(real)) ? full : QString();
        }
        if (probe.size() <= m_mountPath.size())
            return {};
        probe = parentOf(probe);
    }
}

std::optional<QByteArray> iPodDevice::readFileAtPath(const QString& path, std::uint32_t offset, std::uint32_t length)
{
    const QString full = confinedPath(path, true);
    if (full.isNull() || !isRegularFile(canonical(full)))
        return std::nullopt;
    QFile file(full);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const qint64 size = file.size();
    if (qint64(offset) >= size)
        return QByteArray();
    if (!file.seek(offset))
        return std::nullopt;
    const QByteArray bytes = file.read(std::min<qint64>(length, size - offset));
    if (bytes.isNull() && length > 0)
        return std::nullopt;
    return bytes;
}

std::optional<QByteArray> iPodDevice::contentsOfFileAtPath(const QString& path, DeviceError* why)
{
    const auto failed = [why](DeviceError error) {
        if (why)
            *why = std::move(error);
        return std::nullopt;
    };
    const QString full = confinedPath(path, true);
    // Only regular files: reading a pipe or a device node could block for ever.
    if (full.isNull() || !isRegularFile(canonical(full)))
        return failed(DeviceError::local(ENOENT, QStringLiteral("%1 is not a file on the device.").arg(path)));
    QFile file(full);
    if (!file.open(QIODevice::ReadOnly))
        return failed(DeviceError::local(EACCES, file.errorString()));
    // One byte past the limit tells a file that is too large, also one that grows meanwhile.
    QByteArray bytes = file.read(kPreviewLimit + 1);
    if (file.error() != QFileDevice::NoError)
        return failed(DeviceError::local(EIO, file.errorString()));
    if (bytes.size() > kPreviewLimit)
        return failed(previewTooLarge(path));
    return bytes;
}

bool iPodDevice::downloadFile(const QString& devicePath, const QString& localPath)
{
    const QString source = confinedPath(devicePath, true);
    if (source.isNull())
        return false;
    const QString folder = QFileInfo(localPath).absolutePath();
    if (!QDir().mkpath(folder))
        return false;
    return copyFrom(source, localPath);
}

bool iPodDevice::uploadFile(const QString& devicePath, const QString& localPath)
{
    const QString destination = confinedPath(devicePath, true);
    if (destination.isNull() || destination == m_mountPath)
        return false;
    return copyFrom(localPath, destination);
}

std::vector<iMobileFileSystemNode> iPodDevice::contentsOfDirectory(const QString& path, std::int32_t pathType)
{
    if (pathType != PathTypeFolders && pathType != PathTypeFiles && pathType != PathTypeAll)
        return {};
    const QString folder = confinedPath(path, true);
    if (folder.isNull())
        return {};
    DIR* dir = ::opendir(native(folder).constData());
    if (!dir)
        return {};
    std::vector<iMobileFileSystemNode> folders;
    std::vector<iMobileFileSystemNode> files;
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name == u"." || name == u"..")
            continue;
        struct stat st { };
        if (!lstatPath(PathJoin(folder, name), &st))
            continue;
        if (S_ISDIR(st.st_mode))
            folders.push_back(iMobileFileSystemNode::iMobileFileSystemNodeWithDirectory(name, folder));
        else if (S_ISREG(st.st_mode))
            files.push_back(iMobileFileSystemNode::iMobileFileSystemNodeWithFile(name, folder));
    }
    ::closedir(dir);
    if (pathType == PathTypeFolders)
        return folders;
    if (pathType == PathTypeFiles)
        return files;
    folders.insert(folders.end(), files.begin(), files.end());
    return folders;
}

bool iPodDevice::isLinkAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    struct stat st { };
    return !full.isNull() && lstatPath(full, &st) && S_ISLNK(st.st_mode);
}

bool iPodDevice::isDirectoryAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    struct stat st { };
    return !full.isNull() && lstatPath(full, &st) && S_ISDIR(st.st_mode);
}

bool iPodDevice::itemExistsAtPath(const QString& path, bool* isDirectory)
{
    const QString full = confinedPath(path, true);
    struct stat st { };
    const bool exists = !full.isNull() && statPath(full, &st);
    if (isDirectory)
        *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

bool iPodDevice::deleteItemAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    // The mount point is not an item of the device: removing it would empty the whole iPod.
    if (full.isNull() || full == m_mountPath)
        return false;
    std::error_code error;
    // remove_all removes links themselves and never follows them out of the volume.
    const auto removed = std::filesystem::remove_all(std::filesystem::path(native(full).toStdString()), error);
    return !error && removed != static_cast<std::uintmax_t>(-1) && removed > 0;
}

bool iPodDevice::renameItemAtPath(const QString& path, const QString& newName)
{
    // A name, not a path: "../x" or "a/b" would move the item somewhere else.
    if (newName.isEmpty() || newName.contains(u'/') || newName == u"." || newName == u"..")
        return false;
    const QString full = confinedPath(path, false);
    if (full.isNull() || full == m_mountPath)
        return false;
    const QString target = PathJoin(parentOf(full), newName);
    if (::renameat2(AT_FDCWD, native(full).constData(), AT_FDCWD, native(target).constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the no-replace flag: check first, so a taken name still fails.
    struct stat st { };
    if (lstatPath(target, &st))
        return false;
    return ::rename(native(full).constData(), native(target).constData()) == 0;
}

bool iPodDevice::createDirectory(const QString& path)
{
    const QString full = confinedPath(path, true);
    if (full.isNull())
        return false;
    struct stat st { };
    if (statPath(full, &st) && S_ISDIR(st.st_mode))
        return true;
    return QDir().mkpath(full);
}

QDateTime iPodDevice::modificationDateOfItemAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    struct stat st { };
    if (full.isNull() || !lstatPath(full, &st))
        return QDateTime::currentDateTime();
    return fromTimestamp(st.st_mtim.tv_sec, std::uint32_t(st.st_mtim.tv_nsec));
}

QDateTime iPodDevice::creationDateOfItemAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    struct statx sx { };
    if (full.isNull() || ::statx(AT_FDCWD, native(full).constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0
        || !(sx.stx_mask & STATX_BTIME))
        return QDateTime::currentDateTime();
    return fromTimestamp(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
}

std::uint64_t iPodDevice::getSizeOfItemAtPath(const QString& path)
{
    const QString full = confinedPath(path, false);
    struct stat st { };
    if (full.isNull() || !lstatPath(full, &st))
        return 0;
    return std::uint64_t(st.st_size);
}

void iPodDevice::setCopyDelegate(iMobileDeviceCopyDelegate* delegate)
{
    std::lock_guard guard(m_copyLock);
    m_copyDelegate = delegate;
}

bool iPodDevice::isRegularFile(const QString& absolutePath)
{
    struct stat st { };
    return lstatPath(absolutePath, &st) && S_ISREG(st.st_mode);
}

std::uint64_t iPodDevice::getCopiedFileSize()
{
    std::lock_guard guard(m_copyLock);
    return m_copiedFileLength;
}

void iPodDevice::finish(std::int64_t done, std::int64_t total)
{
    iMobileDeviceCopyDelegate* delegate = nullptr;
    {
        std::lock_guard guard(m_copyLock);
        delegate = m_copyDelegate;
    }
    if (delegate)
        delegate->transferBytes(done, total);
}

bool iPodDevice::copyFrom(const QString& source, const QString& destination)
{
    struct stat st { };
    if (!statPath(source, &st) || !S_ISREG(st.st_mode))
        return false;
    const std::int64_t total = st.st_size;
    {
        std::lock_guard guard(m_copyLock);
        m_copiedFileLength = std::uint64_t(total);
    }
    if (!QFileInfo(QFileInfo(destination).absolutePath()).isDir())
        return false;

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    // Written beside the destination and renamed over it at the end, so a copy that fails
    // half-way leaves the old file as it was.
    QSaveFile out(destination);
    if (!out.open(QIODevice::WriteOnly))
        return false;

    QByteArray buffer(kCopyChunk, Qt::Uninitialized);
    std::int64_t done = 0;
    QElapsedTimer sinceReport;
    sinceReport.start();
    for (;;) {
        const qint64 n = in.read(buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            return false;
        done += n;
        // done == total is the completion report, which comes once the file is in place.
        if (done < total && sinceReport.elapsed() >= kProgressIntervalMs) {
            finish(done, total);
            sinceReport.restart();
        }
    }
    if (!out.commit())
        return false;
    finish(total, total);
    return true;
}

}  // namespace kestrap
