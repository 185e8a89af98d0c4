#pragma once

// Builds PNG files the way iOS tools write device-optimised ones ("CgBI" first, raw deflate,
// blue-green-red-alpha, filtered rows), with zlib alone so that tests do not check the
// normaliser against its own helpers. Also takes PNG files apart for assertions.

#include <QByteArray>
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>
#include <zlib.h>

namespace testpng {

inline const QByteArray kSignature("\x89PNG\r\n\x1a\n", 8);

inline QByteArray be32(std::uint32_t v)
{
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}

inline QByteArray chunk(const char* type, const QByteArray& data)
{
    const QByteArray typeAndData = QByteArray(type, 4) + data;
    const auto crc
        = std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(typeAndData.constData()), uInt(typeAndData.size())));
    return be32(std::uint32_t(data.size())) + typeAndData + be32(crc);
}

inline QByteArray ihdr(std::uint32_t width, std::uint32_t height, int depth = 8, int colour = 6, int interlace = 0)
{
    QByteArray d = be32(width) + be32(height);
    d.append(char(depth)).append(char(colour)).append('\0').append('\0').append(char(interlace));
    return chunk("IHDR", d);
}

inline QByteArray deflateStream(const QByteArray& raw, bool zlibWrapper, int level = Z_DEFAULT_COMPRESSION)
{
    z_stream zs {};
    deflateInit2(&zs, level, Z_DEFLATED, zlibWrapper ? MAX_WBITS : -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&zs, uLong(raw.size()))), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
    zs.avail_in = uInt(raw.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(qsizetype(zs.total_out));
    deflateEnd(&zs);
    return out;
}

// The PNG filters over rows of 4-byte pixels; filter -1 gives each row the next of 0..4 so
// that every filter shows up in a few rows.
inline QByteArray filterRows(const QByteArray& pixels, int width, int height, int filter)
{
    const int stride = 4 * width;
    auto at = [&](int row, int i) -> int {
        return row < 0 || i < 0 ? 0 : std::uint8_t(pixels[qsizetype(row) * stride + i]);
    };
    QByteArray raw;
    for (int y = 0; y < height; ++y) {
        const int f = filter < 0 ? y % 5 : filter;
        raw.append(char(f));
        for (int i = 0; i < stride; ++i) {
            const int x = at(y, i), a = at(y, i - 4), b = at(y - 1, i), c = at(y - 1, i - 4);
            int predicted = 0;
            if (f == 1)
                predicted = a;
            else if (f == 2)
                predicted = b;
            else if (f == 3)
                predicted = (a + b) / 2;
            else if (f == 4) {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            raw.append(char(std::uint8_t(x - predicted)));
        }
    }
    return raw;
}

struct DeviceImage {
    int width = 0;
    int height = 0;
    QByteArray rgba {};  // width * height pixels, red-green-blue-alpha
    int filter = -1;
    int idatParts = 1;  // the one stream cut into this many IDAT chunks
    QByteArray beforeImage {};  // chunks between IHDR and the image data
    QByteArray afterImage {};  // chunks between the image data and IEND
};

inline QByteArray bgra(const QByteArray& rgba)
{
    QByteArray out = rgba;
    for (qsizetype i = 0; i + 3 < out.size(); i += 4)
        std::swap(out[i], out[i + 2]);
    return out;
}

inline QByteArray devicePng(const DeviceImage& image)
{
    const QByteArray stream
        = deflateStream(filterRows(bgra(image.rgba), image.width, image.height, image.filter), false);
    QByteArray png = kSignature + chunk("CgBI", QByteArray::fromHex("50002006"))
        + ihdr(std::uint32_t(image.width), std::uint32_t(image.height)) + image.beforeImage;
    const qsizetype part = stream.size() / image.idatParts + 1;
    for (int i = 0; i < image.idatParts; ++i)
        png += chunk("IDAT", stream.mid(i * part, part));
    return png + image.afterImage + chunk("IEND", {});
}

// Pixels that neither compress to nothing nor repeat: a gradient with a little noise.
inline QByteArray samplePixels(int width, int height, std::uint32_t seed = 1)
{
    QByteArray rgba;
    rgba.reserve(qsizetype(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int noise = int(seed >> 28);
            rgba.append(char((x * 255 / std::max(1, width - 1) + noise) & 0xFF));
            rgba.append(char((y * 255 / std::max(1, height - 1)) & 0xFF));
            rgba.append(char(((x + y) * 7 + noise) & 0xFF));
            rgba.append(char(255 - ((x * y) & 0x7F)));
        }
    return rgba;
}

struct Chunk {
    QByteArray type;
    QByteArray data;
    std::uint32_t storedCrc;
    bool crcOk;
};

// The chunks of a PNG, up to the end of the data; an incomplete chunk ends the list.
inline std::vector<Chunk> chunksOf(const QByteArray& png)
{
    std::vector<Chunk> chunks;
    qsizetype pos = 8;
    while (png.size() - pos >= 12) {
        const auto length = qFromBigEndian<std::uint32_t>(png.constData() + pos);
        if (length > std::uint64_t(png.size() - pos - 12))
            break;
        Chunk c;
        c.type = png.mid(pos + 4, 4);
        c.data = png.mid(pos + 8, length);
        c.storedCrc = qFromBigEndian<std::uint32_t>(png.constData() + pos + 8 + length);
        const QByteArray typeAndData = png.mid(pos + 4, 4 + length);
        c.crcOk = c.storedCrc
            == std::uint32_t(
                crc32(0, reinterpret_cast<const Bytef*>(typeAndData.constData()), uInt(typeAndData.size())));
        chunks.push_back(c);
        pos += 12 + length;
    }
    return chunks;
}

}  // namespace testpng
