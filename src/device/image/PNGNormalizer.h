#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Device-optimised PNG files, as apps on iOS devices carry them, turned into standard PNG.
//
// Such a file has an extra first chunk "CgBI", its image data is a raw deflate stream without
// the zlib wrapper, and its pixels lie in blue-green-red-alpha order. The normaliser rewrites
// the image data as a zlib stream in red-green-blue-alpha order and drops the "CgBI" chunk;
// every other chunk is copied as it is. Only 8-bit RGBA images that are not interlaced are
// converted; anything else is handed back untouched rather than corrupted.
//
// Everything here works on bytes and files only and may be called from any thread.
namespace kestrap {

// What a conversion made of its input.
enum class PNGKind {
    NotPNG,  // too short or without the PNG signature
    Standard,  // a PNG that is not device-optimised: passed through unchanged
    Converted,  // a device-optimised PNG turned into standard PNG data
    Unsupported,  // device-optimised, but not a kind the normaliser converts: unchanged
};

struct PNGConversion {
    PNGKind kind = PNGKind::NotPNG;
    // Converted: the new data. Standard and Unsupported: the input itself (shared, not copied).
    // NotPNG: empty.
    QByteArray data;
    // Why data is not PNG or could not be converted, as a sentence for the user.
    QString reason;
};

class PNGNormalizer {
public:
    PNGNormalizer() = delete;

    static PNGConversion convert(const QByteArray& data);

    // Nothing when data is not PNG; the same data when it is PNG but not device-optimised (or
    // cannot be converted); otherwise new, standard PNG data.
    static std::optional<QByteArray> dataFromPNGData(const QByteArray& data);

    // At least 20 bytes starting with the PNG signature.
    static bool isPNGFile(const QString& path);
    // At least 20 bytes, the PNG signature, and a first chunk other than "CgBI".
    static bool isGoodPNGData(const QByteArray& data);
    static bool isGoodPNGFile(const QString& path);

    // dataFromPNGData of the file's contents; nothing when it cannot be read.
    static std::optional<QByteArray> dataWithContentsOfPNGFile(const QString& path);

    // Rewrites the file as standard PNG, atomically. With backup, the former bytes are first
    // copied to path + ".bak"; a backup already there is left as it is. Answers false, with a
    // sentence in *error when given, if the file cannot be read, is not PNG, cannot be
    // converted, or the backup or the write fails; the file is then unchanged.
    static bool fixPNGFileAtPath(const QString& path, QString* error, bool backup);
};

}  // namespace kestrap
