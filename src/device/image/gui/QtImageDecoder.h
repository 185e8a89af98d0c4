#pragma once

#include "device/tree/TreeSeams.h"

// The device file tree's image decoder for Qt front ends: QImage from bytes, the types Qt's
// image readers handle. Install it at start-up with setFileSystemImageDecoder(). Reentrant,
// like QImage decoding; usable on worker threads.
namespace kestrap {

class QtImageDecoder : public FileSystemImageDecoder {
public:
    QtImageDecoder();
    QStringList imageFileTypes() override { return m_types; }
    // A QImage in the QVariant; nothing when Qt cannot decode the bytes.
    DecodedImage decode(const QByteArray& data) override;

private:
    const QStringList m_types;  // asked once: the list of readers does not change while running
};

}  // namespace kestrap
