#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

// What the device file tree needs from a front end and cannot make itself: icons and decoded
// images. The engine links no image library, so it has neither; a node without them keeps the
// bytes it read and answers an invalid QVariant where an icon or image would be. Front ends
// install their implementations once at start-up, before making nodes; a QVariant then holds
// whatever type the front end draws with (QIcon, QImage, QPixmap).
namespace kestrap {

// Icons of the tree's nodes. Called on the thread that makes the nodes; the front end's
// implementation must be safe to call from any thread that browses.
class FileSystemIconProvider {
public:
    virtual ~FileSystemIconProvider() = default;
    // The icon of every folder node; answering one shared value is enough.
    virtual QVariant folderIcon() = 0;
    // The icon of a file of this type: its path extension, empty when it has none.
    virtual QVariant iconForFileType(const QString& extension) = 0;
};

// An image decoded from bytes read from a device.
struct DecodedImage {
    QVariant image;  // invalid when the bytes are no image
    QSize size;  // width and height in pixels; empty when the bytes are no image
};

// Decodes images for the tree. Called on the thread that loads a node's image; decoding must
// be reentrant.
class FileSystemImageDecoder {
public:
    virtual ~FileSystemImageDecoder() = default;
    // The file types (extensions, exact case) the decoder reads. The tree admits a file as an
    // image when its type is one of them, or its name is "iTunesArtwork".
    virtual QStringList imageFileTypes() = 0;
    // The image of bytes already made standard PNG where they were device-optimised.
    virtual DecodedImage decode(const QByteArray& data) = 0;
};

// The installed seams; null until a front end installs one. Any thread; nodes made or images
// loaded after a change use the new ones.
void setFileSystemIconProvider(std::shared_ptr<FileSystemIconProvider> provider);
std::shared_ptr<FileSystemIconProvider> fileSystemIconProvider();
void setFileSystemImageDecoder(std::shared_ptr<FileSystemImageDecoder> decoder);
std::shared_ptr<FileSystemImageDecoder> fileSystemImageDecoder();

}  // namespace kestrap
