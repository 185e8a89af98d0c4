#include "device/image/gui/QtImageDecoder.h"

#include "device/image/gui/SafeLoad.h"

#include <QImage>

namespace kestrap {

QtImageDecoder::QtImageDecoder() : m_types(kestrap::imageFileTypes()) { }

DecodedImage QtImageDecoder::decode(const QByteArray& data)
{
    const QImage image = QImage::fromData(data);
    if (image.isNull())
        return {};
    return {QVariant::fromValue(image), image.size()};
}

}  // namespace kestrap
