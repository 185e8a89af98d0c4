#include "device/image/ImageFiles.h"

#include "device/image/PNGNormalizer.h"
#include "util/Paths.h"

namespace kestrap {

namespace {
const QString kArtwork = QStringLiteral("iTunesArtwork");
}  // namespace

QString imageTypeOfPath(const QString& path)
{
    const QString extension = PathExtension(path);
    return extension.isEmpty() ? LastPathComponent(path) : extension;
}

bool SupportFileAtPath(const QString& path, const QStringList& imageFileTypes)
{
    const QString type = imageTypeOfPath(path);
    return imageFileTypes.contains(type, Qt::CaseSensitive) || type == kArtwork;
}

bool IsPNGFileAtPath(const QString& path, const QStringList& imageFileTypes)
{
    if (!SupportFileAtPath(path, imageFileTypes))
        return false;
    const QString type = imageTypeOfPath(path);
    return type == kArtwork || type.compare(QLatin1String("png"), Qt::CaseInsensitive) == 0;
}

QByteArray safeImageData(const QByteArray& data, bool isPNG)
{
    if (!isPNG)
        return data;
    return PNGNormalizer::dataFromPNGData(data).value_or(data);
}

}  // namespace kestrap
