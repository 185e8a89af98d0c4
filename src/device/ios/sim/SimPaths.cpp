#include "device/ios/sim/SimState.h"

#include <QFile>
#include <QScopeGuard>
#include <QStringList>
#include <QVarLengthArray>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrap::sim {

namespace {

bool within(const QByteArray& path, const QByteArray& root)
{
    return path == root || (path.startsWith(root) && path.at(root.size()) == '/') || root == "/";
}

std::optional<QByteArray> realPath(const QByteArray& path)
{
    char buf[PATH_MAX];
    if (!::realpath(path.constData(), buf))
        return std::nullopt;
    return QByteArray(buf);
}

// root/relative opened with O_PATH by openat2 from rootFd, with `resolve` and `flags`; -1 with
// errno set, ENOSYS (and from then on without asking) where the kernel has no openat2.
int openBeneath(int rootFd, const QByteArray& relative, std::uint64_t resolve, int flags = 0)
{
    static std::atomic<bool> unsupported {false};
    if (unsupported) {
        errno = ENOSYS;
        return -1;
    }
    open_how how {};
    how.flags = std::uint64_t(O_PATH | O_CLOEXEC | flags);
    how.resolve = resolve;
    const int fd
        = int(::syscall(SYS_openat2, rootFd, relative.isEmpty() ? "." : relative.constData(), &how, sizeof how));
    if (fd < 0 && errno == ENOSYS)
        unsupported = true;
    return fd;
}

// The real path of root/relative, resolved by the kernel in one call that refuses to leave
// root (EXDEV), where realpath() would read every component's link on its own. Nothing, with
// errno, on failure; errno ENOSYS where the kernel has no openat2. rootFd: root held open, or -1.
std::optional<QByteArray> realPathBeneath(const QByteArray& root, int rootFd, const QByteArray& relative)
{
    const bool ownRoot = rootFd < 0;
    if (ownRoot)
        rootFd = ::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return std::nullopt;
    const auto closeRoot = qScopeGuard([&] {
        if (ownRoot)
            ::close(rootFd);
    });
    const auto open = [&](std::uint64_t resolve) { return openBeneath(rootFd, relative, resolve); };
    // Most paths cross no link, and then the real path is the path itself (the root is
    // canonical, the relative path has no "." or ".."): the kernel's check is all it takes.
    int fd = open(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
    if (fd >= 0) {
        ::close(fd);
        return relative.isEmpty() ? root : root + '/' + relative;
    }
    if (errno != ELOOP)
        return std::nullopt;
    fd = open(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
    if (fd < 0)
        return std::nullopt;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), buf, sizeof buf);
    ::close(fd);
    if (n <= 0 || std::size_t(n) >= sizeof buf)
        return std::nullopt;
    return QByteArray(buf, n);
}

// realPathBeneath(), or realpath() where the kernel has no openat2; EXDEV when the path
// leads out of root.
std::optional<QByteArray> resolveBeneath(const QByteArray& root, int rootFd, const QByteArray& relative)
{
    auto real = realPathBeneath(root, rootFd, relative);
    if (real || errno != ENOSYS)
        return real;
    real = realPath(relative.isEmpty() ? root : root + '/' + relative);
    if (real && !within(*real, root)) {
        errno = EXDEV;
        return std::nullopt;
    }
    return real;
}

}  // namespace

bool isPlainRelative(QStringView path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    for (qsizetype start = 0; start <= path.size();) {
        qsizetype end = path.indexOf(u'/', start);
        if (end < 0)
            end = path.size();
        const QStringView part = path.sliced(start, end - start);
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
        start = end + 1;
    }
    return true;
}

MDError splitDevicePath(const QString& path, QByteArray* folder, QByteArray* name)
{
    if (path.contains(QChar(0)))
        return AFCInvalidArgumentError;
    // Split as bytes: every AFC call of an upload splits its path, and '/' is one byte in the
    // encoding of file names.
    const QByteArray bytes = QFile::encodeName(path);
    // Most paths come plain ("/a/b/c"): cut at the last slash, with nothing to resolve.
    if (path.startsWith(u'/') && isPlainRelative(QStringView(path).sliced(1))) {
        const qsizetype slash = bytes.lastIndexOf('/');
        *folder = slash > 0 ? bytes.sliced(1, slash - 1) : QByteArray();
        *name = bytes.sliced(slash + 1);
        return MDSuccess;
    }
    // ".." is resolved by the text of the path; one that climbs above the root is refused
    // rather than clamped, so a caller learns that its path is wrong.
    QVarLengthArray<QByteArrayView, 16> parts;
    for (qsizetype start = 0; start <= bytes.size();) {
        qsizetype end = bytes.indexOf('/', start);
        if (end < 0)
            end = bytes.size();
        const QByteArrayView part(bytes.constData() + start, end - start);
        start = end + 1;
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.isEmpty())
                return AFCPermissionDeniedError;
            parts.removeLast();
            continue;
        }
        parts.append(part);
    }
    name->clear();
    folder->clear();
    if (parts.isEmpty())
        return MDSuccess;
    *name = parts.back().toByteArray();
    parts.removeLast();
    for (const QByteArrayView part : parts) {
        if (!folder->isEmpty())
            folder->append('/');
        folder->append(part);
    }
    return MDSuccess;
}

int openFolderBeneath(int rootFd, const QByteArray& folder)
{
    return openBeneath(rootFd, folder, RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, O_DIRECTORY);
}

MDError resolveDevicePath(const QByteArray& root, const QString& path, bool followLast, QByteArray* host, int rootFd)
{
    QByteArray relativeParent;
    QByteArray last;
    if (const MDError e = splitDevicePath(path, &relativeParent, &last))
        return e;
    if (last.isEmpty()) {
        *host = root;
        return MDSuccess;
    }
    // Links among the folders are followed, but the folder reached must lie inside the root.
    const auto realParent = resolveBeneath(root, rootFd, relativeParent);
    if (!realParent) {
        if (errno == EXDEV || errno == ELOOP)
            return AFCPermissionDeniedError;
        return errno == ENOENT || errno == ENOTDIR ? AFCObjectNotFoundError : afcErrorFromErrno(errno);
    }
    if (!within(*realParent, root))
        return AFCPermissionDeniedError;
    QByteArray full = *realParent + '/' + last;
    struct stat st { };
    if (followLast && ::lstat(full.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        const auto target = resolveBeneath(root, rootFd, relativeParent.isEmpty() ? last : relativeParent + '/' + last);
        if (!target)
            return errno == EXDEV || errno == ELOOP ? AFCPermissionDeniedError : AFCObjectNotFoundError;
        if (!within(*target, root))
            return AFCPermissionDeniedError;
        full = *target;
    }
    *host = full;
    return MDSuccess;
}

MDError afcErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return AFCObjectNotFoundError;
    case EEXIST:
        return AFCObjectExistsError;
    case EISDIR:
        return AFCObjectIsDirError;
    case EACCES:
    case EPERM:
    case EXDEV:
        return AFCPermissionDeniedError;
    case ENOTEMPTY:
        return AFCDirNotEmptyError;
    case ENOSPC:
        return AFCNoSpaceLeftError;
    case EINVAL:
        return AFCInvalidArgumentError;
    default:
        return AFCIOError;
    }
}

std::int64_t storedBytes(const QString& deviceFolder)
{
    namespace fs = std::filesystem;
    std::int64_t total = 0;
    std::error_code ec;
    const fs::path top = QFile::encodeName(deviceFolder).toStdString();
    for (auto it = fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it.depth() == 0) {
            const auto name = it->path().filename().string();
            if (name == kDevicePlist.toStdString() || name == kUnpluggedMarker.toStdString())
                continue;
        }
        std::error_code sizeError;
        if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError))
            total += std::int64_t(it->file_size(sizeError));
    }
    return total;
}

}  // namespace kestrap::sim
