#include "device/iMobileDevice.h"

#include <QFileInfo>

namespace kestrap {

DeviceError previewTooLarge(const QString& path)
{
    return DeviceError::job(QStringLiteral("%1 is larger than %2 MiB, the most a preview reads.")
                                .arg(path)
                                .arg(kPreviewLimit / (1024 * 1024)));
}

QString errorDomainName(ErrorDomain domain)
{
    switch (domain) {
    case ErrorDomain::None:
        break;
    case ErrorDomain::Lockdown:
        return QStringLiteral("lockdown");
    case ErrorDomain::AFC:
        return QStringLiteral("afc");
    case ErrorDomain::HouseArrest:
        return QStringLiteral("house-arrest");
    case ErrorDomain::InstallationProxy:
        return QStringLiteral("installation-proxy");
    case ErrorDomain::LocalFile:
        return QStringLiteral("local-file");
    case ErrorDomain::Job:
        return QStringLiteral("job");
    }
    return {};
}

std::optional<QStringList> iMobileDevice::namesInDirectory(const QString& path)
{
    // A folder that cannot be opened lists as empty here: only one that holds "." says it opened.
    QStringList names;
    bool opened = false;
    for (const iMobileFileSystemNode& node : contentsOfDirectory(path, PathTypeAll)) {
        if (node.name() == u"." || node.name() == u"..")
            opened = true;
        else
            names << node.name();
    }
    if (!opened && names.isEmpty())
        return std::nullopt;
    return names;
}

UploadResult iMobileDevice::sendFile(const UploadRequest& request)
{
    if (request.beforeWrite)
        request.beforeWrite();
    if (uploadFile(request.devicePath, request.localPath))
        return {};
    return {DeviceError::job(QStringLiteral("the copy failed"))};
}

bool iMobileDevice::holdsUnchanged(const QString& devicePath, const QString& localPath)
{
    const QFileInfo info(localPath);
    bool isFolder = false;
    if (!info.isFile() || !itemExistsAtPath(devicePath, &isFolder) || isFolder)
        return false;
    return getSizeOfItemAtPath(devicePath) == std::uint64_t(info.size())
        && modificationDateOfItemAtPath(devicePath).toSecsSinceEpoch() == info.lastModified().toSecsSinceEpoch();
}

std::optional<DeviceItem> iMobileDevice::itemAtPath(const QString& path)
{
    bool isFolder = false;
    if (!itemExistsAtPath(path, &isFolder))
        return std::nullopt;
    if (isLinkAtPath(path))
        return DeviceItem {DeviceItem::Kind::Link};
    if (isFolder)
        return DeviceItem {DeviceItem::Kind::Folder};
    return DeviceItem {DeviceItem::Kind::File, getSizeOfItemAtPath(path)};
}

DeviceError iMobileDevice::openService(const QString& serviceName)
{
    Q_UNUSED(serviceName);
    return DeviceError::job(QStringLiteral("the device has no app containers"));
}

std::shared_ptr<iMobileDevice> iMobileDevice::openConnection(const QString& serviceName, DeviceError* why)
{
    const DeviceError error = iMobileDevice::openService(serviceName);
    if (why)
        *why = error;
    return nullptr;
}

}  // namespace kestrap
