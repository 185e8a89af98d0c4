// The file side of the simulated devices: the Apple File Conduit over the folders of a
// device farm, confined to the root of the service each connection was opened on.

#include "device/ios/sim/SimMobileDeviceService.h"

#include "device/ios/sim/SimState.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrap::sim {

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;

QByteArray number(std::int64_t n)
{
    return QByteArray::number(qint64(n));
}

QByteArray nanoseconds(const struct timespec& t)
{
    return number(std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec);
}

QByteArray fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return QByteArrayLiteral("S_IFDIR");
    if (S_ISLNK(mode))
        return QByteArrayLiteral("S_IFLNK");
    if (S_ISCHR(mode))
        return QByteArrayLiteral("S_IFCHR");
    if (S_ISBLK(mode))
        return QByteArrayLiteral("S_IFBLK");
    if (S_ISFIFO(mode))
        return QByteArrayLiteral("S_IFIFO");
    if (S_ISSOCK(mode))
        return QByteArrayLiteral("S_IFSOCK");
    return QByteArrayLiteral("S_IFREG");
}

// A plain name: neither empty nor one that climbs or stays.
bool isPlainName(QStringView name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(QChar(0));
}

// The host path of `to` where it names an item of the folder `from` names an item of, whose
// host path is known: the same folder text resolves to the same folder, so an upload's
// rename resolves its folder once. Empty where `to` has to be resolved on its own.
QByteArray siblingHostPath(const QString& from, const QByteArray& hostFrom, const QString& to)
{
    const qsizetype fromSlash = from.lastIndexOf(u'/');
    const qsizetype toSlash = to.lastIndexOf(u'/');
    if (fromSlash < 0 || fromSlash != toSlash || QStringView(from).left(fromSlash) != QStringView(to).left(toSlash))
        return {};
    const QStringView name = QStringView(to).mid(toSlash + 1);
    if (!isPlainName(QStringView(from).mid(fromSlash + 1)) || !isPlainName(name))
        return {};
    return hostFrom.left(hostFrom.lastIndexOf('/') + 1) + QFile::encodeName(name.toString());
}

// Writes all of count bytes or fails with errno set, in pieces: a kernel built without
// preemption switches threads only between system calls, and one 5 MiB write into pages the
// machine has yet to back held a core for 20 ms, while the main thread waited behind a few.
bool writeAll(int fd, const char* data, std::size_t count)
{
    constexpr std::size_t kPiece = 256 * 1024;
    while (count > 0) {
        const ssize_t n = ::write(fd, data, std::min(count, kPiece));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        count -= std::size_t(n);
    }
    return true;
}

std::int64_t freeBytes(SimDeviceState& state)
{
    if (!state.usedBytes)
        state.usedBytes = storedBytes(state.folder);
    return std::max<std::int64_t>(
        0, state.plist.value(kKeyFSFreeBytes, qint64(kDefaultCapacity)).toLongLong() - *state.usedBytes);
}

void adjustUsed(SimDeviceState& state, std::int64_t delta)
{
    if (state.usedBytes)
        *state.usedBytes = std::max<std::int64_t>(0, *state.usedBytes + delta);
}

// Where a path of a documents connection lies beneath its root, the app's Documents folder:
// "/Documents/a" is "/a" there. "/" itself, the container, is *top; any other path of the
// container is refused, as the device refuses it.
MDError documentsPath(const QString& path, QString* inside, bool* top)
{
    // Most paths come plain, "/Documents/a/b": sliced rather than split and joined again, as
    // a re-run asks about every file.
    static const QString plainPrefix = u'/' + kDocumentsFolder + u'/';
    if (path.startsWith(plainPrefix) && isPlainRelative(QStringView(path).sliced(plainPrefix.size()))) {
        *top = false;
        *inside = path.sliced(plainPrefix.size() - 1);
        return MDSuccess;
    }
    QByteArray folder;
    QByteArray name;
    if (const MDError e = splitDevicePath(path, &folder, &name))
        return e;
    const QByteArray relative = folder.isEmpty() ? name : folder + '/' + name;
    *top = relative.isEmpty();
    const QByteArray documents = QFile::encodeName(kDocumentsFolder);
    if (*top || relative == documents) {
        *inside = QStringLiteral("/");
        return MDSuccess;
    }
    if (!relative.startsWith(documents + '/'))
        return AFCPermissionDeniedError;
    *inside = QFile::decodeName(relative.mid(documents.size()));
    return MDSuccess;
}

// What a call does with "/" of a documents connection: only listing and describing it are
// allowed.
enum class Reach { Change, Look };

// The connection, locked, with the call counted and its paths as the connection's root sees
// them; null (and *error) when the device has gone or a path is out of the connection's reach.
struct LockedConnection {
    SimConnection* connection = nullptr;
    std::unique_lock<std::mutex> lock;
    MDError error = MDSuccess;
    QString path;  // the call's path, beneath the connection's root
    QString to;  // a rename's target, likewise
    bool top = false;  // path is "/" of a documents connection, the container
    explicit operator bool() const { return error == MDSuccess; }
};

LockedConnection lockConnection(AFCConnectionRef ref, const char* call, const QString* path = nullptr,
    const QString* to = nullptr, Reach reach = Reach::Change)
{
    LockedConnection c;
    c.connection = dynamic_cast<SimConnection*>(ref);
    if (!c.connection) {
        c.error = AFCInvalidArgumentError;
        return c;
    }
    c.lock = std::unique_lock(c.connection->state->stateLock);
    waitWhileStalled(*c.connection->state, c.lock);
    ++c.connection->state->calls[call];
    if (!c.connection->record->alive) {
        c.error = AFCServiceNotConnectedError;
        return c;
    }
    if (c.connection->container.isEmpty()) {
        if (path)
            c.path = *path;
        if (to)
            c.to = *to;
        return c;
    }
    bool toTop = false;
    if (path && !c.error)
        c.error = documentsPath(*path, &c.path, &c.top);
    if (to && !c.error)
        c.error = documentsPath(*to, &c.to, &toTop);
    if (!c.error && (toTop || (c.top && reach != Reach::Look)))
        c.error = AFCPermissionDeniedError;
    return c;
}

void dropHeldFolder(SimConnection& c)
{
    if (c.folder.fd >= 0)
        ::close(c.folder.fd);
    c.folder = {};
}

// The connection's folder `relative`, held open: the one it holds while no folder can have
// changed since, else opened anew. Null where a link lies on the way or the folder cannot be
// opened: such paths take resolveDevicePath, which follows links inside the root and says
// what is wrong.
const SimFolder* heldFolder(SimConnection& c, const QByteArray& relative)
{
    const std::uint64_t generation = c.state->folderGeneration;
    if (c.folder.fd >= 0 && c.folder.generation == generation && c.folder.relative == relative)
        return &c.folder;
    dropHeldFolder(c);
    const int fd = openFolderBeneath(c.rootFd, relative);
    if (fd < 0)
        return nullptr;
    c.folder = {relative, fd, generation};
    return &c.folder;
}

// A new file created exclusively in the folder held for it: -1 with errno set where that
// fails or does not apply (an existing item, a link on the way), for the general way to
// handle. A folder removed on the host meanwhile fails here and is let go.
int createInHeldFolder(SimConnection& c, const QString& path, int flags)
{
    QByteArray folder;
    QByteArray name;
    if (splitDevicePath(path, &folder, &name) != MDSuccess || name.isEmpty()) {
        errno = EINVAL;
        return -1;
    }
    const SimFolder* held = heldFolder(c, folder);
    if (!held)
        return -1;
    const int fd = ::openat(held->fd, name.constData(), flags | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (errno != EEXIST)
            dropHeldFolder(c);
        return -1;
    }
    c.lastCreated = folder + '/' + name;
    c.lastCreatedGeneration = held->generation;
    return fd;
}

// Renames an item to another name of the same folder, relative to the folder held for it:
// MDSuccess, or an error where that fails or does not apply, for the general way to handle.
// Only the renaming of the file this connection last created is known to move no folder.
MDError renameInHeldFolder(SimConnection& c, const QString& from, const QString& to)
{
    QByteArray folder;
    QByteArray fromName;
    QByteArray toFolder;
    QByteArray toName;
    if (splitDevicePath(from, &folder, &fromName) != MDSuccess || splitDevicePath(to, &toFolder, &toName) != MDSuccess
        || fromName.isEmpty() || toName.isEmpty() || toFolder != folder || toName == fromName)
        return AFCInvalidArgumentError;
    const SimFolder* held = heldFolder(c, folder);
    if (!held)
        return AFCInvalidArgumentError;
    const int fd = held->fd;
    const bool created
        = c.lastCreatedGeneration == c.state->folderGeneration && c.lastCreated == folder + '/' + fromName;
    if (::renameat2(fd, fromName.constData(), fd, toName.constData(), RENAME_NOREPLACE) != 0) {
        // A file replaced frees its space. Counted here rather than by walking the device
        // again: every upload ends in a rename, and uploads replace files.
        struct stat replaced { };
        const bool replaces = errno == EEXIST && ::fstatat(fd, toName.constData(), &replaced, AT_SYMLINK_NOFOLLOW) == 0;
        if (!replaces || ::renameat(fd, fromName.constData(), fd, toName.constData()) != 0) {
            dropHeldFolder(c);
            return AFCInvalidArgumentError;
        }
        if (S_ISREG(replaced.st_mode))
            adjustUsed(*c.state, -std::int64_t(replaced.st_size));
        ++c.state->sizeChanges;
    }
    c.lastCreated.clear();
    if (!created)
        ++c.state->folderGeneration;
    return MDSuccess;
}

// The folder held for a path's item, and the item's name in it: null where the path has no
// name (the root) or its folder cannot be held, for the general way to handle. An upload asks
// about the file it writes, and sets its time, in the folder it wrote it in.
const SimFolder* heldFolderOf(SimConnection& c, const QString& path, QByteArray* name)
{
    QByteArray folder;
    if (splitDevicePath(path, &folder, name) != MDSuccess || name->isEmpty())
        return nullptr;
    return heldFolder(c, folder);
}

}  // namespace

SimConnection::~SimConnection()
{
    if (folder.fd >= 0)
        ::close(folder.fd);
    for (auto& [ref, file] : files)
        ::close(file.fd);
    if (rootFd >= 0)
        ::close(rootFd);
}

MDError SimMobileDeviceService::AFCConnectionOpen(
    AMServiceHandle service, std::uint32_t timeout, AFCConnectionRef* connection)
{
    Q_UNUSED(timeout);
    PendingService pending;
    {
        std::lock_guard guard(m_servicesLock);
        const auto it = m_services.find(service);
        if (it == m_services.end())
            return AFCInvalidArgumentError;
        pending = it->second;
        m_services.erase(it);
    }
    if (!connection)
        return AFCInvalidArgumentError;
    const auto state = pending.record->state;
    std::unique_lock guard(state->stateLock);
    waitWhileStalled(*state, guard);
    ++state->calls["AFCConnectionOpen"];
    if (!pending.record->alive)
        return AFCServiceNotConnectedError;
    char buf[PATH_MAX];
    if (!::realpath(QFile::encodeName(pending.root).constData(), buf))
        return afcErrorFromErrno(errno);
    QByteArray root = buf;
    QByteArray container;
    if (pending.documentsOnly) {
        container = root;
        if (!::realpath(QFile::encodeName(QDir(pending.root).filePath(kDocumentsFolder)).constData(), buf))
            return afcErrorFromErrno(errno);
        root = buf;
        // A Documents that is a link to elsewhere would lead out of the container.
        if (root != container + '/' + QFile::encodeName(kDocumentsFolder))
            return AFCPermissionDeniedError;
    }
    auto* c = new SimConnection;
    c->state = state;
    c->record = pending.record;
    c->root = root;
    c->container = container;
    c->rootFd = ::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    *connection = c;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCConnectionClose(AFCConnectionRef connection)
{
    auto* c = dynamic_cast<SimConnection*>(connection);
    if (!c)
        return AFCInvalidArgumentError;
    {
        std::lock_guard guard(c->state->stateLock);
        ++c->state->calls["AFCConnectionClose"];
    }
    delete c;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* info)
{
    auto c = lockConnection(connection, "AFCDeviceInfoOpen");
    if (!c)
        return c.error;
    SimDeviceState& state = *c.connection->state;
    auto* kv = new SimKeyValue;
    kv->pairs = {
        {"Model", state.plist.value(QStringLiteral("ProductType")).toString().toUtf8()},
        {"FSTotalBytes", number(state.plist.value(kKeyFSTotalBytes, qint64(kDefaultCapacity)).toLongLong())},
        {"FSFreeBytes", number(freeBytes(state))},
        {"FSBlockSize", "4096"},
    };
    *info = kv;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileInfoOpen(AFCConnectionRef connection, const QString& path, AFCKeyValueRef* info)
{
    auto c = lockConnection(connection, "AFCFileInfoOpen", &path, nullptr, Reach::Look);
    if (!c)
        return c.error;
    struct stat st { };
    QByteArray name;
    const SimFolder* held = heldFolderOf(*c.connection, c.path, &name);
    if (!held || ::fstatat(held->fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        QByteArray host = c.connection->container;
        if (!c.top)
            if (const MDError e = resolveDevicePath(c.connection->root, c.path, false, &host, c.connection->rootFd))
                return e;
        if (::lstat(host.constData(), &st) != 0)
            return afcErrorFromErrno(errno);
    }
    auto* kv = new SimKeyValue;
    // Keys and kinds are literals, which cost no allocation: a re-run asks this of every file.
    kv->pairs = {
        {QByteArrayLiteral("st_size"), number(st.st_size)},
        {QByteArrayLiteral("st_blocks"), number(st.st_blocks)},
        {QByteArrayLiteral("st_nlink"), number(st.st_nlink)},
        {QByteArrayLiteral("st_ifmt"), fileKind(st.st_mode)},
        {QByteArrayLiteral("st_mtime"), nanoseconds(st.st_mtim)},
        {QByteArrayLiteral("st_ctime"), nanoseconds(st.st_ctim)},
        {QByteArrayLiteral("st_birthtime"), nanoseconds(st.st_ctim)},
    };
    *info = kv;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCKeyValueRead(AFCKeyValueRef handle, QByteArray* key, QByteArray* value)
{
    auto* kv = dynamic_cast<SimKeyValue*>(handle);
    if (!kv || !key || !value)
        return AFCInvalidArgumentError;
    if (kv->next >= kv->pairs.size()) {
        *key = QByteArray();
        *value = QByteArray();
        return MDSuccess;
    }
    *key = kv->pairs[kv->next].first;
    *value = kv->pairs[kv->next].second;
    ++kv->next;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCKeyValueClose(AFCKeyValueRef handle)
{
    auto* kv = dynamic_cast<SimKeyValue*>(handle);
    if (!kv)
        return AFCInvalidArgumentError;
    delete kv;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCDirectoryOpen(AFCConnectionRef connection, const QString& path, AFCDirectoryRef* dir)
{
    auto c = lockConnection(connection, "AFCDirectoryOpen", &path, nullptr, Reach::Look);
    if (!c)
        return c.error;
    if (c.top) {
        auto* handle = new SimDirectory;
        handle->names = {".", "..", QFile::encodeName(kDocumentsFolder)};
        *dir = handle;
        return MDSuccess;
    }
    QByteArray host;
    if (const MDError e = resolveDevicePath(c.connection->root, c.path, true, &host, c.connection->rootFd))
        return e;
    DIR* d = ::opendir(host.constData());
    if (!d)
        return afcErrorFromErrno(errno);
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(d)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    auto* handle = new SimDirectory;
    handle->names = {".", ".."};
    handle->names.insert(handle->names.end(), names.begin(), names.end());
    *dir = handle;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef dir, QByteArray* name)
{
    auto c = lockConnection(connection, "AFCDirectoryRead");
    if (!c)
        return c.error;
    auto* d = dynamic_cast<SimDirectory*>(dir);
    if (!d || !name)
        return AFCInvalidArgumentError;
    *name = d->next < d->names.size() ? d->names[d->next++] : QByteArray();
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef dir)
{
    auto c = lockConnection(connection, "AFCDirectoryClose");
    auto* d = dynamic_cast<SimDirectory*>(dir);
    if (!d)
        return AFCInvalidArgumentError;
    delete d;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCDirectoryCreate(AFCConnectionRef connection, const QString& path)
{
    auto c = lockConnection(connection, "AFCDirectoryCreate", &path);
    if (!c)
        return c.error;
    // Folder by folder, so that every step is checked against the root.
    QString prefix;
    const QStringList parts = c.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())  // a documents connection's "/Documents" is there, like any folder made
        return c.connection->container.isEmpty() ? AFCObjectExistsError : MDSuccess;
    for (const QString& part : parts) {
        prefix += QLatin1Char('/') + part;
        QByteArray host;
        if (const MDError e = resolveDevicePath(c.connection->root, prefix, true, &host, c.connection->rootFd))
            return e;
        struct stat st { };
        if (::stat(host.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return AFCObjectExistsError;
            continue;
        }
        if (::mkdir(host.constData(), 0755) != 0 && errno != EEXIST)
            return afcErrorFromErrno(errno);
        ++c.connection->state->folderGeneration;  // where a file was, a folder may be now
    }
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileRefOpen(
    AFCConnectionRef connection, const QString& path, std::uint64_t mode, AFCFileRef* file)
{
    auto c = lockConnection(connection, "AFCFileRefOpen", &path);
    if (!c)
        return c.error;
    if (!file)
        return AFCInvalidArgumentError;
    int flags = 0;
    switch (mode) {
    case AFCFileModeRead:
        flags = O_RDONLY;
        break;
    case AFCFileModeReadWrite:
        flags = O_RDWR;
        break;
    case AFCFileModeWrite:
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    default:
        return AFCInvalidArgumentError;
    }
    QByteArray host;
    // Most files opened for writing are new: one exclusive create in a folder held open is
    // all they take. An item that exists (a link among them) takes the way below, which
    // follows a link inside the root.
    int fd = mode == AFCFileModeWrite ? createInHeldFolder(*c.connection, c.path, flags) : -1;
    if (fd < 0 && mode == AFCFileModeWrite) {
        if (const MDError e = resolveDevicePath(c.connection->root, c.path, false, &host, c.connection->rootFd))
            return e;
        fd = ::open(host.constData(), flags | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno != EEXIST)
            return afcErrorFromErrno(errno);
    }
    // A file this handle created is empty, and nobody else has it open yet.
    const bool created = fd >= 0;
    if (fd < 0) {
        if (const MDError e = resolveDevicePath(c.connection->root, c.path, true, &host, c.connection->rootFd))
            return e;
        struct stat before { };
        const bool existed = ::stat(host.constData(), &before) == 0;
        if (existed && S_ISDIR(before.st_mode))
            return AFCObjectIsDirError;
        fd = ::open(host.constData(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return afcErrorFromErrno(errno);
        if (mode == AFCFileModeWrite && existed && S_ISREG(before.st_mode))
            adjustUsed(*c.connection->state, -std::int64_t(before.st_size));
    }
    SimDeviceState& state = *c.connection->state;
    if (!created && mode != AFCFileModeRead)
        ++state.sizeChanges;
    *file = c.connection->nextFile++;
    SimFile& entry = c.connection->files[*file];
    entry = SimFile {};
    entry.fd = fd;
    entry.mode = mode;
    if (created) {
        entry.size = 0;
        entry.sizeEpoch = state.sizeChanges;
    }
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileRefSeek(
    AFCConnectionRef connection, AFCFileRef file, std::int64_t offset, std::uint64_t origin)
{
    auto c = lockConnection(connection, "AFCFileRefSeek");
    if (!c)
        return c.error;
    const auto it = c.connection->files.find(file);
    if (it == c.connection->files.end() || origin > AFCSeekFromEnd)
        return AFCInvalidArgumentError;
    const int whence = origin == AFCSeekFromStart ? SEEK_SET : origin == AFCSeekFromCurrent ? SEEK_CUR : SEEK_END;
    const off_t position = ::lseek(it->second.fd, off_t(offset), whence);
    if (position < 0)
        return afcErrorFromErrno(errno);
    it->second.position = position;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileRefRead(
    AFCConnectionRef connection, AFCFileRef file, void* buffer, std::uint32_t* count)
{
    auto c = lockConnection(connection, "AFCFileRefRead");
    if (!c)
        return c.error;
    const auto it = c.connection->files.find(file);
    if (it == c.connection->files.end() || !count || (!buffer && *count))
        return AFCInvalidArgumentError;
    if (it->second.mode == AFCFileModeWrite)
        return AFCPermissionDeniedError;
    std::uint32_t done = 0;
    while (done < *count) {
        const ssize_t n = ::read(it->second.fd, static_cast<char*>(buffer) + done, *count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return AFCReadError;
        }
        if (n == 0)
            break;
        done += std::uint32_t(n);
    }
    it->second.position += done;
    *count = done;
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileRefWrite(
    AFCConnectionRef connection, AFCFileRef file, const void* buffer, std::uint32_t count)
{
    std::chrono::microseconds delay {0};
    MDError result = MDSuccess;
    {
        auto c = lockConnection(connection, "AFCFileRefWrite");
        if (!c)
            return c.error;
        SimDeviceState& state = *c.connection->state;
        const auto it = c.connection->files.find(file);
        if (it == c.connection->files.end() || (!buffer && count))
            return AFCInvalidArgumentError;
        if (it->second.mode == AFCFileModeRead)
            return AFCPermissionDeniedError;
        SimFile& entry = it->second;
        const int fd = entry.fd;

        // How much of this write happens before an injected fault strikes.
        std::int64_t allowed = count;
        MDError fault = MDSuccess;
        bool pullCable = false;
        const SimFaults& faults = state.faults;
        if (faults.failWriteAfterBytes >= 0 && state.faultBytes + count > faults.failWriteAfterBytes) {
            allowed = std::max<std::int64_t>(0, faults.failWriteAfterBytes - state.faultBytes);
            fault = AFCIOError;
        }
        if (faults.unplugAfterBytes >= 0 && state.faultBytes + allowed >= faults.unplugAfterBytes) {
            allowed = std::max<std::int64_t>(0, faults.unplugAfterBytes - state.faultBytes);
            fault = AFCServiceNotConnectedError;
            pullCable = true;
        }
        bool stall = false;
        if (faults.stallAfterBytes >= 0 && state.faultBytes + allowed >= faults.stallAfterBytes) {
            allowed = std::max<std::int64_t>(0, faults.stallAfterBytes - state.faultBytes);
            stall = true;
        }

        if (!entry.size || entry.sizeEpoch != state.sizeChanges) {
            struct stat st { };
            if (::fstat(fd, &st) != 0)
                return AFCIOError;
            entry.size = st.st_size;
            entry.sizeEpoch = state.sizeChanges;
        }
        const std::int64_t growth = std::max<std::int64_t>(0, entry.position + allowed - *entry.size);
        if (growth > freeBytes(state))
            return AFCNoSpaceLeftError;
        const char* bytes = static_cast<const char*>(buffer);
        // A device that stores another byte than it was sent, and says all is well.
        std::vector<char> corrupted;
        if (faults.corruptWriteAtByte >= state.faultBytes && faults.corruptWriteAtByte < state.faultBytes + allowed) {
            corrupted.assign(bytes, bytes + allowed);
            corrupted[std::size_t(faults.corruptWriteAtByte - state.faultBytes)] ^= 0x5a;
            bytes = corrupted.data();
        }
        if (allowed > 0 && !writeAll(fd, bytes, std::size_t(allowed))) {
            const int error = errno;
            if (const off_t at = ::lseek(fd, 0, SEEK_CUR); at >= 0)
                entry.position = at;  // after what did get written
            entry.size.reset();
            return afcErrorFromErrno(error);
        }
        entry.position += allowed;
        entry.size = std::max(*entry.size, entry.position);
        adjustUsed(state, growth);
        state.faultBytes += allowed;
        if (faults.writeDelayMsPerMiB > 0)
            delay = std::chrono::microseconds(allowed * faults.writeDelayMsPerMiB * 1000 / kMiB);
        if (stall) {
            // Stored, and never answered: the link stays up, the device says nothing more.
            state.stalled = true;
            waitWhileStalled(state, c.lock);
            return AFCServiceNotConnectedError;
        }
        if (pullCable) {
            unplugLocked(state);
            QFile marker(QDir(state.folder).filePath(kUnpluggedMarker));
            marker.open(QIODevice::WriteOnly);
        }
        result = fault;
    }
    // A slow device holds the writer, not the other users of the device.
    if (delay.count() > 0)
        std::this_thread::sleep_for(delay);
    return result;
}

MDError SimMobileDeviceService::AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file)
{
    auto c = lockConnection(connection, "AFCFileRefClose");
    // A file is closed even on a device that has gone, so no descriptor is left behind.
    if (!c.connection)
        return c.error;
    const auto it = c.connection->files.find(file);
    if (it == c.connection->files.end())
        return AFCInvalidArgumentError;
    ::close(it->second.fd);
    c.connection->files.erase(it);
    return c.error;
}

MDError SimMobileDeviceService::AFCRemovePath(AFCConnectionRef connection, const QString& path)
{
    auto c = lockConnection(connection, "AFCRemovePath", &path);
    if (!c)
        return c.error;
    struct stat st { };
    // A file goes from the folder held for it: a mirror removes many of one folder.
    QByteArray name;
    if (const SimFolder* held = heldFolderOf(*c.connection, c.path, &name);
        held && ::fstatat(held->fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        ++c.connection->state->sizeChanges;
        if (::unlinkat(held->fd, name.constData(), 0) != 0)
            return afcErrorFromErrno(errno);
        if (S_ISREG(st.st_mode) && st.st_nlink == 1)
            adjustUsed(*c.connection->state, -std::int64_t(st.st_size));
        return MDSuccess;
    }
    QByteArray host;
    if (const MDError e = resolveDevicePath(c.connection->root, c.path, false, &host, c.connection->rootFd))
        return e;
    if (host == c.connection->root)
        return AFCPermissionDeniedError;
    if (::lstat(host.constData(), &st) != 0)
        return afcErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode)) {
        if (::rmdir(host.constData()) != 0)
            return afcErrorFromErrno(errno);
        ++c.connection->state->folderGeneration;
        return MDSuccess;
    }
    ++c.connection->state->sizeChanges;
    if (::unlink(host.constData()) != 0)
        return afcErrorFromErrno(errno);
    if (S_ISREG(st.st_mode) && st.st_nlink == 1)
        adjustUsed(*c.connection->state, -std::int64_t(st.st_size));
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCRenamePath(AFCConnectionRef connection, const QString& from, const QString& to)
{
    auto c = lockConnection(connection, "AFCRenamePath", &from, &to);
    if (!c)
        return c.error;
    if (c.connection->state->faults.failRenames > 0) {
        --c.connection->state->faults.failRenames;
        return AFCIOError;
    }
    // Most uploads land on a free name of the folder they were written in.
    if (renameInHeldFolder(*c.connection, c.path, c.to) == MDSuccess)
        return MDSuccess;
    // Whatever moves below may be a folder, or replace a file somebody has open.
    ++c.connection->state->folderGeneration;
    ++c.connection->state->sizeChanges;
    QByteArray hostFrom;
    if (const MDError e = resolveDevicePath(c.connection->root, c.path, false, &hostFrom, c.connection->rootFd))
        return e;
    QByteArray hostTo = siblingHostPath(c.path, hostFrom, c.to);
    if (hostTo.isEmpty())
        if (const MDError e = resolveDevicePath(c.connection->root, c.to, false, &hostTo, c.connection->rootFd))
            return e;
    if (hostFrom == c.connection->root || hostTo == c.connection->root)
        return AFCPermissionDeniedError;
    if (hostFrom == hostTo)  // nothing moves and nothing is freed
        return ::rename(hostFrom.constData(), hostTo.constData()) == 0 ? MDSuccess : afcErrorFromErrno(errno);
    if (::renameat2(AT_FDCWD, hostFrom.constData(), AT_FDCWD, hostTo.constData(), RENAME_NOREPLACE) == 0)
        return MDSuccess;
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS)
        return afcErrorFromErrno(errno);
    struct stat replaced { };
    const bool replacesFile = ::lstat(hostTo.constData(), &replaced) == 0 && S_ISREG(replaced.st_mode);
    if (::rename(hostFrom.constData(), hostTo.constData()) != 0)
        return afcErrorFromErrno(errno);
    if (replacesFile)
        adjustUsed(*c.connection->state, -std::int64_t(replaced.st_size));
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCSetModificationTime(
    AFCConnectionRef connection, const QString& path, std::int64_t nanoseconds)
{
    auto c = lockConnection(connection, "AFCSetModificationTime", &path);
    if (!c)
        return c.error;
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)}};
    QByteArray name;
    const SimFolder* held = heldFolderOf(*c.connection, c.path, &name);
    if (held && ::utimensat(held->fd, name.constData(), times, AT_SYMLINK_NOFOLLOW) == 0)
        return MDSuccess;
    QByteArray host;
    if (const MDError e = resolveDevicePath(c.connection->root, c.path, false, &host, c.connection->rootFd))
        return e;
    if (::utimensat(AT_FDCWD, host.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return afcErrorFromErrno(errno);
    return MDSuccess;
}

MDError SimMobileDeviceService::AFCFileSetSize(AFCConnectionRef connection, const QString& path, std::uint64_t size)
{
    auto c = lockConnection(connection, "AFCFileSetSize", &path);
    if (!c)
        return c.error;
    QByteArray host;
    if (const MDError e = resolveDevicePath(c.connection->root, c.path, true, &host, c.connection->rootFd))
        return e;
    struct stat st { };
    if (::stat(host.constData(), &st) != 0)
        return afcErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return AFCObjectIsDirError;
    SimDeviceState& state = *c.connection->state;
    const std::int64_t growth = std::int64_t(size) - std::int64_t(st.st_size);
    if (growth > freeBytes(state))
        return AFCNoSpaceLeftError;
    ++state.sizeChanges;
    if (::truncate(host.constData(), off_t(size)) != 0)
        return afcErrorFromErrno(errno);
    adjustUsed(state, growth);
    return MDSuccess;
}

}  // namespace kestrap::sim
