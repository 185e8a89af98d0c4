#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

// Images from device files, decoded with Qt. For the front ends: this library links QtGui,
// the engine does not. QImage decoding is reentrant, so these may run on worker threads.
namespace kestrap {

// The file types Qt's image readers handle, each as Qt names it and in upper case ("png",
// "PNG"): files from a device carry either spelling.
QStringList imageFileTypes();

// The engine's name tests over imageFileTypes().
bool SupportFileAtPath(const QString& path);
bool IsPNGFileAtPath(const QString& path);

// With isPNG, the image made from the normalised PNG (or from the data itself when it is not
// PNG); without it, from the data as given. A null image when Qt cannot decode it.
QImage safeImageWithData(const QByteArray& data, bool isPNG);

// The image of a PNG file, device-optimised or not; a null image when there is none.
QImage imageWithContentsOfPNGFile(const QString& path);

}  // namespace kestrap
