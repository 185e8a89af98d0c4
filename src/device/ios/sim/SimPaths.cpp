#include "device/ios/sim/SimState.h"

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

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

}  // namespace

MDError resolveDevicePath(const QByteArray& root, const QString& path, bool followLast, QByteArray* host)
{
    if (path.contains(QChar(0)))
        return AFCInvalidArgumentError;
    // ".." is resolved by the text of the path; one that climbs above the root is refused
    // rather than clamped, so a caller learns that its path is wrong.
    QStringList parts;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (parts.isEmpty())
                return AFCPermissionDeniedError;
            parts.removeLast();
            continue;
        }
        parts << part;
    }
    if (parts.isEmpty()) {
        *host = root;
        return MDSuccess;
    }
    const QString last = parts.takeLast();
    QByteArray parent = root;
    for (const QString& part : parts)
        parent += '/' + QFile::encodeName(part);
    // Links among the folders are followed, but the folder reached must lie inside the root.
    const auto realParent = realPath(parent);
    if (!realParent)
        return errno == ENOENT || errno == ENOTDIR ? AFCObjectNotFoundError : afcErrorFromErrno(errno);
    if (!within(*realParent, root))
        return AFCPermissionDeniedError;
    QByteArray full = *realParent + '/' + QFile::encodeName(last);
    struct stat st { };
    if (followLast && ::lstat(full.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        const auto target = realPath(full);
        if (!target)
            return AFCObjectNotFoundError;
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
