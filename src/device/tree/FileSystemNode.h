#pragma once

#include "device/iMobileDevice.h"

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrap {

// Node kinds.
enum FSType : std::int32_t {
    FSTypeApps = 2,  // the app root: a folder whose children are the device's user apps
    FSTypeFiles = 3,  // every node of a file tree, app containers included
};

// The content of one device as a lazily loaded tree. Each node is bound to a device and to
// the root its paths are relative to: "/" (the media area), "com.apple.afc2" (the whole file
// system of a jailbroken device) or an app's bundle id (that app's container). A folder loads
// its children on the first children() call and keeps them until refreshChildren(); size,
// date and image size are read once and kept.
//
// Ownership: a node owns its children; the parent is a plain pointer, so a child is valid
// while its parent keeps it (until the parent's refreshChildren() or end). Every node shares
// the device object, which therefore outlives the tree; a device that has gone answers
// nothing, and the tree shows that as empty folders and zero sizes.
//
// Icons and images come through the seams of TreeSeams.h; without them they are invalid
// QVariants, and an image load keeps the file's bytes only.
//
// Threads: a tree is used from one thread at a time, except stop(), reset() and isStopped(),
// which may be called from any thread, e.g. to end a slow children() load. Nodes take no
// locks; the device serialises its own calls. Since children(), the size and date queries,
// realImage() and deleteItem() move the device's one connection to the node's root, nodes of
// different roots on one device must not be used from different threads at the same time.
class FileSystemNode {
public:
    using Children = std::vector<std::unique_ptr<FileSystemNode>>;

    // The hidden disk folder, never listed as a child.
    static const QString diskFolderName;

    // --- Factories -----------------------------------------------------------------------
    // The whole file system, "/" on "com.apple.afc2" (jailbroken devices only).
    static std::unique_ptr<FileSystemNode> deviceRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);
    // The media area, "/" on "/".
    static std::unique_ptr<FileSystemNode> fileSystemRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);
    // "/.iDisk" on "/".
    static std::unique_ptr<FileSystemNode> diskRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);
    // "/DCIM" on "/".
    static std::unique_ptr<FileSystemNode> cameraRollNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);
    // The app root: one child per user app, each the root of its container.
    static std::unique_ptr<FileSystemNode> appRootNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);
    // There is no such node: always null.
    static std::unique_ptr<FileSystemNode> iTunesPhotoNodeWithMobileDevice(std::shared_ptr<iMobileDevice> device);

    // A node of kind FSTypeFiles at path on root (null for none), under parent (may be null).
    FileSystemNode(std::shared_ptr<iMobileDevice> device, const QString& path, FileSystemNode* parent,
        const QString& root, bool isDirectory);
    // The same, asking the device, attached to root, whether path is a folder.
    FileSystemNode(
        std::shared_ptr<iMobileDevice> device, const QString& path, FileSystemNode* parent, const QString& root);
    // The app root. On a device with services (iOS) its children are the user apps that have both a name
    // and an id, in the device's order; on other devices it lists "/" like any folder.
    explicit FileSystemNode(std::shared_ptr<iMobileDevice> device);

    FileSystemNode(const FileSystemNode&) = delete;
    FileSystemNode& operator=(const FileSystemNode&) = delete;

    // --- Names and paths -----------------------------------------------------------------
    // The absolute path on the node's root: "/" for a root, an app node and the app root;
    // empty without a device.
    QString fullPath() const;
    // The app's name for app nodes, else the last path component.
    QString displayName() const;
    // For nodes in an app's container: "/", the app's name, then the path inside the
    // container; for other nodes fullPath().
    QString displayPath() const;
    const QString& relativePath() const { return m_relativePath; }
    // Null for the app root.
    const QString& rootPath() const { return m_rootPath; }

    bool isAppNode() const;
    bool isDeviceRootNode() const;
    // The camera roll, "/DCIM" of the media area, or anything in it.
    bool isCameraRollNode() const;
    // Same fullPath(), whatever the roots.
    bool isEqualTo(const FileSystemNode& other) const;

    FileSystemNode* parent() const { return m_parent; }
    bool isDirectory() const { return m_isDirectory; }
    void setIsDirectory(bool isDirectory) { m_isDirectory = isDirectory; }
    std::int32_t fsType() const { return m_fsType; }
    void setFsType(std::int32_t fsType) { m_fsType = fsType; }

    // --- Device --------------------------------------------------------------------------
    // The device attached to this node's root; rawDevice() leaves it where it is.
    iMobileDevice* device();
    iMobileDevice* rawDevice() const { return m_device.get(); }
    // Moves the device's connection to this node's root (devices with services only; others need
    // nothing). False when the root cannot be opened: the device then has no connection and
    // answers nothing, rather than answering for another root.
    bool connectToDevice();

    // --- Children ------------------------------------------------------------------------
    // Loads the children on first use: folders, then files, each in the device's order,
    // without ".", ".." and ".iDisk". A folder that cannot be listed has none. A load ended
    // by stop() keeps what it had made until refreshChildren().
    const Children& children();
    // Whether children are loaded.
    bool validChildren() const { return m_children.has_value(); }
    // Forgets the children; every pointer to them ends.
    void refreshChildren() { m_children.reset(); }
    // Ends a running or later children() load early, until reset(). Any thread.
    void stop() { m_stopped = true; }
    void reset() { m_stopped = false; }
    bool isStopped() const { return m_stopped; }

    // --- Item information ----------------------------------------------------------------
    // Read once and kept: 0 and the current time when the device gives none.
    std::uint64_t fileSize();
    QDateTime modifiedDate();
    // The size, asked afresh every time, as a capacity text ("1.50 KB").
    QString sizeString();

    // --- Images --------------------------------------------------------------------------
    // Without loading: the loaded image, else the icon. A folder answers its icon, except an
    // app node, whose image is its app's artwork.
    QVariant image();
    // Loads the image on first need: the file itself, or for an app node the artwork
    // "/iTunesArtwork" of its container. At most five attempts are made; a file that is no
    // image, cannot be read or does not decode answers the icon.
    QVariant realImage();
    // The bytes of the loaded image, made standard PNG where the file was device-optimised;
    // empty while none is loaded.
    const QByteArray& imageData() const { return m_imageData; }
    // The loaded image's size; empty without an image.
    QSize imageSize() const { return m_imageSize; }
    // "W x H" of the loaded image; null for folders and while no image is loaded.
    QString dimension();
    // 1, plus 1 for every load attempt.
    std::uint32_t imageVersion() const { return m_imageVersion; }

    const QVariant& icon() const { return m_icon; }
    const QVariant& labelColor() const { return m_labelColor; }
    void setLabelColor(const QVariant& color) { m_labelColor = color; }

    // --- Changes -------------------------------------------------------------------------
    // Removes the node's item from the device: a folder with everything in it, its content
    // read afresh so that nothing listed since or cut short by stop() is left behind. Only
    // for file-tree nodes, and never for a root ("/"), which cannot be removed and whose
    // content would be lost for nothing. False when anything stays; the node is unchanged
    // and keeps its children until refreshChildren().
    bool deleteItem();

private:
    bool parentIsAppRoot() const;
    bool isUnderAppRoot() const { return m_parent && parentIsAppRoot(); }
    std::optional<Children> appChildren();
    Children listChildren();
    bool loadImage();
    bool decodeImage();

    std::int32_t m_fsType = FSTypeFiles;
    std::optional<Children> m_children;
    FileSystemNode* m_parent = nullptr;
    std::shared_ptr<iMobileDevice> m_device;
    bool m_isDirectory = false;
    QString m_relativePath;
    QString m_fullPath;  // the path given at creation; only a root's own path is taken from it
    QString m_rootPath;
    QString m_displayName;
    QVariant m_icon;
    QVariant m_labelColor;
    QString m_dimension;
    QVariant m_image;
    QByteArray m_imageData;
    QSize m_imageSize;
    QVariantMap m_propCache;
    std::uint32_t m_imageVersion = 1;
    std::atomic<bool> m_stopped {false};
};

}  // namespace kestrap
