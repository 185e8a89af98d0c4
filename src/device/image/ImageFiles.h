#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Which device files are images, and the bytes to decode for them. Decoding itself belongs to
// the front ends (see gui/SafeLoad.h); the engine hands them bytes and the front end's list of
// readable file types. Pure functions, callable from any thread.
namespace kestrap {

// The name that stands for a file's type: its path extension or, when it has none, its whole
// last path component ("iTunesArtwork").
QString imageTypeOfPath(const QString& path);

// True when the type of the path equals, exactly, one of imageFileTypes, or is "iTunesArtwork".
bool SupportFileAtPath(const QString& path, const QStringList& imageFileTypes);

// True when SupportFileAtPath holds and the type is "iTunesArtwork" or "png" in any case.
bool IsPNGFileAtPath(const QString& path, const QStringList& imageFileTypes);

// The bytes to decode for data read from a device: with isPNG, the normalised PNG, or the data
// itself when it is not PNG; without it, the data as given.
QByteArray safeImageData(const QByteArray& data, bool isPNG);

}  // namespace kestrap
