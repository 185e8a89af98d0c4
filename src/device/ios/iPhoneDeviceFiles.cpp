// iPhoneDevice: file operations over the one AFC connection.

#include "device/ios/iPhoneDevice.h"

#include "util/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace kestrap {

// A local file open for sending: one open and one status, where QFile asked for the status
// twice, and small files are sent by the tens of thousands. Opened without blocking, since
// opening a FIFO for reading waits for a writer for ever; nothing but a regular file is read.
class LocalFile {
public:
    explicit LocalFile(const QString& path)
        : m_path(QFile::encodeName(path)), m_fd(::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
    {
        if (m_fd < 0 || ::fstat(m_fd, &m_opened) != 0) {
            m_error = errno;
        } else if (S_ISDIR(m_opened.st_mode)) {
            m_error = EISDIR;
        } else if (!S_ISREG(m_opened.st_mode)) {
            m_notRegular = true;
        }
        // A regular file's reads never block, O_NONBLOCK or not.
    }
    ~LocalFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    bool isOpen() const { return m_error == 0 && !m_notRegular; }
    DeviceError error() const
    {
        if (m_notRegular)
            return DeviceError::local(0, QStringLiteral("not a regular file"));
        return DeviceError::local(
            m_error, QStringLiteral("the local file cannot be read: %1").arg(qt_error_string(m_error)));
    }
    std::int64_t size() const { return m_opened.st_size; }
    std::int64_t mtimeNanoseconds() const
    {
        return std::int64_t(m_opened.st_mtim.tv_sec) * 1000000000 + m_opened.st_mtim.tv_nsec;
    }

    // Fills buffer with the next count bytes. A file that ends early has changed under the copy.
    DeviceError readFull(char* buffer, std::int64_t count)
    {
        for (std::int64_t got = 0; got < count;) {
            const ssize_t n = ::read(m_fd, buffer + got, std::size_t(count - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return DeviceError::local(
                    errno, QStringLiteral("the local file cannot be read: %1").arg(qt_error_string(errno)));
            if (n == 0)
                return changedError();
            got += n;
        }
        return {};
    }

    // Asks the kernel to read count bytes from offset on into its cache now, in the background:
    // the next piece is read from the disk while the device takes the one before it.
    void readAhead(std::int64_t offset, std::int64_t count) const
    {
        ::posix_fadvise(m_fd, off_t(offset), off_t(count), POSIX_FADV_WILLNEED);
    }

    // Whether what was read may not be the file as it was at the open: its size, modification
    // or change time moved, or another file took its name. A file removed since is not
    // changed: what was read is whole.
    bool changedSinceOpen() const
    {
        struct stat now { };
        if (::fstat(m_fd, &now) != 0)
            return true;
        const auto same
            = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
        if (now.st_size != m_opened.st_size || !same(now.st_mtim, m_opened.st_mtim)
            || !same(now.st_ctim, m_opened.st_ctim))
            return true;
        struct stat named { };
        return ::stat(m_path.constData(), &named) == 0 && (named.st_ino != now.st_ino || named.st_dev != now.st_dev);
    }

    static DeviceError changedError()
    {
        return DeviceError::local(0, QStringLiteral("the local file changed while it was sent"));
    }

private:
    QByteArray m_path;
    int m_fd;
    int m_error = 0;
    bool m_notRegular = false;
    struct stat m_opened { };
};

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// Closes a device file when the operation ends, on every path out of it.
class FileRefCloser {
public:
    FileRefCloser(MobileDeviceService& service, AFCConnectionRef connection, AFCFileRef file)
        : m_service(service), m_connection(connection), m_file(file)
    {
    }
    ~FileRefCloser() { close(); }
    FileRefCloser(const FileRefCloser&) = delete;
    FileRefCloser& operator=(const FileRefCloser&) = delete;

    // Closes now, once; a device may report a failed write only at the close.
    MDError close()
    {
        if (m_closed)
            return MDSuccess;
        m_closed = true;
        return m_service.AFCFileRefClose(m_connection, m_file);
    }

private:
    MobileDeviceService& m_service;
    AFCConnectionRef m_connection;
    AFCFileRef m_file;
    bool m_closed = false;
};

QDateTime dateOfNanoseconds(const QString& value)
{
    if (value.isNull())
        return QDateTime::currentDateTime();
    return QDateTime::fromSecsSinceEpoch(value.toLongLong() / kNanosecondsPerSecond, Qt::UTC);
}

// A copy thread's upload buffer, kept for the thread's next files and never zeroed. A
// buffer per file came fresh from the system for every large file, and on a virtual machine
// each of its pages cost a fault taken to the host: with 32 files of 40 MiB, more time than
// sending them over the socket.
//
// It is asked for as one huge page, where the kernel gives those on request: the first piece
// read into it took 512 faults otherwise, and with four devices starting at once on two cores
// those held each device's first byte back by 5 to 20 ms.
class UploadBuffer {
public:
    static constexpr std::size_t kSize = iPhoneDevice::kUploadWriteSize;
    UploadBuffer() : m_bytes(static_cast<char*>(std::aligned_alloc(kSize, kSize)))
    {
        if (!m_bytes)
            throw std::bad_alloc();
        ::madvise(m_bytes, kSize, MADV_HUGEPAGE);  // a hint: where huge pages are off, small ones come
    }
    ~UploadBuffer() { std::free(m_bytes); }
    UploadBuffer(const UploadBuffer&) = delete;
    UploadBuffer& operator=(const UploadBuffer&) = delete;
    char* get() const { return m_bytes; }

private:
    char* const m_bytes;
};

// Buffers of copy threads that ended, for the next ones: a station serves device after
// device, each on threads of its own, and a buffer handed on takes no fault at all. A few are
// kept. The pool is never destroyed: a thread may end after the statics have.
class UploadBufferPool {
public:
    static UploadBufferPool& instance()
    {
        static auto* const pool = new UploadBufferPool;
        return *pool;
    }
    std::unique_ptr<UploadBuffer> take()
    {
        {
            std::lock_guard guard(m_lock);
            if (!m_idle.empty()) {
                std::unique_ptr<UploadBuffer> buffer = std::move(m_idle.back());
                m_idle.pop_back();
                return buffer;
            }
        }
        return std::make_unique<UploadBuffer>();
    }
    void give(std::unique_ptr<UploadBuffer> buffer)
    {
        std::lock_guard guard(m_lock);
        if (m_idle.size() < kKept)
            m_idle.push_back(std::move(buffer));
    }

private:
    static constexpr std::size_t kKept = 8;  // two devices' connections at the default settings
    std::mutex m_lock;
    std::vector<std::unique_ptr<UploadBuffer>> m_idle;
};

char* uploadBuffer()
{
    struct Lease {
        std::unique_ptr<UploadBuffer> buffer = UploadBufferPool::instance().take();
        ~Lease() { UploadBufferPool::instance().give(std::move(buffer)); }
    };
    thread_local Lease lease;
    return lease.buffer->get();
}

}  // namespace

QString iPhoneDevice::fullPath(const QString& path)
{
    // Most paths come whole already (every file of a job asks): those are kept as they are.
    if (path.startsWith(u'/') && !path.contains(QLatin1String("//")) && (path.size() == 1 || !path.endsWith(u'/')))
        return path;
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

std::optional<DeviceItem> iPhoneDevice::itemAtPath(const QString& path)
{
    const QMap<QString, QString> info = itemInfoAtPath(fullPath(path));
    if (info.isEmpty())
        return std::nullopt;
    const QString kind = info.value(QStringLiteral("st_ifmt"));
    if (kind == QLatin1String("S_IFLNK"))
        return DeviceItem {DeviceItem::Kind::Link};
    if (kind == QLatin1String("S_IFDIR"))
        return DeviceItem {DeviceItem::Kind::Folder};
    return DeviceItem {
        DeviceItem::Kind::File, std::uint64_t(std::max<qint64>(0, info.value(QStringLiteral("st_size")).toLongLong()))};
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

std::optional<QStringList> iPhoneDevice::namesInDirectory(const QString& path)
{
    const QString folder = fullPath(path);
    const Access access(*this);
    AFCDirectoryRef dir = nullptr;
    if (!m_connection || m_service->AFCDirectoryOpen(m_connection, folder, &dir) != MDSuccess)
        return std::nullopt;
    QStringList names;
    QByteArray name;
    while (m_service->AFCDirectoryRead(m_connection, dir, &name) == MDSuccess && !name.isNull())
        if (name != "." && name != "..")
            names << QString::fromUtf8(name);
    m_service->AFCDirectoryClose(m_connection, dir);
    return names;
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

std::optional<QByteArray> iPhoneDevice::contentsOfFileAtPath(const QString& path, DeviceError* why)
{
    const auto failed = [why](DeviceError error) {
        if (why)
            *why = std::move(error);
        return std::nullopt;
    };
    const QString absolute = fullPath(path);
    const Access access(*this);
    const auto file = openForReadingLocked(absolute);
    if (!file)
        return failed(afcError(AFCObjectNotFoundError));
    FileRefCloser closer(*m_service, m_connection, *file);
    QByteArray bytes;
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        // One byte past the limit tells a file that is too large, without reading it all.
        std::uint32_t count = std::uint32_t(std::min<std::int64_t>(kCopyBufferSize, kPreviewLimit + 1 - bytes.size()));
        if (const MDError e = m_service->AFCFileRefRead(m_connection, *file, buffer.data(), &count))
            return failed(afcError(e));
        if (count == 0)
            return bytes;
        bytes.append(buffer.data(), count);
        if (bytes.size() > kPreviewLimit)
            return failed(previewTooLarge(path));
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
    // Written beside the local file and put in its place only when whole: a failed copy leaves
    // the local file as it was.
    QSaveFile out(localPath);
    if (!out.open(QIODevice::WriteOnly))
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
        // A copy the delegate stopped is not a copy.
        if (!finish(done, total))
            return false;
        if (count == 0)
            return out.commit();
    }
}

bool iPhoneDevice::uploadFile(const QString& devicePath, const QString& localPath)
{
    return sendFile({devicePath, localPath}).ok();
}

QString iPhoneDevice::temporaryUploadPath(const QString& absolutePath, const QString& kind)
{
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    QString random;
    for (int i = 0; i < 6; ++i)
        random += QLatin1Char(kDigits[QRandomGenerator::global()->bounded(36)]);
    const QString tail = QStringLiteral(".%1.kestrap-%2").arg(random, kind);
    const QFileInfo target(absolutePath);
    QString name = target.fileName();
    // A name the device takes: at most 255 bytes in all, the target's name shortened to fit
    // (never in the middle of a character).
    const qsizetype room = 255 - 1 - tail.size();
    while (name.toUtf8().size() > room) {
        name.chop(1);
        if (!name.isEmpty() && name.back().isHighSurrogate())
            name.chop(1);
    }
    return PathJoin(target.path(), QLatin1Char('.') + name + tail);
}

bool iPhoneDevice::isTemporaryName(const QString& name)
{
    return name.startsWith(QLatin1Char('.')) && name.endsWith(kTemporarySuffix);
}

bool iPhoneDevice::holdsUnchanged(const QString& devicePath, const QString& localPath)
{
    // The quick check needs no open: a re-run leaves most files alone.
    struct stat st { };
    if (::stat(QFile::encodeName(localPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const Access access(*this);
    return m_connection && holdsUnchangedLocked(fullPath(devicePath), st.st_size, st.st_mtim.tv_sec);
}

UploadResult iPhoneDevice::sendFile(const UploadRequest& request)
{
    if (request.skipUnchanged && holdsUnchanged(request.devicePath, request.localPath))
        return {{}, true};
    const QString absolute = fullPath(request.devicePath);
    if (request.beforeWrite)
        request.beforeWrite();
    // A file that changes while it is sent is sent again from its start, once: a log being
    // appended to gets its newer state, a file rewritten without end fails.
    for (int attempt = 1;; ++attempt) {
        LocalFile in(request.localPath);
        if (!in.isOpen())
            return {in.error()};
        const Access access(*this);
        if (!m_connection)
            return {afcError(AFCServiceNotConnectedError)};
        // The old item stays whole until the new one is: a missing local file, a full device,
        // a stop or a pulled cable leaves the device as it was.
        const QString temporary = temporaryUploadPath(absolute);
        if (request.temporary)
            request.temporary(temporary, {}, true);
        DeviceError error = uploadToTemporaryLocked(temporary, in, request);
        if ((error.isEmpty() || error.domain == ErrorDomain::LocalFile) && in.changedSinceOpen()) {
            removeTemporaryLocked(temporary, request);
            if (attempt < 2)
                continue;
            error = LocalFile::changedError();
        }
        if (error.isEmpty())
            error = replaceWithTemporaryLocked(temporary, absolute, request);
        {
            std::lock_guard caches(m_cachesLock);
            m_itemInfoCaches.remove(absolute);
        }
        if (!error.isEmpty()) {
            removeTemporaryLocked(temporary, request);
            return {error};
        }
        if (request.temporary)
            request.temporary(temporary, {}, false);
        // The time goes on the file in place, not on the temporary, whose own time tells the
        // cleanup of abandoned temporaries when somebody last wrote it. A file whose time
        // could not be set is whole all the same; a later quick check just sends it again.
        m_service->AFCSetModificationTime(m_connection, absolute, in.mtimeNanoseconds());
        return {};
    }
}

std::optional<QMap<QByteArray, QByteArray>> iPhoneDevice::statLocked(const QString& absolutePath, MDError* error)
{
    AFCKeyValueRef handle = nullptr;
    const MDError opened = m_service->AFCFileInfoOpen(m_connection, absolutePath, &handle);
    if (opened != MDSuccess) {
        if (error)
            *error = opened;
        return std::nullopt;
    }
    QMap<QByteArray, QByteArray> info;
    QByteArray key;
    QByteArray value;
    while (m_service->AFCKeyValueRead(handle, &key, &value) == MDSuccess && !key.isNull())
        info.insert(key, value);
    m_service->AFCKeyValueClose(handle);
    return info;
}

bool iPhoneDevice::holdsUnchangedLocked(const QString& absolute, std::int64_t size, std::int64_t mtimeSeconds)
{
    // Read as the pairs come, without a map: a re-run asks this of every file.
    AFCKeyValueRef handle = nullptr;
    if (m_service->AFCFileInfoOpen(m_connection, absolute, &handle) != MDSuccess)
        return false;
    bool regular = false;
    std::optional<std::int64_t> heldSize;
    std::optional<std::int64_t> heldMtime;
    QByteArray key;
    QByteArray value;
    while (m_service->AFCKeyValueRead(handle, &key, &value) == MDSuccess && !key.isNull()) {
        if (key == "st_ifmt")
            regular = value == "S_IFREG";
        else if (key == "st_size")
            heldSize = value.toLongLong();
        else if (key == "st_mtime")
            heldMtime = value.toLongLong();
    }
    m_service->AFCKeyValueClose(handle);
    return regular && heldSize == size && heldMtime && *heldMtime / kNanosecondsPerSecond == mtimeSeconds;
}

DeviceError iPhoneDevice::uploadToTemporaryLocked(const QString& temporary, LocalFile& in, const UploadRequest& request)
{
    AFCFileRef file = 0;
    if (const MDError e = m_service->AFCFileRefOpen(m_connection, temporary, AFCFileModeWrite, &file))
        return afcError(e);
    FileRefCloser closer(*m_service, m_connection, file);
    char* const buffer = uploadBuffer();
    std::optional<std::uint32_t> crc;
    if (request.verify)
        crc = std::uint32_t(::crc32(0, nullptr, 0));
    // The file goes out as writes of kUploadWriteSize, each read just before it is written:
    // the piece is still in the processor's cache when the write copies it on, where a whole
    // block read first had left it for memory (with 4 copies at once, 5 MiB pieces were 10-15%
    // slower than 2 MiB ones).
    const std::int64_t size = in.size();
    for (std::int64_t done = 0; done < size;) {
        const std::int64_t piece = std::min<std::int64_t>(size - done, kUploadWriteSize);
        if (DeviceError e = in.readFull(buffer, piece); !e.isEmpty())
            return e;
        if (done + piece < size)
            in.readAhead(done + piece, kUploadWriteSize);
        if (crc)
            crc = std::uint32_t(::crc32(*crc, reinterpret_cast<const Bytef*>(buffer), uInt(piece)));
        if (const MDError e = m_service->AFCFileRefWrite(m_connection, file, buffer, std::uint32_t(piece)))
            return afcError(e);
        done += piece;
        // Stopped, or the device went: what is on the device is partial, so the copy failed.
        if (request.progress && !request.progress(done, size))
            return m_gone ? afcError(AFCServiceNotConnectedError)
                          : DeviceError::job(QStringLiteral("the copy was stopped"));
    }
    if (const MDError e = closer.close())
        return afcError(e);
    return checkTemporaryLocked(temporary, size, crc, request);
}

DeviceError iPhoneDevice::checkTemporaryLocked(
    const QString& temporary, std::int64_t size, std::optional<std::uint32_t> crc, const UploadRequest& request)
{
    MDError statError = MDSuccess;
    const auto info = statLocked(temporary, &statError);
    if (!info)
        return afcError(statError);
    const std::int64_t stored = info->value("st_size", "-1").toLongLong();
    if (stored != size)
        return DeviceError::job(
            QStringLiteral("the device holds %1 bytes of the %2 that were sent").arg(stored).arg(size));
    if (!crc)
        return {};

    const auto file = openForReadingLocked(temporary);
    if (!file)
        return afcError(AFCReadError);
    FileRefCloser closer(*m_service, m_connection, *file);
    char* const buffer = uploadBuffer();
    auto readBack = std::uint32_t(::crc32(0, nullptr, 0));
    std::int64_t total = 0;
    for (;;) {
        std::uint32_t count = kUploadWriteSize;
        if (const MDError e = m_service->AFCFileRefRead(m_connection, *file, buffer, &count))
            return afcError(e);
        if (count == 0)
            break;
        readBack = std::uint32_t(::crc32(readBack, reinterpret_cast<const Bytef*>(buffer), count));
        total += count;
        if (request.answered)
            request.answered();
    }
    if (total != size || readBack != *crc)
        return DeviceError::job(QStringLiteral("verification failed: the device holds other bytes than were sent"));
    return {};
}

void iPhoneDevice::removeTemporaryLocked(const QString& temporary, const UploadRequest& request)
{
    const MDError e = m_service->AFCRemovePath(m_connection, temporary);
    // Never made (its open failed) is gone as well as removed.
    if (request.temporary && (e == MDSuccess || e == AFCObjectNotFoundError))
        request.temporary(temporary, {}, false);
}

DeviceError iPhoneDevice::replaceWithTemporaryLocked(
    const QString& temporary, const QString& absolute, const UploadRequest& request)
{
    const DeviceError error = afcError(m_service->AFCRenamePath(m_connection, temporary, absolute));
    if (error.isEmpty() || error.deviceGone)
        return error;
    // Some devices refuse to rename over an existing file: the old one is moved aside, the new
    // one renamed into place and only then the old one removed; where the new one cannot take
    // its place, the old one goes back. At every moment one whole file has the name. A folder
    // in the way is not moved.
    const auto inTheWay = statLocked(absolute);
    if (!inTheWay || inTheWay->value("st_ifmt") != "S_IFREG")
        return error;
    const QString aside = temporaryUploadPath(absolute, QStringLiteral("old"));
    const auto told = [&](bool made) {
        if (request.temporary)
            request.temporary(aside, absolute, made);
    };
    told(true);
    if (const MDError e = m_service->AFCRenamePath(m_connection, absolute, aside)) {
        // A device gone in the middle may have moved it all the same.
        if (!afcError(e).deviceGone)
            told(false);
        return error;
    }
    if (const MDError e = m_service->AFCRenamePath(m_connection, temporary, absolute)) {
        if (m_service->AFCRenamePath(m_connection, aside, absolute) == MDSuccess)
            told(false);
        return afcError(e);
    }
    if (m_service->AFCRemovePath(m_connection, aside) == MDSuccess)
        told(false);
    return {};
}

void iPhoneDevice::removeStaleTemporaries(const QString& folder, std::chrono::seconds maxAge)
{
    const QString absolute = fullPath(folder);
    const Access access(*this);
    AFCDirectoryRef dir = nullptr;
    if (!m_connection || m_service->AFCDirectoryOpen(m_connection, absolute, &dir) != MDSuccess)
        return;
    QStringList candidates;
    QByteArray name;
    // Looked at as bytes: a folder of the job has many names, and few are temporaries.
    static const QByteArray suffix = kTemporarySuffix.toUtf8();
    while (m_service->AFCDirectoryRead(m_connection, dir, &name) == MDSuccess && !name.isNull())
        if (name.startsWith('.') && name.endsWith(suffix) && isTemporaryName(QString::fromUtf8(name)))
            candidates.append(PathJoin(absolute, QString::fromUtf8(name)));
    m_service->AFCDirectoryClose(m_connection, dir);
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    for (const QString& path : candidates) {
        const auto info = statLocked(path);
        if (info && now - info->value("st_mtime").toLongLong() / kNanosecondsPerSecond >= maxAge.count())
            m_service->AFCRemovePath(m_connection, path);
    }
}

bool iPhoneDevice::finish(std::int64_t done, std::int64_t total)
{
    iMobileDeviceCopyDelegate* delegate = m_copyDelegate;
    if (!delegate)
        return true;
    const bool goOn = delegate->shouldContinue();
    delegate->transferBytes(done, total);
    return goOn;
}

}  // namespace kestrap
