#include "device/tree/FileSystemNode.h"

#include "device/iMobileDevice.h"
#include "device/image/ImageFiles.h"
#include "device/tree/TreeSeams.h"
#include "util/Helpers.h"
#include "util/Paths.h"

namespace kestrap {

namespace {

const QString kRoot = QStringLiteral("/");
const QString kAfc = QStringLiteral("com.apple.afc");
const QString kAfc2 = QStringLiteral("com.apple.afc2");
const QString kCameraRoll = QStringLiteral("/DCIM");
const QString kArtwork = QStringLiteral("/iTunesArtwork");
const QString kFileSize = QStringLiteral("fileSize");
const QString kModifiedDate = QStringLiteral("modifiedDate");
const QString kDimension = QStringLiteral("dimension");

// Every image try reads the device, so a file that never yields one is not read forever.
constexpr std::uint32_t kMaxImageVersion = 6;

// The image files a node can load when no front end decodes: those the engine itself
// understands, PNG (and "iTunesArtwork", which is always admitted).
const QStringList& engineImageTypes()
{
    static const QStringList types {QStringLiteral("png"), QStringLiteral("PNG")};
    return types;
}

QVariant iconFor(const QString& path, bool isDirectory)
{
    const auto provider = fileSystemIconProvider();
    if (!provider)
        return {};
    return isDirectory ? provider->folderIcon() : provider->iconForFileType(PathExtension(path));
}

// A name a listing may give that must not become a node: the folder itself, its parent, the
// hidden disk folder, and names that are no single path component (a node of such a name would
// stand for its parent or for another folder, and deleting it would delete that).
bool isListedName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && name != FileSystemNode::diskFolderName && !name.contains(QLatin1Char('/'));
}

}  // namespace

const QString FileSystemNode::diskFolderName = QStringLiteral(".iDisk");

std::unique_ptr<FileSystemNode> FileSystemNode::deviceRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device)
{
    return std::make_unique<FileSystemNode>(std::move(device), kRoot, nullptr, kAfc2, true);
}

std::unique_ptr<FileSystemNode> FileSystemNode::fileSystemRootNodeWithMobileDevice(
    std::shared_ptr<iMobileDevice> device)
{
    return std::make_unique<FileSystemNode>(std::move(device), kRoot, nullptr, kRoot, true);
}

std::unique_ptr<FileSystemNode> FileSystemNode::diskRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device)
{
    return std::make_unique<FileSystemNode>(std::move(device), PathJoin(kRoot, diskFolderName), nullptr, kRoot, true);
}

std::unique_ptr<FileSystemNode> FileSystemNode::cameraRollNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device)
{
    return std::make_unique<FileSystemNode>(std::move(device), kCameraRoll, nullptr, kRoot, true);
}

std::unique_ptr<FileSystemNode> FileSystemNode::appRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device)
{
    return std::make_unique<FileSystemNode>(std::move(device));
}

std::unique_ptr<FileSystemNode> FileSystemNode::iTunesPhotoNodeWithMobileDevice(std::shared_ptr<iMobileDevice>)
{
    return nullptr;
}

FileSystemNode::FileSystemNode(std::shared_ptr<iMobileDevice> device, const QString& path, FileSystemNode* parent,
    const QString& root, bool isDirectory)
    : m_parent(parent)
    , m_device(std::move(device))
    , m_isDirectory(isDirectory)
    , m_relativePath(LastPathComponent(path))
    , m_fullPath(path)
    , m_rootPath(root)
    , m_icon(iconFor(path, isDirectory))
{
}

FileSystemNode::FileSystemNode(
    std::shared_ptr<iMobileDevice> device, const QString& path, FileSystemNode* parent, const QString& root)
    : FileSystemNode(std::move(device), path, parent, root, false)
{
    // Asked on this node's root: on whatever root the connection happens to be, the same path
    // may be another item or none.
    if (m_device && connectToDevice())
        m_isDirectory = m_device->isDirectoryAtPath(fullPath());
    if (m_isDirectory)
        m_icon = iconFor(path, true);
}

FileSystemNode::FileSystemNode(std::shared_ptr<iMobileDevice> device)
    : m_fsType(FSTypeApps), m_device(std::move(device)), m_isDirectory(true)
{
    if (m_device && m_device->canChangeService())
        m_children = appChildren();
}

std::optional<FileSystemNode::Children> FileSystemNode::appChildren()
{
    if (!m_device || !m_device->canChangeService())
        return std::nullopt;
    Children apps;
    for (const AppBundle& app : m_device->appBundles()) {
        if (app.name.isEmpty() || app.ID.isEmpty())
            continue;
        auto node = std::make_unique<FileSystemNode>(m_device, kRoot, this, app.ID, true);
        node->m_displayName = app.name;
        apps.push_back(std::move(node));
    }
    return apps;
}

QString FileSystemNode::fullPath() const
{
    if (!m_device)
        return QString(QLatin1String(""));
    // A root stands where it was made; a child is its parent's path and its own name.
    const QString path = m_parent ? PathJoin(m_parent->fullPath(), m_relativePath) : m_fullPath;
    return PathJoin(kRoot, path);
}

QString FileSystemNode::displayName() const
{
    return m_displayName.isEmpty() ? m_relativePath : m_displayName;
}

QString FileSystemNode::displayPath() const
{
    if (!isAppNode())
        return fullPath();
    if (!m_parent)
        return QString(QLatin1String(""));
    if (m_parent->m_rootPath.isNull())
        return PathJoin(kRoot, m_displayName);
    return PathJoin(m_parent->displayPath(), m_relativePath);
}

bool FileSystemNode::isAppNode() const
{
    return m_rootPath != kRoot && m_rootPath != kAfc && m_rootPath != kAfc2;
}

bool FileSystemNode::isDeviceRootNode() const
{
    return m_rootPath == kAfc2;
}

bool FileSystemNode::isCameraRollNode() const
{
    // The camera roll is a folder of the media area; "/DCIM" elsewhere (in an app's container,
    // deeper in the tree) or a name that merely starts so ("/DCIM-old") is not it.
    if (m_rootPath != kRoot && m_rootPath != kAfc)
        return false;
    const QString path = fullPath();
    return path == kCameraRoll || path.startsWith(kCameraRoll + QLatin1Char('/'));
}

bool FileSystemNode::isEqualTo(const FileSystemNode& other) const
{
    return fullPath() == other.fullPath();
}

bool FileSystemNode::parentIsAppRoot() const
{
    return m_parent->m_rootPath.isNull();
}

iMobileDevice* FileSystemNode::device()
{
    connectToDevice();
    return m_device.get();
}

bool FileSystemNode::connectToDevice()
{
    if (!m_device || !m_device->canChangeService())
        return m_device != nullptr;
    // The app root has no root of its own to attach to; its children have.
    if (m_rootPath.isEmpty())
        return false;
    return m_device->changeService(m_rootPath);
}

const FileSystemNode::Children& FileSystemNode::children()
{
    if (m_children)
        return *m_children;
    // After refreshChildren the app root asks the device for its apps again, rather than
    // listing a folder of whatever root the device is on.
    if (m_fsType == FSTypeApps)
        m_children = appChildren();
    if (!m_children)
        m_children = listChildren();
    return *m_children;
}

FileSystemNode::Children FileSystemNode::listChildren()
{
    Children nodes;
    if (!m_device || m_stopped)
        return nodes;
    connectToDevice();
    // One listing gives both folders and files, in that order, each classified.
    const std::vector<iMobileFileSystemNode> entries = m_device->contentsOfDirectory(fullPath(), PathTypeAll);
    nodes.reserve(entries.size());
    for (const iMobileFileSystemNode& entry : entries) {
        if (m_stopped)
            break;
        if (isListedName(entry.name()))
            nodes.push_back(
                std::make_unique<FileSystemNode>(m_device, entry.fullpath(), this, m_rootPath, entry.isDirectory()));
    }
    return nodes;
}

std::uint64_t FileSystemNode::fileSize()
{
    const auto cached = m_propCache.constFind(kFileSize);
    if (cached != m_propCache.constEnd())
        return cached->toULongLong();
    iMobileDevice* d = device();
    if (!d)
        return 0;
    const std::uint64_t size = d->getSizeOfItemAtPath(fullPath());
    m_propCache.insert(kFileSize, QVariant::fromValue<qulonglong>(size));
    return size;
}

QDateTime FileSystemNode::modifiedDate()
{
    const auto cached = m_propCache.constFind(kModifiedDate);
    if (cached != m_propCache.constEnd())
        return cached->toDateTime();
    iMobileDevice* d = device();
    if (!d)
        return QDateTime::currentDateTime();
    const QDateTime date = d->modificationDateOfItemAtPath(fullPath());
    m_propCache.insert(kModifiedDate, date);
    return date;
}

QString FileSystemNode::sizeString()
{
    iMobileDevice* d = device();
    return CapacityString(d ? d->getSizeOfItemAtPath(fullPath()) : 0);
}

QVariant FileSystemNode::image()
{
    if (m_isDirectory && !isUnderAppRoot())
        return m_icon;
    return m_image.isValid() ? m_image : m_icon;
}

QVariant FileSystemNode::realImage()
{
    if (m_isDirectory && !isUnderAppRoot())
        return m_icon;
    if (!m_imageData.isEmpty()) {
        // Bytes read while no front end decoded: they become an image once one does.
        if (!m_image.isValid())
            decodeImage();
        return m_image.isValid() ? m_image : m_icon;
    }
    if (m_imageVersion >= kMaxImageVersion)
        return m_icon;
    ++m_imageVersion;
    loadImage();
    return m_image.isValid() ? m_image : m_icon;
}

bool FileSystemNode::loadImage()
{
    QString path = fullPath();
    if (isUnderAppRoot() && path == kRoot)
        path = kArtwork;
    const auto decoder = fileSystemImageDecoder();
    const QStringList types = decoder ? decoder->imageFileTypes() : engineImageTypes();
    if (!SupportFileAtPath(path, types))
        return false;
    const bool isPNG = IsPNGFileAtPath(path, types);
    // Read on this node's own root: on another one the same path is another file (every app
    // container has its "/iTunesArtwork").
    iMobileDevice* d = device();
    DeviceError why;
    const std::optional<QByteArray> bytes = d ? d->contentsOfFileAtPath(path, &why) : std::nullopt;
    if (!bytes && !why.isEmpty())
        qWarning("No preview of %s: %s", qPrintable(printableText(path)), qPrintable(why.text));
    if (!bytes || bytes->isEmpty())
        return false;
    m_imageData = safeImageData(*bytes, isPNG);
    return !decoder || decodeImage();
}

bool FileSystemNode::decodeImage()
{
    const auto decoder = fileSystemImageDecoder();
    if (!decoder)
        return false;
    DecodedImage decoded;
    try {
        decoded = decoder->decode(m_imageData);
    } catch (...) {
        decoded = {};
    }
    if (!decoded.image.isValid() || decoded.size.width() == 0 || decoded.size.height() == 0) {
        // Not an image after all: the bytes go, and a later try reads the file again.
        m_imageData.clear();
        return false;
    }
    m_image = decoded.image;
    m_imageSize = decoded.size;
    return true;
}

QString FileSystemNode::dimension()
{
    if (m_isDirectory)
        return m_dimension;
    const auto cached = m_propCache.constFind(kDimension);
    if (cached != m_propCache.constEnd())
        return cached->toString();
    // Asked before an image is loaded there is nothing to tell yet, but nothing is kept
    // either: the size shows once realImage() has loaded the image.
    if (m_imageSize.isEmpty())
        return QString();
    m_dimension = QString::asprintf("%d x %d", m_imageSize.width(), m_imageSize.height());
    m_propCache.insert(kDimension, m_dimension);
    return m_dimension;
}

bool FileSystemNode::deleteItem()
{
    if (m_fsType != FSTypeFiles || !m_device)
        return false;
    const QString path = fullPath();
    if (path == kRoot)
        return false;
    if (m_isDirectory) {
        // Listed afresh: loaded children may be out of date or cut short, and a folder with an
        // item left in it cannot be removed after its other content already has been.
        for (const auto& child : listChildren())
            if (!child->deleteItem())
                return false;
    }
    iMobileDevice* d = device();
    if (!d || !d->deleteItemAtPath(path))
        return false;
    m_children.reset();
    m_propCache.clear();
    return true;
}

}  // namespace kestrap
