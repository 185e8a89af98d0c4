// iPhoneDevice: file operations over the one AFC connection.

#include "device/ios/iPhoneDevice.h"

#include "util/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrap {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// Closes a device file when the operation ends, on every path out of it.
class FileRefCloser {
public:
    FileRefCloser(MobileDeviceService& service, AFCConnectionRef connection, AFCFileRef file)
        : m_service(service), m_connection(connection), m_file(file)
    {
    }
    ~FileRefCloser() { m_service.AFCFileRefClose(m_connection, m_file); }
    FileRefCloser(const FileRefCloser&) = delete;
    FileRefCloser& operator=(const FileRefCloser&) = delete;

private:
    MobileDeviceService& m_service;
    AFCConnectionRef m_connection;
    AFCFileRef m_file;
};

QDateTime dateOfNanoseconds(const QString& value)
{
    if (value.isNull())
        return QDateTime::currentDateTime();
    return QDateTime::fromSecsSinceEpoch(value.toLongLong() / kNanosecondsPerSecond, Qt::UTC);
}

// A local file open for sending: one open and one status, where QFile asked for the status
// twice, and small files are sent by the tens of thousands.
class LocalFile {
public:
    explicit LocalFile(const QString& path) : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
    {
        struct stat st { };
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
            m_error = errno;
        else if (S_ISDIR(st.st_mode))
            m_error = EISDIR;
        else
            m_size = st.st_size;
    }
    ~LocalFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    bool isOpen() const { return m_error == 0; }
    QString errorString() const { return qt_error_string(m_error); }
    int handle() const { return m_fd; }
    std::int64_t size() const { return m_size; }

private:
    int m_fd;
    int m_error = 0;
    std::int64_t m_size = 0;
};

// The calling thread's upload buffer, kept for the thread's next files and never zeroed. A
// buffer per file came fresh from the system for every large file, and on a virtual machine
// each of its pages cost a fault taken to the host: with 32 files of 40 MiB, more time than
// sending them over the socket.
char* uploadBuffer()
{
    thread_local const auto buffer = std::make_unique_for_overwrite<char[]>(iPhoneDevice::kUploadWriteSize);
    return buffer.get();
}

}  // namespace

QString iPhoneDevice::fullPath(const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

void iPhoneDevice::refresh()
{
    forgetItemInfo();
}

QMap<QString, QString> iPhoneDevice::itemInfoAtPath(const QString& absolutePath)
{
    const Access access(*this);
    return itemInfoLocked(absolutePath);
}

QMap<QString, QString> iPhoneDevice::itemInfoLocked(const QString& absolutePath)
{
    std::lock_guard caches(m_cachesLock);
    const auto cached = m_itemInfoCaches.find(absolutePath);
    if (cached != m_itemInfoCaches.end()) {
        if (!cached->isEmpty())
            return *cached;
        m_itemInfoCaches.erase(cached);
    }
    AFCKeyValueRef handle = nullptr;
    if (!m_connection || m_service->AFCFileInfoOpen(m_connection, absolutePath, &handle) != MDSuccess)
        return {};
    QMap<QString, QString> info;
    QByteArray key;
    QByteArray value;
    const MDError first = m_service->AFCKeyValueRead(handle, &key, &value);
    if (first == MDSuccess) {
        while (!key.isNull()) {
            info.insert(QString::fromUtf8(key), QString::fromUtf8(value));
            if (m_service->AFCKeyValueRead(handle, &key, &value) != MDSuccess)
                break;
        }
    }
    m_service->AFCKeyValueClose(handle);
    if (first != MDSuccess)
        return {};
    // Full: one entry goes, an arbitrary one rather than the oldest.
    if (m_itemInfoCaches.size() >= kItemInfoCacheLimit)
        m_itemInfoCaches.erase(m_itemInfoCaches.begin());
    m_itemInfoCaches.insert(absolutePath, info);
    return info;
}

std::size_t iPhoneDevice::itemInfoCacheSize()
{
    std::lock_guard caches(m_cachesLock);
    return std::size_t(m_itemInfoCaches.size());
}

bool iPhoneDevice::isDirectoryLocked(const QString& absolutePath)
{
    const QString last = LastPathComponent(absolutePath);
    if (last == QLatin1String(".") || last == QLatin1String(".."))
        return true;
    return itemInfoLocked(absolutePath).value(QStringLiteral("st_ifmt")) == QLatin1String("S_IFDIR");
}

bool iPhoneDevice::isLinkAtPath(const QString& path)
{
    return itemInfoAtPath(fullPath(path)).value(QStringLiteral("st_ifmt")) == QLatin1String("S_IFLNK");
}

bool iPhoneDevice::isDirectoryAtPath(const QString& path)
{
    const Access access(*this);
    return isDirectoryLocked(fullPath(path));
}

std::uint64_t iPhoneDevice::getSizeOfItemAtPath(const QString& path)
{
    return std::uint64_t(
        std::max<qint64>(0, itemInfoAtPath(fullPath(path)).value(QStringLiteral("st_size")).toLongLong()));
}

QDateTime iPhoneDevice::modificationDateOfItemAtPath(const QString& path)
{
    return dateOfNanoseconds(itemInfoAtPath(fullPath(path)).value(QStringLiteral("st_mtime")));
}

QDateTime iPhoneDevice::creationDateOfItemAtPath(const QString& path)
{
    return dateOfNanoseconds(itemInfoAtPath(fullPath(path)).value(QStringLiteral("st_ctime")));
}

bool iPhoneDevice::itemExistsAtPath(const QString& path, bool* isDirectory)
{
    const QString absolute = fullPath(path);
    const Access access(*this);
    bool exists = false;
    bool folder = false;
    if (m_connection) {
        AFCDirectoryRef dir = nullptr;
        AFCKeyValueRef info = nullptr;
        if (m_service->AFCDirectoryOpen(m_connection, absolute, &dir) == MDSuccess) {
            m_service->AFCDirectoryClose(m_connection, dir);
            exists = folder = true;
        } else if (m_service->AFCFileInfoOpen(m_connection, absolute, &info) == MDSuccess) {
            m_service->AFCKeyValueClose(info);
            exists = true;
        }
    }
    if (isDirectory)
        *isDirectory = folder;
    return exists;
}

std::vector<iMobileFileSystemNode> iPhoneDevice::contentsOfDirectory(const QString& path, std::int32_t pathType)
{
    const QString folder = fullPath(path);
    std::vector<iMobileFileSystemNode> folders;
    std::vector<iMobileFileSystemNode> files;
    {
        const Access access(*this);
        AFCDirectoryRef dir = nullptr;
        if (m_connection && m_service->AFCDirectoryOpen(m_connection, folder, &dir) == MDSuccess) {
            QByteArray name;
            while (m_service->AFCDirectoryRead(m_connection, dir, &name) == MDSuccess && !name.isNull()) {
                const QString entry = QString::fromUtf8(name);
                if (isDirectoryLocked(PathJoin(folder, entry)))
                    folders.push_back(iMobileFileSystemNode::iMobileFileSystemNodeWithDirectory(entry, folder));
                else
                    files.push_back(iMobileFileSystemNode::iMobileFileSystemNodeWithFile(entry, folder));
            }
            m_service->AFCDirectoryClose(m_connection, dir);
        }
    }
    switch (pathType) {
    case PathTypeFolders:
        return folders;
    case PathTypeFiles:
        return files;
    case PathTypeAll:
        folders.insert(folders.end(), files.begin(), files.end());
        return folders;
    default:
        return {};
    }
}

bool iPhoneDevice::createDirectory(const QString& path)
{
    const QString absolute = fullPath(path);
    const Access access(*this);
    return m_connection && m_service->AFCDirectoryCreate(m_connection, absolute) == MDSuccess;
}

bool iPhoneDevice::deleteItemAtPath(const QString& path)
{
    const QString absolute = fullPath(path);
    const Access access(*this);
    return m_connection && m_service->AFCRemovePath(m_connection, absolute) == MDSuccess;
}

bool iPhoneDevice::renameItemAtPath(const QString& path, const QString& newName)
{
    // A name, not a path: anything that would move the item out of its folder is refused.
    if (newName.isEmpty() || newName.contains(QLatin1Char('/')) || newName == QLatin1String(".")
        || newName == QLatin1String(".."))
        return false;
    const QString from = fullPath(path);
    const QString to = PathJoin(QFileInfo(from).path(), newName);
    const Access access(*this);
    return m_connection && m_service->AFCRenamePath(m_connection, from, to) == MDSuccess;
}

std::optional<AFCFileRef> iPhoneDevice::openForReadingLocked(const QString& absolutePath)
{
    AFCFileRef file = 0;
    if (!m_connection)
        return std::nullopt;
    if (m_service->AFCFileRefOpen(m_connection, absolutePath, AFCFileModeRead, &file) == MDSuccess
        || m_service->AFCFileRefOpen(m_connection, absolutePath, AFCFileModeReadWrite, &file) == MDSuccess)
        return file;
    return std::nullopt;
}

std::optional<QByteArray> iPhoneDevice::readFileAtPath(const QString& path, std::uint32_t offset, std::uint32_t length)
{
    const QString absolute = fullPath(path);
    const Access access(*this);
    const auto file = openForReadingLocked(absolute);
    if (!file)
        return std::nullopt;
    FileRefCloser closer(*m_service, m_connection, *file);
    if (m_service->AFCFileRefSeek(m_connection, *file, offset, AFCSeekFromStart) != MDSuccess)
        return std::nullopt;
    QByteArray bytes;
    if (length == 0)
        return bytes;
    std::vector<char> buffer(kCopyBufferSize);
    std::uint64_t total = 0;
    for (;;) {
        std::uint32_t count = kCopyBufferSize;
        if (m_service->AFCFileRefRead(m_connection, *file, buffer.data(), &count) != MDSuccess)
            return std::nullopt;
        if (count == 0)
            break;
        if (total + count >= length) {
            bytes.append(buffer.data(), qsizetype(length - total));
            break;
        }
        bytes.append(buffer.data(), count);
        total += count;
    }
    return bytes;
}

std::optional<QByteArray> iPhoneDevice::contentsOfFileAtPath(const QString& path)
{
    const QString absolute = fullPath(path);
    const Access access(*this);
    const auto file = openForReadingLocked(absolute);
    if (!file)
        return std::nullopt;
    FileRefCloser closer(*m_service, m_connection, *file);
    QByteArray bytes;
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        std::uint32_t count = kCopyBufferSize;
        if (m_service->AFCFileRefRead(m_connection, *file, buffer.data(), &count) != MDSuccess)
            return std::nullopt;
        if (count == 0)
            return bytes;
        bytes.append(buffer.data(), count);
    }
}

bool iPhoneDevice::downloadFile(const QString& devicePath, const QString& localPath)
{
    const QString absolute = fullPath(devicePath);
    const QFileInfo local(localPath);
    if (!local.dir().exists() && !QDir().mkpath(local.path()))
        return false;
    const auto total = std::int64_t(getSizeOfItemAtPath(absolute));

    const Access access(*this);
    QFile out(localPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const auto file = openForReadingLocked(absolute);
    if (!file)
        return false;
    FileRefCloser closer(*m_service, m_connection, *file);
    std::vector<char> buffer(kCopyBufferSize);
    std::int64_t done = 0;
    for (;;) {
        std::uint32_t count = kCopyBufferSize;
        if (m_service->AFCFileRefRead(m_connection, *file, buffer.data(), &count) != MDSuccess)
            return false;
        // A local file that cannot take the bytes is a failed copy, not a short one.
        if (count > 0 && out.write(buffer.data(), count) != qint64(count))
            return false;
        done += count;
        // A copy the delegate stopped is not a copy: the part written stays, the answer is no.
        if (!finish(done, total))
            return false;
        if (count == 0)
            return out.flush();
    }
}

bool iPhoneDevice::uploadFile(const QString& devicePath, const QString& localPath)
{
    return uploadFile(devicePath, localPath, QVariant());
}

QString iPhoneDevice::temporaryUploadPath(const QString& absolutePath)
{
    const QFileInfo target(absolutePath);
    return PathJoin(target.path(), QStringLiteral(".%1.kestrap-part").arg(target.fileName()));
}

bool iPhoneDevice::uploadFile(const QString& devicePath, const QString& localPath, const QVariant& userInfo)
{
    const QString absolute = fullPath(devicePath);
    const LocalFile in(localPath);
    if (!in.isOpen())
        return failed(0, QStringLiteral("the local file cannot be read: %1").arg(in.errorString()));
    const std::int64_t size = in.size();

    // The old item stays whole until the new one is: a missing local file, a full device, a
    // stop or a pulled cable leaves the device as it was.
    const QString temporary = temporaryUploadPath(absolute);
    const Access access(*this);
    if (!m_connection)
        return failedAFC(AFCServiceNotConnectedError);
    if (!uploadToTemporaryLocked(temporary, in.handle(), size, userInfo)
        || !replaceWithTemporaryLocked(temporary, absolute)) {
        m_service->AFCRemovePath(m_connection, temporary);
        return false;
    }
    {
        std::lock_guard caches(m_cachesLock);
        m_itemInfoCaches.remove(absolute);
    }
    finish(100, 100, userInfo);
    return true;
}

bool iPhoneDevice::uploadToTemporaryLocked(
    const QString& temporary, int in, std::int64_t size, const QVariant& userInfo)
{
    AFCFileRef file = 0;
    if (const MDError e = m_service->AFCFileRefOpen(m_connection, temporary, AFCFileModeWrite, &file))
        return failedAFC(e);
    FileRefCloser closer(*m_service, m_connection, file);
    char* const buffer = uploadBuffer();
    // A block goes out as writes of kUploadWriteSize, each read just before it is written:
    // the piece is still in the processor's cache when the write copies it on, where a whole
    // block read first had left it for memory (with 4 copies at once, 5 MiB pieces were 10-15%
    // slower than 2 MiB ones). A local file that delivers less than its size has changed
    // under the copy: it fails.
    const auto copy = [&](std::int64_t count) {
        for (std::int64_t done = 0; done < count;) {
            const std::int64_t piece = std::min<std::int64_t>(count - done, kUploadWriteSize);
            std::int64_t got = 0;
            while (got < piece) {
                const ssize_t n = ::read(in, buffer + got, std::size_t(piece - got));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return failed(0, QStringLiteral("the local file cannot be read: %1").arg(qt_error_string(errno)));
                if (n == 0)
                    return failed(0, QStringLiteral("the local file changed while it was sent"));
                got += n;
            }
            if (const MDError e = m_service->AFCFileRefWrite(m_connection, file, buffer, std::uint32_t(piece)))
                return failedAFC(e);
            done += piece;
        }
        return true;
    };
    std::int64_t written = 0;
    while (written + kCopyBufferSize < size) {
        if (!copy(kCopyBufferSize))
            return false;
        written += kCopyBufferSize;
        // Stopped by the delegate: what is on the device is partial, so the copy failed.
        if (!finish(written, size, userInfo))
            return failed(0, QStringLiteral("the copy was stopped"));
    }
    return size <= written || copy(size - written);
}

bool iPhoneDevice::replaceWithTemporaryLocked(const QString& temporary, const QString& absolute)
{
    MDError e = m_service->AFCRenamePath(m_connection, temporary, absolute);
    // Devices that refuse to rename over an existing item get the old one removed just
    // before the rename, the shortest window in which neither exists.
    if (e != MDSuccess && e != AFCServiceNotConnectedError
        && m_service->AFCRemovePath(m_connection, absolute) == MDSuccess)
        e = m_service->AFCRenamePath(m_connection, temporary, absolute);
    return e == MDSuccess || failedAFC(e);
}
bool iPhoneDevice::finish(std::int64_t done, std::int64_t total, const QVariant& userInfo)
{
    iMobileDeviceCopyDelegate* delegate = m_copyDelegate;
    if (!delegate)
        return true;
    const bool goOn = delegate->shouldContinue();
    if (userInfo.isValid())
        delegate->transferBytes(done, total, userInfo);
    else
        delegate->transferBytes(done, total);
    return goOn;
}

bool iPhoneDevice::finish(std::int64_t done, std::int64_t total)
{
    return finish(done, total, QVariant());
}

}  // namespace kestrap
