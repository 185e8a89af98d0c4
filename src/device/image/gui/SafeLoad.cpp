#include "device/image/gui/SafeLoad.h"

#include "device/image/ImageFiles.h"
#include "device/image/PNGNormalizer.h"

#include <QImageReader>

namespace kestrap {

QStringList imageFileTypes()
{
    QStringList types;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        const QString type = QString::fromLatin1(format);
        types << type;
        if (type.toUpper() != type)
            types << type.toUpper();
    }
    return types;
}

bool SupportFileAtPath(const QString& path)
{
    return SupportFileAtPath(path, imageFileTypes());
}

bool IsPNGFileAtPath(const QString& path)
{
    return IsPNGFileAtPath(path, imageFileTypes());
}

QImage safeImageWithData(const QByteArray& data, bool isPNG)
{
    return QImage::fromData(safeImageData(data, isPNG));
}

QImage imageWithContentsOfPNGFile(const QString& path)
{
    const std::optional<QByteArray> data = PNGNormalizer::dataWithContentsOfPNGFile(path);
    return data ? QImage::fromData(*data, "PNG") : QImage();
}

}  // namespace kestrap
